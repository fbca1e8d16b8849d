"""Runs main() in a real window and drives it from inside the process.

Started by test_window_real.py in its own process (so a hung Tk cannot hang
the suite) as: driver ROOT SHOTS RESULT [stand-in operation names...].
Every step runs as a Tk `after` callback of the main window; each pop-up
closes itself and then schedules the next step.
"""
import json
import os
import re
import subprocess
import sys
import threading
import traceback

import PySimpleGUI as real_sg

import termweave_mira7 as tw

ROOT, SHOTS, RESULT, *STAND_INS = sys.argv[1:]
record = {"title": None, "popups": [], "screens": [], "errors": [], "result": None}


def screenshot(name):
    path = os.path.join(SHOTS, name)
    done = subprocess.run(["import", "-window", "root", path], timeout=10, capture_output=True)
    if done.returncode == 0:
        record["screens"].append(path)
    else:
        record["errors"].append(f"screenshot {name}: {done.stderr.decode(errors='replace')}")


def type_into(field, text):
    # as typing does; the element's update() trips over this theme's colours
    field.TKEntry.delete(0, "end")
    field.TKEntry.insert(0, text)


def run_with(mode, old, new, shot=None):
    def step(window):
        type_into(window["folder_path"], ROOT)
        type_into(window["old_keyword"], old)
        type_into(window["new_keyword"], new)
        window[mode].update(True)
        window.TKroot.update()
        if shot:
            screenshot(shot)
        window["执行替换"].click()
    return step


def leave(window):
    window["退出"].click()


STEPS = [
    run_with("mode_folder", "alpha7", "beta7", shot="window.png"),
    run_with("mode_filename", "report", "summary"),
    run_with("mode_content", "foo", "bar"),
    run_with("mode_content", "ab(", "x"),
    leave,
]


class Toolkit:
    """The real PySimpleGUI, except that windows and pop-ups are driven."""

    def __init__(self):
        self.window = None

    def __getattr__(self, name):
        return getattr(real_sg, name)

    def Window(self, *args, **kwargs):
        window = real_sg.Window(*args, **kwargs).finalize()
        record["title"] = window.TKroot.title()
        self.window = window
        self.schedule_next()
        return window

    def popup(self, *args, **kwargs):
        record["popups"].append([list(args), kwargs])
        if len(record["popups"]) == 1:
            threading.Timer(0.5, screenshot, ("popup.png",)).start()
        real_sg.popup(*args, auto_close=True, auto_close_duration=1, **kwargs)
        self.schedule_next()

    def schedule_next(self):
        self.window.TKroot.after(300, self.next_step)

    def next_step(self):
        try:
            STEPS.pop(0)(self.window)
        except Exception:
            record["errors"].append(traceback.format_exc())
            leave(self.window)


def rename_stand_in(pick):
    """Renames matching names bottom-up; used only while the real one is not built."""
    def operation(root_folder, old_keyword, new_keyword, recursive):
        pattern = re.compile(tw.convert_to_regex(old_keyword))
        for folder, subfolders, filenames in os.walk(root_folder, topdown=False):
            for name in pick(subfolders, filenames):
                if pattern.search(name):
                    os.rename(os.path.join(folder, name),
                              os.path.join(folder, pattern.sub(new_keyword, name)))
    return operation


def text_stand_in(file_path, old_keyword, new_keyword):
    pattern = re.compile(tw.convert_to_regex(old_keyword))
    with open(file_path, encoding="utf-8") as file:
        content = file.read()
    if pattern.search(content):
        with open(file_path, "w", encoding="utf-8") as file:
            file.write(pattern.sub(new_keyword, content))


STAND_IN_OPERATIONS = {
    "replace_folder_names": rename_stand_in(lambda folders, files: folders),
    "replace_file_names": rename_stand_in(lambda folders, files: files),
    "replace_text_content": text_stand_in,
}

for name in STAND_INS:
    setattr(tw, name, STAND_IN_OPERATIONS[name])
tw.sg = Toolkit()
os.chdir(SHOTS)  # the icon file must not land in the tree being rewritten
try:
    record["result"] = repr(tw.main())
except BaseException:
    record["errors"].append(traceback.format_exc())
with open(RESULT, "w", encoding="utf-8") as out:
    json.dump(record, out, ensure_ascii=False)
