"""Throughput of the three operations on generated trees.

Run: python bench/bench_replace.py [--files N]
Prints seconds per operation and items per second; nothing is asserted.
"""
import argparse
import os
import shutil
import tempfile
import time

import termweave_mira7 as tw


def make_tree(root, count, per_folder=50):
    for index in range(count):
        folder = os.path.join(root, f"old_dir_{index // per_folder}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"old_note_{index}.txt"), "w", encoding="utf-8") as file:
            file.write("line with old keyword\n" * 40)


def timed(label, count, action):
    start = time.perf_counter()
    action()
    seconds = time.perf_counter() - start
    print(f"{label:<28} {seconds:8.3f} s  {count / seconds:10.0f} items/s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="tw-bench-")
    try:
        make_tree(root, args.files)
        folders = len(os.listdir(root))
        timed("text content (match)", args.files,
              lambda: tw.replace_file_contents(root, "old*keyword", "new keyword", True))
        timed("text content (no match)", args.files,
              lambda: tw.replace_file_contents(root, "absent", "x", True))
        timed("file names", args.files, lambda: tw.replace_file_names(root, "old_", "new_", True))
        timed("folder names", folders, lambda: tw.replace_folder_names(root, "old_", "new_", True))
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
