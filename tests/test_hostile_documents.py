"""Crafted office files: zip bombs are refused before any library inflates them, and XML
entities are neither resolved nor fetched.

The bombs are written by hand from one compressed mebibyte of zeros repeated, so a package
that inflates to more than a gigabyte takes about a megabyte on disk and no time to build.
They are opened in a child process under a 2 GiB address-space limit."""
import functools
import hashlib
import json
import os
import socket
import struct
import subprocess
import sys
import textwrap
import zipfile
import zlib

import docx
import docx.opc.exceptions
import openpyxl
import pptx
import pytest

MIB = 1 << 20
STORED, DEFLATED = 0, 8


# ---- hand-built zip packages ---------------------------------------------------------------

def deflate(data):
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


@functools.lru_cache(maxsize=None)
def zero_block():
    """One MiB of zeros, deflated and fully flushed: copies of it can be chained."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(bytes(MIB)) + packer.flush(zlib.Z_FULL_FLUSH)


@functools.lru_cache(maxsize=None)
def zeros_crc(mebibytes):
    crc = 0
    for _ in range(mebibytes):
        crc = zlib.crc32(bytes(MIB), crc)
    return crc


def zeros_member(name, mebibytes, declared_size=None, declared_crc=None):
    """A member holding `mebibytes` MiB of zeros; the directory may declare other values."""
    raw = zero_block() * mebibytes + b"\x03\x00"  # chained blocks, then an empty final block
    size = mebibytes * MIB if declared_size is None else declared_size
    crc = zeros_crc(mebibytes) if declared_crc is None else declared_crc
    return (name, DEFLATED, raw, crc, size)


def plain_member(name, data, method=DEFLATED):
    raw = deflate(data) if method == DEFLATED else data
    return (name, method, raw, zlib.crc32(data), len(data))


def write_zip(path, members, claimed_count=None, claimed_directory_size=None):
    """Writes a zip file; the end record may claim another count or directory size."""
    with open(path, "wb") as out:
        directory = []
        for name, method, raw, crc, size in members:
            offset, encoded = out.tell(), name.encode()
            out.write(struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, 0, method, 0, 0x21,
                                  crc, len(raw), size, len(encoded), 0) + encoded + raw)
            directory.append(struct.pack("<4s6H3L5H2L", b"PK\x01\x02", 20, 20, 0, method, 0, 0x21,
                                         crc, len(raw), size, len(encoded), 0, 0, 0, 0, 0, offset)
                             + encoded)
        start = out.tell()
        out.write(b"".join(directory))
        size = out.tell() - start
        count = len(members) if claimed_count is None else claimed_count
        size = size if claimed_directory_size is None else claimed_directory_size
        out.write(struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, count, count, size, start, 0))


def members_of(path):
    with zipfile.ZipFile(path) as package:
        return [plain_member(info.filename, package.read(info)) for info in package.infolist()]


def make_base(kind, path):
    if kind == "docx":
        document = docx.Document()
        document.add_paragraph("old text")
        document.save(path)
    elif kind == "pptx":
        deck = pptx.Presentation()
        slide = deck.slides.add_slide(deck.slide_layouts[6])
        slide.shapes.add_textbox(0, 0, 100, 100).text = "old text"
        deck.save(path)
    else:
        book = openpyxl.Workbook()
        book.active["A1"] = "old text"
        book.save(path)


HANDLERS = {"docx": "replace_docx_content", "pptx": "replace_pptx_content",
            "xlsx": "replace_xlsx_content"}

# kind: (extra members, what the end record claims, words the refusal must hold)
BOMBS = {
    # one member inflating 1011 times, to 1.07 GiB
    "ratio": (lambda: [zeros_member("pad.bin", 1100)], {}, "more than the limit of 200 times"),
    # members of exactly 1 MiB (no ratio check) adding up past 1 GiB
    "total": (lambda: [zeros_member(f"pad/{i}.bin", 1) for i in range(1030)], {},
              "more than the limit of 1073741824 bytes (1 GiB)"),
    "members": (lambda: [plain_member(f"m/{i}", b"", STORED) for i in range(10001)], {},
                "members, more than the limit of 10000"),
}


def digest(path):
    stat = os.stat(path)
    return hashlib.sha256(open(path, "rb").read()).hexdigest(), stat.st_mtime_ns, stat.st_ino


CHILD = textwrap.dedent("""
    import contextlib, io, json, resource, sys, time, traceback
    # AddressSanitizer (a sanitizer build) maps terabytes of shadow memory
    # and cannot live under an address-space limit; there the limit is left off.
    if "libasan" not in open("/proc/self/maps").read():
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    import termweave_mira7
    results = []
    for handler, path in json.loads(sys.argv[1]):
        out, error = io.StringIO(), None
        start = time.perf_counter()
        try:
            with contextlib.redirect_stdout(out):
                getattr(termweave_mira7, handler)(path, "old", "new")
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        results.append({"error": error, "stdout": out.getvalue(),
                        "seconds": time.perf_counter() - start})
    print(json.dumps(results))
""")


def run_limited(calls):
    """Calls each (handler, path) in a child limited to 2 GiB of address space."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(calls)], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def refused(tmp_path_factory):
    """Every bomb in every format, each alone in its folder, opened under the limit."""
    cases = []
    for kind, (extra, claims, _) in BOMBS.items():
        for ext in HANDLERS:
            folder = tmp_path_factory.mktemp(f"{kind}-{ext}")
            base, path = str(folder / f"base.{ext}"), str(folder / f"bomb.{ext}")
            make_base(ext, base)
            write_zip(path, members_of(base) + extra(), **claims)
            os.remove(base)
            cases.append((kind, ext, path, digest(path)))
    outcomes = run_limited([(HANDLERS[ext], path) for _, ext, path, _ in cases])
    return {(kind, ext): (path, before, outcome)
            for (kind, ext, path, before), outcome in zip(cases, outcomes)}


@pytest.mark.parametrize("ext", list(HANDLERS))
@pytest.mark.parametrize("kind", list(BOMBS))
def test_bomb_is_refused_untouched_under_memory_limit(refused, kind, ext):
    path, before, outcome = refused[(kind, ext)]
    words = BOMBS[kind][2]
    if ext == "xlsx":
        # the workbook reports every failure on its failure line and returns
        assert outcome["error"] is None
        line = outcome["stdout"]
        assert line.startswith(f"Error processing {path}: refusing to open {path!r}: ")
        assert words in line and line.count("\n") == 1
    else:
        kind_name, message = outcome["error"]
        assert kind_name == "ValueError"
        assert message.startswith(f"refusing to open {path!r}: ") and words in message
    assert digest(path) == before
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]


def test_ratio_refusal_names_the_member(refused):
    _, _, outcome = refused[("ratio", "docx")]
    assert "its member 'pad.bin' inflates from 1140702 to 1153433600 bytes" in outcome["error"][1]


def test_lies_in_the_directory_are_bounded(tmp_path):
    """A count that hides members, a directory claiming more than the file holds, and a
    member declaring less than its data inflates to."""
    base = str(tmp_path / "base.pptx")
    make_base("pptx", base)
    real = members_of(base)
    hidden = str(tmp_path / "hidden.docx")
    write_zip(hidden, real + [plain_member(f"m/{i}", b"", STORED) for i in range(10001)],
              claimed_count=len(real))
    claimed = str(tmp_path / "claimed.docx")
    write_zip(claimed, real, claimed_directory_size=0xFFFFFFF0)
    # declares 1000 zero bytes (with their check sum) while its data inflates to 1.07 GiB
    understated = str(tmp_path / "understated.pptx")
    write_zip(understated, real + [zeros_member("pad.bin", 1100, 1000, zlib.crc32(bytes(1000)))])
    before = {path: digest(path) for path in (hidden, claimed, understated)}
    outcomes = run_limited([("replace_docx_content", hidden), ("replace_docx_content", claimed),
                            ("replace_pptx_content", understated)])
    assert outcomes[0]["error"] == [
        "ValueError", f"refusing to open {hidden!r}: it holds {len(real) + 10001} members, "
                      "more than the limit of 10000"]
    assert outcomes[1]["error"] == [
        "ValueError", f"refusing to open {claimed!r}: its zip directory claims 4294967280 bytes, "
                      "more than the limit of 10240000"]
    # zipfile would cut the data at 1000 bytes, but only after inflating all of it at once
    assert outcomes[2]["error"] == [
        "ValueError", f"refusing to open {understated!r}: its member 'pad.bin' inflates to more "
                      "than the 1000 bytes it declares"]
    assert {path: digest(path) for path in (hidden, claimed, understated)} == before


def test_packages_at_the_limits_are_processed(tw, tmp_path):
    base = str(tmp_path / "base.docx")
    make_base("docx", base)
    real = members_of(base)
    fillers = [plain_member(f"m/{i}", b"", STORED) for i in range(10000 - len(real) - 1)]
    at_limits = str(tmp_path / "at_limits.docx")
    # exactly 10,000 members, one of exactly 1 MiB of zeros inflating 1011 times
    write_zip(at_limits, real + fillers + [zeros_member("pad.bin", 1)])
    tw.replace_docx_content(at_limits, "old", "new")
    assert [p.text for p in docx.Document(at_limits).paragraphs] == ["new text"]
    one_more = str(tmp_path / "one_more.docx")
    write_zip(one_more, real + [plain_member("pad.bin", bytes(MIB + 1))])
    with pytest.raises(ValueError, match=r"to 1048577 bytes, more than the limit of 200 times"):
        tw.replace_docx_content(one_more, "old", "new")


@pytest.mark.parametrize("content", [b"old, not a package", b"PK\x05\x06 but no zip"])
def test_what_is_no_package_is_left_for_the_library_to_report(tw, tmp_path, content):
    path = str(tmp_path / "broken.docx")
    open(path, "wb").write(content)
    with pytest.raises(docx.opc.exceptions.PackageNotFoundError):
        tw.replace_docx_content(path, "old", "new")
    with pytest.raises(docx.opc.exceptions.PackageNotFoundError):
        tw.replace_docx_content(str(tmp_path / "missing.docx"), "old", "new")


# ---- XML entities ----------------------------------------------------------------------------

LAUGHS = "".join(f'<!ENTITY l{i} "{f"&l{i - 1};" * 10}">' for i in range(1, 10))


@pytest.fixture
def secret(tmp_path):
    path = tmp_path / "secret.txt"
    path.write_text("TOPSECRET-7f3a")
    return path


@pytest.fixture
def listener():
    """A port that records whether anything connected to it."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    server.setblocking(False)
    yield server.getsockname()[1]
    try:
        server.accept()
        connected = True
    except BlockingIOError:
        connected = False
    server.close()
    assert not connected, "the document made the process connect"


def doctype(root, secret, port, laughs):
    entities = f'<!ENTITY lol "lol">{LAUGHS.replace("&l0;", "&lol;")}' if laughs else (
        f'<!ENTITY secret SYSTEM "{secret.as_uri()}">'
        f'<!ENTITY remote SYSTEM "http://127.0.0.1:{port}/entity">'
        f'<!ENTITY % dtd SYSTEM "http://127.0.0.1:{port}/dtd"> %dtd;')
    return f"<!DOCTYPE {root} [{entities}]>"


def craft(path, ext, part, root, secret, port, laughs):
    """Puts a document type with entities into one part and their use into its text."""
    make_base(ext, path)
    use = "&l9;" if laughs else "&secret;&remote;"
    members, found = [], False
    for name, method, raw, crc, size in members_of(path):
        if name == part:
            found = True
            xml = zlib.decompress(raw, -15).decode()
            head, mark, body = xml.partition("?>") if xml.startswith("<?xml") else ("", "", xml)
            body = body.replace("old text", "old text" + use, 1)
            assert use in body
            data = (head + mark + doctype(root, secret, port, laughs) + body).encode()
            members.append(plain_member(name, data))
        else:
            members.append((name, method, raw, crc, size))
    assert found
    write_zip(path, members)


def package_text(path):
    with zipfile.ZipFile(path) as package:
        return b"".join(package.read(name) for name in package.namelist())


WORD = ("docx", "word/document.xml", "w:document")
SLIDE = ("pptx", "ppt/slides/slide1.xml", "p:sld")
SHEET = ("xlsx", "xl/worksheets/sheet1.xml", "worksheet")


@pytest.mark.parametrize("ext, part, root", [WORD, SLIDE])
def test_entities_of_documents_stay_unresolved(tw, tmp_path, secret, listener, ext, part, root):
    path = str(tmp_path / f"crafted.{ext}")
    craft(path, ext, part, root, secret, listener, laughs=False)
    tw.replace_docx_content(path, "old", "new") if ext == "docx" else tw.replace_pptx_content(
        path, "old", "new")
    assert b"TOPSECRET" not in package_text(path)
    if ext == "docx":
        assert [p.text for p in docx.Document(path).paragraphs] == ["new text"]
    else:
        assert [s.text for s in pptx.Presentation(path).slides[0].shapes] == ["new text"]


def test_entities_of_workbooks_are_refused(tw, tmp_path, secret, listener, capsys):
    assert openpyxl.DEFUSEDXML  # worksheets are read through defusedxml
    path = str(tmp_path / "crafted.xlsx")
    craft(path, *SHEET, secret, listener, laughs=False)
    before = digest(path)
    tw.replace_xlsx_content(path, "old", "new")
    out = capsys.readouterr().out
    assert out.startswith(f"Error processing {path}: ") and "TOPSECRET" not in out
    assert digest(path) == before


@pytest.mark.parametrize("ext, part, root", [WORD, SLIDE, SHEET])
def test_nested_entities_fail_without_expanding(tw, tmp_path, secret, listener, capsys,
                                                ext, part, root):
    path = str(tmp_path / f"laughs.{ext}")
    craft(path, ext, part, root, secret, listener, laughs=True)
    before = digest(path)
    handler = getattr(tw, HANDLERS[ext])
    if ext == "xlsx":
        handler(path, "old", "new")
        assert capsys.readouterr().out.startswith(f"Error processing {path}: ")
    else:
        with pytest.raises(Exception) as raised:
            handler(path, "old", "new")
        assert "amplification" in str(raised.value)
    assert digest(path) == before


@pytest.mark.parametrize("laughs", [False, True])
@pytest.mark.parametrize("ext, part, root", [WORD, SLIDE])
def test_entities_are_neither_expanded_nor_fetched_by_the_pre_scan(tw, tmp_path, secret, listener,
                                                                   ext, part, root, laughs):
    """With a keyword the text cannot hold, the package is judged before any library reads it:
    a document type makes the judging stop, and the library loads the file as it always did."""
    path = str(tmp_path / f"crafted.{ext}")
    craft(path, ext, part, root, secret, listener, laughs)
    before = digest(path)
    load = docx.Document if ext == "docx" else pptx.Presentation
    handler = getattr(tw, HANDLERS[ext])
    try:
        load(path)
    except Exception as error:  # the library refuses the entities' expansion
        with pytest.raises(type(error), match="amplification"):
            handler(path, "absent", "new")
    else:
        assert not laughs
        handler(path, "absent", "new")
    assert digest(path) == before


def test_only_stored_and_deflated_members_are_read(tw, tmp_path):
    import bz2
    base = str(tmp_path / "base.docx")
    make_base("docx", base)
    real = members_of(base)
    path = str(tmp_path / "bzip2.docx")
    data = bytes(1000)
    write_zip(path, real + [("pad.bin", 12, bz2.compress(data), zlib.crc32(data), len(data))])
    with pytest.raises(ValueError, match="'pad.bin' is compressed with method 12; only stored"):
        tw.replace_docx_content(path, "old", "new")
    # damaged data is the library's to report, and only when it reads that member
    damaged = str(tmp_path / "damaged.docx")
    write_zip(damaged, real + [("pad.bin", DEFLATED, b"\xff" * 100, 0, 1000)])
    tw.replace_docx_content(damaged, "old", "new")
    assert [p.text for p in docx.Document(damaged).paragraphs] == ["new text"]
