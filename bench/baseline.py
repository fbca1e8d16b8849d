"""The operations written as plain Python, for the benchmark to compare with.

Each function does what the module's function of the same name does, with
the same library calls (os.walk, re.compile of the converted keyword,
search then sub, open/read/write, docx.Document, Presentation,
load_workbook and save), the way a careful Python programmer would write
it. Where the module gives a guarantee the plain calls lack (a rename that
never replaces, an all-or-nothing file write), the baseline buys the same
guarantee in Python, so that both sides do the same work.

Keep this file in step with the module: when an operation changes what it
does, change its twin here (the benchmark's result check compares the
trees both leave behind).
"""
import contextlib
import os
import re
import tempfile

import docx
from openpyxl import load_workbook
from pptx import Presentation

# The module saves every .docx and .pptx it opens, matched or not; a
# workbook only when a cell changed. Set to False when unmatched documents
# are no longer saved.
SAVES_UNMATCHED_DOCUMENTS = True


def convert_to_regex(pattern):
    return pattern.replace("*", ".*?")


def compile_keyword(old_keyword):
    return re.compile(convert_to_regex(old_keyword))


def check_plain_name(old_name, new_name):
    separators = [os.sep] + ([os.altsep] if os.altsep else [])
    if new_name in ("", ".", "..") or any(sep in new_name for sep in separators):
        raise ValueError(f"cannot rename {old_name!r} to {new_name!r}")


def rename_no_replace(src, dst):
    if src == dst:
        return
    # os.rename replaces an existing target on POSIX, never on Windows.
    if os.name != "nt" and os.path.lexists(dst):
        raise FileExistsError(17, "File exists", src, None, dst)
    os.rename(src, dst)


# --- names -------------------------------------------------------------------

def replace_file_names(root_folder, old_keyword, new_keyword, recursive):
    pattern = compile_keyword(old_keyword)
    for foldername, subfolders, filenames in os.walk(root_folder):
        for filename in filenames:
            if pattern.search(filename):
                new_filename = pattern.sub(new_keyword, filename)
                check_plain_name(filename, new_filename)
                rename_no_replace(os.path.join(foldername, filename),
                                  os.path.join(foldername, new_filename))
        if not recursive:
            break


def rename_own_name(pattern, new_keyword, folder):
    """Renames a folder when its own name matches; returns its path after."""
    parent, name = os.path.split(folder.rstrip(os.sep) or folder)
    if name in ("", ".", "..") or not pattern.search(name):
        return folder
    new_name = pattern.sub(new_keyword, name)
    check_plain_name(name, new_name)
    new_foldername = os.path.join(parent, new_name)
    rename_no_replace(folder, new_foldername)
    return new_foldername


def replace_folder_names(root_folder, old_keyword, new_keyword, recursive):
    # Own names only, parents before children; the walk goes on beneath a
    # renamed folder under its new name (os.walk descends into the names
    # left in `subfolders`), and links to folders are neither renamed nor
    # followed.
    pattern = compile_keyword(old_keyword)
    if not os.path.isdir(root_folder):
        return
    root = rename_own_name(pattern, new_keyword, root_folder)
    if not recursive:
        return
    for foldername, subfolders, filenames in os.walk(root):
        for index, name in enumerate(subfolders):
            path = os.path.join(foldername, name)
            if os.path.islink(path):
                continue
            new_path = rename_own_name(pattern, new_keyword, path)
            subfolders[index] = os.path.basename(new_path)


# --- all-or-nothing writes ------------------------------------------------------

class Writer:
    """How a changed file goes to disk.

    synced: a temporary file beside the target, the target's permission
    bits, fsync, os.replace; each folder that received a file is synced
    once, at the end of the run (its renames are then durable).
    plain: the file is opened for writing and written in place.
    """

    def __init__(self, synced):
        self.synced = synced
        self.touched = set()

    def write(self, path, save):
        """save(target) writes the new content to the path it is given."""
        if not self.synced:
            save(path)
            return
        folder = os.path.dirname(path) or "."
        fd, temp = tempfile.mkstemp(prefix=".bench-", suffix=".tmp", dir=folder)
        try:
            os.close(fd)
            save(temp)
            fd = os.open(temp, os.O_RDONLY)
            try:
                os.chmod(temp, os.stat(path).st_mode & 0o7777)
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temp, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise
        self.touched.add(folder)

    def finish(self):
        if os.name == "nt":
            return  # folders cannot be opened for syncing there
        for folder in self.touched:
            fd = os.open(folder, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        self.touched.clear()


# --- content -----------------------------------------------------------------

def replace_text_content(file_path, old_keyword, new_keyword, writer):
    pattern = compile_keyword(old_keyword)
    with open(file_path, "r", encoding="utf-8") as file:
        content = file.read()
    if not pattern.search(content):
        return
    new_content = pattern.sub(new_keyword, content)

    def save(target):
        with open(target, "w", encoding="utf-8") as file:
            file.write(new_content)

    writer.write(file_path, save)


def replace_csv_content(file_path, old_keyword, new_keyword, writer):
    import csv
    pattern = compile_keyword(old_keyword)
    with open(file_path, mode="r", newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    changed = False
    new_rows = []
    for row in rows:
        new_row = []
        for cell in row:
            new_cell = pattern.sub(new_keyword, cell)
            changed = changed or new_cell != cell
            new_row.append(new_cell)
        new_rows.append(new_row)
    if not changed:
        return

    def save(target):
        with open(target, mode="w", newline="", encoding="utf-8") as file:
            csv.writer(file).writerows(new_rows)

    writer.write(file_path, save)


def substitute_text(holder, pattern, new_keyword):
    text = holder.text
    if pattern.search(text):
        holder.text = pattern.sub(new_keyword, text)
        return True
    return False


def replace_docx_content(file_path, old_keyword, new_keyword, writer, save=True):
    pattern = compile_keyword(old_keyword)
    doc = docx.Document(file_path)
    changed = False
    for paragraph in doc.paragraphs:
        changed |= substitute_text(paragraph, pattern, new_keyword)
    for table in doc.tables:
        seen = set()  # a merged cell is listed at every grid position it covers
        for row in table.rows:
            for cell in row.cells:
                if cell._tc not in seen:
                    seen.add(cell._tc)
                    changed |= substitute_text(cell, pattern, new_keyword)
    if save and (changed or SAVES_UNMATCHED_DOCUMENTS):
        writer.write(file_path, doc.save)


def replace_pptx_content(file_path, old_keyword, new_keyword, writer, save=True):
    pattern = compile_keyword(old_keyword)
    prs = Presentation(file_path)
    changed = False
    for slide in prs.slides:
        for shape in slide.shapes:
            try:
                shape.text
            except Exception:
                continue  # pictures, tables and groups have no text
            changed |= substitute_text(shape, pattern, new_keyword)
    if save and (changed or SAVES_UNMATCHED_DOCUMENTS):
        writer.write(file_path, prs.save)


def replace_xlsx_content(file_path, old_keyword, new_keyword, writer, save=True):
    try:
        pattern = compile_keyword(old_keyword)
        wb = load_workbook(file_path)
        changed = False
        for sheet in wb.worksheets:
            for row in sheet.iter_rows(values_only=False):
                for cell in row:
                    print(f"Cell {cell.coordinate} value: {cell.value}")
                    if cell.value is None:
                        continue
                    original_value = str(cell.value)
                    if pattern.search(original_value):
                        new_value = pattern.sub(new_keyword, original_value)
                        print(f"Found '{original_value}' in {file_path}, "
                              f"replacing with '{new_value}'")
                        cell.value = new_value
                        changed = True
        if changed and save:
            writer.write(file_path, wb.save)
            print(f"Saved changes to {file_path}")
    except Exception as e:
        print(f"Error processing {file_path}: {e}")


HANDLERS = {
    ".pptx": replace_pptx_content,
    ".docx": replace_docx_content,
    ".xlsx": replace_xlsx_content,
    ".csv": replace_csv_content,
    ".txt": replace_text_content,
}
SKIPPED = (".ppt", ".doc", ".xls")


def replace_file_contents(root_folder, old_keyword, new_keyword, recursive, synced=True):
    writer = Writer(synced)
    try:
        for foldername, subfolders, filenames in os.walk(root_folder):
            for filename in filenames:
                filepath = os.path.join(foldername, filename)
                ext = os.path.splitext(filename)[1].lower()
                if ext in SKIPPED:
                    continue
                handler = HANDLERS.get(ext, replace_text_content)
                handler(filepath, old_keyword, new_keyword, writer)
            if not recursive:
                break
    finally:
        writer.finish()


def load_office_documents(root_folder, old_keyword, new_keyword, recursive):
    """What a plain program pays to learn that no document matches: each
    .docx and .pptx loaded with its library and searched, nothing saved."""
    writer = Writer(synced=True)
    for foldername, subfolders, filenames in os.walk(root_folder):
        for filename in filenames:
            ext = os.path.splitext(filename)[1].lower()
            handler = {".docx": replace_docx_content, ".pptx": replace_pptx_content}.get(ext)
            if handler:
                handler(os.path.join(foldername, filename), old_keyword, new_keyword,
                        writer, save=False)
        if not recursive:
            break
