"""What a run does around its items: checks before the walk, the report,
cancellation, failures, and what a plan shows."""
import os
import pathlib
import re
import time

import pytest

from conftest import tree
from run_support import probe  # noqa: F401

MODES = {"folders": "replace_folder_names", "files": "replace_file_names",
         "content": "replace_file_contents"}


def make(root, names, data="old"):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(data)


def stale(path):
    path.write_text("x")
    then = time.time() - 11 * 60
    os.utime(path, (then, then))
    return path


def state(root):
    """Names, bytes and modification times of everything under root."""
    found = {}
    for parent, subfolders, filenames in os.walk(root):
        for name in subfolders + filenames:
            path = os.path.join(parent, name)
            data = pathlib.Path(path).read_bytes() if name in filenames else None
            found[os.path.relpath(path, root)] = (data, os.lstat(path).st_mtime_ns)
    return found


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("old, new", [("ol(d", "x"), ("old", "\\q"), ("(old)", "\\2"), ("o*+", "x")])
def test_a_bad_keyword_or_template_changes_nothing_at_all(tw, tmp_path, mode, old, new):
    make(tmp_path, ["old_a/old.txt", "old.csv"])
    stale(tmp_path / ".termweave-left.tmp")
    before = state(tmp_path)
    with pytest.raises(re.error):
        getattr(tw, MODES[mode])(str(tmp_path), old, new, True)
    assert state(tmp_path) == before


@pytest.mark.parametrize("mode", MODES)
def test_a_bytes_folder_is_refused_naming_the_argument(tw, tmp_path, mode):
    make(tmp_path, ["old_a/old.txt"])
    before = state(tmp_path)
    for root in (os.fsencode(tmp_path), 7, None):
        with pytest.raises(TypeError, match=rf"^{MODES[mode]}\(\): root_folder must be a str path"):
            getattr(tw, MODES[mode])(root, "old", "new", True)
    assert state(tmp_path) == before
    assert getattr(tw, MODES[mode])(pathlib.Path(tmp_path), "old", "new", True) is None
    assert state(tmp_path) != before


@pytest.mark.parametrize("mode", MODES)
def test_files_named_like_the_programs_own_are_passed_over_and_never_deleted(tw, tmp_path, mode):
    make(tmp_path, ["top/sub/x.txt"])
    names = [".termweave-notes.tmp", ".termweave-a1.tmp", ".termweave-XXXXXX.old", ".termweave-k.bak",
             "sub/.termweave-important.tmp"]
    kept = {name: stale(tmp_path / "top" / name) for name in names}
    link_target = stale(tmp_path / "elsewhere.txt")
    os.symlink(link_target, tmp_path / "top" / ".termweave-a4.tmp")
    getattr(tw, MODES[mode])(str(tmp_path / "top"), "zzz", "y", True)
    getattr(tw, MODES[mode])(str(tmp_path / "top"), "termweave", "y", True)
    assert all(path.read_text() == "x" for path in kept.values())
    assert link_target.exists() and os.path.islink(tmp_path / "top" / ".termweave-a4.tmp")


def test_clean_run_returns_none_and_counts(probe, tmp_path):
    make(tmp_path, ["a.txt", "b.txt", "sub/c.csv", "sub/d.doc"])
    (tmp_path / "e.txt").write_text("nothing here")
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    assert result is None
    assert {k: report[k] for k in ("seen", "changed", "passed_over", "failed")} == dict(
        seen=5, changed=3, passed_over=1, failed=0)
    assert report["failures"] == [] and report["renamed_folders"] == []
    assert report["current"].startswith(str(tmp_path))


def test_cancel_stops_after_the_current_item(tw, probe, monkeypatch, tmp_path):
    make(tmp_path, ["a.txt", "sub/b.txt", "sub/deeper/c.txt"])
    seen = []

    def handler(path, old, new):
        seen.append(path)
        probe.cancel()
    monkeypatch.setattr(tw, "replace_text_content", handler)
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    assert result is None and seen == [str(tmp_path / "a.txt")]
    assert report["seen"] == 1


def test_cancel_after_a_failure_raises_what_failed_so_far(tw, probe, monkeypatch, tmp_path):
    make(tmp_path, ["a.csv", "sub/b.txt"])

    def failing(path, old, new):
        probe.cancel()
        raise ValueError("broken")
    monkeypatch.setattr(tw, "replace_csv_content", failing)
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    assert isinstance(result, ExceptionGroup) and str(result).startswith("1 of 1 file could not be changed")
    assert (tmp_path / "sub" / "b.txt").read_text() == "old"


def test_a_workbook_that_fails_is_recorded_like_any_file(probe, tmp_path, capsys):
    make(tmp_path, ["sub/fine.txt"])
    (tmp_path / "book.xlsx").write_bytes(b"not a workbook")
    (tmp_path / "sub" / "bad.csv").write_bytes(b"\xff old")
    result, report = probe.run("content", str(tmp_path), "old", "new", True, {})
    assert str(result).startswith("2 of 3 files could not be changed")
    assert [type(e).__name__ for e in result.exceptions] == ["BadZipFile", "UnicodeDecodeError"]
    assert result.exceptions[0].__notes__ == [f"while replacing content in {tmp_path / 'book.xlsx'}"]
    assert report["failed"] == 2 and report["changed"] == 1 and len(report["failures"]) == 2
    # The workbook's own line stays.
    assert capsys.readouterr().out == f"Error processing {tmp_path / 'book.xlsx'}: File is not a zip file\n"


def test_outside_check_resolves_the_chosen_folder_too(tw, tmp_path):
    real = tmp_path / "real"
    make(real, ["a.txt"])
    os.symlink("a.txt", real / "link.txt")
    os.symlink(real, tmp_path / "alias")
    tw.replace_file_contents(str(tmp_path / "alias"), "old", "new", True)
    assert (real / "a.txt").read_text() == "new" and os.path.islink(real / "link.txt")
    os.symlink(tmp_path / "other.txt", real / "away.txt")
    (tmp_path / "other.txt").write_text("old")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_contents(str(real), "new", "x", True)
    (error,) = info.value.exceptions
    assert isinstance(error, PermissionError) and "outside the chosen folder" in str(error)
    assert (tmp_path / "other.txt").read_text() == "old" and (real / "a.txt").read_text() == "x"


@pytest.mark.parametrize("offset, passed_over", [(0, True), (8191, True), (8192, False)])
def test_binary_means_a_nul_byte_in_the_first_8_kib(probe, tmp_path, offset, passed_over):
    data = bytearray(b"old " * 2100)
    data[offset] = 0
    (tmp_path / "f.dat").write_bytes(bytes(data))
    items, report = probe.plan("content", str(tmp_path), "old", "new", True)
    assert report["passed_over"] == passed_over
    if not passed_over:
        assert [(i["outcome"], i["matches"]) for i in items] == [("change", 2099)]


def test_plan_counts_matches_as_the_handlers_replace_them(probe, tmp_path):
    (tmp_path / "t.txt").write_text("old old\nold")
    (tmp_path / "c.csv").write_text("old,xoldx\r\n7,old\r\n")
    (tmp_path / "same.csv").write_text("old\r\n")
    (tmp_path / "none.txt").write_text("nothing")
    items, report = probe.plan("content", str(tmp_path), "old", "new", True)
    assert sorted((os.path.basename(i["path"]), i["matches"]) for i in items) == [
        ("c.csv", 3), ("same.csv", 1), ("t.txt", 3)]
    assert report["seen"] == 4 and report["changed"] == 3
    # A CSV file whose cells come out the same is left alone; a text file
    # with a match is rewritten whatever the replacement gives.
    items, _ = probe.plan("content", str(tmp_path), "old", "old", True)
    assert [os.path.basename(i["path"]) for i in items] == ["t.txt"]


def test_plan_of_nested_folder_renames_and_name_clashes(probe, tmp_path):
    root = tmp_path / "w"
    for folder in ("a1/a1", "a2"):
        (root / folder).mkdir(parents=True)
    winner, loser = os.listdir(root)  # the walk takes the listing's order
    before = state(tmp_path)
    items, report = probe.plan("folders", str(root), r"\d", "N", True)
    assert state(tmp_path) == before
    changes = [(i["path"], i["new_path"]) for i in items if i["outcome"] == "change"]
    failures = [(i["path"], i["problem"]) for i in items if i["outcome"] == "failure"]
    nested_parent = root / ("aN" if winner == "a1" else "a1")
    assert changes == [(str(root / winner), str(root / "aN")),
                       (str(nested_parent / "a1"), str(nested_parent / "aN"))]
    ((path, problem),) = failures
    assert path == str(root / loser)
    assert isinstance(problem, FileExistsError) and "two items would get the same name" in str(problem)
    assert report["failed"] == 1 and report["changed"] == 2


# A content run finishes the replacements of several files together; these
# check that nothing a single replacement guarantees is lost on the way.

def leftovers(root):
    return [p.name for p in root.rglob(".termweave-*")]


def test_a_file_reached_twice_is_read_again_with_its_new_content(tw, tmp_path):
    (tmp_path / "a.txt").write_text("x")
    os.symlink("a.txt", tmp_path / "link.txt")
    os.link(tmp_path / "a.txt", tmp_path / "hard.txt")
    (tmp_path / "b.txt").write_text("x")
    os.symlink("b.txt", tmp_path / "b-link.txt")
    tw.replace_file_contents(str(tmp_path), "x", "xx", True)
    assert (tmp_path / "a.txt").read_text() == "x" * 8  # three names, three replacements
    assert (tmp_path / "b.txt").read_text() == "xxxx"
    assert os.path.islink(tmp_path / "b-link.txt") and leftovers(tmp_path) == []


def test_a_file_reached_again_while_its_batch_syncs_is_read_with_its_new_content(tw, tmp_path):
    # a.txt goes into the first batch, which the files of sub/ fill: it syncs
    # on its own while the run goes on, and the link beneath meets it there.
    (tmp_path / "a.txt").write_text("x")
    make(tmp_path, [f"sub/f{i}.txt" for i in range(200)], data="x")
    (tmp_path / "sub" / "deeper").mkdir()
    os.symlink("../../a.txt", tmp_path / "sub" / "deeper" / "link.txt")
    tw.replace_file_contents(str(tmp_path), "x", "xx", True)
    assert (tmp_path / "a.txt").read_text() == "xxxx"
    assert {p.read_text() for p in (tmp_path / "sub").glob("f*.txt")} == {"xx"}
    assert os.path.islink(tmp_path / "sub" / "deeper" / "link.txt") and leftovers(tmp_path) == []


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_the_old_files_a_run_replaced_are_let_go_of_when_it_returns(tw, tmp_path):
    # The old files are held past their moves so that freeing them happens
    # elsewhere; when the run returns, none is held (their space is back).
    make(tmp_path, [f"sub{i % 3}/f{i}.txt" for i in range(300)], data="x")
    before = set(os.listdir("/proc/self/fd"))
    tw.replace_file_contents(str(tmp_path), "x", "y", True)
    held = [os.readlink(f"/proc/self/fd/{fd}") for fd in set(os.listdir("/proc/self/fd")) - before
            if os.path.exists(f"/proc/self/fd/{fd}")]
    assert held == []
    assert {p.read_text() for p in tmp_path.rglob("f*.txt")} == {"y"}


def test_failures_in_a_batch_are_reported_in_walk_order_and_the_rest_is_written(tw, probe, monkeypatch,
                                                                                tmp_path):
    make(tmp_path, [f"f{i}.txt" for i in range(6)])
    (tmp_path / "bad.txt").write_bytes(b"\xff old")
    real = tw.replace_text_content

    def handler(path, old, new):
        real(path, old, new)
        if path.endswith("f3.txt"):  # its rename, still to come, will meet a folder
            os.rename(path, path + ".kept")
            os.mkdir(path)
            (pathlib.Path(path) / "inside").write_text("")
    monkeypatch.setattr(tw, "replace_text_content", handler)
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    listed = [name for name in os.listdir(tmp_path) if name in {"f3.txt", "bad.txt"}]
    assert [e.__notes__[-1].rsplit(os.sep, 1)[1] for e in result.exceptions] == listed
    moved = next(e for e in result.exceptions if isinstance(e, OSError))
    assert moved.filename == str(tmp_path / "f3.txt")
    assert report["changed"] == 5 and report["failed"] == 2
    assert (tmp_path / "f3.txt.kept").read_text() == "old"
    assert all((tmp_path / f"f{i}.txt").read_text() == "new" for i in (0, 1, 2, 4, 5))
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("stop", ["cancel", "interrupt"])
def test_files_staged_before_a_cancel_or_interrupt_are_written_before_it_returns(tw, probe, monkeypatch,
                                                                                 tmp_path, stop):
    make(tmp_path, [f"f{i}.txt" for i in range(5)] + ["sub/later.txt"])
    real, handled = tw.replace_text_content, []

    def handler(path, old, new):
        if len(handled) == 3:
            if stop == "interrupt":
                raise KeyboardInterrupt
            probe.cancel()
        real(path, old, new)
        handled.append(path)
    monkeypatch.setattr(tw, "replace_text_content", handler)
    if stop == "interrupt":
        with pytest.raises(KeyboardInterrupt):
            tw.replace_file_contents(str(tmp_path), "old", "new", True)
    else:
        result, report = probe.run("content", str(tmp_path), "old", "new", True)
        assert result is None and report["changed"] == 4
    assert sorted(p for p in handled if pathlib.Path(p).read_text() == "new") == sorted(handled)
    assert (tmp_path / "sub" / "later.txt").read_text() == "old"
    assert leftovers(tmp_path) == []
