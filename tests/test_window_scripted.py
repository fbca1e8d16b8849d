"""main() against a scripted stand-in for the window toolkit bound as `sg`.

The stand-in plays a user who follows a script of main-window events and
waits while a plan is built or a run goes on (the run button is disabled
then). Messages are answered with "确定" at once; the preview is confirmed
unless its own script says otherwise; the progress window answers from its
own script.
"""
import base64
import io
import os
import re
import signal
import struct
import subprocess
import threading
import time
import tkinter
import zlib

import pytest
from PIL import Image

import termweave_mira7
from conftest import office_documents, tree
from run_support import need

# taken before any test rebinds them
REAL = {name: getattr(termweave_mira7, name) for name in (
    "replace_file_contents", "replace_folder_names", "replace_file_names")}

RUN, EXIT, CLOSED, TIMEOUT = "执行替换", "退出", object(), "__TIMEOUT__"
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
    ("Button", ("撤销上次替换",), {}),
    ("Button", ("退出",), {}),
]
ROW_SIZES = [2, 2, 2, 1, 3, 3]


def done(noun="文件夹", verb="重命名", seen=0, changed=0, passed=0, failed=0):
    return f"替换完成！\n共处理 {seen} 个{noun}：已{verb} {changed} 个，跳过 {passed} 个，失败 {failed} 个。"


DONE = {"mode_folder": done(), "mode_filename": done("文件"), "mode_content": done("文件", "修改")}


class Busy(tuple):
    """A main-window event delivered even while a run goes on (or, with
    phase "plan", while its plan is being built)."""

    def __new__(cls, event, phase="run"):
        busy = super().__new__(cls, event)
        busy.phase = phase
        return busy


class Element:
    def __init__(self, toolkit, kind, args, kwargs):
        self.toolkit, self.kind, self.args, self.kwargs = toolkit, kind, args, kwargs
        self.key = kwargs.get("key", args[0] if kind == "Button" else None)
        self.disabled = False
        self.TKStringVar = self
        self.InitialFolder = "unset"

    def update(self, **change):
        self.toolkit.log.append(("update", self.key, change))
        self.disabled = change.get("disabled", self.disabled)
        if self.key == "preview_detail":
            self.toolkit.previews[-1]["details"].append(change["value"])

    def set(self, text):  # the folder field's text variable
        self.toolkit.log.append(("set", self.key, text))


class FakeRoot:
    """The Tk root: tkinter calls report_callback_exception on it."""

    def __init__(self, toolkit):
        self.toolkit = toolkit

    def quit(self):
        self.toolkit.log.append(("quit", (), {}))

    def report_callback_exception(self, exc, val, tb):
        self.toolkit.log.append(("reported", type(val).__name__, {}))


class FakeTk:
    def __init__(self, root):
        self.root, self.master = root, None

    def transient(self, master):
        self.master = master

    def _root(self):
        return self.root


class FakeWindow:
    def __init__(self, toolkit, kind, args, kwargs):
        self.toolkit, self.kind, self.args, self.kwargs = toolkit, kind, args, kwargs
        self.TKroot = FakeTk(toolkit.root)
        self.elements = {e.key: e for row in args[1] for e in row if e.key is not None}
        self.closed = False

    def __getitem__(self, key):
        return self.elements[key]

    def close(self):
        self.closed = True
        self.toolkit.log.append(("close", self.kind, {}))

    def read(self, timeout=None):
        self.toolkit.log.append(("read", self.kind, {"timeout": timeout}))
        return getattr(self, "read_" + self.kind)(timeout)

    def read_main(self, timeout):
        toolkit = self.toolkit
        running = self.elements[RUN].disabled
        # hooks are for the main window's own reads and those during a run,
        # not for the reads while a plan is being built
        if toolkit.before_read and not (running and toolkit.phase == "plan"):
            toolkit.before_read.pop(0)(toolkit)
        busy = toolkit.events and isinstance(toolkit.events[0], Busy)
        if running and not (busy and toolkit.events[0].phase == toolkit.phase):
            assert time.monotonic() < toolkit.deadline, "the run never ended"
            time.sleep(timeout / 1000)
            return TIMEOUT, {}
        if not toolkit.events:
            return toolkit.WIN_CLOSED, None
        event = toolkit.events.pop(0)
        if event[0] == RUN:
            toolkit.phase = "plan"
        return event

    def read_preview(self, timeout):
        toolkit = self.toolkit
        if not toolkit.previews or toolkit.previews[-1]["window"] is not self:
            summary, table = self.args[1][0][0], self.args[1][1][0]
            toolkit.previews.append({"window": self, "summary": summary.args[0],
                                     "headings": table.kwargs["headings"], "rows": table.args[0],
                                     "details": []})
        answer = toolkit.preview_answers.pop(0) if toolkit.preview_answers else "确认替换"
        if callable(answer):
            answer = answer(toolkit)
        event, values = answer if isinstance(answer, tuple) else (answer, {})
        if event in ("确认替换", "不保留撤销并替换"):
            toolkit.phase = "run"
        return event, values

    def read_progress(self, timeout):
        if self.toolkit.progress_events:
            return self.toolkit.progress_events.pop(0), {}
        return TIMEOUT, {}

    def read_message(self, timeout):
        body = self.args[1][0][0]
        self.toolkit.messages.append(body.args[0])
        self.toolkit.message_boxes.append(body.kind)
        return "确定", {}


class WindowType:
    def __init__(self, toolkit):
        self.toolkit = toolkit

    def __call__(self, *args, **kwargs):
        toolkit = self.toolkit
        toolkit.log.append(("Window", args, kwargs))
        buttons = [e.args[0] for row in args[1] for e in row if e.kind == "Button"]
        kind = ("main" if RUN in buttons else "preview" if {"确认替换", "不保留撤销并替换"} & set(buttons)
                else "progress" if "取消" in buttons
                else "message" if "确定" in buttons else "unknown")
        window = FakeWindow(toolkit, kind, args, kwargs)
        toolkit.windows.append(window)
        return window

    def get_screen_size(self):
        if self.toolkit.no_display:
            raise tkinter.TclError("no display name and no $DISPLAY environment variable")
        return 800, 600


class FakeToolkit:
    """Records the calls made through it, in order, in `log`."""
    TIMEOUT_KEY = TIMEOUT

    def __init__(self, events, closed=CLOSED, progress_events=(), no_display=False,
                 preview_answers=()):
        self.log, self.messages, self.message_boxes, self.windows = [], [], [], []
        self.previews = []
        self.phase = None
        self.events = list(events)
        self.progress_events = list(progress_events)
        self.preview_answers = list(preview_answers)
        self.before_read = []
        self.WIN_CLOSED = closed
        self.no_display = no_display
        self.root = FakeRoot(self)
        self.deadline = time.monotonic() + 30
        self.Window = WindowType(self)
        for name in ("InputText", "FolderBrowse", "Text", "Checkbox", "Radio", "Button",
                     "Multiline", "Table"):
            setattr(self, name, self._element(name))

    def _element(self, name):
        def make(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return Element(self, name, args, kwargs)
        return make

    def calls(self, name):
        return [entry for entry in self.log if entry[0] == name]

    def of_kind(self, kind):
        return [window for window in self.windows if window.kind == kind]


@pytest.fixture
def folder(tmp_path):
    """Holds a match for the keywords the tests type ("a*b", "a", "-") in
    every mode, so that the preview has something to show."""
    path = tmp_path / "chosen"
    (path / "a-b").mkdir(parents=True)
    (path / "a-b.txt").write_text("a-b", encoding="utf-8")
    return str(path)


@pytest.fixture
def values(folder):
    def make(folder=folder, old="a*b", new="c", recursive=True, mode="mode_folder"):
        result = {"folder_path": folder, "old_keyword": old, "new_keyword": new,
                  "recursive": recursive}
        for key in ("mode_folder", "mode_filename", "mode_content"):
            result[key] = key == mode
        return result
    return make


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
    def run(events, closed=CLOSED, **options):
        toolkit = FakeToolkit(events, closed, **options)
        monkeypatch.setattr(tw, "sg", toolkit)
        assert tw.main() is None
        return toolkit
    return run


def test_layout_window_and_close(run_main):
    toolkit = run_main([(EXIT, {})])
    assert toolkit.log[:13] == LAYOUT_CALLS
    name, args, kwargs = toolkit.log[13]
    assert (name, args[0], kwargs) == ("Window", "关键字替换工具_mira7", {"icon": "brelvo.ico"})
    layout = args[1]
    assert [len(row) for row in layout] == ROW_SIZES
    assert [(e.kind, e.args, e.kwargs) for row in layout for e in row] == LAYOUT_CALLS
    # reads never block without limit, so a run and an interrupt are noticed
    assert toolkit.log[14:] == [("read", "main", {"timeout": 100}), ("close", "main", {})]


@pytest.mark.parametrize("event, closed", [
    (CLOSED, CLOSED), (None, None), (EXIT, None), ("bye", "bye"),
])
def test_leaving_events_close_without_message(run_main, ops, values, event, closed):
    toolkit = run_main([(event, values())], closed=closed)
    assert ops == [] and toolkit.messages == []
    assert toolkit.log[-1] == ("close", "main", {})


@pytest.mark.parametrize("flags, expected, text", [
    ({"mode_folder": True}, "replace_folder_names", DONE["mode_folder"]),
    ({"mode_filename": True}, "replace_file_names", DONE["mode_filename"]),
    ({"mode_content": True}, "replace_file_contents", DONE["mode_content"]),
    ({"mode_filename": 1, "mode_content": True}, "replace_file_names", DONE["mode_filename"]),
    ({"mode_folder": "x", "mode_content": True}, "replace_folder_names", DONE["mode_folder"]),
    ({}, None, "替换完成！"),
])
def test_mode_selects_operation(run_main, ops, values, folder, flags, expected, text):
    vals = values(mode=None) | flags
    toolkit = run_main([(RUN, vals), (EXIT, {})])
    assert ops == ([] if expected is None else [(expected, (folder, "a*b", "c", True))])
    assert toolkit.messages == [text] and toolkit.message_boxes == ["Text"]


def test_values_passed_as_reported(run_main, ops, values, folder):
    recursive = object()
    toolkit = run_main([(RUN, values(folder + "/", "-", "", recursive, "mode_content")),
                        (CLOSED, None)])
    assert ops == [("replace_file_contents", (folder + "/", "-", "", recursive))]
    assert ops[0][1][3] is recursive
    assert toolkit.messages == [DONE["mode_content"]]


def test_each_press_runs_again_and_other_events_are_ignored(run_main, ops, values, tmp_path):
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "ab.txt").write_text("ab", encoding="utf-8")
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    toolkit = run_main([
        (RUN, values(a, mode="mode_filename")),
        ("选择文件夹", values()),
        (TIMEOUT, values()),
        (RUN, values(b, recursive=False, mode="mode_content")),
        (EXIT, values()),
    ])
    assert ops == [("replace_file_names", (a, "a*b", "c", True)),
                   ("replace_file_contents", (b, "a*b", "c", False))]
    assert toolkit.messages == [DONE["mode_filename"], DONE["mode_content"]]


@pytest.mark.parametrize("field, old, text", [
    ("", "a", "替换失败：请先选择要处理的文件夹。"),
    ("  \t", "a", "替换失败：请先选择要处理的文件夹。"),
    ("{tmp}/missing", "a", "替换失败：文件夹不存在：{tmp}/missing"),
    ("{tmp}/file.txt", "a", "替换失败：所选路径不是文件夹：{tmp}/file.txt"),
    ("{tmp}/chosen", "", "替换失败：旧关键字不能为空。"),
    ("", "", "替换失败：请先选择要处理的文件夹。"),
])
@pytest.mark.parametrize("mode", ["mode_folder", "mode_filename", "mode_content"])
def test_checks_run_nothing_and_say_why(run_main, ops, values, tmp_path, folder, field, old, text,
                                        mode):
    (tmp_path / "file.txt").write_text("a")
    typed = field.format(tmp=tmp_path)
    toolkit = run_main([(RUN, values(typed, old, "x", mode=mode)),
                        (RUN, values(folder, "a", "", mode=mode)), (EXIT, {})])
    assert toolkit.messages == [text.format(tmp=tmp_path), DONE[mode]]
    # the check ran nothing; an empty new keyword is allowed
    assert [args for _, args in ops] == [(folder, "a", "", True)]


def test_an_empty_keyword_never_reaches_the_tree(run_main, tw, monkeypatch, values, tmp_path):
    (tmp_path / "top").mkdir()
    (tmp_path / "top" / "sub").mkdir()
    (tmp_path / "top" / "a.txt").write_text("text", encoding="utf-8")
    for name, operation in REAL.items():
        monkeypatch.setattr(tw, name, operation)
    top = str(tmp_path / "top")
    toolkit = run_main([(RUN, values(top, "", "X", mode=mode)) for mode in DONE] + [(EXIT, {})])
    assert toolkit.messages == ["替换失败：旧关键字不能为空。"] * 3
    assert sorted(p.name for p in (tmp_path / "top").iterdir()) == ["a.txt", "sub"]
    assert (tmp_path / "top" / "a.txt").read_text(encoding="utf-8") == "text"


def test_failing_operation_shows_error_and_keeps_window(tw, run_main, ops, values, folder,
                                                        monkeypatch):
    def bad_keyword(*args):
        re.compile("ab(")
    monkeypatch.setattr(tw, "replace_folder_names", bad_keyword)
    toolkit = run_main([(RUN, values(old="ab(")), (RUN, values(mode="mode_filename")), (EXIT, {})])
    message = str(pytest.raises(re.error, re.compile, "ab(").value)
    assert toolkit.messages == ["替换失败：" + message, DONE["mode_filename"]]
    assert ops == [("replace_file_names", (folder, "a*b", "c", True))]
    assert toolkit.log[-1] == ("close", "main", {})


@pytest.mark.parametrize("error, text", [
    (OSError(2, "No such file"), "替换失败：[Errno 2] No such file\nwhile replacing content in /x/a.txt\nsecond"),
    (KeyError(), "替换失败：KeyError\nwhile replacing content in /x/a.txt\nsecond"),
])
def test_failure_message_lists_notes(tw, run_main, values, monkeypatch, error, text):
    def failing(*args):
        error.add_note("while replacing content in /x/a.txt")
        error.add_note("second")
        raise error
    monkeypatch.setattr(tw, "replace_file_contents", failing)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    assert toolkit.messages == [text]


def test_failure_note_from_real_dispatch(tw, run_main, values, monkeypatch, in_tmp):
    (in_tmp / "data").mkdir()
    (in_tmp / "data" / "a.txt").write_text("ab")

    def broken(path, old, new):
        raise ValueError("bad text")
    monkeypatch.setattr(tw, "replace_text_content", broken)
    monkeypatch.setattr(tw, "replace_file_contents", REAL["replace_file_contents"])
    toolkit = run_main([(RUN, values(str(in_tmp / "data"), mode="mode_content")), (EXIT, {})])
    path = str(in_tmp / "data" / "a.txt")
    assert len(toolkit.messages) == 1
    message = toolkit.messages[0]
    assert message.startswith("替换失败：") and path in message and "bad text" in message


def failed(path, reason):
    error = ValueError(reason)
    error.add_note(f"while replacing content in {path}")
    return error


def test_exception_group_lists_each_failure(tw, run_main, values, monkeypatch):
    def partly(*args):
        missing = FileNotFoundError(2, "No such file or directory", "/x/gone.txt")
        raise ExceptionGroup("2 of 3 files could not be changed", [
            failed("/x/a.txt", "first line\nsecond line"),
            ExceptionGroup("inner", [failed("/x/b.docx", "x" * 300)]),
            missing,
        ])
    monkeypatch.setattr(tw, "replace_file_contents", partly)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    assert toolkit.messages == [
        "替换失败：共处理 3 个文件：已修改 0 个，跳过 0 个，失败 3 个。\n"
        "while replacing content in /x/a.txt：ValueError: first line\n"
        "while replacing content in /x/b.docx：ValueError: " + "x" * 119 + "…\n"
        "/x/gone.txt：FileNotFoundError: [Errno 2] No such file or directory: '/x/gone.txt'"]
    assert toolkit.message_boxes == ["Multiline"]  # a line too long to show plainly


def test_a_long_failure_list_is_cut_and_scrolls(tw, run_main, values, monkeypatch):
    def many(*args):
        raise ExceptionGroup("25 of 25", [failed(f"/x/{i}.txt", "bad") for i in range(25)])
    monkeypatch.setattr(tw, "replace_file_names", many)
    toolkit = run_main([(RUN, values(mode="mode_filename")), (EXIT, {})])
    lines = toolkit.messages[0].split("\n")
    assert lines[0] == "替换失败：共处理 25 个文件：已重命名 0 个，跳过 0 个，失败 25 个。"
    assert lines[1:21] == [f"while replacing content in /x/{i}.txt：ValueError: bad" for i in range(20)]
    assert lines[21:] == ["…（其余 5 个未列出）"]
    assert toolkit.message_boxes == ["Multiline"]
    box = toolkit.calls("Multiline")[-1]
    assert box[2]["disabled"] is True and box[2]["size"] == (90, 20)


def test_every_window_is_owned_modal_and_on_top(tw, run_main, values, monkeypatch):
    monkeypatch.setattr(tw, "replace_file_contents", lambda *args: time.sleep(0.8))
    toolkit = run_main([(RUN, values("")), (RUN, values(mode="mode_content")), (EXIT, {})])
    main, *owned = toolkit.windows
    assert [w.kind for w in owned] == ["message", "preview", "progress", "message"]
    for window in owned:
        assert window.TKroot.master is main.TKroot
        assert window.kwargs["keep_on_top"] is True and window.kwargs["finalize"] is True
        assert window.kwargs["icon"] == "brelvo.ico"
        assert window.args[0] == "关键字替换工具_mira7"
        assert window.closed
    assert [w.kwargs["modal"] for w in owned] == [True, True, False, True]


def test_slow_run_shows_progress_and_keeps_the_run_button_off(tw, run_main, values, monkeypatch):
    def slow(*args):
        time.sleep(1.0)
    monkeypatch.setattr(tw, "replace_file_contents", slow)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    run_button = [entry for entry in toolkit.log if entry[:2] == ("update", RUN)]
    assert run_button == [("update", RUN, {"disabled": True}), ("update", RUN, {"disabled": False})]
    progress, = toolkit.of_kind("progress")
    count, path, cancel = [row[0] for row in progress.args[1]]
    assert (count.kind, count.key, cancel.args) == ("Text", "progress_count", ("取消",))
    assert path.key == "progress_path"
    shown = [entry[2]["value"] for entry in toolkit.log if entry[:2] == ("update", "progress_count")]
    assert shown and set(shown) == {"已处理 0 项（已改 0，跳过 0，失败 0）"}
    # the progress window closed before the summary opened
    order = [(e[0], e[1]) for e in toolkit.log if e[0] in ("close", "Window")]
    assert order.index(("close", "progress")) < len(order) - 2
    assert toolkit.messages == [DONE["mode_content"]]


def test_a_quick_run_shows_no_progress_window(run_main, values):
    toolkit = run_main([(RUN, values()), (EXIT, {})])
    assert toolkit.of_kind("progress") == []


@pytest.mark.parametrize("answer", ["取消", CLOSED])
def test_cancel_asks_the_run_to_stop_and_says_so(tw, run_main, values, monkeypatch, answer):
    finished = threading.Event()

    def slow(*args):
        time.sleep(1.0)
        finished.set()
    monkeypatch.setattr(tw, "replace_folder_names", slow)
    toolkit = run_main([(RUN, values()), (EXIT, {})], progress_events=[answer])
    assert finished.is_set()
    assert toolkit.messages == [
        "替换已取消！\n共处理 0 个文件夹：已重命名 0 个，跳过 0 个，失败 0 个。\n"
        "已按“取消”停止：其余项目未处理，保持原样。"]
    if answer == "取消":
        assert ("update", "取消", {"disabled": True}) in toolkit.log
        shown = [e[2]["value"] for e in toolkit.log if e[:2] == ("update", "progress_count")]
        assert shown[-1] == "正在取消：当前文件处理完后停止（已处理 0 项）"


@pytest.mark.parametrize("leaving", [EXIT, CLOSED])
def test_leaving_during_a_run_waits_for_it(tw, run_main, values, monkeypatch, leaving):
    finished = threading.Event()

    def slow(*args):
        time.sleep(0.5)
        finished.set()
    monkeypatch.setattr(tw, "replace_file_names", slow)
    toolkit = run_main([(RUN, values(mode="mode_filename")), Busy((leaving, None))])
    # main returned only after the run had ended: it never leaves a thread behind
    assert finished.is_set()
    assert toolkit.messages == []
    assert toolkit.log[-1] == ("close", "main", {})


def test_a_second_press_during_a_run_starts_nothing(tw, run_main, values, monkeypatch):
    calls = []

    def slow(*args):
        calls.append(args)
        time.sleep(0.5)
    monkeypatch.setattr(tw, "replace_folder_names", slow)
    toolkit = run_main([(RUN, values()), Busy((RUN, values())), (EXIT, {})])
    assert len(calls) == 1 and toolkit.messages == [DONE["mode_folder"]]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exception_errors_leave_main(tw, monkeypatch, in_tmp, ops, values, error):
    def interrupted(*args):
        raise error()
    monkeypatch.setattr(tw, "replace_folder_names", interrupted)
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(error) as info:
        tw.main()
    assert "termweave_mira7.main" in [entry.name for entry in info.traceback]
    assert toolkit.messages == [] and ("close", "main", {}) not in toolkit.log


def test_an_interrupt_inside_a_tk_callback_ends_main(tw, monkeypatch, in_tmp, values):
    finished = threading.Event()

    def slow(*args):
        time.sleep(0.5)
        finished.set()
    monkeypatch.setattr(tw, "replace_folder_names", slow)
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])

    def ordinary_error(toolkit):
        toolkit.root.report_callback_exception(ValueError, ValueError("shown"), None)

    def interrupt(toolkit):
        # what tkinter does when Ctrl+C lands in a Python callback
        toolkit.root.report_callback_exception(KeyboardInterrupt, KeyboardInterrupt(), None)
    toolkit.before_read = [lambda t: None, ordinary_error, interrupt]
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    assert finished.is_set()  # the run was waited for
    assert ("reported", "ValueError", {}) in toolkit.log and ("quit", (), {}) in toolkit.log
    assert toolkit.messages == []
    # the relay is removed again: the root reports as tkinter does
    assert "report_callback_exception" not in vars(toolkit.root)


def test_ctrl_c_during_a_run_stops_it_and_ends_main(tw, monkeypatch, in_tmp, values):
    finished = threading.Event()

    def slow(*args):
        time.sleep(0.6)
        finished.set()
    monkeypatch.setattr(tw, "replace_folder_names", slow)
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
    handlers = []

    def press_ctrl_c(toolkit):
        handlers.append(signal.getsignal(signal.SIGINT))
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
    toolkit.before_read = [lambda t: None, press_ctrl_c]
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    assert finished.is_set()  # stopped and joined before main left
    assert handlers[0] is not signal.default_int_handler
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert toolkit.messages == []


def test_a_host_handler_for_ctrl_c_is_left_alone(tw, in_tmp, ops, values, monkeypatch):
    def host_handler(signum, frame):
        pass
    previous = signal.signal(signal.SIGINT, host_handler)
    try:
        seen = []
        toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
        toolkit.before_read = [lambda t: seen.append(signal.getsignal(signal.SIGINT))]
        monkeypatch.setattr(tw, "sg", toolkit)
        tw.main()
        assert seen == [host_handler] and signal.getsignal(signal.SIGINT) is host_handler
    finally:
        signal.signal(signal.SIGINT, previous)


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
    assert ops == [] and toolkit.calls("close") == [] and toolkit.messages == []


def test_sg_looked_up_afresh(tw, run_main, values, monkeypatch):
    second = FakeToolkit([], closed="done")

    def rebind(*args):
        monkeypatch.setattr(tw, "sg", second)
    monkeypatch.setattr(tw, "replace_folder_names", rebind)
    first = run_main([(RUN, values()), ("done", None)])
    # the summary was built by the toolkit bound when it opened
    assert first.messages == [] and second.messages == [DONE["mode_folder"]]
    assert first.log[-1] == ("close", "main", {})


def test_browse_starts_in_the_typed_folder(tw, monkeypatch, in_tmp, values, folder, tmp_path):
    browse_starts = []

    def look(toolkit):
        browse_starts.append(toolkit.windows[0].args[1][0][1].InitialFolder)
    toolkit = FakeToolkit([(TIMEOUT, values(folder)), (TIMEOUT, values(str(tmp_path / "nope"))),
                           (TIMEOUT, values(folder)), (EXIT, {})])
    toolkit.before_read = [look] * 4
    monkeypatch.setattr(tw, "sg", toolkit)
    tw.main()
    assert browse_starts == ["unset", folder, None, folder]


def test_no_display_is_one_line_and_writes_nothing(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})], no_display=True)
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(SystemExit) as info:
        tw.main()
    message = info.value.code
    assert isinstance(message, str) and "\n" not in message
    assert "needs a desktop (a display)" in message and "$DISPLAY" in message
    assert not (in_tmp / "brelvo.ico").exists() and toolkit.windows == []


def test_other_start_up_errors_are_not_taken_for_a_missing_display(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})])

    def broken():
        raise RuntimeError("toolkit broken")
    toolkit.Window.get_screen_size = broken
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(RuntimeError, match="toolkit broken"):
        tw.main()


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


def test_unwritable_icon_opens_windows_without_icon(run_main, values, in_tmp):
    (in_tmp / "brelvo.ico").mkdir()  # open(..., "wb") fails with an OSError
    toolkit = run_main([(RUN, values()), (EXIT, {})])
    main, preview, message = toolkit.windows
    assert main.kwargs == {} and main.args[0] == "关键字替换工具_mira7"
    assert "icon" not in message.kwargs and "icon" not in preview.kwargs
    assert toolkit.messages == [DONE["mode_folder"]]
    assert toolkit.log[-1] == ("close", "main", {})


def test_icon_failure_that_is_not_io_propagates(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    monkeypatch.setattr(tw, "base64", object())
    with pytest.raises(AttributeError, match="b64decode"):
        tw.main()
    assert toolkit.log == []


# ---- through the real operations, which fill the run report ----------------------

@pytest.fixture
def real_ops(tw, monkeypatch):
    for name, operation in REAL.items():
        monkeypatch.setattr(tw, name, operation)


def test_counts_and_failures_of_a_real_content_run(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("a.txt", "b.txt"):
        (top / name).write_text("foo", encoding="utf-8")
    (top / "c.txt").write_text("bar", encoding="utf-8")
    (top / "d.dat").write_bytes(b"\0foo")
    (top / "g.txt").write_bytes("foo café".encode("latin-1"))  # neither UTF-8 nor GBK
    toolkit = run_main([(RUN, values(str(top), "foo", "baz", mode="mode_content")), (EXIT, {})])
    first, failure = toolkit.messages[0].split("\n")
    assert first == "替换失败：共处理 5 个文件：已修改 2 个，跳过 1 个，失败 1 个。"
    assert failure.startswith(f"while replacing content in {top / 'g.txt'}：UnicodeDecodeError: ")
    assert (top / "a.txt").read_text(encoding="utf-8") == "baz"


def test_a_run_whose_backups_would_need_too_much_copying_is_offered_without_undo(run_main, real_ops, values,
                                                                                  tmp_path, monkeypatch):
    # A state folder on a file system of 16 MiB allows copies of 1.6 MiB; a
    # file with a second name is rewritten in place, so undo would copy it.
    need(os.name == "posix" and os.geteuid() == 0, "mounting a file system needs root")
    state = tmp_path / "state"
    state.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tw-test", str(state)],
                             capture_output=True, text=True)
    need(mounted.returncode == 0, f"cannot mount a tmpfs here: {mounted.stderr}")
    try:
        monkeypatch.setenv("XDG_STATE_HOME", str(state))
        top = tmp_path / "top"
        top.mkdir()
        (top / "big.txt").write_bytes(b"foo " * (512 << 10))
        os.link(top / "big.txt", top / "big.second")
        toolkit = run_main([(RUN, values(str(top), "foo", "baz", mode="mode_content")), (EXIT, {})],
                           preview_answers=["不保留撤销并替换"])
        summary = toolkit.previews[0]["summary"]
        assert "保留撤销需要复制 2 MB 的备份，超过上限 1 MB：这次替换之后将无法撤销。" in summary
        assert (top / "big.txt").read_bytes() == b"baz " * (512 << 10)
        kept = [name for _, _, names in os.walk(state) for name in names if name not in ("record", "lock")]
        assert kept == []  # no backup kept for undo
    finally:
        subprocess.run(["umount", "-l", str(state)], check=True)


def test_counts_of_a_real_rename_run(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("old_1.txt", "old_2.txt", "other.txt"):
        (top / name).write_text("x")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_filename")), (EXIT, {})])
    assert toolkit.messages == [done("文件", seen=3, changed=2)]


def test_a_workbook_its_handler_reported_is_listed(run_main, real_ops, values, tmp_path, capsys):
    top = tmp_path / "top"
    top.mkdir()
    (top / "broken.xlsx").write_bytes(b"not a workbook")
    toolkit = run_main([(RUN, values(str(top), "x", "y", mode="mode_content")), (EXIT, {})])
    assert "Error processing" in capsys.readouterr().out  # the handler's own line stays
    first, failure = toolkit.messages[0].split("\n")
    assert first == "替换失败：共处理 1 个文件：已修改 0 个，跳过 0 个，失败 1 个。"
    assert failure.startswith(f"while replacing content in {top / 'broken.xlsx'}：")


@pytest.mark.parametrize("typed_suffix", ["", "/"])
def test_the_folder_field_follows_the_renamed_chosen_folder(run_main, real_ops, values, tmp_path,
                                                           typed_suffix):
    tmp_path = tmp_path / "work"
    (tmp_path / "alpha7" / "alpha7_sub").mkdir(parents=True)
    (tmp_path / "keep").mkdir()
    toolkit = run_main([
        (RUN, values(str(tmp_path / "alpha7") + typed_suffix, "alpha7", "beta7")),
        (RUN, values(str(tmp_path / "keep"), "keep", "kept", mode="mode_content")),
        (EXIT, {})])
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == [
        "beta7", "beta7/beta7_sub", "keep"]
    # only the renamed chosen folder changes the field, and only in folder mode
    assert [e for e in toolkit.log if e[0] == "set"] == [
        ("set", "folder_path", str(tmp_path / "beta7"))]
    assert toolkit.messages[0] == done(seen=2, changed=2)


def test_a_subfolder_renamed_leaves_the_field(run_main, real_ops, values, tmp_path):
    (tmp_path / "top" / "alpha7").mkdir(parents=True)
    toolkit = run_main([(RUN, values(str(tmp_path / "top"), "alpha7", "beta7")), (EXIT, {})])
    assert (tmp_path / "top" / "beta7").is_dir()
    assert [e for e in toolkit.log if e[0] == "set"] == []


def test_cancel_stops_a_real_run_between_files(tw, run_main, real_ops, values, tmp_path,
                                               monkeypatch):
    top = tmp_path / "top"
    top.mkdir()
    for i in range(150):
        (top / f"{i:03}.txt").write_text("old", encoding="utf-8")
    real_text = tw.replace_text_content

    def slow_text(*args):
        time.sleep(0.01)
        return real_text(*args)
    monkeypatch.setattr(tw, "replace_text_content", slow_text)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       progress_events=["取消"])
    texts = [p.read_text(encoding="utf-8") for p in sorted(top.iterdir())]
    assert set(texts) <= {"old", "new"}
    changed = texts.count("new")
    assert 0 < changed < 150
    first, counts, last = toolkit.messages[0].split("\n")
    assert first == "替换已取消！" and last == "已按“取消”停止：其余项目未处理，保持原样。"
    # it says exactly how far it got
    assert counts == f"共处理 {changed} 个文件：已修改 {changed} 个，跳过 0 个，失败 0 个。"


# ---- the preview: planned by the operations' own deciding code, confirmed before a run ----------

def snapshot(root):
    """Every entry under root (root included): its bytes (None for a folder) and mtime."""
    found = {}
    for path in [root, *root.rglob("*")]:
        info = path.lstat()
        found[path.relative_to(root.parent).as_posix()] = (
            None if path.is_dir() else path.read_bytes(), info.st_mtime_ns)
    return found


def make_tree(top):
    """Items for every mode: matches, a name that is taken, passed-over and failing files."""
    (top / "old_a" / "old_b").mkdir(parents=True)
    (top / "old_c").mkdir()
    (top / "new_c").mkdir()
    (top / "old_a" / "old_b" / "old_1.txt").write_text("old and old", encoding="utf-8")
    (top / "old_2.txt").write_text("x", encoding="utf-8")
    (top / "new_2.txt").write_text("x", encoding="utf-8")
    (top / ".termweave-old.tmp").write_text("old", encoding="utf-8")
    (top / "table.csv").write_text("old,x\r\n", encoding="utf-8")
    (top / "data.dat").write_bytes(b"\0old")
    (top / "memo.doc").write_text("old", encoding="utf-8")
    (top / "latin1.txt").write_bytes("old café".encode("latin-1"))  # neither UTF-8 nor GBK
    (top / "plain.txt").write_text("nothing here", encoding="utf-8")


PLANS = {
    "mode_folder": ("将重命名 2 个文件夹；跳过 0 个，失败 1 个。", [
        ["文件夹", "top/new_a/old_b", "new_b", ""],
        ["文件夹", "top/old_a", "new_a", ""],
        ["文件夹", "top/old_c", "无法重命名", "FileExistsError: [Errno 17] target exists"]]),
    "mode_filename": ("将重命名 1 个文件；跳过 1 个，失败 1 个。", [
        ["文件", "top/.termweave-old.tmp", "跳过", "本工具的临时文件"],
        ["文件", "top/old_2.txt", "无法重命名", "FileExistsError: [Errno 17] target exists"],
        ["文件", "top/old_a/old_b/old_1.txt", "new_1.txt", ""]]),
    "mode_content": ("将修改 2 个文件，共 3 处；跳过 3 个，失败 1 个。", [
        ["文件", "top/.termweave-old.tmp", "跳过", "本工具的临时文件"],
        ["文件", "top/data.dat", "跳过", "二进制文件"],
        ["文件", "top/latin1.txt", "无法修改", "UnicodeDecodeError: 'utf-8' codec can't decode"],
        ["文件", "top/memo.doc", "跳过", "旧格式（.doc、.ppt、.xls），不处理"],
        ["文件", "top/old_a/old_b/old_1.txt", "2 处", ""],
        ["文件", "top/table.csv", "1 处", ""]]),
}


def cut(row, expected):
    """The row with each cell cut to the length of the expected one."""
    return [cell[:len(want)] for cell, want in zip(row, expected)]


@pytest.mark.parametrize("mode", list(PLANS))
def test_the_preview_shows_the_plan_and_the_run_does_just_that(run_main, real_ops, values,
                                                               tmp_path, mode):
    top = tmp_path / "top"
    make_tree(top)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode=mode)), (EXIT, {})])
    preview, = toolkit.previews
    summary, expected = PLANS[mode]
    assert preview["summary"] == summary
    assert preview["headings"] == ["类型", "路径", "匹配数" if mode == "mode_content" else "新名称",
                                   "问题"]
    assert len(preview["rows"]) == len(expected)
    assert [cut(row, want) for row, want in zip(sorted(preview["rows"]), expected)] == expected
    # parents are renamed first, and what lies beneath them is shown under the new name
    paths = [row[1] for row in preview["rows"]]
    if mode == "mode_folder":
        assert paths.index("top/old_a") < paths.index("top/new_a/old_b")
    # the run then does exactly what was shown, and counts it the same way
    changed = sorted(row[1] for row in preview["rows"] if row[3] == "")
    counts = {"mode_folder": (5, 2, 0, 1), "mode_filename": (9, 1, 1, 1),
              "mode_content": (9, 2, 3, 1)}[mode]
    assert toolkit.messages[0].split("\n")[0] == "替换失败：共处理 %d 个%s：已%s %d 个，跳过 %d 个，失败 %d 个。" % (
        counts[0], "文件夹" if mode == "mode_folder" else "文件",
        "修改" if mode == "mode_content" else "重命名", *counts[1:])
    if mode == "mode_content":
        assert (top / "old_a" / "old_b" / "old_1.txt").read_text(encoding="utf-8") == "new and new"
        assert (top / "table.csv").read_bytes() == b"new,x\r\n"
        assert changed == ["top/old_a/old_b/old_1.txt", "top/table.csv"]
    else:
        renamed = {"top/" + path for path in tree(top)}
        for row in preview["rows"]:
            new_path = os.path.join(os.path.dirname(row[1]), row[2])
            assert (new_path + ("/" if mode == "mode_folder" else "") in renamed) == (row[3] == "")


@pytest.mark.parametrize("answer", ["取消", CLOSED])
@pytest.mark.parametrize("mode", list(PLANS))
def test_declining_the_preview_changes_nothing(run_main, real_ops, values, tmp_path, mode, answer):
    top = tmp_path / "top"
    make_tree(top)
    before = snapshot(top)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode=mode)), (EXIT, {})],
                       preview_answers=[answer])
    assert snapshot(top) == before
    assert len(toolkit.previews) == 1 and toolkit.messages == []
    # the window is back and takes the next press
    assert [e for e in toolkit.log if e[:2] == ("update", RUN)][-1][2] == {"disabled": False}


@pytest.mark.parametrize("mode, tree_files, text", [
    ("mode_folder", {}, "没有找到匹配项"),
    ("mode_filename", {"a.txt": b"old"}, "没有找到匹配项"),
    ("mode_content", {"a.txt": b"x", "b.dat": b"\0old", "c.xls": b"old"},
     "没有找到匹配项\n（跳过 2 个文件：特殊文件、二进制文件、旧格式文件或本工具的临时文件）"),
])
def test_nothing_found_is_said_and_nothing_runs(run_main, ops, values, tmp_path, mode, tree_files,
                                                text):
    top = tmp_path / "top"
    top.mkdir()
    for name, data in tree_files.items():
        (top / name).write_bytes(data)
    toolkit = run_main([(RUN, values(str(top), "zzz" if mode == "mode_filename" else "old", "new",
                                     mode=mode)), (EXIT, {})])
    assert toolkit.messages == [text] and toolkit.previews == [] and ops == []


@pytest.mark.parametrize("old, new, text", [
    ("a(", "x", "替换失败：missing ), unterminated subpattern at position 1"),
    ("a", "\\9", "替换失败：invalid group reference 9 at position 1"),
])
def test_a_plan_that_cannot_be_made_says_why_and_runs_nothing(run_main, ops, values, folder, old,
                                                              new, text):
    toolkit = run_main([(RUN, values(old=old, new=new, mode="mode_content")), (EXIT, {})])
    assert toolkit.messages == [text] and toolkit.previews == [] and ops == []


def select_every_row(toolkit):
    rows = toolkit.previews[-1]["rows"]
    toolkit.preview_answers[:0] = [("preview_table", {"preview_table": [i]})
                                   for i in range(1, len(rows))]
    return "preview_table", {"preview_table": [0]}


def test_details_show_the_first_matches_in_context(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    office_documents(top)
    (top / "long.txt").write_text("first line\n" + "x" * 40 + " old1 y " + "z" * 40 + "\n"
                                  + " ".join(f"old{i}" for i in range(2, 8)), encoding="utf-8")
    (top / "a.txt").write_text("no match", encoding="utf-8")
    (top / "t.csv").write_text("a,b old7\r\nold\r\n", encoding="utf-8")
    (top / "g.csv").write_bytes("旧,old8\r\n".encode("gbk"))
    toolkit = run_main([(RUN, values(str(top), r"old(\d?)", r"new\1", mode="mode_content")),
                        (EXIT, {})], preview_answers=[select_every_row, "取消"])
    details = {text.split("\n")[0]: text.split("\n")[1:] for text in toolkit.previews[0]["details"]}
    assert details == {
        str(top / "long.txt"): [
            "共 7 处，前 5 处：",
            "1. " + "x" * 29 + " 【old1】 y " + "z" * 27,
            "   → " + "x" * 29 + " 【new1】 y " + "z" * 27,
            "2. 【old2】 old3 old4 old5 old6 old7", "   → 【new2】 old3 old4 old5 old6 old7",
            "3. old2 【old3】 old4 old5 old6 old7", "   → old2 【new3】 old4 old5 old6 old7",
            "4. old2 old3 【old4】 old5 old6 old7", "   → old2 old3 【new4】 old5 old6 old7",
            "5. old2 old3 old4 【old5】 old6 old7", "   → old2 old3 old4 【new5】 old6 old7"],
        str(top / "doc.docx"): ["共 1 处：", "1. the 【old】 plan", "   → the 【new】 plan"],
        str(top / "deck.pptx"): ["共 1 处：", "1. 【old】 slide", "   → 【new】 slide"],
        str(top / "book.xlsx"): ["共 1 处：", "1. 【old】 cell", "   → 【new】 cell"],
        str(top / "t.csv"): ["共 2 处：", "1. b 【old7】", "   → b 【new7】", "2. 【old】", "   → 【new】"],
        str(top / "g.csv") + "（GBK）": ["共 1 处：", "1. 【old8】", "   → 【new8】"],
    }


def test_details_mark_a_match_in_a_workbook_formula(run_main, real_ops, values, tmp_path):
    import openpyxl
    top = tmp_path / "top"
    top.mkdir()
    book = openpyxl.Workbook()
    book.active["A1"] = "old cell"
    book.active["A2"] = '=LEN("old")'
    book.save(top / "book.xlsx")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[select_every_row, "取消"])
    (details,) = toolkit.previews[0]["details"]
    assert details.split("\n")[1:] == [
        "共 2 处：", "1. 【old】 cell", "   → 【new】 cell", '2. （公式）=LEN("【old】")', '   → =LEN("【new】")']


def test_a_long_plan_is_shown_a_page_at_a_time(run_main, ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for i in range(1003):
        (top / f"old{i:04}").write_bytes(b"")

    def pick_last_row(toolkit):
        return "preview_table", {"preview_table": [2]}
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_filename")), (EXIT, {})],
                       preview_answers=["上一页", "下一页", pick_last_row, "下一页", "上一页", "取消"])
    preview, = toolkit.previews
    assert preview["summary"] == "将重命名 1003 个文件。" and len(preview["rows"]) == 1000
    pages = [e[2]["values"] for e in toolkit.log if e[:2] == ("update", "preview_table")]
    # "上一页" on the first page and "下一页" on the last do nothing
    assert [len(page) for page in pages] == [3, 1000]
    names = [row[1] for row in preview["rows"] + pages[0]]
    assert sorted(names) == [f"top/old{i:04}" for i in range(1003)]
    shown = [e[2]["value"] for e in toolkit.log if e[:2] == ("update", "preview_page")]
    assert shown == ["第 1–1000 项，共 1003 项", "第 1001–1003 项，共 1003 项", "第 1–1000 项，共 1003 项"]
    # the third row of the second page is item 1003; turning a page clears the details
    reset, picked, reset_again = preview["details"]
    assert reset == reset_again == "选中一项可查看详情。"
    assert picked.split("\n")[0] == str(tmp_path / pages[0][2][1])
    assert ops == []


def test_the_run_decides_again_after_the_preview(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("a.txt", "b.txt"):
        (top / name).write_text("old", encoding="utf-8")

    def change_b_then_confirm(toolkit):
        (top / "b.txt").write_text("no longer", encoding="utf-8")
        (top / "c.txt").write_text("old old", encoding="utf-8")
        return "确认替换"
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[change_b_then_confirm])
    assert toolkit.previews[0]["summary"] == "将修改 2 个文件，共 2 处。"
    texts = [p.read_text(encoding="utf-8") for p in sorted(top.iterdir())]
    assert texts == ["new", "no longer", "new new"]
    assert toolkit.messages == [done("文件", "修改", seen=3, changed=2)]


def slow_walk(monkeypatch, tw):
    """os as the module sees it, with a walk that takes a while per folder."""
    class SlowOs:
        def __getattr__(self, name):
            return getattr(os, name)

        def walk(self, *args, **kwargs):
            for triple in os.walk(*args, **kwargs):
                time.sleep(0.3)
                yield triple
    monkeypatch.setattr(tw, "os", SlowOs())


def test_a_slow_plan_shows_progress_and_can_be_cancelled(tw, run_main, ops, values, tmp_path,
                                                         monkeypatch):
    top = tmp_path / "top"
    for i in range(4):
        (top / f"d{i}").mkdir(parents=True)
        (top / f"d{i}" / "old.txt").write_text("old", encoding="utf-8")
    before = snapshot(top)
    slow_walk(monkeypatch, tw)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       progress_events=[TIMEOUT, "取消"])
    progress, = toolkit.of_kind("progress")
    assert progress.args[1][0][0].args == ("正在查找匹配项，请稍候…",)
    shown = [e[2]["value"] for e in toolkit.log if e[:2] == ("update", "progress_count")]
    assert shown[0].startswith("已查看 ") and shown[-1].startswith("正在取消：不做任何修改")
    assert toolkit.previews == [] and toolkit.messages == [] and ops == []
    assert snapshot(top) == before


def test_leaving_while_the_plan_is_built(tw, run_main, ops, values, folder, monkeypatch):
    slow_walk(monkeypatch, tw)
    toolkit = run_main([(RUN, values(mode="mode_content")), Busy((EXIT, None), phase="plan")])
    assert toolkit.previews == [] and toolkit.messages == [] and ops == []
    assert toolkit.log[-1] == ("close", "main", {})


def test_ctrl_c_while_the_preview_is_open_runs_nothing(tw, monkeypatch, in_tmp, ops, values):
    def press_ctrl_c(toolkit):
        os.kill(os.getpid(), signal.SIGINT)
        return TIMEOUT
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})], preview_answers=[press_ctrl_c])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    preview, = toolkit.of_kind("preview")
    assert preview.closed and ops == [] and toolkit.messages == []
