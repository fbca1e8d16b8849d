"""Runs on a file system that ignores letter case, as Windows and macOS
users have: a change of case is a rename of the same file, while a name
that only differs in case from another file's is taken."""
import os

import pytest


def test_a_letter_case_change_renames_the_file_itself(tw, case_folding_folder):
    (case_folding_folder / "sub").mkdir()
    (case_folding_folder / "report.txt").write_text("top")
    (case_folding_folder / "sub" / "report-2.txt").write_text("inner")
    tw.replace_file_names(str(case_folding_folder), "report", "Report", True)
    assert os.listdir(case_folding_folder / "sub") == ["Report-2.txt"]
    assert sorted(os.listdir(case_folding_folder)) == ["Report.txt", "sub"]
    assert (case_folding_folder / "Report.txt").read_text() == "top"
    assert (case_folding_folder / "sub" / "Report-2.txt").read_text() == "inner"


def test_another_files_name_in_another_case_is_taken(tw, case_folding_folder):
    (case_folding_folder / "old.txt").write_text("mine")
    (case_folding_folder / "NEW.txt").write_text("someone else's")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(case_folding_folder), "old", "new", False)
    error, = info.value.exceptions
    assert isinstance(error, FileExistsError)
    assert sorted(os.listdir(case_folding_folder)) == ["NEW.txt", "old.txt"]
    assert (case_folding_folder / "old.txt").read_text() == "mine"
    assert (case_folding_folder / "NEW.txt").read_text() == "someone else's"


def test_a_folder_rename_keeps_its_content(tw, case_folding_folder):
    (case_folding_folder / "draft plans").mkdir()
    (case_folding_folder / "draft plans" / "a.txt").write_text("kept")
    (case_folding_folder / "Draft").mkdir()
    tw.replace_folder_names(str(case_folding_folder), "draft", "final", True)
    assert sorted(os.listdir(case_folding_folder)) == ["Draft", "final plans"]
    assert (case_folding_folder / "final plans" / "a.txt").read_text() == "kept"


def test_content_runs_change_text(tw, case_folding_folder):
    (case_folding_folder / "notes.txt").write_bytes(b"old line\r\nsecond old\r\n")
    (case_folding_folder / "table.csv").write_bytes(b"old,1\r\nx,old\r\n")
    tw.replace_file_contents(str(case_folding_folder), "old", "new", False)
    assert (case_folding_folder / "notes.txt").read_bytes() == b"new line\r\nsecond new\r\n"
    assert (case_folding_folder / "table.csv").read_bytes() == b"new,1\r\nx,new\r\n"
    assert sorted(os.listdir(case_folding_folder)) == ["notes.txt", "table.csv"]
