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
import datetime
import errno
import math
import os
import re
import stat
import tempfile
import time

import docx
from openpyxl import load_workbook
from pptx import Presentation
from pptx.enum.shapes import MSO_SHAPE_TYPE

# Whether the module saves a .docx or .pptx in which nothing matched (a
# workbook is saved only when a cell changed). The result check reports a
# mismatch: documents the module rewrote that the baseline kept, or the
# reverse.
SAVES_UNMATCHED_DOCUMENTS = False


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


# --- one run over a tree ----------------------------------------------------------

TEMP_PREFIX, TEMP_SUFFIX = ".termweave-", ".tmp"
STALE_SECONDS = 600


def is_own_temporary(name):
    return (len(name) > len(TEMP_PREFIX) + len(TEMP_SUFFIX)
            and name.startswith(TEMP_PREFIX) and name.endswith(TEMP_SUFFIX))


def ends_run(error):
    if not isinstance(error, Exception) or isinstance(error, MemoryError):
        return True
    return isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT)


class Run:
    """Goes on past the error of one item and raises them all together
    at the end; removes the tool's own temporary files left by a crash."""

    def __init__(self, noun, not_done):
        self.noun, self.not_done = noun, not_done
        self.errors = []
        self.seen = 0

    def item(self, action, path, doing):
        self.seen += 1
        try:
            action()
        except BaseException as error:
            error.add_note(f"while {doing} {path!r}")
            if ends_run(error):
                raise
            self.errors.append(error)

    def folder_not_listed(self, error):
        error.add_note(f"while listing {error.filename!r}")
        self.errors.append(error)

    def walk(self, root):
        reached = False
        def onerror(error):
            if reached or not isinstance(error, (FileNotFoundError, NotADirectoryError)):
                self.folder_not_listed(error)
        for foldername, subfolders, filenames in os.walk(root, onerror=onerror):
            reached = True
            remove_stale_temporaries(foldername, filenames)
            yield foldername, subfolders, filenames

    def finish(self):
        if self.errors:
            raise ExceptionGroup(f"{len(self.errors)} of {self.seen} {self.noun} could not "
                                 f"be {self.not_done}", self.errors)


def remove_stale_temporaries(foldername, filenames):
    now = time.time()
    for name in filenames:
        if is_own_temporary(name):
            path = os.path.join(foldername, name)
            with contextlib.suppress(OSError):
                info = os.lstat(path)
                if stat.S_ISREG(info.st_mode) and now - info.st_mtime >= STALE_SECONDS:
                    os.unlink(path)


# --- names -------------------------------------------------------------------

def new_name(pattern, new_keyword, name):
    """The name after substitution, or None when it stays as it is."""
    if not pattern.search(name):
        return None
    new = pattern.sub(new_keyword, name)
    if new == name:
        return None
    check_plain_name(name, new)
    return new


def replace_file_names(root_folder, old_keyword, new_keyword, recursive):
    pattern = compile_keyword(old_keyword)
    pattern.sub(new_keyword, "")  # a bad template fails before anything is touched
    run = Run("files", "renamed")
    for foldername, subfolders, filenames in run.walk(root_folder):
        for filename in filenames:
            if is_own_temporary(filename):
                continue
            src = os.path.join(foldername, filename)

            def rename():
                new_filename = new_name(pattern, new_keyword, filename)
                if new_filename is not None:
                    rename_no_replace(src, os.path.join(foldername, new_filename))
            run.item(rename, src, "renaming")
        if not recursive:
            break
    run.finish()


def plan_file_names(root_folder, old_keyword, new_keyword, recursive):
    """What replace_file_names would do, as a list of (path, new path): the
    plain-Python twin of the preview's plan."""
    pattern = compile_keyword(old_keyword)
    pattern.sub(new_keyword, "")
    planned = []
    run = Run("files", "renamed")
    for foldername, subfolders, filenames in run.walk(root_folder):
        for filename in filenames:
            if is_own_temporary(filename):
                continue
            run.seen += 1
            new = new_name(pattern, new_keyword, filename)
            if new is not None:
                planned.append((os.path.join(foldername, filename), os.path.join(foldername, new)))
        if not recursive:
            break
    return planned


def replace_folder_names(root_folder, old_keyword, new_keyword, recursive):
    # Own names only, parents before children; the walk goes on beneath a
    # renamed folder under its new name (os.walk descends into the names
    # left in `subfolders`), and links to folders are neither renamed nor
    # followed.
    pattern = compile_keyword(old_keyword)
    pattern.sub(new_keyword, "")
    run = Run("folders", "renamed")
    if not os.path.isdir(root_folder):
        return
    root = [root_folder]

    def rename_root():
        parent, name = os.path.split(root_folder.rstrip(os.sep) or root_folder)
        new = new_name(pattern, new_keyword, name) if name not in ("", ".", "..") else None
        if new is not None:
            rename_no_replace(root_folder, os.path.join(parent, new))
            root[0] = os.path.join(parent, new)
    run.item(rename_root, root_folder, "renaming")
    if recursive:
        for foldername, subfolders, filenames in run.walk(root[0]):
            for index, name in enumerate(subfolders):
                path = os.path.join(foldername, name)
                if os.path.islink(path):
                    continue

                def rename():
                    new = new_name(pattern, new_keyword, name)
                    if new is not None:
                        rename_no_replace(path, os.path.join(foldername, new))
                        subfolders[index] = new
                run.item(rename, path, "renaming")
    run.finish()


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


# The module also edits headers, footers, notes and text boxes, and keeps
# each character's formatting where a plain `text` assignment makes one run;
# python-docx offers no plain calls for the first, so the baseline searches
# the body only (all the benchmark's documents hold).
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


def text_frames(shapes):
    """Every text frame among the shapes, inside groups and table cells."""
    for shape in shapes:
        if shape.shape_type == MSO_SHAPE_TYPE.GROUP:
            yield from text_frames(shape.shapes)
        elif shape.has_text_frame:
            yield shape.text_frame
        elif getattr(shape, "has_table", False):
            for row in shape.table.rows:
                for cell in row.cells:
                    yield cell.text_frame


def replace_pptx_content(file_path, old_keyword, new_keyword, writer, save=True):
    pattern = compile_keyword(old_keyword)
    prs = Presentation(file_path)
    changed = False
    for slide in prs.slides:
        for frame in text_frames(slide.shapes):
            changed |= substitute_text(frame, pattern, new_keyword)
        if slide.has_notes_slide:  # asking for notes_slide would make one
            frame = slide.notes_slide.notes_text_frame
            if frame is not None:
                changed |= substitute_text(frame, pattern, new_keyword)
    if save and (changed or SAVES_UNMATCHED_DOCUMENTS):
        writer.write(file_path, prs.save)


def typed_value(old_value, new_text):
    """A typed cell keeps its type when its new text reads back as that type in the same form."""
    if isinstance(old_value, bool):
        return {"True": True, "False": False}.get(new_text, new_text)
    if isinstance(old_value, (int, float)):
        for kind in (int, float):
            try:
                number = kind(new_text)
            except ValueError:
                continue
            if str(number) == new_text and (kind is int or math.isfinite(number)):
                return number
        return new_text
    if isinstance(old_value, (datetime.date, datetime.time)):
        try:
            moment = type(old_value).fromisoformat(new_text)
        except ValueError:
            return new_text
        return moment if str(moment) == new_text else new_text
    return new_text


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
                        cell.value = typed_value(cell.value, new_value)
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
}
SKIPPED = (".ppt", ".doc", ".xls")


def looks_binary(path):
    """A NUL byte in the first 8 KiB, as grep decides."""
    with open(path, "rb") as file:
        return b"\0" in file.read(8192)


def check_inside(real_root, path):
    real = os.path.realpath(path)
    if os.path.commonpath([real_root, real]) != real_root:
        raise PermissionError(errno.EACCES, "link leads outside the chosen folder", path)


def replace_file_contents(root_folder, old_keyword, new_keyword, recursive, synced=True):
    compile_keyword(old_keyword).sub(new_keyword, "")
    run = Run("files", "changed")
    writer = Writer(synced)
    real_root = os.path.realpath(root_folder)

    def handle(filepath, filename):
        info = os.lstat(filepath)
        link = stat.S_ISLNK(info.st_mode)
        if link:
            info = os.stat(filepath)
        ext = os.path.splitext(filename)[1].lower()
        if not stat.S_ISREG(info.st_mode) or ext in SKIPPED:
            return
        if link:
            check_inside(real_root, filepath)
        handler = HANDLERS.get(ext)
        if handler is None:
            if looks_binary(filepath):
                return
            handler = replace_text_content
        handler(filepath, old_keyword, new_keyword, writer)

    try:
        for foldername, subfolders, filenames in run.walk(root_folder):
            for filename in filenames:
                if is_own_temporary(filename):
                    continue
                filepath = os.path.join(foldername, filename)
                run.item(lambda: handle(filepath, filename), filepath, "replacing content in")
            if not recursive:
                break
    finally:
        writer.finish()
    run.finish()


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
