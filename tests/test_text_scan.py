"""The scan ahead of a content run: a text or CSV file that cannot hold the
keyword is passed over without its handler, and nothing else differs. Each
tree is run twice, with "old" (whose text the scan looks for) and with
"(?:old)" (the same keyword, which the scan cannot read), and both runs
must leave the same bytes and report the same."""
import csv
import os
import shutil
import subprocess
import sys
import types

import pytest

from run_support import need, probe  # noqa: F401

import termweave_mira7

OLD = b"\xbe\xc9"
LE, BE, MARK = b"\xff\xfe", b"\xfe\xff", b"\xef\xbb\xbf"
PIECE = 256 * 1024  # the scan reads this much at a time


TREE = {
    "utf8.txt": b"an old line\n", "utf8-none.txt": b"nothing\n",
    "gbk.txt": OLD + b" old\r\n", "gbk-none.txt": OLD + b" x\r\n",
    "gb18030-none.txt": b"\x95\x32\x82\x36 x",
    "le.txt": LE + "old".encode("utf-16-le"), "le-none.txt": LE + "x".encode("utf-16-le"),
    "be-none.txt": BE + "旧".encode("utf-16-be"), "mark-none.txt": MARK + b"x",
    "latin1.txt": "café old".encode("latin-1"), "latin1-none.txt": "café".encode("latin-1"),
    "control-none.txt": OLD + b"\x01", "odd-none.txt": LE + b"x\x00y",
    "binary.txt": b"old\0", "binary-none.txt": b"x\0", "empty.txt": b"",
    "split.csv": b'"o"ld,x\r\n', "doubled.csv": b'"ol""d",old\r\n', "none.csv": b'"a,b",c\n',
    "latin1-none.csv": "é,x".encode("latin-1"), "le-none.csv": LE + '"x",y'.encode("utf-16-le"),
    "big-cell-none.csv": b"x" * 50 + b",y\n", "many-cells-none.csv": b"abcdefghij,\n" * 8,
    # "old" across the scan's first piece boundary
    "across.txt": b"x" * (PIECE - 1) + b"old",
    "across-le.txt": LE + "x".encode("utf-16-le") * (PIECE // 2 - 2) + "old".encode("utf-16-le"),
    "across-gbk.txt": OLD + b"x" * (PIECE - 3) + b"old",
}


def make_tree(root):
    for name, data in TREE.items():
        path = root / ("sub" if "none" in name else "") / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def contents(root):
    return {os.path.relpath(os.path.join(folder, name), root): open(os.path.join(folder, name), "rb").read()
            for folder, _, names in os.walk(root) for name in names}


def outcome(probe, root, old):
    """What a plan and a run with `old` decide and leave behind, paths made relative."""
    def relative(text):
        return text.replace(str(root), "<root>")
    items, _ = probe.plan("content", str(root), old, "new", True)
    plan = sorted((relative(i["path"]), i["outcome"], i["matches"], i["reason"], i["encoding"],
                   i["problem"] and type(i["problem"]).__name__) for i in items)
    result, report = probe.run("content", str(root), old, "new", True)
    failures = sorted((type(e).__name__, [relative(n) for n in e.__notes__]) for e in report["failures"])
    counts = {k: v for k, v in report.items() if k not in ("failures", "renamed_folders", "current")}
    return plan, failures, counts, type(result).__name__, contents(root)


@pytest.fixture
def small_field_limit():
    """A csv field limit that the CSV files of the tree are measured against."""
    before = csv.field_size_limit(40)
    yield
    csv.field_size_limit(before)


def test_the_scan_changes_nothing_but_the_work_done(probe, tmp_path, small_field_limit):
    scanned, unscanned = tmp_path / "scanned", tmp_path / "unscanned"
    make_tree(scanned)
    make_tree(unscanned)
    with_scan = outcome(probe, scanned, "old")
    without = outcome(probe, unscanned, "(?:old)")
    assert with_scan == without
    plan, failures, counts, result, after = with_scan
    assert [name for name, data in TREE.items() if after[os.path.join("sub" if "none" in name else "", name)] != data] \
        == ["utf8.txt", "gbk.txt", "le.txt", "split.csv", "doubled.csv", "across.txt", "across-le.txt",
            "across-gbk.txt"]
    assert sorted(f[1][0].rsplit("/", 1)[1] for f in failures) == [
        "big-cell-none.csv", "control-none.txt", "latin1-none.csv", "latin1-none.txt", "latin1.txt",
        "odd-none.txt"]


def test_a_file_changed_after_the_scan_read_it_is_handled_as_it_is_then(tw, tmp_path, monkeypatch):
    # Forty files go by before the last one listed is reached; by then the
    # scan has usually read it, and the run adds the keyword to it just
    # before it looks at it.
    for i in range(41):
        (tmp_path / f"f{i:02}.txt").write_bytes(b"nothing")
    last = str(tmp_path / os.listdir(tmp_path)[-1])
    real_os = tw.os

    def lstat(path, *args, **kwargs):
        if path == last:
            with open(path, "ab") as file:
                file.write(b" old")
        return real_os.lstat(path, *args, **kwargs)
    fake_os = types.SimpleNamespace(**{name: getattr(real_os, name) for name in dir(real_os)
                                       if not name.startswith("__")})
    fake_os.lstat = lstat
    monkeypatch.setattr(tw, "os", fake_os)
    tw.replace_file_contents(str(tmp_path), "old", "new", True)
    assert open(last, "rb").read() == b"nothing new"


SCAN_ONLY = """
import sys
sys.path.insert(0, sys.argv[2])
import termweave_mira7
termweave_mira7.replace_file_contents(sys.argv[1], "old", "new", True)
"""


def test_a_file_the_keyword_cannot_be_in_is_opened_only_by_the_scan(tmp_path):
    need(shutil.which("strace"), "needs strace")
    files = {"none.txt": b"nothing", "gbk-none.txt": OLD + b" x", "le-none.csv": LE + b"x\x00",
                  "match.txt": b"old"}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    log = tmp_path.parent / "strace.log"
    done = subprocess.run(["strace", "-f", "-e", "trace=open,openat", "-o", str(log), sys.executable, "-c",
                           SCAN_ONLY, str(tmp_path), os.path.dirname(termweave_mira7.__file__)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    opened = log.read_text()
    counts = {name: opened.count(f'{tmp_path / name}", O_RDONLY') for name in files}
    assert counts["none.txt"] == counts["gbk-none.txt"] == counts["le-none.csv"] == 1
    assert counts["match.txt"] >= 2  # the scan, then the handler
    assert (tmp_path / "match.txt").read_bytes() == b"new"


# Pieces of files joined at random: text in each encoding the rules read,
# and the near misses the scan must not take for text it can prove (overlong
# and surrogate UTF-8, bytes GB18030 refuses, four-byte GB18030, control
# characters, lone UTF-16 surrogates, a sequence cut off at the end).
BYTE_PIECES = [b"old", b"ol", b"d", b"x", b" ", b"\r\n", b"\n", b",", b'"', OLD, b"\xa2\xe3",
               "新".encode(), b"\x95\x32\x82\x36", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
               b"\xe6\x96", b"\x80", b"\xff", b"\x81\x7f", b"\x81\x30", b"\x01", b"\x0c", b"\0",
               "old".encode("utf-16-le"), b"\x00\xd8", b"\x00\xdc"]
STARTS = [b"", b"", b"", LE, BE, MARK]


def test_random_files_come_out_the_same_with_and_without_the_scan(tw, tmp_path):
    rng = __import__("random").Random(29)
    for case in range(300):
        name = rng.choice(["f.txt", "f.csv"])
        data = rng.choice(STARTS) + b"".join(rng.choice(BYTE_PIECES) for _ in range(rng.randrange(12)))
        outcomes = []
        for old in ("old", "(?:old)"):
            folder = tmp_path / f"{case}-{len(outcomes)}"
            folder.mkdir()
            (folder / name).write_bytes(data)
            try:
                tw.replace_file_contents(str(folder), old, "new", False)
                error = None
            except ExceptionGroup as group:
                error = [type(e) for e in group.exceptions]
            outcomes.append((error, (folder / name).read_bytes()))
        assert outcomes[0] == outcomes[1], (name, data)
