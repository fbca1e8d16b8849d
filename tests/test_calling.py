"""The calling rules shared by every module function, and tuple unpacking."""
import types

import pytest

import termweave_mira7 as tw


@pytest.mark.parametrize("call, message", [
    (lambda: tw.convert_to_regex(), "convert_to_regex() takes exactly 1 positional argument (0 given)"),
    (lambda: tw.convert_to_regex("a", "b"),
     "convert_to_regex() takes exactly 1 positional argument (2 given)"),
    (lambda: tw.replace_text_content("a", "b"),
     "replace_text_content() takes exactly 3 positional arguments (2 given)"),
    (lambda: tw.replace_text_content("a", "b", "c", "d"),
     "replace_text_content() takes exactly 3 positional arguments (4 given)"),
    # the first missing parameter is named by its position, before keywords are judged
    (lambda: tw.replace_folder_names("a", new_keyword="c"),
     "replace_folder_names() takes exactly 4 positional arguments (1 given)"),
    (lambda: tw.replace_folder_names("a", old_keyword="b", new_keyword="c", bogus=1),
     "replace_folder_names() takes exactly 4 positional arguments (3 given)"),
    (lambda: tw.replace_text_content("a", "b", "c", file_path="d"),
     "replace_text_content() got multiple values for keyword argument 'file_path'"),
    (lambda: tw.replace_text_content("a", "b", "c", path="d"),
     "replace_text_content() got an unexpected keyword argument 'path'"),
    (lambda: tw.replace_text_content("a", "b", new_keyword="c", old_keyword="d"),
     "replace_text_content() got multiple values for keyword argument 'old_keyword'"),
    (lambda: tw.main(1), "main() takes no arguments (1 given)"),
    (lambda: tw.main(1, 2), "main() takes no arguments (2 given)"),
    (lambda: tw.main(x=1), "main() takes no keyword arguments"),
    (lambda: tw.main(1, x=1), "main() takes no keyword arguments"),
])
def test_argument_errors_have_the_interpreters_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_in_any_order(monkeypatch):
    assert tw.convert_to_regex(pattern="a*") == "a.*?"
    seen = []
    monkeypatch.setattr(tw, "convert_to_regex", lambda keyword: seen.append(keyword) or "zzz")
    tw.replace_folder_names(recursive=False, new_keyword="n", root_folder="", old_keyword="o")
    tw.replace_folder_names("", "p", recursive=False, new_keyword="n")
    assert seen == ["o", "p"]


def fake_os(triples):
    real = __import__("os")
    return types.SimpleNamespace(walk=lambda root, onerror=None: iter(triples), path=real.path)


@pytest.mark.parametrize("triple, message", [
    (("a", [], [], "extra"), "too many values to unpack (expected 3)"),
    (["a", []], "need more than 2 values to unpack"),
    (iter(["a"]), "need more than 1 value to unpack"),
    (iter([]), "need more than 0 values to unpack"),
    (iter(["a", [], [], None]), "too many values to unpack (expected 3)"),
])
def test_walk_triples_must_unpack_to_exactly_three(monkeypatch, triple, message):
    monkeypatch.setattr(tw, "os", fake_os([triple]))
    with pytest.raises(ValueError) as info:
        tw.replace_folder_names("root", "x", "y", True)
    assert str(info.value) == message


def test_any_iterable_of_three_unpacks(monkeypatch):
    taken = []

    class Triple:
        def __iter__(self):
            taken.append("triple")
            return iter(["nowhere", (), ("plain.txt",)])

    monkeypatch.setattr(tw, "os", fake_os([Triple(), iter(["nowhere/sub", [], []])]))
    assert tw.replace_folder_names("nowhere", "zzz", "y", True) is None
    assert taken == ["triple"]
