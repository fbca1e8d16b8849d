"""Runs main() in a real window and drives it from inside the process.

Started by test_window_real.py in its own process (so a hung Tk cannot hang
the suite) as: driver SCENARIO ROOT SHOTS RESULT. Every step runs as a Tk
idle callback of the main window, started by an `after` timer: a click made
in a timer callback could run in the same pass as a read's own timeout
timer, which then overwrites it (a real click is an event of its own). The
windows that main() opens besides the main window are told apart by their
buttons: a message ("确定") records its text and closes itself, then the
next step follows; a summary does the same and records its head, counts and
failures; the preview ("确认替换") records its summary, warning and rows,
shows the details of its first row, and is answered as the scenario says;
the progress window ("取消") is recorded and, when it belongs to the run,
acted on as the scenario says; the question asked on the way out is answered
"停止并退出".

With TW_PROBE_DIR set, the window is the test probe's own copy (built from
the same sources), with the operations bound to the probe's functions, so
that a run can be held between two files (probe.hold) until the scenario has
done what it tests at that moment. With TW_AS_USER set (and run as root),
the driver drops root's rights before the window opens, so that permissions
hold. Nothing here waits on time to let a run get somewhere.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time
import traceback

import PySimpleGUI as real_sg

import termweave_mira7 as tw

SCENARIO, ROOT, SHOTS, RESULT = sys.argv[1:]
HOLD_AT = 1000  # files a held run has changed when the scenario acts
record = {"title": None, "messages": [], "screens": [], "errors": [], "result": None,
          "progress_windows": 0, "plan_progress_windows": 0, "owned": [], "lateness": [],
          "fields": [], "initial_folders": [], "previews": [], "summaries": [], "questions": [],
          "progress": [], "values": []}

probe = None
if os.environ.get("TW_PROBE_DIR"):
    sys.path.insert(0, os.environ["TW_PROBE_DIR"])
    import _termweave_probe as probe
    for name, function in probe.functions().items():
        if name.startswith("replace_"):
            setattr(tw, name, function)


def screenshot(name):
    path = os.path.join(SHOTS, name)
    done = subprocess.run(["import", "-window", "root", path], timeout=20, capture_output=True)
    if done.returncode == 0:
        record["screens"].append(path)
    else:
        record["errors"].append(f"screenshot {name}: {done.stderr.decode(errors='replace')}")


def thread_count():
    """Threads of this process, the interpreter's own and any other (Linux)."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None


def type_into(field, text):
    entry = field.TKCombo if field.Type == real_sg.ELEM_TYPE_INPUT_COMBO else field.TKEntry
    entry.delete(0, "end")
    entry.insert(0, text)


def fill(window, folder, old, new, mode, options=None):
    type_into(window["folder_path"], folder)
    type_into(window["old_keyword"], old)
    type_into(window["new_keyword"], new)
    window[mode].update(True)
    for key, value in (options or {}).items():
        if isinstance(value, str):
            type_into(window[key], value)
        else:
            window[key].update(value)


def run_with(folder, mode, old, new, shot=None, options=None):
    def step(window):
        fill(window, folder, old, new, mode, options)
        window.TKroot.update()
        if shot:
            screenshot(shot)
        window["执行替换"].click()
    return step


def undo_with(folder):
    def step(window):
        type_into(window["folder_path"], folder)
        window["撤销上次替换"].click()
    return step


def write_text(path, text):
    def step(window):
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        toolkit.next_step()
    return step


def look_at_field(window):
    record["fields"].append(window["folder_path"].get())
    toolkit.next_step()


def look_at_values(window):
    """What the main window shows now, by key."""
    keys = ("folder_path", "old_keyword", "new_keyword", "recursive", "mode_folder",
            "mode_filename", "mode_content", "case_sensitive", "regular_expression",
            "skip_hidden", "scope_whole", "scope_stem", "scope_extension", "include_masks",
            "exclude_masks")
    shown = {key: window[key].get() for key in keys}
    shown["old_keywords"] = list(window["old_keyword"].Values)
    record["values"].append(shown)
    toolkit.next_step()


def look_at_browse_start(window):
    type_into(window["folder_path"], ROOT)
    # the loop sees the typed text at its next read (at most 0.1 s later)
    later(window, 400, lambda: (record["initial_folders"].append(
        window["选择文件夹"].InitialFolder), toolkit.next_step()))


def later(window, ms, action):
    window.TKroot.after(ms, lambda: window.TKroot.after_idle(action))


def leave(window):
    window["退出"].click()


class LatenessProbe:
    """Schedules Tk `after` callbacks back to back and records how late each runs."""

    INTERVAL = 0.05

    def __init__(self, root):
        self.root = root
        self.running = True
        self.expected = time.monotonic() + self.INTERVAL
        root.after(int(self.INTERVAL * 1000), self.tick)

    def tick(self):
        now = time.monotonic()
        record["lateness"].append(round(now - self.expected, 4))
        if self.running:
            self.expected = now + self.INTERVAL
            self.root.after(int(self.INTERVAL * 1000), self.tick)


def long_run(window):
    fill(window, ROOT, "old", "new", "mode_content")
    record["threads_before_run"] = thread_count()
    toolkit.probe = LatenessProbe(window.TKroot)
    if probe:
        probe.hold(HOLD_AT)
    window["执行替换"].click()


def slow_run(window):
    # one long line on which `a*b*z` takes minutes: the plan meets it first
    fill(window, ROOT, "a*b*z", "X", "mode_content")
    record["threads_before_run"] = thread_count()
    toolkit.probe = LatenessProbe(window.TKroot)
    window["执行替换"].click()


def cancel_mid_match(window):
    """取消 on the plan's progress window once the match has gone to a
    matcher thread of its own (the run's thread and it besides the others);
    then, once the window has closed, on to the next step."""
    def poll():
        if thread_count() < record["threads_before_run"] + 2:
            toolkit.window.TKroot.after(50, poll)
            return
        record["threads_mid_match"] = thread_count()
        record["cancelled_at"] = time.monotonic()
        window["取消"].click()
        toolkit.window.TKroot.after(20, closed)

    def closed():
        if not window.is_closed():
            toolkit.window.TKroot.after(20, closed)
            return
        record["cancel_answered_in"] = round(time.monotonic() - record["cancelled_at"], 3)
        toolkit.probe.running = False
        toolkit.probe = None
        toolkit.schedule_next()
    poll()


SCENARIOS = {
    "modes": lambda: [
        run_with("", "mode_folder", "alpha7", "beta7"),
        run_with(os.path.join(ROOT, "missing"), "mode_folder", "alpha7", "beta7"),
        run_with(os.path.join(ROOT, "alpha7_dir", "report.txt"), "mode_folder", "alpha7", "beta7"),
        run_with(ROOT, "mode_content", "", "x"),
        look_at_browse_start,
        run_with(ROOT, "mode_folder", "alpha7", "beta7", shot="window.png"),
        run_with(ROOT, "mode_filename", "report", "summary"),
        run_with(ROOT, "mode_content", "foo", "bar"),
        run_with(ROOT, "mode_content", "ab(", "x"),
        run_with(os.path.join(ROOT, "beta7_dir"), "mode_folder", "beta7", "gamma7"),
        look_at_field,
        leave,
    ],
    "decline": lambda: [
        run_with(ROOT, "mode_filename", "report", "summary"),
        run_with(ROOT, "mode_content", "foo", "bar"),
        run_with(ROOT, "mode_content", "nowhere", "x"),
        leave,
    ],
    "runs to undo": lambda: [
        run_with(os.path.join(ROOT, "renamed"), "mode_filename", "old", "new"),
        run_with(os.path.join(ROOT, "content"), "mode_content", "old", "new"),
        run_with(os.path.join(ROOT, "nest"), "mode_folder", "old", "new"),
        run_with(os.path.join(ROOT, "edit"), "mode_content", "old", "new"),
        write_text(os.path.join(ROOT, "edit", "b.txt"), "edited by hand"),
        leave,
    ],
    # in a new process: the records outlive the program
    "undo": lambda: [
        undo_with(os.path.join(ROOT, "content")),
        undo_with(os.path.join(ROOT, "renamed")),
        undo_with(os.path.join(ROOT, "nest")),
        undo_with(os.path.join(ROOT, "edit")),
        undo_with(os.path.join(ROOT, "content")),
        undo_with(os.path.join(ROOT, "never")),
        leave,
    ],
    "long": lambda: [long_run, leave],
    "cancel": lambda: [long_run, leave],
    "interrupt": lambda: [long_run, leave],
    "exit": lambda: [long_run],
    "errors": lambda: [
        run_with(os.path.join(ROOT, "contents"), "mode_content", "old", "new"),
        run_with(os.path.join(ROOT, "names"), "mode_filename", "^o", "y" * 60),
        run_with(os.path.join(ROOT, "undecodable"), "mode_content", "old", "new"),
        leave,
    ],
    "empty": lambda: [run_with(ROOT, "mode_content", "x?", "Y"), leave],
    # the window as the user left it, then a run with every option changed
    "remember": lambda: [
        look_at_values,
        run_with(ROOT, "mode_filename", "Report", "Summary", options={
            "case_sensitive": False, "regular_expression": False, "skip_hidden": True,
            "scope_stem": True, "include_masks": "*.txt", "exclude_masks": "~$*"}),
        leave,
    ],
    # each run: [folder under the tree, mode, old keyword, new keyword, options]
    # (TW_SHOT names a picture of the window as the first run is started)
    "options": lambda: [run_with(os.path.normpath(os.path.join(ROOT, folder)), mode, old, new,
                                 os.environ.get("TW_SHOT") if number == 0 else None, options)
                        for number, (folder, mode, old, new, options)
                        in enumerate(json.loads(os.environ["TW_RUNS"]))]
    + [leave],
    "slow": lambda: [slow_run, leave],
}
STEPS = SCENARIOS[SCENARIO]()


def layout_elements(layout):
    return [element for row in layout for element in row]


def layout_buttons(layout):
    return [element.ButtonText for element in layout_elements(layout)
            if getattr(element, "Type", None) == real_sg.ELEM_TYPE_BUTTON]


def layout_text(layout):
    texts = []
    for element in layout_elements(layout):
        if element.Type == real_sg.ELEM_TYPE_TEXT:
            texts.append(element.DisplayText)
        elif element.Type == real_sg.ELEM_TYPE_INPUT_MULTILINE:
            texts.append(element.DefaultText)
    return "\n".join(texts)


def optional(window, key):
    """The element under `key`, or None when the window has none."""
    return window.AllKeysDict.get(key)


def table_cell(table, row, column):
    """Where a cell of a table is, in the table's own coordinates (row -1: its heading)."""
    tree = table.Widget
    x, y, width, height = tree.bbox(max(row, 0) + 1, column=f"#{column + 1}")
    return x + width // 2, (y + height // 2 if row >= 0 else 5)


def click_table(table, row, column):
    """A click on a cell or a heading of a table, as the mouse makes it."""
    x, y = table_cell(table, row, column)
    table.Widget.event_generate("<ButtonRelease-1>", x=x, y=y)


class Toolkit:
    """The real PySimpleGUI, except that windows are watched and driven."""

    def __init__(self):
        self.window = None
        self.probe = None
        self.messages_seen = 0

    def __getattr__(self, name):
        return getattr(real_sg, name)

    def Window(self, *args, **kwargs):
        if self.window is None:
            return self.main_window(*args, **kwargs)
        layout = args[1]
        buttons = layout_buttons(layout)
        keys = [element.Key for element in layout_elements(layout)]
        if "确定" in buttons and self.probe is not None:
            # the run is over once its summary is being built
            self.probe.running = False
            self.probe = None
        window = real_sg.Window(*args, **kwargs)
        record["owned"].append({"buttons": buttons, "modal": kwargs.get("modal"),
                                "keep_on_top": kwargs.get("keep_on_top"),
                                "resizable": kwargs.get("resizable"), "transient": None})
        if "确认替换" in buttons or "确认撤销" in buttons:
            self.answer_preview(window)
        elif "停止并退出" in buttons:
            self.answer_question(window, layout_text(layout))
        elif "取消" in buttons:
            self.watch_progress(window, layout_text(layout))
        elif "summary_head" in keys:
            self.answer_summary(window)
        elif "确定" in buttons:
            self.answer_message(window, layout_text(layout))
        return window

    def main_window(self, *args, **kwargs):
        window = real_sg.Window(*args, **kwargs).finalize()
        record["title"] = window.TKroot.title()
        self.window = window
        self.schedule_next()
        return window

    def note_owner(self, window, entry=None):
        owner = window.TKroot.transient()
        (entry or record["owned"][-1])["transient"] = str(owner) == str(self.window.TKroot)

    def answer_preview(self, window):
        previews = record["previews"]
        warning = optional(window, "preview_warning")
        table = window["preview_table"]
        previews.append({"summary": window["preview_summary"].get(),
                         "warning": warning.get() if warning else None,
                         "rows": [list(map(str, row)) for row in table.Values]})

        def select_first():
            self.note_owner(window)
            # as a click on the first row does: the window reports the selection
            table.update(select_rows=[0])
            later(self.window, 300, act)

        def act():
            previews[-1]["details"] = window["preview_detail"].get()
            left_out = os.environ.get("TW_LEAVE_OUT", "")
            paths = [row[2] for row in table.Values]
            if SCENARIO == "options" and left_out in paths:
                # the tick of the row named is clicked before the run is confirmed
                click_table(table, paths.index(left_out), 0)
            later(self.window, 300, answer)

        def answer():
            previews[-1]["after_click"] = [list(map(str, row)) for row in table.Values]
            if len(previews) == 2 and SCENARIO == "modes":
                screenshot("preview.png")
            if SCENARIO in ("empty", "remember") or (SCENARIO == "options" and
                                                     os.environ.get("TW_SHOT")):
                screenshot("preview.png")
            if SCENARIO == "empty":
                window["取消"].click()
            elif SCENARIO != "decline":
                window["确认撤销" if SCENARIO == "undo" else "确认替换"].click()
            elif len(previews) == 1:
                window["取消"].click()
            else:
                # what the window manager's close box calls
                window._OnClosingCallback()
            if SCENARIO in ("decline", "empty"):
                self.schedule_next()
        later(self.window, 200, select_first)

    def watch_progress(self, window, text):
        if text.startswith("正在查找匹配项"):
            # it may close again soon: its owner is looked at once it is up
            record["plan_progress_windows"] += 1
            entry = record["owned"][-1]
            window.TKroot.after_idle(lambda: self.note_owner(window, entry))
            if SCENARIO == "slow":
                later(self.window, 150, lambda: cancel_mid_match(window))
            return
        record["progress_windows"] += 1

        shown_at = time.monotonic() + 30

        def look():
            if probe and not probe.wait_held(0):
                # the run reaches the file it is held at: look again soon
                return later(self.window, 50, look)
            # The window shows the count at its next refresh after the hold
            # (at most a read later); a window that never does fails the test.
            fraction = optional(window, "progress_fraction")
            held_shown = fraction and fraction.get().startswith(f"{HOLD_AT} /")
            if probe and not held_shown and time.monotonic() < shown_at:
                return later(self.window, 50, look)
            self.note_owner(window)
            record["progress_text"] = window["progress_count"].get()
            record["progress"].append({"fraction": window["progress_fraction"].get(),
                                       "left": window["progress_left"].get(),
                                       "bar_max": window["progress_bar"].MaxValue})
            if SCENARIO == "long":
                # from another thread: the event thread must stay free meanwhile
                threading.Thread(target=screenshot, args=("progress.png",)).start()
                probe and probe.release()
            elif SCENARIO == "cancel":
                window["取消"].click()
            elif SCENARIO == "interrupt":
                record["threads_during_run"] = thread_count()
                # as a terminal sends it, from outside
                os.kill(os.getpid(), signal.SIGINT)
            elif SCENARIO == "exit":
                self.window["退出"].click()
        later(self.window, 150, look)

    def answer_question(self, window, text):
        record["questions"].append(text)

        def answer():
            self.note_owner(window)
            window["停止并退出"].click()
        later(self.window, 200, answer)

    def answer_summary(self, window):
        table, detail = optional(window, "summary_failures"), optional(window, "summary_detail")
        summary = {"head": window["summary_head"].get(), "body": window["summary_body"].get(),
                   "rows": [list(row) for row in table.Values] if table else [],
                   "detail": detail.get() if detail else None,
                   "resizable": window.Resizable}
        record["summaries"].append(summary)
        record["messages"].append(summary["head"] + "\n" + summary["body"])

        def answer():
            self.note_owner(window)
            if SCENARIO not in ("modes", "errors") or len(record["summaries"]) == 3:
                screenshot("summary.png")
            # Esc closes it, as "确定" does
            window.TKroot.event_generate("<Escape>")
            self.schedule_next()
        later(self.window, 200, answer)

    def answer_message(self, window, text):
        record["messages"].append(text)
        self.messages_seen += 1

        def answer():
            self.note_owner(window)
            if SCENARIO == "modes" and self.messages_seen == 2:
                screenshot("popup.png")
            window["确定"].click()
            self.schedule_next()
        later(self.window, 200, answer)

    def schedule_next(self):
        if STEPS:
            later(self.window, 300, self.next_step)

    def next_step(self):
        try:
            STEPS.pop(0)(self.window)
        except Exception:
            record["errors"].append(traceback.format_exc())
            leave(self.window)


def drop_rights():
    """Runs on as the unprivileged user, with what was imported kept: what
    the run imports on first use is imported first (the interpreter's own
    folder may be closed to that user)."""
    if os.environ.get("TW_AS_USER") and os.geteuid() == 0:
        for codec in ("gb18030", "utf-16", "utf-16-le", "utf-16-be", "utf-8-sig"):
            "".encode(codec)
        import regex  # noqa: F401  (the window's match engine)
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)


# main() asks the toolkit for the screen before anything else
Toolkit.Window.get_screen_size = real_sg.Window.get_screen_size
toolkit = Toolkit()
tw.sg = toolkit
os.chdir(SHOTS)  # the icon file must not land in the tree being rewritten
drop_rights()
try:
    record["result"] = repr((probe.main if probe else tw.main)())
except BaseException as error:
    if SCENARIO == "interrupt" and isinstance(error, (KeyboardInterrupt, SystemExit)):
        record["result"] = type(error).__name__
    else:
        record["errors"].append(traceback.format_exc())
for helper in threading.enumerate():
    if helper is not threading.main_thread():
        helper.join(20)
# any thread left now is one that main() left behind
record["threads_after"] = thread_count()
with open(RESULT, "w", encoding="utf-8") as out:
    json.dump(record, out, ensure_ascii=False)
