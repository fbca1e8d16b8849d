"""Text and CSV files in the encoding they were written in: decoded by the
rules (a UTF-8 or UTF-16 mark, else UTF-8, else GB18030), written back the
same way, and every byte outside a match as it was. The fixtures are bytes
as other programs write them, compared whole."""
import json
import os
import re
import subprocess
import sys

import pytest

from run_support import probe  # noqa: F401

OLD = b"\xbe\xc9"                 # 旧 in GBK
NEW = b"\xd0\xc2"                 # 新
EURO = b"\xa2\xe3"                # € in GB18030 (two bytes)
U20000 = b"\x95\x32\x82\x36"      # U+20000, four bytes in GB18030
LE, BE, UTF8_MARK = b"\xff\xfe", b"\xfe\xff", b"\xef\xbb\xbf"
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x10old"


def le(text):
    return text.encode("utf-16-le")


def be(text):
    return text.encode("utf-16-be")


def handler(tw, name):
    return tw.replace_csv_content if name.endswith(".csv") else tw.replace_text_content


# A host that binds an open of its own before the import: the module writes
# through it, where it writes the file itself under the interpreter's open.
HOST_OPEN = """
import builtins, json, sys
real_open = builtins.open
builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
import termweave_mira7
builtins.open = real_open
path, old, new = json.loads(sys.argv[1])
termweave_mira7.replace_file_contents(path, old, new, False)
"""


def replace(tw, via, path, old, new):
    """Through the handler on its own, through a content run over its
    folder, or through a run that writes with the host's open."""
    if via == "handler":
        return handler(tw, path.name)(str(path), old, new)
    if via == "host-open":
        program = f"import sys; sys.path.insert(0, {os.path.dirname(tw.__file__)!r})\n" + HOST_OPEN
        done = subprocess.run([sys.executable, "-c", program, json.dumps([str(path.parent), old, new])],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return None
    return tw.replace_file_contents(str(path.parent), old, new, False)


@pytest.mark.parametrize("via", ["handler", "run", "host-open"])
@pytest.mark.parametrize("name, before, old, new, after", [
    ("gbk.txt", b"a " + OLD + b" b\r\nend " + OLD + b"\r\n", "旧", "新",
     b"a " + NEW + b" b\r\nend " + NEW + b"\r\n"),
    ("gb18030.txt", EURO + U20000 + b" old " + U20000 + b"\n", "old", "新",
     EURO + U20000 + b" " + NEW + b" " + U20000 + b"\n"),
    ("four-byte-new.txt", OLD + b" x", "x", "\U00020000€", OLD + b" " + U20000 + EURO),
    ("le.txt", LE + le("旧 old\r\nold"), "old", "new", LE + le("旧 new\r\nnew")),
    ("be.txt", BE + be("旧 old\r\n"), "旧", "x", BE + be("x old\r\n")),
    ("marked.txt", UTF8_MARK + b"old\nold", "^old", "new", UTF8_MARK + b"new\nold"),
    ("lf.txt", b"old\nx\n", "old", "new", b"new\nx\n"),
    ("cr.txt", b"old\rx\rold", "old", "new", b"new\rx\rnew"),
    ("mixed.txt", b"old\r\nold\nold\rold", "old", "n", b"n\r\nn\nn\rn"),
    ("stored.txt", b"a\r\nb a\nb", "a\r", "-", b"-\nb a\nb"),  # matched as stored
    ("gbk.csv", b'"' + OLD + b',x",' + OLD + b'\r\n"a,b",c', "旧", "新",
     b'"' + NEW + b',x",' + NEW + b'\r\n"a,b",c'),
    ("le.csv", LE + le('old,"a,old"\r\nx'), "old", "new", LE + le('new,"a,new"\r\nx')),
    ("marked.csv", UTF8_MARK + b"old,x\n", "^old", "new", UTF8_MARK + b"new,x\n"),
])
def test_only_the_matches_change(tw, tmp_path, via, name, before, old, new, after):
    path = tmp_path / name
    path.write_bytes(before)
    assert replace(tw, via, path, old, new) is None
    assert path.read_bytes() == after
    assert os.listdir(tmp_path) == [name]


# Quoted, doubled-quote, multi-line and unquoted fields; only one matches.
CSV = (b'id,"name, full","say ""hi"""\r\n'
       b'1,"multi\nline",plain\n'
       b'2,old value,"x"\r\n'
       b'3,,"last"')


@pytest.mark.parametrize("data, old, new, after", [
    (CSV, "old", "new, and", CSV.replace(b"old value", b'"new, and value"')),
    (CSV, "plain", "p", CSV.replace(b"plain", b"p")),
    (CSV, "last", 'a"b', CSV.replace(b'"last"', b'"a""b"')),      # stays quoted, quote doubled
    (CSV, "hi", "", CSV.replace(b'""hi""', b'""""')),
    (CSV, "multi", "m", CSV.replace(b"multi\nline", b"m\nline")),
    (b"old\r\nx,old", "old", "", b'""\r\nx,'),     # a field alone on its line, emptied, is quoted
    (b'"o"ld,x', "old", "new", b'"new",x'),         # the cell is old: quote, o, quote, ld
    (b'"a""b",ab', 'a"b', "c", b'"c",ab'),
])
def test_csv_rewrites_only_changed_fields(tw, tmp_path, data, old, new, after):
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    tw.replace_csv_content(str(path), old, new)
    assert path.read_bytes() == after


@pytest.mark.parametrize("via", ["handler", "run"])
@pytest.mark.parametrize("name, data", [
    ("gbk.txt", b"a " + OLD + b"\r\n" + EURO),
    ("gbk.csv", b'"' + OLD + b',x",y\r\n'),
    ("le.txt", LE + le("no match here")),
    ("empty.txt", b""),
])
def test_a_file_without_the_keyword_keeps_its_bytes_and_time(tw, tmp_path, via, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    os.utime(path, ns=(10**18, 10**18))
    replace(tw, via, path, "old", "new")
    assert path.read_bytes() == data
    assert path.stat().st_mtime_ns == 10**18


@pytest.mark.parametrize("name, data, message", [
    ("latin1.txt", "café old".encode("latin-1"), "not GB18030 text either: 'gb18030' codec"),
    ("latin1.csv", "café,old\r\n".encode("latin-1"), "not GB18030 text either"),
    ("picture.txt", PNG, "control character U+001A"),
    ("control.txt", OLD + b"\x01 old", "control character U+0001"),
    ("surrogate.txt", LE + b"\x00\xd8o\x00", "surrogate"),
    ("odd.txt", LE + le("old") + b"o", "truncated"),
    ("marked.txt", UTF8_MARK + b"\xbe\xc9 old", "'utf-8' codec"),
])
def test_undecodable_file_is_reported_and_untouched(tw, tmp_path, name, data, message):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(UnicodeDecodeError, match=re.escape(message)):
        handler(tw, name)(str(path), "old", "new")
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("name, data", [("gbk.txt", OLD + b" old"), ("le.csv", LE + le("old"))])
def test_a_new_text_the_encoding_cannot_hold_leaves_the_file(tw, tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(UnicodeEncodeError):
        handler(tw, name)(str(path), "old", "\ud800")
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("old", ["old", "(?:o)ld"])  # with the scan ahead and without
def test_a_utf16_file_is_text_and_a_nul_byte_without_a_mark_is_binary(tw, tmp_path, old):
    utf32 = "old".encode("utf-32")  # FF FE 00 00: not a UTF-16 file
    files = {"le.txt": LE + le("old"), "nul.txt": b"old\0", "picture.png": PNG, "utf32.txt": utf32}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    tw.replace_file_contents(str(tmp_path), old, "new", True)
    assert {name: (tmp_path / name).read_bytes() for name in files} == dict(files, **{"le.txt": LE + le("new")})


def test_the_plan_names_each_encoding_but_utf8(probe, tmp_path):
    files = {"gbk.txt": OLD + b" old", "gb18030.csv": U20000 + b",old", "le.txt": LE + le("old"),
             "be.csv": BE + be("old"), "marked.txt": UTF8_MARK + b"old", "plain.txt": b"old"}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    items, _ = probe.plan("content", str(tmp_path), "old", "new", True)
    assert {os.path.basename(i["path"]): i["encoding"] for i in items} == {
        "gbk.txt": "GBK", "gb18030.csv": "GB18030", "le.txt": "UTF-16 LE", "be.csv": "UTF-16 BE",
        "marked.txt": "UTF-8 BOM", "plain.txt": None}
