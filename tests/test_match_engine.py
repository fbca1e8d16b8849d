"""The window's runs match with the regex package, which gives the
interpreter's lock back while it matches: the same matches and replacements
as re, re itself where regex would read a keyword or a text otherwise, a
cancel answered in the middle of a long match, a time limit, and a clean
exit while an abandoned match still runs."""
import os
import subprocess
import sys
import threading
import time

import pytest

import termweave_mira7
from conftest import office_documents, tree
from run_support import probe  # noqa: F401

WINDOW = {"from_window": True}

# Some keywords here are ones re itself warns about (a nested set, an odd group name).
pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::DeprecationWarning")

TEXTS = [
    "Q3 report final report", "a1b2b", "2023_a_plan_2023_b_plan", "old_data_old", "xxabcyyabc",
    "a12b", "125 1.5", "ab", "file1 file(1)", "a\nb", "", "old old\nold", "报告(1) 报告2",
    "café and cafe\u0301, x² and ½ and _",  # word characters the two engines count otherwise
    "sep\x1cfield\x1fend\t and  space",  # information separators: space to re only
    "İstanbul ıi Iİ iI",  # the dotted and dotless i
    "digits 123 \U00010d40\U00010d41 𝟘",  # digits beyond the interpreter's Unicode tables
    "a{e<=1} aa{1, 2} [[:alpha:]] :a] x{1,2} ab",  # what regex reads as its own syntax
]

KEYWORDS = [
    # the keywords of the other tests
    ("report", "X"), ("a*b", "X"), ("2023*plan", "X"), ("old*", "new"), ("*abc", "N"), ("a**b", "X"),
    ("1.5", "N"), ("*", "X"), ("", "X"), ("file(1)", "F"), (r"(\d+)", r"FY\1"), (r"\d", "N"),
    (r"\d|old", "N"), ("^$", "filled"), ("^x", "xx"), ("old", "old-new"), ("old", "新"),
    # classes, anchors, groups, templates
    ("x?", "Y"), ("^", ">"), ("$", "<"), (r"\w+", r"[\g<0>]"), (r"\bold\b", "new"), (r"\s+", "_"),
    (r"\S+", "_"), (r"\W", ""), (r"\B", "|"), (r"\d+", "#"), ("i", "I"), ("İ", "I"), ("[a-z]+", "L"),
    ("(a)(b)?", r"\2\1"), ("(?P<n>o)ld", r"\g<n>"), ("old", "\\n\\t\\\\"), ("a|", "Z"), ("[^a]", "-"),
    # what regex reads otherwise, so that re matches them
    ("a{e<=1}", "N"), ("a{1, 2}", "N"), ("[[:alpha:]]", "N"), ("(?x) a b", "N"), ("(?i)ı", "N"),
    ("[ħ-ǿ]", "N"), ("(a)", r"\g< 1>"),
]


@pytest.mark.parametrize("options", [{}, {"case_sensitive": False}, {"regular_expression": False}])
def test_the_window_engine_matches_and_replaces_as_re_does(probe, options):
    for old, new in KEYWORDS:
        for text in TEXTS:
            expected = probe.substitute(old, new, text, options)
            assert probe.substitute(old, new, text, dict(options, **WINDOW)) == expected, (old, new, text)


@pytest.mark.parametrize("old, new, options, engine", [
    ("a*b", "X", {}, "regex"),
    (r"\d+", "N", {}, "regex"),
    (r"\w+", "N", {}, "regex"),  # re takes over only the texts on which the two differ
    ("a{2,3}", "N", {}, "regex"),
    ("a(b*", "N", {"regular_expression": False}, "regex"),
    ("İstanbul", "N", {}, "regex"),  # with case, no folding
    ("a{e<=1}", "N", {}, "re"),  # fuzzy matching to regex, literal text to re
    ("x{1, 2}", "N", {}, "re"),
    ("[[:alpha:]]+", "N", {}, "re"),  # a POSIX class to regex, a set and a "]" to re
    ("(?x) a b", "N", {}, "re"),
    ("(?i)ı", "N", {}, "re"),
    ("İstanbul", "N", {"case_sensitive": False}, "re"),
    ("[ħ-ǿ]", "N", {"case_sensitive": False}, "re"),
    (r"\x49", "N", {"case_sensitive": False}, "re"),
    ("(a)", r"\g< 1>", {}, "re"),
])
def test_regex_matches_unless_it_would_read_the_keyword_otherwise(probe, old, new, options, engine):
    assert probe.keyword(old, new, dict(options, **WINDOW))["engine"] == engine
    # outside the window's runs re matches, as it always has
    assert probe.keyword(old, new, options)["engine"] == "re"


@pytest.mark.parametrize("old, new", [("old", "new"), ("o*d", "N"), (r"\bold\b", r"<\g<0>>"), ("(?i)OLD", "x")])
def test_whole_runs_with_the_window_engine_end_as_with_re(probe, tmp_path, old, new):
    results = []
    for engine, options in (("re", {}), ("regex", WINDOW)):
        root = tmp_path / engine
        office_documents(root / "office")
        (root / "old_dir").mkdir()
        (root / "old_dir" / "old notes.txt").write_text("old, older, bold\nOLD", encoding="utf-8")
        (root / "table.csv").write_text("old,x old\r\n", encoding="utf-8")
        for mode in ("content", "files", "folders"):
            result, _ = probe.run(mode, str(root), old, new, True, options)
            assert result is None
        results.append({p: (root / p).read_bytes() for p in sorted(tree(root))
                        if p.endswith((".txt", ".csv"))})
        results[-1]["names"] = sorted(tree(root))
    assert results[0] == results[1]


def wait_until(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come"
        time.sleep(0.01)


@pytest.fixture
def limits(probe):
    """Short time limits for the test; afterwards every matcher thread has ended."""
    previous = probe.match_limits(0.05, 5.0)
    yield probe
    wait_until(lambda: probe.running_matchers() == 0)
    probe.match_limits(*previous)


# `a*b*z` tries every a, then every b after it, then the rest of the line
# for a z: minutes on this one line. Its z comes first, where it is no use
# to a match but shows that the file holds every text a match needs (a file
# without one is passed over unread).
SLOW_TEXT = "z" + "ab" * 1500


def slow_file(folder):
    path = folder / "slow.txt"
    path.write_text(SLOW_TEXT, encoding="utf-8")
    return path


def cancel_once_matching(probe):
    def cancel():
        wait_until(lambda: probe.running_matchers() > 0)
        probe.cancel()
    helper = threading.Thread(target=cancel)
    helper.start()
    return helper


def test_a_cancel_is_answered_in_the_middle_of_a_match(limits, tmp_path):
    probe = limits
    path = slow_file(tmp_path)
    helper = cancel_once_matching(probe)
    result, report = probe.run("content", str(tmp_path), "a*b*z", "X", True, WINDOW)
    helper.join()
    # the run did not wait for the match, which goes on alone until its limit
    assert probe.running_matchers() == 1
    assert result is None
    # the file is not done: neither changed, nor failed, nor counted as seen
    assert (report["seen"], report["changed"], report["failed"]) == (0, 0, 0)
    assert path.read_text(encoding="utf-8") == SLOW_TEXT


def test_a_match_over_the_time_limit_fails_and_leaves_the_file_as_it_was(limits, tmp_path):
    probe = limits
    probe.match_limits(0.05, 0.5)
    path = slow_file(tmp_path)
    (tmp_path / "quick.txt").write_text("a b z", encoding="utf-8")
    items, _ = probe.plan("content", str(tmp_path), "a*b*z", "X", True, WINDOW)
    (item,) = [i for i in items if i["outcome"] == "failure"]
    assert str(item["problem"]).startswith("匹配超时") and item["path"] == str(path)
    result, report = probe.run("content", str(tmp_path), "a*b*z", "X", True, WINDOW)
    (error,) = result.exceptions
    assert isinstance(error, TimeoutError) and str(error).startswith("匹配超时")
    assert (report["changed"], report["failed"]) == (1, 1)
    assert path.read_text(encoding="utf-8") == SLOW_TEXT
    assert (tmp_path / "quick.txt").read_text(encoding="utf-8") == "X"


def test_the_program_exits_cleanly_while_an_abandoned_match_runs(probe, tmp_path):
    slow_file(tmp_path)
    script = f"""
import sys, threading, time
sys.path[:0] = [{os.path.dirname(probe.__file__)!r}, {os.path.dirname(termweave_mira7.__file__)!r}]
import termweave_mira7, _termweave_probe as probe
probe.match_limits(0.05, 3.0)
def cancel():
    while probe.running_matchers() == 0:
        time.sleep(0.01)
    probe.cancel()
threading.Thread(target=cancel).start()
probe.run("content", {str(tmp_path)!r}, "a*b*z", "X", True, {{"from_window": True}})
print("returned while matching:", probe.running_matchers())
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "returned while matching: 1", done.stderr
    # the exit waits for the match instead of letting it wake into a finalizing interpreter
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
