"""Writing a changed workbook: the package writer against the library's own save.

Run: python bench/bench_workbook.py [--rows N]
Makes a workbook of N rows x 10 columns with one matching cell, then times
replace_xlsx_content without and with a match (the difference is the
package write) and, for comparison, the library's save of the same workbook. Nothing is asserted.
"""
import argparse
import contextlib
import io
import os
import shutil
import tempfile
import time

import openpyxl

import termweave_mira7 as tw


def make_book(path, rows):
    wb = openpyxl.Workbook()
    sheet = wb.active
    for index in range(rows):
        sheet.append([index, index * 1.5, f"text {index}", f"=A{index + 1}*2"] + [f"cell {index}"] * 6)
    sheet["C1"] = "old value"
    wb.save(path)


def timed(label, action):
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):  # the handler's cell trace
        action()
    seconds = time.perf_counter() - start
    print(f"{label:<34} {seconds:8.3f} s")
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20000)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="tw-bench-xlsx-")
    try:
        path = os.path.join(folder, "book.xlsx")
        make_book(path, args.rows)
        print(f"{args.rows * 10} cells, {os.path.getsize(path)} bytes")
        unmatched = timed("replace_xlsx_content, no match", lambda: tw.replace_xlsx_content(path, "absent", "x"))
        matched = timed("replace_xlsx_content, one match", lambda: tw.replace_xlsx_content(path, "old", "new"))
        print(f"{'package write (the difference)':<34} {matched - unmatched:8.3f} s")
        wb = openpyxl.load_workbook(path)
        timed("library save (for comparison)", lambda: wb.save(os.path.join(folder, "saved.xlsx")))
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
