"""The keyword pattern: `*` is a lazy wildcard, everything else is `re` syntax."""
import re

import pytest

import termweave_mira7 as tw


@pytest.mark.parametrize("keyword, expression, text, first, replacement, result", [
    ("report", "report", "Q3 report final report", "report", "X", "Q3 X final X"),
    ("a*b", "a.*?b", "a1b2b", "a1b", "X", "X2b"),
    ("2023*plan", "2023.*?plan", "2023_a_plan_2023_b_plan", "2023_a_plan", "X", "X_X"),
    ("old*", "old.*?", "old_data_old", "old", "new", "new_data_new"),
    ("*abc", ".*?abc", "xxabcyyabc", "xxabc", "N", "NN"),
    ("a**b", "a.*?.*?b", "a12b", "a12b", "X", "X"),
    ("1.5", "1.5", "125 1.5", "125", "N", "N N"),
    ("*", ".*?", "ab", "", "X", "XXXXX"),
    ("", "", "ab", "", "X", "XaXbX"),
    ("file(1)", "file(1)", "file1 file(1)", "file1", "F", "F file(1)"),
])
def test_worked_examples(keyword, expression, text, first, replacement, result):
    assert tw.convert_to_regex(keyword) == expression
    pattern = re.compile(tw.convert_to_regex(keyword))
    assert pattern.search(text).group() == first
    assert pattern.sub(replacement, text) == result


def test_wildcard_does_not_cross_lines_and_case_matters():
    pattern = re.compile(tw.convert_to_regex("a*b"))
    assert pattern.search("a\nb") is None
    assert re.compile(tw.convert_to_regex("Old")).search("old") is None


@pytest.mark.parametrize("keyword", ["a*?", "a*+", "ab(", "[x"])
def test_invalid_expressions_fail_at_compile(keyword):
    with pytest.raises(re.error):
        re.compile(tw.convert_to_regex(keyword))


def test_input_is_left_unchanged_and_non_strings_fail():
    keyword = "a*"
    tw.convert_to_regex(keyword)
    assert keyword == "a*"
    with pytest.raises(AttributeError):
        tw.convert_to_regex(None)


def expected(keyword):
    return str.replace(keyword, "*", ".*?")


@pytest.mark.parametrize("keyword", [
    "*", "**", "a" * 50 + "*", "*" * 1000, "x*" * 5000,
    "caf\u00e9*cr\u00e8me",                  # one byte per character, not ASCII
    "\u62a5\u544a*2023",                     # two bytes per character
    "\U0001f600*\U0001f4c4*",                # four bytes per character
    "\u00ff*\U0010ffff*\u0100",              # the widest of each kind together
    "\\*", "a\u0000*b",
])
def test_every_star_becomes_a_lazy_wildcard_in_strings_of_every_width(keyword):
    result = tw.convert_to_regex(keyword)
    assert type(result) is str
    # Equal strings of different storage widths compare unequal, so this
    # also proves the result is stored at the keyword's own width.
    assert result == expected(keyword)
    assert len(result) == len(keyword) + 2 * keyword.count("*")


def test_many_random_keywords_agree_with_str_replace():
    import random
    rng = random.Random(16)
    alphabet = "*ab.?\u00e9\u4e2d\U0001f600"
    for _ in range(2000):
        keyword = "".join(rng.choice(alphabet) for _ in range(rng.randrange(12)))
        assert tw.convert_to_regex(keyword) == expected(keyword), repr(keyword)


def test_a_keyword_without_star_comes_back_as_the_same_object():
    keyword = "".join(["re", "port"])
    assert tw.convert_to_regex(keyword) is keyword
    assert tw.convert_to_regex("") == ""


class Keyword(str):
    pass


class Shouting(str):
    def replace(self, old, new):
        return "called " + old + new


def test_str_subclasses_go_through_their_own_replace():
    plain = tw.convert_to_regex(Keyword("a*b"))
    assert plain == "a.*?b" and type(plain) is str
    unchanged = tw.convert_to_regex(Keyword("ab"))
    assert unchanged == "ab" and type(unchanged) is str
    assert tw.convert_to_regex(Shouting("a*b")) == "called *.*?"


def test_other_objects_are_asked_for_replace_and_keep_their_errors():
    class Anything:
        def replace(self, old, new):
            return (old, new)

    assert tw.convert_to_regex(Anything()) == ("*", ".*?")
    with pytest.raises(TypeError):
        tw.convert_to_regex(b"a*b")   # bytes.replace refuses str arguments
    with pytest.raises(AttributeError, match="replace"):
        tw.convert_to_regex(5)

    class Failing:
        def replace(self, old, new):
            raise KeyError("inside")

    with pytest.raises(KeyError, match="inside"):
        tw.convert_to_regex(Failing())
