"""How long the preview takes to appear, in the real window, on a generated tree.

Run: DISPLAY=:N python bench/bench_preview.py [--files N] [--per-folder N]
(on a machine without a desktop, start `Xvfb :N` first). For each mode it
presses "执行替换", times until the preview window has been built (the plan,
its rows and the table), confirms, and times the run until its summary.
Prints seconds; nothing is asserted.
"""
import argparse
import os
import shutil
import tempfile
import time

import PySimpleGUI as real_sg

import termweave_mira7 as tw

MODES = [("mode_content", "替换文件内容"), ("mode_filename", "替换文件名称"),
         ("mode_folder", "替换文件夹名称")]


def make_tree(root, count, per_folder):
    for index in range(count):
        folder = os.path.join(root, f"old_dir_{index // per_folder}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"old_note_{index}.txt"), "w", encoding="utf-8") as file:
            file.write("line with old keyword\n" * 40)


class Toolkit:
    """The real toolkit; the windows that main() opens are timed and answered."""

    def __init__(self, root):
        self.root, self.window, self.steps, self.started = root, None, list(MODES), None
        self.results = []

    def __getattr__(self, name):
        return getattr(real_sg, name)

    def Window(self, *args, **kwargs):
        window = real_sg.Window(*args, **kwargs)
        buttons = [e.ButtonText for row in args[1] for e in row
                   if getattr(e, "Type", None) == real_sg.ELEM_TYPE_BUTTON]
        if self.window is None:
            self.window = window.finalize()
            self.later(self.next_mode)
        elif "确认替换" in buttons:
            self.results[-1]["preview"] = time.perf_counter() - self.started
            self.results[-1]["rows"] = len(window["preview_table"].Values)

            def confirm():
                self.started = time.perf_counter()
                window["确认替换"].click()
            self.later(confirm)
        elif "确定" in buttons and "取消" not in buttons:
            self.results[-1]["run"] = time.perf_counter() - self.started
            self.later(lambda: (window["确定"].click(), self.later(self.next_mode)))
        return window

    def later(self, action):
        self.window.TKroot.after(200, lambda: self.window.TKroot.after_idle(action))

    def next_mode(self):
        if not self.steps:
            self.window["退出"].click()
            return
        key, label = self.steps.pop(0)
        self.results.append({"mode": label})
        for field, text in (("folder_path", self.root), ("old_keyword", "old"),
                            ("new_keyword", "new")):
            element = self.window[field]  # update() trips over this theme's colours
            entry = element.TKCombo if element.Type == real_sg.ELEM_TYPE_INPUT_COMBO else element.TKEntry
            entry.delete(0, "end")
            entry.insert(0, text)
        self.window[key].update(True)
        self.started = time.perf_counter()
        self.window["执行替换"].click()


# main() asks the toolkit for the screen before anything else
Toolkit.Window.get_screen_size = real_sg.Window.get_screen_size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--per-folder", type=int, default=20)
    args = parser.parse_args()
    base = tempfile.mkdtemp(prefix="tw-bench-")
    root = os.path.join(base, "tree")
    cwd = os.getcwd()
    try:
        make_tree(root, args.files, args.per_folder)
        toolkit = Toolkit(root)
        tw.sg = toolkit
        os.chdir(base)  # the icon file lands here
        os.environ["XDG_CONFIG_HOME"] = os.path.join(base, "config")  # not the user's settings
        tw.main()
        for result in toolkit.results:
            preview, run = result.get("preview", float("nan")), result.get("run", float("nan"))
            rows = result.get("rows", 0)
            print(f"{result['mode']:<8} preview {preview:7.2f} s ({rows} rows shown)"
                  f"   run {run:7.2f} s")
    finally:
        os.chdir(cwd)
        shutil.rmtree(base)


if __name__ == "__main__":
    main()
