"""What the window's options do to a run and to its plan: case, plain-text
keywords, the part of a file name matched, what is passed over (version
control, hidden items, masks) and the rows left out of the preview. The
runs here get their options as the window gives them, through the probe."""
import errno
import os

import pytest

from conftest import office_documents, tree
from run_support import probe  # noqa: F401


def write(path, text="old"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


def run(probe, mode, root, old, new, **options):
    result, report = probe.run(mode, str(root), old, new, True, options)
    if isinstance(result, BaseException):
        raise result
    return report


def plan(probe, mode, root, old, new, **options):
    return probe.plan(mode, str(root), old, new, True, options)


def changes(items):
    return sorted(os.path.basename(i["path"]) for i in items if i["outcome"] == "change")


def passed_over(items):
    return sorted((os.path.basename(i["path"]), i["reason"]) for i in items if i["outcome"] == "passed_over")


def test_case_ignored_in_names_contents_and_the_plan(probe, tmp_path):
    write(tmp_path / "a" / "Report.TXT", "REPORT and Report and report")
    write(tmp_path / "b" / "report-notes.md", "nothing")
    write(tmp_path / "REPORTS" / "x.txt", "x")
    office_documents(tmp_path / "office")
    items, _ = plan(probe, "content", tmp_path, "OLD", "new", case_sensitive=False)
    assert changes(items) == ["book.xlsx", "deck.pptx", "doc.docx"]
    items, _ = plan(probe, "content", tmp_path, "Report", "memo", case_sensitive=False)
    assert [(os.path.basename(i["path"]), i["matches"]) for i in items] == [("Report.TXT", 3)]
    # the default is the specified one: case matters
    assert plan(probe, "content", tmp_path, "OLD", "new")[0] == []

    run(probe, "content", tmp_path, "report", "memo", case_sensitive=False)
    assert (tmp_path / "a" / "Report.TXT").read_text() == "memo and memo and memo"
    run(probe, "files", tmp_path, "report", "memo", case_sensitive=False)
    run(probe, "folders", tmp_path, "reports", "Memos", case_sensitive=False)
    assert tree(tmp_path) >= {"a/memo.TXT", "b/memo-notes.md", "Memos/x.txt"}


@pytest.mark.parametrize("old, new, text, result", [
    ("a.c", "X", "abc a.c", "abc X"),
    ("报告(1)", "报告(2)", "见报告(1)和报告1", "见报告(2)和报告1"),
    ("C:\\temp", "D:\\new", "path C:\\temp\\x", "path D:\\new\\x"),  # \n stays a backslash and n
    ("a*c", "[*]", "a(1)c + a.c", "[*] + [*]"),  # only * is a wildcard, and only in the old keyword
    ("1+1", "2", "1+1=2 11", "2=2 11"),
    ("\\*", "!", "x\\yz\\", "x!yz!"),  # a backslash, then the shortest run: nothing
    ("$5 ^", "€5", "cost $5 ^", "cost €5"),
    ("[draft]", "", "d [draft] d", "d  d"),
])
def test_plain_text_keywords(probe, tmp_path, old, new, text, result):
    write(tmp_path / "t.txt", text)
    items, _ = plan(probe, "content", tmp_path, old, new, regular_expression=False)
    assert changes(items) == ["t.txt"]
    run(probe, "content", tmp_path, old, new, regular_expression=False)
    assert (tmp_path / "t.txt").read_text(encoding="utf-8") == result


def test_plain_text_names_and_a_keyword_re_would_refuse(probe, tmp_path):
    write(tmp_path / "v1.0.txt")
    write(tmp_path / "v100.txt")
    write(tmp_path / "(draft.txt")
    run(probe, "files", tmp_path, "v1.0", "v2.0", regular_expression=False)
    run(probe, "files", tmp_path, "(draft", "final", regular_expression=False)
    assert tree(tmp_path) == {"v2.0.txt", "v100.txt", "final.txt"}


@pytest.mark.parametrize("scope, name, old, new, result", [
    ("whole", "my_txt.txt", "txt", "X", "my_X.X"),
    ("stem", "my_txt.txt", "txt", "X", "my_X.txt"),
    ("extension", "my_txt.txt", "txt", "X", "my_txt.X"),
    ("stem", "ab.txt", ".", "X", "XX.txt"),  # the dot before the extension is not in the stem
    ("extension", "archive.tar.gz", "gz", "bz2", "archive.tar.bz2"),
    ("extension", ".profile", "profile", "X", ".profile"),  # a leading dot begins no extension
    ("stem", ".profile", "prof", "X", ".Xile"),
    ("extension", "README", "^", "md", "README"),  # nothing to match in
    ("stem", "README", "READ", "X", "XME"),
])
def test_name_scopes(probe, tmp_path, scope, name, old, new, result):
    write(tmp_path / name)
    items, _ = plan(probe, "files", tmp_path, old, new, name_scope=scope)
    assert [os.path.basename(i["new_path"]) for i in items] == ([result] if result != name else [])
    run(probe, "files", tmp_path, old, new, name_scope=scope)
    assert tree(tmp_path) == {result}


def repository(root):
    write(root / ".git" / "config", "old")
    write(root / ".git" / "refs" / "heads" / "old", "old")
    (root / ".git" / "old_dir").mkdir()
    write(root / ".svn" / "old.txt")
    write(root / "src" / ".hg" / "old")
    write(root / "src" / ".BZR" / "old")
    write(root / "src" / "old.txt")
    (root / "src" / "old_dir").mkdir()
    return root


VERSION_CONTROL = {".git/", ".git/config", ".git/refs/", ".git/refs/heads/", ".git/refs/heads/old",
                   ".git/old_dir/", ".svn/", ".svn/old.txt", "src/.hg/", "src/.hg/old"}


@pytest.mark.parametrize("mode", ["folders", "files", "content"])
def test_version_control_folders_are_never_touched(probe, tw, tmp_path, mode):
    root = repository(tmp_path / "repo")
    bzr = {"src/.BZR/", "src/.BZR/old"}
    items, _ = plan(probe, mode, root, "old", "new")
    passed = set(passed_over(items))
    assert {(".git", "version_control"), (".hg", "version_control"), (".svn", "version_control")} <= passed
    # letter case counts where it counts for names
    assert ((".BZR", "version_control") in passed) == (os.name == "nt")
    # also for a direct call, with no options at all
    getattr(tw, {"folders": "replace_folder_names", "files": "replace_file_names",
                 "content": "replace_file_contents"}[mode])(str(root), "old", "new", True)
    after = tree(root)
    assert VERSION_CONTROL <= after
    assert all((root / p).read_text() == "old" for p in VERSION_CONTROL if not p.endswith("/"))
    # what lies beside them is handled
    assert {"folders": "src/new_dir/", "files": "src/new.txt", "content": "src/old.txt"}[mode] in after
    if mode == "content":
        assert (root / "src" / "old.txt").read_text() == "new"
    if os.name != "nt":
        assert bzr <= after or mode == "files"


@pytest.mark.parametrize("chosen", [".git", ".git/refs"])
def test_a_chosen_folder_in_version_control_is_passed_over_whole(probe, tmp_path, chosen):
    root = repository(tmp_path / "repo")
    before = tree(root)
    for mode in ("folders", "files", "content"):
        items, _ = plan(probe, mode, root / chosen, "o", "n")
        assert [(i["outcome"], i["reason"]) for i in items] == [("passed_over", "version_control")]
        run(probe, mode, root / chosen, "o", "n")
    assert tree(root) == before
    assert (root / ".git" / "config").read_text() == "old"


def test_hidden_items_are_passed_over_when_asked(probe, tmp_path):
    write(tmp_path / ".old_notes.txt")
    write(tmp_path / ".old_cache" / "old.txt")
    write(tmp_path / "old.txt")
    items, _ = plan(probe, "content", tmp_path, "old", "new", skip_hidden=True)
    assert changes(items) == ["old.txt"]
    assert passed_over(items) == [(".old_cache", "hidden"), (".old_notes.txt", "hidden")]
    run(probe, "files", tmp_path, "old", "new", skip_hidden=True)
    run(probe, "folders", tmp_path, "old", "new", skip_hidden=True)
    assert tree(tmp_path) == {".old_notes.txt", ".old_cache/", ".old_cache/old.txt", "new.txt"}
    # off by default: hidden items are handled like the others
    run(probe, "files", tmp_path, "old", "new")
    assert tree(tmp_path) == {".new_notes.txt", ".old_cache/", ".old_cache/new.txt", "new.txt"}


@pytest.mark.parametrize("include, exclude, handled", [
    ("*.docx;*.txt", "", ["doc.docx", "notes.txt", "x[1].txt", "~$notes.txt"]),
    ("", "~$*", ["book.xlsx", "data.csv", "deck.pptx", "doc.docx", "notes.txt", "x[1].txt"]),
    (" *.txt ; ", " ~$* ;", ["notes.txt", "x[1].txt"]),  # spaces and empty masks do not count
    ("x[1].txt", "", ["x[1].txt"]),  # a bracket is itself, not a set
    ("?otes.*", "", ["notes.txt"]),
    ("*.DOCX", "", ["doc.docx"] if os.name == "nt" else []),  # letter case counts where names' case does
])
def test_masks_choose_the_files_of_a_content_or_file_name_run(probe, tmp_path, include, exclude, handled):
    office_documents(tmp_path)
    for name in ("notes.txt", "~$notes.txt", "x[1].txt"):
        write(tmp_path / name)
    write(tmp_path / "data.csv")
    items, report = plan(probe, "content", tmp_path, "old", "new", include=include, exclude=exclude)
    assert changes(items) == handled
    assert report["seen"] == len(handled)  # the others are not part of the run at all
    items, _ = plan(probe, "files", tmp_path, "^", "x", include=include, exclude=exclude)
    assert changes(items) == handled


def test_a_row_left_out_stays_as_it_is_while_the_rest_change(probe, tmp_path):
    for name in ("a.txt", "b.txt", "c.txt"):
        write(tmp_path / "d" / name)
    items, _ = plan(probe, "content", tmp_path, "old", "new")
    left = {i["path"] for i in items if i["path"].endswith("b.txt")}
    report = run(probe, "content", tmp_path, "old", "new", left_out=left)
    assert [(tmp_path / "d" / n).read_text() for n in ("a.txt", "b.txt", "c.txt")] == ["new", "old", "new"]
    assert (report["changed"], report["passed_over"]) == (2, 1)

    items, _ = plan(probe, "files", tmp_path, r"[ab]\.", "x.", left_out=left)
    assert passed_over(items) == [("b.txt", "left_out")]
    run(probe, "files", tmp_path, r"[ab]\.", "x.", left_out=left)
    assert tree(tmp_path / "d") == {"x.txt", "b.txt", "c.txt"}


@pytest.mark.parametrize("left, result", [
    # the top folder keeps its name, and what lies beneath is renamed in it
    ("old1", {"old1/", "old1/new2/", "old1/new2/new3/", "old1/new2/new3/old.txt"}),
    # a folder in the middle: the plan showed it under its parent's new name
    ("new1/old2", {"new1/", "new1/old2/", "new1/old2/new3/", "new1/old2/new3/old.txt"}),
    ("new1/new2/old3", {"new1/", "new1/new2/", "new1/new2/old3/", "new1/new2/old3/old.txt"}),
])
def test_a_folder_left_out_keeps_its_name_and_what_is_beneath_is_handled(probe, tmp_path, left, result):
    root = tmp_path / "root"
    write(root / "old1" / "old2" / "old3" / "old.txt")
    items, _ = plan(probe, "folders", root, "old", "new")
    shown = {os.path.relpath(i["path"], root): i["path"] for i in items}
    assert sorted(shown) == ["new1/new2/old3", "new1/old2", "old1"]
    report = run(probe, "folders", root, "old", "new", left_out={shown[left]})
    assert tree(root) == result
    assert report["passed_over"] == 1 and report["failed"] == 0


def test_a_folder_left_out_frees_the_name_it_would_have_taken(probe, tmp_path):
    # Two siblings would get one name: the plan gives it to the first and
    # refuses the second. Leaving the first out, the run gives it to the second.
    root = tmp_path / "root"
    for name in ("old_a", "old_b"):
        (root / name).mkdir(parents=True)
    items, _ = plan(probe, "folders", root, "old_.", "new")
    renamed = [i["path"] for i in items if i["outcome"] == "change"]
    refused = [i["path"] for i in items if i["outcome"] == "failure"]
    assert len(renamed) == len(refused) == 1
    report = run(probe, "folders", root, "old_.", "new", left_out=set(renamed))
    assert tree(root) == {os.path.basename(renamed[0]) + "/", "new/"}
    assert (report["changed"], report["passed_over"], report["failed"]) == (1, 1, 0)


def test_the_plan_names_a_name_too_long_as_the_run_then_fails(probe, tmp_path):
    write(tmp_path / "a.txt")
    (tmp_path / "b_dir").mkdir()
    for mode, old in (("files", "a"), ("folders", "b")):
        (item,), _ = plan(probe, mode, tmp_path, old, "x" * 300)
        assert item["outcome"] == "failure"
        assert isinstance(item["problem"], OSError) and item["problem"].errno == errno.ENAMETOOLONG
        result, report = probe.run(mode, str(tmp_path), old, "x" * 300, True)
        assert report["failed"] == 1 and report["changed"] == 0
        assert result.exceptions[0].errno == errno.ENAMETOOLONG
    # in bytes of the file system's encoding: 100 Chinese characters are 300 bytes
    items, _ = plan(probe, "files", tmp_path, "a", "文" * 100)
    assert items[0]["problem"].errno == errno.ENAMETOOLONG
    items, _ = plan(probe, "files", tmp_path, "a", "文" * 80)
    assert items[0]["outcome"] == "change"


@pytest.mark.parametrize("old, options, empty", [
    ("x?", {}, True),
    ("x", {}, False),
    ("*", {"regular_expression": False}, True),
    ("x*", {"regular_expression": False}, False),
    ("^", {}, True),
    ("(?=a)", {}, False),
    ("", {"from_window": True}, True),
])
def test_whether_a_keyword_matches_the_empty_text(probe, old, options, empty):
    assert probe.keyword(old, "y", options)["matches_empty"] is empty
