import os
import re

import pytest

def aged(path):
    """Backdates the file so that a rewrite shows in its modification time."""
    os.utime(path, ns=(10**18, 10**18))
    return path


@pytest.mark.parametrize(
    "data, old, new, expected",
    [
        (b"Q3 report\r\nfinal report\rend\n", "report", "X", b"Q3 X\r\nfinal X\rend\n"),  # line ends kept
        (b"\xef\xbb\xbfold", "old", "new", b"\xef\xbb\xbfnew"),  # the mark is kept
        ("旧词 old".encode(), "old", "新", "旧词 新".encode()),
        (b"a1\nb a2b", "a*b", "X", b"a1\nb X"),  # the wildcard stops at a line end
        (b"report", "r*t", r"<\g<0>>\n", b"<report>\n"),
        (b"", "*", "N", b"N"),
        (b"ab", "", "-", b"-a-b-"),
    ],
)
def test_matching_file_is_rewritten(tw, tmp_path, data, old, new, expected):
    path = tmp_path / "f.txt"
    path.write_bytes(data)
    assert tw.replace_text_content(str(path), old, new) is None
    assert path.read_bytes() == expected


@pytest.mark.parametrize("data, old", [(b"Old\r\nvalue\r", "old"), (b"", "x"), (b"a\nb", "a*b")])
def test_unmatched_file_keeps_bytes_and_time(tw, tmp_path, data, old):
    path = tmp_path / "f.txt"
    path.write_bytes(data)
    aged(path)
    tw.replace_text_content(str(path), old, r"\q")  # a bad template is never reached
    assert path.read_bytes() == data
    assert path.stat().st_mtime_ns == 10**18


@pytest.mark.parametrize(
    "data, old, new, error",
    [
        (b"old \xff\xfe", "old", "new", UnicodeDecodeError),
        (b"old", "old", r"\q", re.error),
        (b"old", "ol(d", "new", re.error),
    ],
)
def test_failure_leaves_file_intact(tw, tmp_path, data, old, new, error):
    path = tmp_path / "f.txt"
    path.write_bytes(data)
    with pytest.raises(error):
        tw.replace_text_content(str(path), old, new)
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == ["f.txt"]


def test_missing_file_raises(tw, tmp_path):
    with pytest.raises(FileNotFoundError):
        tw.replace_text_content(str(tmp_path / "absent.txt"), "a", "b")
