import csv
import os
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
        (b"old,x", "old", "new", b"new,x\r\n"),  # default dialect on output
        (b"\xef\xbb\xbfold,x\n", "old", "new", b"\xef\xbb\xbfnew,x\r\n"),
        (b"ab\n", "b", r"\n", b'"a\n"\r\n'),  # a template escape becomes a quoted line feed
        (b",x\n", "", "N", b"N,NxN\r\n"),  # empty cells too
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
