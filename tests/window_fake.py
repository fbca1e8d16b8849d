"""A scripted stand-in for the window toolkit bound as `sg`.

It plays a user who follows a script of main-window events and waits while
a plan is built or a run goes on (the run button is disabled then). Messages
and summaries are answered with "确定" at once; the preview is confirmed
unless its own script says otherwise; the progress window and the question
asked on the way out answer from their own scripts.

Nothing here waits on time: what a test must wait for (a progress window
opening, a cancel, an answer) is an event in `toolkit.signals`, set when it
happens, and held operations wait on those (see `held_until`).
"""
import threading
import time
import tkinter

import pytest

OPERATIONS = ("replace_folder_names", "replace_file_names", "replace_file_contents")
RUN, EXIT, CLOSED, TIMEOUT = "执行替换", "退出", object(), "__TIMEOUT__"
STOP, GO_ON = "停止并退出", "继续替换"
# how long a held operation may wait for what it waits for before the test fails
PATIENCE = 30


class Busy(tuple):
    """A main-window event delivered even while a run goes on (or, with
    phase "plan", while its plan is being built)."""

    def __new__(cls, event, phase="run"):
        busy = super().__new__(cls, event)
        busy.phase = phase
        return busy


class FakeTreeview:
    """What the windows touch of a table's Tk widget."""

    def __init__(self, element):
        self.element = element

    def item(self, iid, values):
        self.element.toolkit.log.append(("row", self.element.key, (int(iid) - 1, list(values))))

    def heading(self, column, text):
        self.element.headings[column] = text


class Element:
    def __init__(self, toolkit, kind, args, kwargs):
        self.toolkit, self.kind, self.args, self.kwargs = toolkit, kind, args, kwargs
        self.key = kwargs.get("key", args[0] if kind == "Button" else None)
        self.disabled = False
        self.TKStringVar = self
        self.InitialFolder = "unset"
        if kind == "Table":
            self.Values = [list(row) for row in args[0]]
            self.TKTreeview = FakeTreeview(self)
            self.headings = {name: name for name in kwargs.get("headings", ())}
        self.value = args[0] if args else None

    def update(self, **change):
        self.toolkit.log.append(("update", self.key, change))
        self.disabled = change.get("disabled", self.disabled)
        if "value" in change:
            self.value = change["value"]
        if self.kind == "Table" and "values" in change:
            self.Values = [list(row) for row in change["values"]]
        if self.key == "preview_detail":
            self.toolkit.previews[-1]["details"].append(change["value"])

    def get(self):  # a table's selected rows
        return list(self.toolkit.selection)

    def bind(self, event, suffix):
        self.toolkit.log.append(("bind", self.key, (event, suffix)))

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


def texts_of(layout):
    """The texts of a layout's Text elements, in order."""
    return [e.value for row in layout for e in row if e.kind == "Text"]


class FakeWindow:
    def __init__(self, toolkit, kind, args, kwargs):
        self.toolkit, self.kind, self.args, self.kwargs = toolkit, kind, args, kwargs
        self.TKroot = FakeTk(toolkit.root)
        self.elements = {e.key: e for row in args[1] for e in row if e.key is not None}
        self.closed = False
        self.keys = {}

    def __getitem__(self, key):
        return self.elements[key]

    def close(self):
        self.closed = True
        self.toolkit.log.append(("close", self.kind, {}))

    def finalize(self):
        self.toolkit.log.append(("finalize", self.kind, {}))
        return self

    def bind(self, key, event):
        self.keys[key] = event

    def read(self, timeout=None):
        toolkit = self.toolkit
        toolkit.log.append(("read", self.kind, {"timeout": timeout}))
        # what the window did with the last answer is done by the next read
        while toolkit.pending:
            toolkit.signals[toolkit.pending.pop()].set()
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
            # a real read waits this long for an event; here it only lets the run work
            time.sleep(0.01)
            return TIMEOUT, {}
        if not toolkit.events:
            return toolkit.WIN_CLOSED, None
        event = toolkit.events.pop(0)
        if busy:
            toolkit.signals["busy"].set()
        if event[0] == RUN:
            toolkit.phase = "plan"
        return event

    def read_preview(self, timeout):
        toolkit = self.toolkit
        if not toolkit.previews or toolkit.previews[-1]["window"] is not self:
            table = self.elements["preview_table"]
            toolkit.previews.append({
                "window": self, "summary": self.elements["preview_summary"].value,
                "warning": self.elements["preview_warning"].value
                if "preview_warning" in self.elements else None,
                "headings": table.kwargs["headings"], "widths": table.kwargs["col_widths"],
                "rows": [list(row) for row in table.args[0]], "details": []})
        answer = toolkit.preview_answers.pop(0) if toolkit.preview_answers else "确认替换"
        if callable(answer):
            answer = answer(toolkit)
        event, values = answer if isinstance(answer, tuple) else (answer, {})
        if event in ("确认替换", "不保留撤销并替换"):
            toolkit.phase = "run"
        return event, values

    def read_progress(self, timeout):
        toolkit = self.toolkit
        if toolkit.progress_events:
            event = toolkit.progress_events.pop(0)
            if event == "取消" or event is toolkit.WIN_CLOSED:
                toolkit.pending.append("cancel")
            return event, {}
        return TIMEOUT, {}

    def read_message(self, timeout):
        body = self.args[1][0][0]
        self.toolkit.messages.append(body.args[0])
        self.toolkit.message_boxes.append(body.kind)
        return "确定", {}

    def read_summary(self, timeout):
        toolkit = self.toolkit
        head, body = self.elements["summary_head"].value, self.elements["summary_body"].value
        table = self.elements.get("summary_failures")
        detail = self.elements.get("summary_detail")
        toolkit.messages.append(head + "\n" + body)
        toolkit.message_boxes.append("summary")
        toolkit.summaries.append({"head": head, "body": body,
                                  "rows": table.Values if table else [],
                                  "detail": detail.value if detail else None})
        return "确定", {}

    def read_question(self, timeout):
        toolkit = self.toolkit
        toolkit.questions.append(self.args[1][0][0].value)
        answer = toolkit.question_answers.pop(0) if toolkit.question_answers else STOP
        toolkit.pending.append("answered")
        return answer, {}


class Signals(dict):
    """Events by name, made at first use from whichever thread asks first.
    (A defaultdict would build the event in Python code and then store it
    over one another thread stored meanwhile: a waiter could be left on an
    event that nobody sets.)"""

    def __missing__(self, name):
        return self.setdefault(name, threading.Event())


class WindowType:
    def __init__(self, toolkit):
        self.toolkit = toolkit

    def __call__(self, *args, **kwargs):
        toolkit = self.toolkit
        toolkit.log.append(("Window", args, kwargs))
        buttons = [e.args[0] for row in args[1] for e in row if e.kind == "Button"]
        keys = [e.key for row in args[1] for e in row]
        kind = ("main" if RUN in buttons else "preview" if {"确认替换", "不保留撤销并替换"} & set(buttons)
                else "question" if STOP in buttons
                else "progress" if "取消" in buttons
                else "summary" if "summary_head" in keys
                else "message" if "确定" in buttons else "unknown")
        window = FakeWindow(toolkit, kind, args, kwargs)
        toolkit.windows.append(window)
        toolkit.signals[kind].set()
        return window

    def get_screen_size(self):
        if self.toolkit.no_display:
            raise tkinter.TclError("no display name and no $DISPLAY environment variable")
        return 800, 600


class FakeToolkit:
    """Records the calls made through it, in order, in `log`."""
    TIMEOUT_KEY = TIMEOUT
    current = None  # the toolkit of the test running now

    def __init__(self, events, closed=CLOSED, progress_events=(), no_display=False,
                 preview_answers=(), question_answers=()):
        self.log, self.messages, self.message_boxes, self.windows = [], [], [], []
        self.previews, self.summaries, self.questions = [], [], []
        self.phase = None
        self.events = list(events)
        self.progress_events = list(progress_events)
        self.preview_answers = list(preview_answers)
        self.question_answers = list(question_answers)
        self.selection = []
        self.before_read = []
        self.signals = Signals()
        self.pending = []  # signals set at the next read of any window
        self.WIN_CLOSED = closed
        self.no_display = no_display
        self.root = FakeRoot(self)
        self.deadline = time.monotonic() + 60
        self.Window = WindowType(self)
        for name in ("InputText", "FolderBrowse", "Text", "Checkbox", "Radio", "Button",
                     "Multiline", "Table", "Combo", "ProgressBar"):
            setattr(self, name, self._element(name))
        FakeToolkit.current = self

    def _element(self, name):
        def make(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return Element(self, name, args, kwargs)
        return make

    def calls(self, name):
        return [entry for entry in self.log if entry[0] == name]

    def of_kind(self, kind):
        return [window for window in self.windows if window.kind == kind]

    def updates(self, key, change="value"):
        return [e[2][change] for e in self.log if e[:2] == ("update", key) and change in e[2]]


def wait_for(name):
    """Waits until the current toolkit's signal `name` is set."""
    assert FakeToolkit.current.signals[name].wait(PATIENCE), f"{name!r} never happened"


def held_until(*names, then=None):
    """An operation that returns once each named signal has been set (in
    order), then calls `then` (if given) and sets the signal "done"."""
    def operation(*args):
        for name in names:
            wait_for(name)
        if then:
            then()
        FakeToolkit.current.signals["done"].set()
    return operation


# ---- fixtures for the window tests ------------------------------------------------

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
    """Runs main() (or `main`, the test probe's) against a scripted toolkit."""
    def run(events, closed=CLOSED, main=None, **options):
        toolkit = FakeToolkit(events, closed, **options)
        monkeypatch.setattr(tw, "sg", toolkit)
        assert (main or tw.main)() is None
        return toolkit
    return run
