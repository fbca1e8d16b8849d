import errno
import os
import re
import traceback

import pytest

HANDLERS = {
    "pptx": "replace_pptx_content",
    "docx": "replace_docx_content",
    "xlsx": "replace_xlsx_content",
    "csv": "replace_csv_content",
    "text": "replace_text_content",
}


@pytest.fixture
def calls(tw, monkeypatch):
    """Rebinds the five handlers in the module with recorders."""
    seen = []
    for kind, name in HANDLERS.items():
        def record(*args, _kind=kind, **kwargs):
            assert not kwargs
            seen.append((_kind,) + args)
            return "ignored"
        monkeypatch.setattr(tw, name, record)
    return seen


def make_files(root, names):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"x")


@pytest.mark.parametrize("name, kind", [
    ("deck.pptx", "pptx"),
    ("Report.DOCX", "docx"),
    ("book.XlSx", "xlsx"),
    ("DATA.Csv", "csv"),
    ("notes.txt", "text"),
    ("README", "text"),
    (".profile", "text"),
    ("photo.png", "text"),
    ("macro.xlsm", "text"),
    ("archive.tar.gz", "text"),
    ("table.csv.txt", "text"),
    ("notes.txt.docx", "docx"),
    ("trailing.", "text"),
    ("deck.ppt", None),
    ("memo.DOC", None),
    ("book.Xls", None),
])
def test_extension_picks_handler(tw, calls, tmp_path, name, kind):
    make_files(tmp_path, [name])
    root = str(tmp_path)
    assert tw.replace_file_contents(root, "old", "new", True) is None
    expected = [] if kind is None else [(kind, os.path.join(root, name), "old", "new")]
    assert calls == expected
    assert (tmp_path / name).read_bytes() == b"x"


@pytest.mark.parametrize("recursive, expect_nested", [
    (True, True), (1, True), ([0], True), (False, False), (0, False), ("", False), (None, False),
])
def test_recursion_flag(tw, calls, tmp_path, recursive, expect_nested):
    make_files(tmp_path, ["a.txt", "b.csv", "sub/c.txt", "sub/deep/d.docx"])
    tw.replace_file_contents(str(tmp_path), "o", "n", recursive)
    handled = [os.path.relpath(call[1], tmp_path).replace(os.sep, "/") for call in calls]
    # the chosen folder's own files come first, in listing order
    assert set(handled[:2]) == {"a.txt", "b.csv"}
    assert set(handled[2:]) == ({"sub/c.txt", "sub/deep/d.docx"} if expect_nested else set())


def test_walk_order_is_os_walk_order(tw, calls, tmp_path):
    make_files(tmp_path, ["z.txt", "m/y.txt", "m/n/x.txt", "k/w.txt"])
    tw.replace_file_contents(str(tmp_path), "o", "n", True)
    expected = [os.path.join(folder, f) for folder, _, files in os.walk(str(tmp_path)) for f in files]
    assert [call[1] for call in calls] == expected


def test_keywords_passed_unchanged(tw, calls, tmp_path):
    make_files(tmp_path, ["a.txt"])

    class Text(str):
        pass
    old, new = Text("o"), Text("n")
    tw.replace_file_contents(str(tmp_path), old, new, False)
    assert calls[0][2] is old and calls[0][3] is new


@pytest.mark.parametrize("old, new", [(object(), "n"), ("ab(", "n"), ("o", "\\q"), ("(o)", "\\2")])
def test_bad_keyword_or_template_ends_the_run_before_any_handler(tw, calls, tmp_path, old, new):
    make_files(tmp_path, ["a.txt", "sub/b.csv"])
    with pytest.raises((AttributeError, re.error)) as info:
        tw.replace_file_contents(str(tmp_path), old, new, True)
    assert not getattr(info.value, "__notes__", None)
    assert calls == []


@pytest.mark.parametrize("root", ["", "missing-folder", "a-file.txt"])
def test_nothing_to_walk_returns_none(tw, calls, in_tmp, root):
    make_files(in_tmp, ["a-file.txt"])
    assert tw.replace_file_contents(root, "o", "n", True) is None
    assert calls == []


def test_handler_errors_are_recorded_and_the_walk_goes_on(tw, calls, monkeypatch, tmp_path):
    make_files(tmp_path, ["bad.csv", "good.txt", "sub/later.txt", "sub/worse.csv"])

    def failing(path, old, new):
        raise UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
    monkeypatch.setattr(tw, "replace_csv_content", failing)

    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_contents(str(tmp_path), "o", "n", True)
    group = info.value
    assert str(group).startswith("2 of 4 files could not be changed")
    bad = [os.path.join(str(tmp_path), "bad.csv"), os.path.join(str(tmp_path), "sub", "worse.csv")]
    assert [type(e) for e in group.exceptions] == [UnicodeDecodeError] * 2
    assert [e.__notes__ for e in group.exceptions] == [[f"while replacing content in {p}"] for p in bad]
    assert group.exceptions[0].reason == "invalid start byte"
    assert "failing" in [frame.name for frame in traceback.extract_tb(group.exceptions[0].__traceback__)]
    assert sorted(os.path.basename(c[1]) for c in calls) == ["good.txt", "later.txt"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError,
                                   lambda: OSError(errno.ENOSPC, "No space left on device"),
                                   lambda: OSError(errno.EDQUOT, "Disk quota exceeded")])
def test_run_ending_errors_stop_at_once(tw, calls, monkeypatch, tmp_path, error):
    make_files(tmp_path, ["a.csv", "sub/b.txt"])

    def failing(path, old, new):
        raise error()
    monkeypatch.setattr(tw, "replace_csv_content", failing)
    with pytest.raises(BaseException) as info:
        tw.replace_file_contents(str(tmp_path), "o", "n", True)
    assert not isinstance(info.value, BaseExceptionGroup)
    assert info.value.__notes__ == [f"while replacing content in {tmp_path / 'a.csv'}"]
    assert calls == []  # the subfolder's file was never handed over


def test_note_added_to_existing_notes_and_base_exceptions(tw, calls, monkeypatch, tmp_path):
    make_files(tmp_path, ["a.txt"])

    def interrupted(path, old, new):
        error = KeyboardInterrupt()
        error.add_note("first")
        raise error
    monkeypatch.setattr(tw, "replace_text_content", interrupted)
    with pytest.raises(KeyboardInterrupt) as info:
        tw.replace_file_contents(str(tmp_path), "o", "n", False)
    assert info.value.__notes__[0] == "first"
    assert info.value.__notes__[1].endswith("a.txt")


def test_handlers_looked_up_at_each_file(tw, calls, monkeypatch, tmp_path):
    make_files(tmp_path, ["a.txt", "b.txt"])
    swapped = []

    def first(path, old, new):
        swapped.append(path)
        monkeypatch.setattr(tw, "replace_text_content", lambda *a: calls.append(("second",) + a))
    monkeypatch.setattr(tw, "replace_text_content", first)
    tw.replace_file_contents(str(tmp_path), "o", "n", False)
    assert len(swapped) == 1 and [c[0] for c in calls] == ["second"]
