"""Runs main() in a real window and drives it from inside the process.

Started by test_window_real.py in its own process (so a hung Tk cannot hang
the suite) as: driver SCENARIO ROOT SHOTS RESULT. Every step runs as a Tk
idle callback of the main window, started by an `after` timer: a click made
in a timer callback could run in the same pass as a read's own timeout
timer, which then overwrites it (a real click is an event of its own). The windows that main() opens besides
the main window are told apart by their buttons: a message ("确定") records
its text and closes itself, then the next step follows; the preview
("确认替换") records its summary and rows, shows the details of its first
row, and is confirmed (in the "decline" scenario, answered with "取消" or
closed); the progress window ("取消") is recorded and, when it belongs to
the run, cancelled in the cancelling scenario.
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
record = {"title": None, "messages": [], "screens": [], "errors": [], "result": None,
          "progress_windows": 0, "plan_progress_windows": 0, "owned": [], "lateness": [],
          "fields": [], "initial_folders": [], "previews": []}


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
    field.TKEntry.delete(0, "end")
    field.TKEntry.insert(0, text)


def fill(window, folder, old, new, mode):
    type_into(window["folder_path"], folder)
    type_into(window["old_keyword"], old)
    type_into(window["new_keyword"], new)
    window[mode].update(True)


def run_with(folder, mode, old, new, shot=None):
    def step(window):
        fill(window, folder, old, new, mode)
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
    "slow": lambda: [slow_run, leave],
}
STEPS = SCENARIOS[SCENARIO]()


def layout_buttons(layout):
    return [element.ButtonText for row in layout for element in row
            if getattr(element, "Type", None) == real_sg.ELEM_TYPE_BUTTON]


def layout_text(layout):
    texts = []
    for row in layout:
        for element in row:
            if element.Type == real_sg.ELEM_TYPE_TEXT:
                texts.append(element.DisplayText)
            elif element.Type == real_sg.ELEM_TYPE_INPUT_MULTILINE:
                texts.append(element.DefaultText)
    return "\n".join(texts)


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
        if "确定" in buttons and self.probe is not None:
            # the run is over once its summary is being built
            self.probe.running = False
            self.probe = None
        window = real_sg.Window(*args, **kwargs)
        record["owned"].append({"buttons": buttons, "modal": kwargs.get("modal"),
                                "keep_on_top": kwargs.get("keep_on_top"),
                                "transient": None})
        if "确认替换" in buttons or "确认撤销" in buttons:
            self.answer_preview(window)
        elif "取消" in buttons:
            self.watch_progress(window, layout_text(layout))
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
        previews.append({"summary": window["preview_summary"].get(),
                         "rows": [list(map(str, row)) for row in window["preview_table"].Values]})

        def select_first():
            self.note_owner(window)
            # as a click on the first row does: the window reports the selection
            window["preview_table"].update(select_rows=[0])
            later(self.window, 300, answer)

        def answer():
            previews[-1]["details"] = window["preview_detail"].get()
            if len(previews) == 2 and SCENARIO == "modes":
                screenshot("preview.png")
            if SCENARIO != "decline":
                window["确认撤销" if SCENARIO == "undo" else "确认替换"].click()
            elif len(previews) == 1:
                window["取消"].click()
            else:
                # what the window manager's close box calls
                window._OnClosingCallback()
            if SCENARIO == "decline":
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

        def look():
            self.note_owner(window)
            record["progress_text"] = window["progress_count"].get()
            if SCENARIO == "long":
                # from another thread: the event thread must stay free meanwhile
                threading.Thread(target=screenshot, args=("progress.png",)).start()
            if SCENARIO == "cancel":
                window["取消"].click()
            elif SCENARIO == "interrupt":
                record["threads_during_run"] = thread_count()
                # as a terminal sends it: from outside, at no particular moment
                threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
        later(self.window, 150, look)

    def answer_message(self, window, text):
        record["messages"].append(text)
        self.messages_seen += 1

        def answer():
            self.note_owner(window)
            if SCENARIO != "modes" or self.messages_seen == 5:
                screenshot("summary.png" if SCENARIO != "modes" else "popup.png")
            window["确定"].click()
            self.schedule_next()
        later(self.window, 200, answer)

    def schedule_next(self):
        later(self.window, 300, self.next_step)

    def next_step(self):
        try:
            STEPS.pop(0)(self.window)
        except Exception:
            record["errors"].append(traceback.format_exc())
            leave(self.window)


# main() asks the toolkit for the screen before anything else
Toolkit.Window.get_screen_size = real_sg.Window.get_screen_size
toolkit = Toolkit()
tw.sg = toolkit
os.chdir(SHOTS)  # the icon file must not land in the tree being rewritten
try:
    record["result"] = repr(tw.main())
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
