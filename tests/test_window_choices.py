"""What the user chooses in the window and what the window says back, against
the scripted toolkit: the option rows and what reaches the run, the preview's
ticks, sorting and filter, the settings remembered across restarts, the
summary's first line and the reasons it gives."""
import errno
import json
import os
import zipfile

import pytest

import termweave_mira7
from run_support import probe  # noqa: F401  (fixture)
from window_fake import EXIT, RUN, wait_for
from window_fake import folder, ops, run_main, values  # noqa: F401  (fixtures)

# taken before any test rebinds them
REAL_CONTENTS = termweave_mira7.replace_file_contents
REAL_FOLDERS = termweave_mira7.replace_folder_names

CHOSEN = {"case_sensitive": False, "regular_expression": False, "skip_hidden": True,
          "scope_whole": False, "scope_stem": True, "scope_extension": False,
          "include_masks": " *.txt;*.csv ", "exclude_masks": "~$*"}
DEFAULTS = {"case_sensitive": True, "regular_expression": True, "name_scope": "whole",
            "skip_hidden": False, "include_masks": None, "exclude_masks": None,
            "left_out": None, "from_window": True}


def click(row, column):
    """A click on the preview's table, as the toolkit reports it (row -1: a heading)."""
    return ("preview_table", "+CLICKED+", (row, column)), {}


def recording(probe, seen):
    """An operation that records the options it runs with."""
    def operation(*args):
        seen.append(probe.current_options())
    return operation


def two_files(tmp_path, texts=("old", "old")):
    top = tmp_path / "top"
    top.mkdir()
    for name, text in zip(("a.txt", "b.txt"), texts):
        (top / name).write_text(text, encoding="utf-8")
    return top


# ---- the options reach the plan and the run ------------------------------------------

def test_the_options_chosen_reach_the_plan_and_the_run(probe, tw, run_main, values, monkeypatch):
    ran, planned = [], []
    monkeypatch.setattr(tw, "replace_file_names", recording(probe, ran))

    class WatchedOs:
        def __getattr__(self, name):
            return getattr(os, name)

        def walk(self, *args, **kwargs):
            planned.append(probe.current_options())
            return os.walk(*args, **kwargs)
    monkeypatch.setattr(tw, "os", WatchedOs())
    run_main([(RUN, values(mode="mode_filename") | CHOSEN), (EXIT, {})], main=probe.main)
    chosen = DEFAULTS | {"case_sensitive": False, "regular_expression": False,
                         "name_scope": "stem", "skip_hidden": True,
                         "include_masks": "*.txt;*.csv", "exclude_masks": "~$*"}
    assert planned == [chosen] and ran == [chosen]


def test_without_option_values_a_run_asks_for_nothing_more(probe, tw, run_main, values,
                                                          monkeypatch):
    ran = []
    monkeypatch.setattr(tw, "replace_folder_names", recording(probe, ran))
    run_main([(RUN, values()), (EXIT, {})], main=probe.main)
    assert ran == [DEFAULTS]


def test_a_row_left_out_reaches_the_run_as_the_plan_named_it(probe, tw, run_main, values,
                                                              monkeypatch, tmp_path):
    top = two_files(tmp_path)
    ran = []
    monkeypatch.setattr(tw, "replace_file_contents", recording(probe, ran))
    # sorted by path, then the tick of the first row (a.txt) clicked
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       main=probe.main, preview_answers=[click(-1, 2), click(0, 0), "确认替换"])
    assert ran == [DEFAULTS | {"left_out": {str(top / "a.txt")}}]
    assert ("row", "preview_table", (0, ["☐", "文件", "top/a.txt", "1 处", ""])) in toolkit.log
    assert toolkit.updates("preview_ticked") == ["已勾选 1 / 2 项将要修改的项目"]


# ---- the preview's ticks, sorting and filter --------------------------------------------

def test_space_toggles_the_rows_selected_and_nothing_ticked_runs_nothing(
        run_main, ops, values, tmp_path):
    top = two_files(tmp_path)

    def select_both(toolkit):
        toolkit.selection = [0, 1]
        return "preview_table+SPACE+", {}
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[select_both, "确认替换"])
    preview, = toolkit.of_kind("preview")
    assert [e for e in toolkit.log if e[0] == "bind"] == [
        ("bind", "preview_table", ("<space>", "+SPACE+"))]
    assert preview.keys == {"<Escape>": "取消"}
    assert toolkit.updates("preview_ticked") == ["已勾选 0 / 2 项将要修改的项目"]
    assert toolkit.messages == ["没有勾选任何要修改的项目，未做任何修改。"] and ops == []


def test_the_filter_narrows_the_rows_and_ticks_apply_to_those_shown(probe, tw, run_main, values,
                                                                    monkeypatch, tmp_path):
    top = two_files(tmp_path)
    ran = []
    monkeypatch.setattr(tw, "replace_file_contents", recording(probe, ran))
    toolkit = run_main(
        [(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})], main=probe.main,
        preview_answers=[("preview_filter", {"preview_filter": "B.TXT"}), "全不选",
                         ("preview_filter", {"preview_filter": ""}), "确认替换"])
    shown = toolkit.updates("preview_table", "values")
    assert [[row[2] for row in rows] for rows in shown[:2]] == [["top/b.txt"], ["top/b.txt"]]
    assert shown[1][0][0] == "☐" and sorted(row[:3] for row in shown[2]) == [
        ["☐", "文件", "top/b.txt"], ["☑", "文件", "top/a.txt"]]
    assert ran == [DEFAULTS | {"left_out": {str(top / "b.txt")}}]


def test_a_heading_click_sorts_and_a_second_reverses(run_main, ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name, count in (("b.txt", 9), ("a.txt", 10), ("c.txt", 2)):
        (top / name).write_text("old " * count, encoding="utf-8")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[click(-1, 2), click(-1, 2), click(-1, 3), "取消"])
    shown = toolkit.updates("preview_table", "values")
    assert [[row[2] for row in rows] for rows in shown[:2]] == [
        ["top/a.txt", "top/b.txt", "top/c.txt"], ["top/c.txt", "top/b.txt", "top/a.txt"]]
    # matches sort by number, not as text
    assert [row[3] for row in shown[2]] == ["2 处", "9 处", "10 处"]
    table = toolkit.of_kind("preview")[0]["preview_table"]
    assert table.headings == {"☑": "☑", "类型": "类型", "路径": "路径", "匹配数": "匹配数 ▲",
                              "问题": "问题"}
    preview, = toolkit.previews
    # each column as wide as what it holds, within bounds
    assert preview["widths"] == [3, 6, 24, 8, 10]


def test_long_paths_widen_their_column_up_to_a_bound(run_main, ops, values, tmp_path):
    top = tmp_path / "top"
    (top / ("d" * 40)).mkdir(parents=True)
    (top / ("d" * 40) / "old.txt").write_text("x")
    (top / ("e" * 90)).mkdir()
    (top / ("e" * 90) / "old.txt").write_text("x")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_filename")), (EXIT, {})],
                       preview_answers=["取消"])
    widths = toolkit.previews[0]["widths"]
    assert widths[2] == 60 and widths[3] == len("new.txt") + 1


# ---- settings remembered across restarts -----------------------------------------------

def settings_file(config_home):
    return config_home / "termweave_mira7" / "settings.json"


def layout_call(toolkit, key):
    return next(entry for entry in toolkit.log if entry[2].get("key") == key)


def test_the_last_run_is_filled_in_after_a_restart(run_main, ops, values, folder, config_home):
    run_main([(RUN, values(folder, "a*b", "c", False, "mode_content") | CHOSEN), (EXIT, {})])
    saved = json.loads(settings_file(config_home).read_text(encoding="utf-8"))
    assert saved == {"version": 1, "folder": folder, "old_keywords": ["a*b"],
                     "new_keywords": ["c"], "mode": "contents", "recursive": False,
                     "case_sensitive": False, "regular_expression": False,
                     "name_scope": "stem", "skip_hidden": True,
                     "include_files": "*.txt;*.csv", "exclude_files": "~$*"}
    toolkit = run_main([(EXIT, {})])
    assert layout_call(toolkit, "folder_path")[2] == {"default_text": folder, "key": "folder_path"}
    assert layout_call(toolkit, "old_keyword")[1:] == (
        (["a*b"],), {"default_value": "a*b", "key": "old_keyword", "size": (43, 1),
                     "auto_size_text": False})
    assert layout_call(toolkit, "new_keyword")[1][0] == ["c"]
    assert [layout_call(toolkit, key)[2].get("default") for key in (
        "recursive", "mode_folder", "mode_filename", "mode_content", "case_sensitive",
        "regular_expression", "skip_hidden", "scope_whole", "scope_stem", "scope_extension")] == [
        False, None, None, True, False, False, True, False, True, False]
    assert layout_call(toolkit, "include_masks")[1] == ("*.txt;*.csv",)
    assert toolkit.messages == []


def test_the_last_ten_keywords_are_kept_most_recent_first(run_main, ops, values, folder,
                                                         config_home):
    typed = [f"k{i}" for i in range(12)] + ["k5"]
    toolkit = run_main([(RUN, values(folder, old, "")) for old in typed] + [(EXIT, {})])
    saved = json.loads(settings_file(config_home).read_text(encoding="utf-8"))
    assert saved["old_keywords"] == ["k5", "k11", "k10", "k9", "k8", "k7", "k6", "k4", "k3", "k2"]
    assert saved["new_keywords"] == []  # an empty new keyword is not worth a line
    # the drop-down follows at once
    assert toolkit.updates("old_keyword", "values")[-1] == saved["old_keywords"]
    # written all or nothing: no temporary file is left beside it
    assert os.listdir(settings_file(config_home).parent) == ["settings.json"]


@pytest.mark.parametrize("damage", ["bytes", "list", "folder"])
def test_a_damaged_settings_file_is_set_aside_and_said_once(run_main, ops, values, config_home,
                                                            damage):
    path = settings_file(config_home)
    path.parent.mkdir(parents=True)
    if damage == "folder":
        path.mkdir()
    else:
        path.write_bytes(b"{\"folder\": \"/x\"" if damage == "bytes" else b"[1, 2]")
    before = None if damage == "folder" else path.read_bytes()
    toolkit = run_main([(EXIT, {})])
    message, = toolkit.messages
    aside = path.with_name("settings.json.damaged")
    assert message.startswith(f"设置文件已损坏或无法读取，本次使用默认设置。\n原文件已改名保留：{aside}\n")
    assert ("finalize", "main", {}) in toolkit.log  # shown over the main window
    assert layout_call(toolkit, "folder_path")[2] == {"key": "folder_path"}
    # kept, never deleted
    assert (aside.read_bytes() if before is not None else aside.is_dir()) == (before or True)
    # said once: the next start finds no file and says nothing
    assert run_main([(EXIT, {})]).messages == []
    # a second damaged file does not replace the first one set aside
    path.write_bytes(b"\xff")
    run_main([(EXIT, {})])
    assert path.with_name("settings.json.damaged-2").read_bytes() == b"\xff"


def test_fields_of_the_wrong_kind_keep_their_defaults(run_main, config_home):
    path = settings_file(config_home)
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps({"folder": 7, "old_keywords": ["x", 3, None], "mode": "weird",
                                "recursive": "yes", "name_scope": "extension"}), encoding="utf-8")
    toolkit = run_main([(EXIT, {})])
    assert toolkit.messages == []
    assert layout_call(toolkit, "folder_path")[2] == {"key": "folder_path"}
    assert layout_call(toolkit, "old_keyword")[1] == (["x"],)
    assert layout_call(toolkit, "recursive")[2]["default"] is True
    assert layout_call(toolkit, "mode_folder")[2]["default"] is True
    assert layout_call(toolkit, "scope_extension")[2]["default"] is True


def test_a_folder_renamed_by_the_run_is_remembered(tw, run_main, values, tmp_path, config_home,
                                                   monkeypatch):
    monkeypatch.setattr(tw, "replace_folder_names", REAL_FOLDERS)
    (tmp_path / "alpha7").mkdir()
    run_main([(RUN, values(str(tmp_path / "alpha7"), "alpha7", "beta7")), (EXIT, {})])
    saved = json.loads(settings_file(config_home).read_text(encoding="utf-8"))
    assert saved["folder"] == str(tmp_path / "beta7")


# ---- what the window says ---------------------------------------------------------------

def test_spaces_around_a_missing_folder_are_pointed_out(run_main, ops, values, folder):
    toolkit = run_main([(RUN, values(folder + "  ")), (RUN, values(" " + folder + "x")),
                        (EXIT, {})])
    assert toolkit.messages == [f"替换失败：文件夹不存在：“{folder}  ”（路径末尾有空格）",
                                f"替换失败：文件夹不存在：“ {folder}x”（路径开头有空格）"]
    assert ops == []


def failure(error, path):
    error.add_note(f"while replacing content in {path}")
    return error


def in_use():
    error = PermissionError(errno.EACCES, "in use")
    error.winerror = 32  # how Windows reports a file another program holds
    return error


REASONS = [
    (UnicodeDecodeError("utf-8", b"\xe9", 0, 1, "invalid"), "不是 UTF-8、UTF-16 或 GBK 文本"),
    (PermissionError(errno.EACCES, "Permission denied"), "没有权限"),
    (PermissionError("'/x/l' leads to '/y', outside the chosen folder"), "路径在所选文件夹之外"),
    (FileExistsError(errno.EEXIST, "File exists"), "名称已被占用"),
    (OSError(errno.ENAMETOOLONG, "File name too long"), "名称太长"),
    (NotADirectoryError(errno.ENOTDIR, "Not a directory"), "不是文件夹"),
    (FileNotFoundError(errno.ENOENT, "No such file"), "文件或文件夹不存在"),
    (zipfile.BadZipFile("File is not a zip file"), "文档已损坏或已加密"),
    (KeyError("There is no item named 'word/document.xml' in the archive"), "文档已损坏或已加密"),
    (OSError(errno.ETXTBSY, "Text file busy"), "文件正被其他程序使用"),
    (in_use(), "文件正被其他程序使用"),
    (TimeoutError("the match took too long"), "匹配超时"),
    (ValueError("refusing to open 'a.docx': it holds 20000 members"),
     "文档过大或结构异常，为安全起见没有打开"),
    (ValueError("cannot rename 'a' to '': the new name must not be empty"), "新名称无效"),
    (RuntimeError("something else"), "未能完成"),
]


def test_each_failure_is_given_its_reason_in_chinese(tw, run_main, values, monkeypatch):
    errors = [failure(error, f"/x/{i}") for i, (error, _) in enumerate(REASONS)]

    def failing(*args):
        raise ExceptionGroup("all failed", errors)
    monkeypatch.setattr(tw, "replace_file_contents", failing)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    summary, = toolkit.summaries
    assert summary["rows"] == [[f"/x/{i}", reason] for i, (_, reason) in enumerate(REASONS)]


def held_on(tw, monkeypatch, name, signal):
    """The text handler, waiting for `signal` when it comes to the file `name`."""
    def handler(path, old, new):
        if os.path.basename(path) == name:
            wait_for(signal)
        return REAL_TEXT(path, old, new)
    REAL_TEXT = tw.replace_text_content
    monkeypatch.setattr(tw, "replace_text_content", handler)


# Neither UTF-8 nor GBK (nor UTF-16, having no byte order mark).
LATIN_1 = "old café\n".encode("latin-1")


@pytest.mark.parametrize("texts, held, head", [
    (("old", "old"), None, "替换完成！"),
    (("old", LATIN_1), None, "替换完成，1 项未能完成。"),
    ((LATIN_1, LATIN_1), None, "替换失败：2 项未能完成，没有做任何修改。"),
    # "取消" while the last file was in hand: nothing was left undone
    (("old",), "a.txt", "替换完成！"),
])
def test_the_first_line_says_how_the_run_went(tw, run_main, values, monkeypatch, tmp_path,
                                              texts, held, head):
    monkeypatch.setattr(tw, "replace_file_contents", REAL_CONTENTS)
    top = tmp_path / "top"
    top.mkdir()
    for name, text in zip(("a.txt", "b.txt"), texts):
        (top / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    if held:
        held_on(tw, monkeypatch, held, "cancel")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       progress_events=["取消"] if held else [])
    summary, = toolkit.summaries
    assert summary["head"] == head
    assert "已按“取消”停止" not in summary["body"]


def test_enter_and_esc_close_a_message(run_main, ops, values):
    toolkit = run_main([(RUN, values("")), (EXIT, {})])
    message, = toolkit.of_kind("message")
    assert message.keys == {"<Return>": "确定", "<KP_Enter>": "确定", "<Escape>": "确定"}


@pytest.mark.parametrize("old, options, warned", [
    ("x?", {}, True),
    ("a|", {}, True),
    ("x?", {"regular_expression": False}, False),  # plain text: "x?" is itself
    ("abc", {}, False),
])
def test_a_keyword_that_matches_the_empty_text_is_warned_of(run_main, ops, values, tmp_path,
                                                           old, options, warned):
    top = tmp_path / "top"
    top.mkdir()
    (top / "abc x?.txt").write_text("abc x?", encoding="utf-8")
    toolkit = run_main([(RUN, values(str(top), old, "Y", mode="mode_content") | options),
                        (EXIT, {})], preview_answers=["取消"])
    warning = toolkit.previews[0]["warning"]
    assert (warning or "").startswith("旧关键字可以匹配空文本：") == warned
