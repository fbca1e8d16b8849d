import csv
import io
import os
import random
import re

import pytest


def write_rows(path, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows(rows)


def read_rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def test_text_cells_are_substituted_each_on_its_own(tw, tmp_path):
    path = tmp_path / "t.csv"
    rows = [["old", "a,old", 'say "old"'], [], ["old\r\nline", "x"], ["a", "b", "c", "old"]]
    write_rows(path, rows)
    tw.replace_csv_content(str(path), "old", "新")
    assert read_rows(path) == [[c.replace("old", "新") for c in r] for r in rows]
    assert path.read_bytes().count(b"\r\n") == 5  # four rows plus the quoted line break


@pytest.mark.parametrize(
    "data, old, new, expected",
    [
        (b"old,x", "old", "new", b"new,x"),  # no line end added
        (b"\xef\xbb\xbfold,x\n", "old", "new", b"\xef\xbb\xbfnew,x\n"),  # the mark is kept
        (b"ab\n", "b", r"\n", b'"a\n"\n'),  # a template escape becomes a quoted line feed
        (b",x\n", "", "N", b"N,NxN\n"),  # empty cells too
        (b"'old';old\r\n", "old", "new", b"'new';new\r\n"),  # another dialect keeps its bytes
    ],
)
def test_rewritten_bytes(tw, tmp_path, data, old, new, expected):
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    tw.replace_csv_content(str(path), old, new)
    assert path.read_bytes() == expected


@pytest.mark.parametrize(
    "data, old",
    [
        (b"a;old;b\nc;'d';e", "zzz"),  # another dialect that merely passes through
        (b'"a","b"\n', "a*b"),  # never across a delimiter
        (b'"a\nb",c\n', "a*b"),  # nor across a line break inside a cell
        (b"", "*"),
        (b"old,x\n", "old"),  # matched, but the text comes out the same
    ],
)
def test_file_without_a_changed_cell_keeps_bytes_and_time(tw, tmp_path, data, old):
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    os.utime(path, ns=(10**18, 10**18))
    tw.replace_csv_content(str(path), old, "old" if old == "old" else "N")
    assert path.read_bytes() == data
    assert path.stat().st_mtime_ns == 10**18


@pytest.mark.parametrize(
    "data, new, error",
    [
        (b"x,y\nold,z\n", r"\q", re.error),  # fails before anything is written
        (b"old,\xff\n", "new", UnicodeDecodeError),
    ],
)
def test_failure_leaves_file_intact(tw, tmp_path, data, new, error):
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    with pytest.raises(error):
        tw.replace_csv_content(str(path), "old", new)
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == ["t.csv"]


def rewritten_whole(tw, text, old, new):
    """The rows a full rewrite in the default dialect gives: every row read
    with csv.reader, each cell substituted, written back with csv.writer."""
    pattern = re.compile(tw.convert_to_regex(old))
    out = io.StringIO(newline="")
    writer = csv.writer(out)
    for row in csv.reader(io.StringIO(text, newline="")):
        writer.writerow([pattern.sub(new, cell) for cell in row])
    return list(csv.reader(io.StringIO(out.getvalue(), newline="")))


# Pieces of CSV text joined at random: any text is CSV to the csv module's
# reader (which is not strict), so this reaches every shape it reads:
# quotes opened, doubled, closed early or never, line breaks of each kind
# inside and outside quotes, blank lines, a last line without a line end.
PIECES = ["a", "o", "l", "d", "old", ",", '"', '""', "\r", "\n", "\r\n", " ", "新"]
KEYWORDS = [("old", "new"), ("o", ""), ("d", '"'), ("^", "<"), ("*", "N"), ("l", ","),
            ("a*d", "x\ny"), ("old", ""), ("新", "\r")]


def test_the_rewritten_file_reads_as_a_full_rewrite_would(tw, tmp_path):
    rng = random.Random(21)
    path = tmp_path / "t.csv"
    for _ in range(1500):
        text = "".join(rng.choice(PIECES) for _ in range(rng.randrange(25)))
        old, new = rng.choice(KEYWORDS)
        path.write_bytes(text.encode("utf-8"))
        tw.replace_csv_content(str(path), old, new)
        result = path.read_bytes().decode("utf-8")
        expected = rewritten_whole(tw, text, old, new)
        assert list(csv.reader(io.StringIO(result, newline=""))) == expected, (text, old, new, result)
        if expected == list(csv.reader(io.StringIO(text, newline=""))):
            assert result == text  # no cell changed: not written
