"""The run after a preview takes the plan's decisions on files that did not
change in between, and decides afresh on any that did: either way the tree
ends as a run on its own would leave it."""
import os

import docx

from conftest import office_documents
from run_support import probe  # noqa: F401


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    path.write_bytes(data)
    return path


def plan_then_run(probe, root, old, new, between=None):
    """Plans with kept decisions, calls `between`, runs with them. Returns
    (decisions kept, decisions taken, run report)."""
    kept = probe.kept_decisions()
    probe.plan("content", str(root), old, new, True, {"kept": kept})
    if between:
        between()
    result, report = probe.run("content", str(root), old, new, True, {"kept": kept})
    if isinstance(result, BaseException):
        raise result
    return (*probe.kept_counts(kept), report)


def sample_tree(root):
    write(root / "a" / "match.txt", "an old word\r\nold again\n")
    write(root / "a" / "plain.txt", "nothing here\n")
    write(root / "a" / "data.csv", "name,note\nx,old one\ny,\"old, quoted\"\n")
    write(root / "b" / "blob.bin", b"old\x00\x01binary")
    write(root / "b" / "gbk.txt", "旧的 old 文字\n".encode("gb18030"))
    office_documents(root / "c")


def test_an_unchanged_tree_is_not_decided_twice_and_ends_as_a_plain_run(probe, tmp_path):
    sample_tree(tmp_path / "kept")
    sample_tree(tmp_path / "plain")
    kept, taken, report = plan_then_run(probe, tmp_path / "kept", "old", "NEW")
    probe.run("content", str(tmp_path / "plain"), "old", "NEW", True, {})
    # Every file but the workbook, whose handler prints its cells as a run decides.
    assert kept == taken == 7
    assert report["changed"] == 6 and report["passed_over"] == 1
    for folder, _, names in os.walk(tmp_path / "plain"):
        for name in names:
            if name.endswith((".docx", ".pptx", ".xlsx")):
                continue
            twin = os.path.join(tmp_path / "kept", os.path.relpath(folder, tmp_path / "plain"), name)
            with open(os.path.join(folder, name), "rb") as a, open(twin, "rb") as b:
                assert a.read() == b.read(), name
    text = "\n".join(p.text for p in docx.Document(tmp_path / "kept" / "c" / "doc.docx").paragraphs)
    assert "the NEW plan" in text


def test_files_changed_after_the_plan_are_decided_afresh(probe, tmp_path):
    root = tmp_path / "tree"
    matched = write(root / "matched.txt", "old one\n")
    unmatched = write(root / "unmatched.txt", "none here\n")
    replaced = write(root / "replaced.txt", "old two\n")
    binary = write(root / "binary.txt", b"\x00\x00zz")
    same_size = write(root / "same_size.txt", "abc old\n")

    def edit():
        matched.write_text("old, old and old\n")
        unmatched.write_text("now an old one\n")
        other = write(root / "other.tmp", "xyz old\n")
        os.replace(other, replaced)  # another file, same size
        binary.write_text("old text\n")
        stat = same_size.stat()
        same_size.write_text("old abc\n")
        os.utime(same_size, ns=(stat.st_atime_ns, stat.st_mtime_ns))

    kept, taken, report = plan_then_run(probe, root, "old", "NEW", between=edit)
    assert (kept, taken) == (5, 0)
    assert matched.read_text() == "NEW, NEW and NEW\n"
    assert unmatched.read_text() == "now an NEW one\n"
    assert replaced.read_text() == "xyz NEW\n"
    assert binary.read_text() == "NEW text\n"
    assert same_size.read_text() == "NEW abc\n"
    assert report["changed"] == 5


def test_a_file_reached_twice_is_replaced_once_with_its_new_text(probe, tmp_path):
    root = tmp_path / "tree"
    target = write(root / "a" / "note.txt", "old\n")
    os.symlink(target, root / "b_link.txt")
    kept, taken, _ = plan_then_run(probe, root, "old", "old old")
    assert kept == 2 and taken == 1  # the second visit finds it rewritten
    assert target.read_text() == "old old old old\n"
    assert os.path.islink(root / "b_link.txt")


def test_a_removed_file_fails_as_in_a_plain_run(probe, tmp_path):
    root = tmp_path / "tree"
    gone = write(root / "gone.txt", "old\n")
    write(root / "stays.txt", "old\n")
    kept = probe.kept_decisions()
    probe.plan("content", str(root), "old", "new", True, {"kept": kept})
    gone.unlink()
    write(root / "new.txt", "old\n")
    result, report = probe.run("content", str(root), "old", "new", True, {"kept": kept})
    assert result is None
    assert (root / "new.txt").read_text() == "new\n"
    assert (root / "stays.txt").read_text() == "new\n"
    assert report["changed"] == 2
