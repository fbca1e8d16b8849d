"""main() against a scripted stand-in for the window toolkit bound as `sg`."""
import base64
import io
import re
import struct
import zlib

import pytest
from PIL import Image

import termweave_mira7

# taken before any test rebinds it
REAL_DISPATCH = termweave_mira7.replace_file_contents

RUN, EXIT, CLOSED = "执行替换", "退出", object()
OPERATIONS = ("replace_folder_names", "replace_file_names", "replace_file_contents")

LAYOUT_CALLS = [
    ("InputText", (), {"key": "folder_path"}),
    ("FolderBrowse", (), {"button_text": "选择文件夹"}),
    ("Text", ("旧关键字：",), {}),
    ("InputText", (), {"key": "old_keyword"}),
    ("Text", ("新关键字：",), {}),
    ("InputText", (), {"key": "new_keyword"}),
    ("Checkbox", ("递归搜索",), {"key": "recursive", "default": True}),
    ("Radio", ("替换文件夹名称", "mode"), {"key": "mode_folder", "default": True}),
    ("Radio", ("替换文件名称", "mode"), {"key": "mode_filename"}),
    ("Radio", ("替换文件内容", "mode"), {"key": "mode_content"}),
    ("Button", ("执行替换",), {}),
    ("Button", ("退出",), {}),
]
ROW_SIZES = [2, 2, 2, 1, 3, 2]


class FakeToolkit:
    """Records every call made through it, in order, in `log`."""

    def __init__(self, events, closed=CLOSED):
        self.log = []
        self.events = list(events)
        self.WIN_CLOSED = closed
        for name in ("InputText", "FolderBrowse", "Text", "Checkbox", "Radio", "Button"):
            setattr(self, name, self._element(name))

    def _element(self, name):
        def make(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return ("element", len(self.log) - 1)
        return make

    def Window(self, *args, **kwargs):
        self.log.append(("Window", args, kwargs))
        return FakeWindow(self)

    def popup(self, *args, **kwargs):
        self.log.append(("popup", args, kwargs))

    def calls(self, name):
        return [entry for entry in self.log if entry[0] == name]


class FakeWindow:
    def __init__(self, toolkit):
        self.toolkit = toolkit

    def read(self):
        self.toolkit.log.append(("read", (), {}))
        if not self.toolkit.events:
            return self.toolkit.WIN_CLOSED, None
        return self.toolkit.events.pop(0)

    def close(self):
        self.toolkit.log.append(("close", (), {}))


def values(folder="/some/folder", old="a*b", new="c", recursive=True, mode="mode_folder"):
    result = {"folder_path": folder, "old_keyword": old, "new_keyword": new, "recursive": recursive}
    for key in ("mode_folder", "mode_filename", "mode_content"):
        result[key] = key == mode
    return result


@pytest.fixture
def ops(tw, monkeypatch):
    """Rebinds the three operations with recorders; each appends (name, args)."""
    seen = []
    for name in OPERATIONS:
        def record(*args, _name=name, **kwargs):
            assert not kwargs
            seen.append((_name, args))
        monkeypatch.setattr(tw, name, record)
    return seen


@pytest.fixture
def run_main(tw, monkeypatch, in_tmp, ops):
    def run(events, closed=CLOSED):
        toolkit = FakeToolkit(events, closed)
        monkeypatch.setattr(tw, "sg", toolkit)
        assert tw.main() is None
        return toolkit
    return run


DONE = ("popup", ("替换完成！",), {"icon": "brelvo.ico"})


def test_layout_window_and_close(run_main):
    toolkit = run_main([(EXIT, {})])
    assert toolkit.log[:12] == LAYOUT_CALLS
    name, args, kwargs = toolkit.log[12]
    assert (name, args[0], kwargs) == ("Window", "关键字替换工具_mira7", {"icon": "brelvo.ico"})
    layout = args[1]
    assert [len(row) for row in layout] == ROW_SIZES
    assert [element for row in layout for element in row] == [("element", i) for i in range(12)]
    assert toolkit.log[13:] == [("read", (), {}), ("close", (), {})]


@pytest.mark.parametrize("event, closed", [
    (CLOSED, CLOSED), (None, None), (EXIT, None), ("bye", "bye"),
])
def test_leaving_events_close_without_popup(run_main, ops, event, closed):
    toolkit = run_main([(event, values())], closed=closed)
    assert ops == [] and toolkit.calls("popup") == []
    assert toolkit.log[-1] == ("close", (), {})


@pytest.mark.parametrize("flags, expected", [
    ({"mode_folder": True}, "replace_folder_names"),
    ({"mode_filename": True}, "replace_file_names"),
    ({"mode_content": True}, "replace_file_contents"),
    ({"mode_filename": 1, "mode_content": True}, "replace_file_names"),
    ({"mode_folder": "x", "mode_content": True}, "replace_folder_names"),
    ({}, None),
])
def test_mode_selects_operation(run_main, ops, flags, expected):
    vals = values(mode=None) | flags
    toolkit = run_main([(RUN, vals), (EXIT, {})])
    assert ops == ([] if expected is None else [(expected, ("/some/folder", "a*b", "c", True))])
    assert toolkit.calls("popup") == [DONE]


def test_values_passed_as_reported(run_main, ops):
    recursive = object()
    toolkit = run_main([(RUN, values("", "", "", recursive, "mode_content")), (CLOSED, None)])
    assert ops == [("replace_file_contents", ("", "", "", recursive))]
    assert ops[0][1][3] is recursive
    assert toolkit.calls("popup") == [DONE]


def test_each_press_runs_again_and_other_events_are_ignored(run_main, ops):
    toolkit = run_main([
        (RUN, values("/a", mode="mode_filename")),
        ("选择文件夹", values()),
        ("__TIMEOUT__", values()),
        (RUN, values("/b", recursive=False, mode="mode_content")),
        (EXIT, values()),
    ])
    assert ops == [("replace_file_names", ("/a", "a*b", "c", True)),
                   ("replace_file_contents", ("/b", "a*b", "c", False))]
    assert toolkit.calls("popup") == [DONE, DONE]
    assert [e[0] for e in toolkit.log[13:]] == [
        "read", "popup", "read", "read", "read", "popup", "read", "close"]


def test_failing_operation_shows_error_and_keeps_window(tw, run_main, ops, monkeypatch):
    def bad_keyword(*args):
        re.compile("ab(")
    monkeypatch.setattr(tw, "replace_folder_names", bad_keyword)
    toolkit = run_main([(RUN, values(old="ab(")), (RUN, values(mode="mode_filename")), (EXIT, {})])
    message = str(pytest.raises(re.error, re.compile, "ab(").value)
    assert toolkit.calls("popup") == [
        ("popup", ("替换失败：" + message,), {"icon": "brelvo.ico"}),
        DONE,
    ]
    assert ops == [("replace_file_names", ("/some/folder", "a*b", "c", True))]
    assert toolkit.log[-1] == ("close", (), {})


@pytest.mark.parametrize("error, text", [
    (OSError(2, "No such file"), "替换失败：[Errno 2] No such file\nwhile replacing content in /x/a.txt\nsecond"),
    (KeyError(), "替换失败：KeyError\nwhile replacing content in /x/a.txt\nsecond"),
])
def test_failure_popup_lists_notes(tw, run_main, monkeypatch, error, text):
    def failing(*args):
        error.add_note("while replacing content in /x/a.txt")
        error.add_note("second")
        raise error
    monkeypatch.setattr(tw, "replace_file_contents", failing)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    assert toolkit.calls("popup") == [("popup", (text,), {"icon": "brelvo.ico"})]


def test_failure_note_from_real_dispatch(tw, run_main, monkeypatch, in_tmp):
    (in_tmp / "data").mkdir()
    (in_tmp / "data" / "a.txt").write_text("x")

    def broken(path, old, new):
        raise ValueError("bad text")
    monkeypatch.setattr(tw, "replace_text_content", broken)
    monkeypatch.setattr(tw, "replace_file_contents", REAL_DISPATCH)
    toolkit = run_main([(RUN, values(str(in_tmp / "data"), mode="mode_content")), (EXIT, {})])
    path = str(in_tmp / "data" / "a.txt")
    assert toolkit.calls("popup") == [
        ("popup", (f"替换失败：bad text\nwhile replacing content in {path}",), {"icon": "brelvo.ico"})]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exception_errors_leave_main(tw, monkeypatch, in_tmp, ops, error):
    def interrupted(*args):
        raise error()
    monkeypatch.setattr(tw, "replace_folder_names", interrupted)
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(error) as info:
        tw.main()
    assert "termweave_mira7.main" in [entry.name for entry in info.traceback]
    assert toolkit.calls("popup") == [] and toolkit.calls("close") == []


@pytest.mark.parametrize("result, exc, text", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    ((RUN,), ValueError, "need more than 1 value to unpack"),
    ((RUN, {"folder_path": "x"}), KeyError, "old_keyword"),
])
def test_toolkit_faults_still_propagate(tw, monkeypatch, in_tmp, ops, result, exc, text):
    toolkit = FakeToolkit([result])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(exc, match=re.escape(text)):
        tw.main()
    assert ops == [] and toolkit.calls("close") == [] and toolkit.calls("popup") == []


def test_sg_looked_up_afresh(tw, run_main, monkeypatch):
    second = FakeToolkit([], closed="done")

    def rebind(*args):
        monkeypatch.setattr(tw, "sg", second)
    monkeypatch.setattr(tw, "replace_folder_names", rebind)
    first = run_main([(RUN, values()), ("done", None)])
    assert first.calls("popup") == [] and second.calls("popup") == [DONE]
    # the window object from the first toolkit is still the one closed
    assert first.log[-1] == ("close", (), {})


def read_icon(path):
    data = path.read_bytes()
    header = struct.unpack("<HHHBBBBHHII", data[:22])
    return data, header


def png_chunks(png):
    chunks, pos = [], 8
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        chunks.append((kind, png[pos + 8:pos + 8 + length]))
        assert zlib.crc32(kind + png[pos + 8:pos + 8 + length]) == int.from_bytes(
            png[pos + 8 + length:pos + 12 + length], "big")
        pos += 12 + length
    return chunks


def test_icon_file_bytes(run_main, in_tmp):
    (in_tmp / "brelvo.ico").write_bytes(b"stale content that is longer than nothing" * 100)
    run_main([(EXIT, {})])
    data, header = read_icon(in_tmp / "brelvo.ico")
    reserved, kind, count, width, height, colours, reserved2, planes, bpp, size, offset = header
    assert (reserved, kind, count, width, height, colours, reserved2, planes, bpp, offset) == (
        0, 1, 1, 16, 16, 0, 0, 0, 32, 22)
    png = data[22:]
    assert size == len(png) and png[:8] == b"\x89PNG\r\n\x1a\n"
    chunks = png_chunks(png)
    assert [kind for kind, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    assert struct.unpack(">IIBBBBB", chunks[0][1]) == (16, 16, 8, 6, 0, 0, 0)
    image = Image.open(io.BytesIO(png))
    assert image.size == (16, 16) and image.mode == "RGBA"
    pixels = [image.getpixel((x, y)) for y in range(16) for x in range(16)]
    assert all(a == 255 for *_, a in pixels)
    assert all(max(p[:3]) - min(p[:3]) <= 12 for p in pixels)  # grey tones
    assert len({p for p in pixels}) > 1
    # the module holds it as standard base64 with one "=" of padding
    text = base64.b64encode(data)
    assert text.endswith(b"=") and not text.endswith(b"==")


def test_unwritable_icon_opens_window_without_icon(run_main, in_tmp):
    (in_tmp / "brelvo.ico").mkdir()  # open(..., "wb") fails with an OSError
    toolkit = run_main([(RUN, values()), (EXIT, {})])
    window = toolkit.calls("Window")
    assert len(window) == 1 and window[0][2] == {}
    assert window[0][1][0] == "关键字替换工具_mira7"
    assert toolkit.calls("popup") == [("popup", ("替换完成！",), {})]
    assert toolkit.log[-1] == ("close", (), {})


def test_icon_failure_that_is_not_io_propagates(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    monkeypatch.setattr(tw, "base64", object())
    with pytest.raises(AttributeError, match="b64decode"):
        tw.main()
    assert toolkit.log == []
