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
