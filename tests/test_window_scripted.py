"""main() against a scripted stand-in for the window toolkit (window_fake.py)."""
import base64
import io
import os
import re
import signal
import struct
import zlib

import pytest
from PIL import Image

import termweave_mira7
from conftest import office_documents, tree
from window_fake import (CLOSED, EXIT, GO_ON, OPERATIONS, RUN, STOP, TIMEOUT, Busy, FakeToolkit,
                         held_until, wait_for)
from window_fake import folder, ops, run_main, values  # noqa: F401  (fixtures)
from run_support import probe  # noqa: F401  (fixture)
from test_run_safety import held, mounted  # noqa: F401  (fixtures)

# taken before any test rebinds them
REAL = {name: getattr(termweave_mira7, name) for name in (
    "replace_file_contents", "replace_folder_names", "replace_file_names")}

# The specified rows, then the option rows, then the buttons.
LAYOUT_CALLS = [
    ("InputText", (), {"key": "folder_path"}),
    ("FolderBrowse", (), {"button_text": "选择文件夹"}),
    ("Text", ("旧关键字：",), {}),
    ("Combo", ([],), {"default_value": "", "key": "old_keyword", "size": (43, 1),
                      "auto_size_text": False}),
    ("Text", ("新关键字：",), {}),
    ("Combo", ([],), {"default_value": "", "key": "new_keyword", "size": (43, 1),
                      "auto_size_text": False}),
    ("Checkbox", ("递归搜索",), {"key": "recursive", "default": True}),
    ("Radio", ("替换文件夹名称", "mode"), {"key": "mode_folder", "default": True}),
    ("Radio", ("替换文件名称", "mode"), {"key": "mode_filename"}),
    ("Radio", ("替换文件内容", "mode"), {"key": "mode_content"}),
    ("Checkbox", ("区分大小写",), {"key": "case_sensitive", "default": True}),
    ("Checkbox", ("正则表达式",), {"key": "regular_expression", "default": True}),
    ("Checkbox", ("跳过隐藏项",), {"key": "skip_hidden", "default": False}),
    ("Text", ("替换文件名称时：",), {}),
    ("Radio", ("名称和扩展名", "name_scope"), {"key": "scope_whole", "default": True}),
    ("Radio", ("仅名称", "name_scope"), {"key": "scope_stem", "default": False}),
    ("Radio", ("仅扩展名", "name_scope"), {"key": "scope_extension", "default": False}),
    ("Text", ("包含文件：",), {}),
    ("InputText", ("",), {"key": "include_masks", "size": (20, 1),
                          "tooltip": "用 ; 分隔多个，例如 *.docx;*.txt；留空表示全部文件"}),
    ("Text", ("排除文件：",), {}),
    ("InputText", ("",), {"key": "exclude_masks", "size": (20, 1),
                          "tooltip": "用 ; 分隔多个，例如 *.docx;*.txt；留空表示全部文件"}),
    ("Button", ("执行替换",), {}),
    ("Button", ("撤销上次替换",), {}),
    ("Button", ("退出",), {}),
]
ROW_SIZES = [2, 2, 2, 1, 3, 3, 4, 4, 3]


def done(noun="文件夹", verb="重命名", seen=0, changed=0, passed=0, failed=0):
    return f"替换完成！\n共处理 {seen} 个{noun}：已{verb} {changed} 个，跳过 {passed} 个，失败 {failed} 个。"


DONE = {"mode_folder": done(), "mode_filename": done("文件"), "mode_content": done("文件", "修改")}
CANCELLED_NOTE = "已按“取消”停止：其余项目未处理，保持原样。"


def test_layout_window_and_close(run_main):
    toolkit = run_main([(EXIT, {})])
    count = len(LAYOUT_CALLS)
    assert toolkit.log[:count] == LAYOUT_CALLS
    name, args, kwargs = toolkit.log[count]
    assert (name, args[0], kwargs) == ("Window", "关键字替换工具_mira7", {"icon": "brelvo.ico"})
    layout = args[1]
    assert [len(row) for row in layout] == ROW_SIZES
    assert [(e.kind, e.args, e.kwargs) for row in layout for e in row] == LAYOUT_CALLS
    # reads never block without limit, so a run and an interrupt are noticed
    assert toolkit.log[count + 1:] == [("read", "main", {"timeout": 100}), ("close", "main", {})]


@pytest.mark.parametrize("event, closed", [
    (CLOSED, CLOSED), (None, None), (EXIT, None), ("bye", "bye"),
])
def test_leaving_events_close_without_message(run_main, ops, values, event, closed):
    toolkit = run_main([(event, values())], closed=closed)
    assert ops == [] and toolkit.messages == []
    assert toolkit.log[-1] == ("close", "main", {})


@pytest.mark.parametrize("flags, expected, text", [
    ({"mode_folder": True}, "replace_folder_names", DONE["mode_folder"]),
    ({"mode_filename": True}, "replace_file_names", DONE["mode_filename"]),
    ({"mode_content": True}, "replace_file_contents", DONE["mode_content"]),
    ({"mode_filename": 1, "mode_content": True}, "replace_file_names", DONE["mode_filename"]),
    ({"mode_folder": "x", "mode_content": True}, "replace_folder_names", DONE["mode_folder"]),
    ({}, None, "替换完成！"),
])
def test_mode_selects_operation(run_main, ops, values, folder, flags, expected, text):
    vals = values(mode=None) | flags
    toolkit = run_main([(RUN, vals), (EXIT, {})])
    assert ops == ([] if expected is None else [(expected, (folder, "a*b", "c", True))])
    assert toolkit.messages == [text]
    assert toolkit.message_boxes == ["Text" if expected is None else "summary"]


def test_values_passed_as_reported(run_main, ops, values, folder):
    recursive = object()
    toolkit = run_main([(RUN, values(folder + "/", "-", "", recursive, "mode_content")),
                        (CLOSED, None)])
    assert ops == [("replace_file_contents", (folder + "/", "-", "", recursive))]
    assert ops[0][1][3] is recursive
    assert toolkit.messages == [DONE["mode_content"]]


def test_each_press_runs_again_and_other_events_are_ignored(run_main, ops, values, tmp_path):
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "ab.txt").write_text("ab", encoding="utf-8")
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    toolkit = run_main([
        (RUN, values(a, mode="mode_filename")),
        ("选择文件夹", values()),
        (TIMEOUT, values()),
        (RUN, values(b, recursive=False, mode="mode_content")),
        (EXIT, values()),
    ])
    assert ops == [("replace_file_names", (a, "a*b", "c", True)),
                   ("replace_file_contents", (b, "a*b", "c", False))]
    assert toolkit.messages == [DONE["mode_filename"], DONE["mode_content"]]


@pytest.mark.parametrize("field, old, text", [
    ("", "a", "替换失败：请先选择要处理的文件夹。"),
    ("  \t", "a", "替换失败：请先选择要处理的文件夹。"),
    ("{tmp}/missing", "a", "替换失败：文件夹不存在：{tmp}/missing"),
    ("{tmp}/file.txt", "a", "替换失败：所选路径不是文件夹：{tmp}/file.txt"),
    ("{tmp}/chosen", "", "替换失败：旧关键字不能为空。"),
    ("", "", "替换失败：请先选择要处理的文件夹。"),
])
@pytest.mark.parametrize("mode", ["mode_folder", "mode_filename", "mode_content"])
def test_checks_run_nothing_and_say_why(run_main, ops, values, tmp_path, folder, field, old, text,
                                        mode):
    (tmp_path / "file.txt").write_text("a")
    typed = field.format(tmp=tmp_path)
    toolkit = run_main([(RUN, values(typed, old, "x", mode=mode)),
                        (RUN, values(folder, "a", "", mode=mode)), (EXIT, {})])
    assert toolkit.messages == [text.format(tmp=tmp_path), DONE[mode]]
    # the check ran nothing; an empty new keyword is allowed
    assert [args for _, args in ops] == [(folder, "a", "", True)]


def test_an_empty_keyword_never_reaches_the_tree(run_main, tw, monkeypatch, values, tmp_path):
    (tmp_path / "top").mkdir()
    (tmp_path / "top" / "sub").mkdir()
    (tmp_path / "top" / "a.txt").write_text("text", encoding="utf-8")
    for name, operation in REAL.items():
        monkeypatch.setattr(tw, name, operation)
    top = str(tmp_path / "top")
    toolkit = run_main([(RUN, values(top, "", "X", mode=mode)) for mode in DONE] + [(EXIT, {})])
    assert toolkit.messages == ["替换失败：旧关键字不能为空。"] * 3
    assert sorted(p.name for p in (tmp_path / "top").iterdir()) == ["a.txt", "sub"]
    assert (tmp_path / "top" / "a.txt").read_text(encoding="utf-8") == "text"


def test_failing_operation_shows_error_and_keeps_window(tw, run_main, ops, values, folder,
                                                        monkeypatch):
    def bad_keyword(*args):
        re.compile("ab(")
    monkeypatch.setattr(tw, "replace_folder_names", bad_keyword)
    toolkit = run_main([(RUN, values(old="ab(")), (RUN, values(mode="mode_filename")), (EXIT, {})])
    message = str(pytest.raises(re.error, re.compile, "ab(").value)
    assert toolkit.messages == [
        "替换失败：旧关键字有误（第 3 个字符“(”处）：“(” 没有配对的 “)”\nerror: " + message,
        DONE["mode_filename"]]
    assert ops == [("replace_file_names", (folder, "a*b", "c", True))]
    assert toolkit.log[-1] == ("close", "main", {})


@pytest.mark.parametrize("error, text", [
    (OSError(2, "No such file"), "替换失败：文件或文件夹不存在\nFileNotFoundError: [Errno 2] No such file\n"
     "while replacing content in /x/a.txt\nsecond"),
    (KeyError(), "替换失败：未能完成\nKeyError\nwhile replacing content in /x/a.txt\nsecond"),
    (OSError(28, "No space left on device"), "替换失败：磁盘空间不足\n"
     "OSError: [Errno 28] No space left on device\nwhile replacing content in /x/a.txt\nsecond"),
])
def test_failure_message_lists_notes(tw, run_main, values, monkeypatch, error, text):
    def failing(*args):
        error.add_note("while replacing content in /x/a.txt")
        error.add_note("second")
        raise error
    monkeypatch.setattr(tw, "replace_file_contents", failing)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    assert toolkit.messages == [text]


def test_failure_note_from_real_dispatch(tw, run_main, values, monkeypatch, in_tmp):
    (in_tmp / "data").mkdir()
    (in_tmp / "data" / "a.txt").write_text("ab")

    def broken(path, old, new):
        raise ValueError("bad text")
    monkeypatch.setattr(tw, "replace_text_content", broken)
    monkeypatch.setattr(tw, "replace_file_contents", REAL["replace_file_contents"])
    toolkit = run_main([(RUN, values(str(in_tmp / "data"), mode="mode_content")), (EXIT, {})])
    path = str(in_tmp / "data" / "a.txt")
    summary, = toolkit.summaries
    assert summary["head"] == "替换失败：1 项未能完成，没有做任何修改。"
    assert summary["rows"] == [[path, "未能完成"]]
    assert summary["detail"] == f"{path}\n未能完成\nValueError: bad text"


def failed(path, reason):
    error = ValueError(reason)
    error.add_note(f"while replacing content in {path}")
    return error


def test_exception_group_lists_each_failure(tw, run_main, values, monkeypatch):
    def partly(*args):
        missing = FileNotFoundError(2, "No such file or directory", "/x/gone.txt")
        raise ExceptionGroup("2 of 3 files could not be changed", [
            failed("/x/a.txt", "first line\nsecond line"),
            ExceptionGroup("inner", [failed("/x/b.docx", "x" * 300)]),
            missing,
        ])
    monkeypatch.setattr(tw, "replace_file_contents", partly)
    toolkit = run_main([(RUN, values(mode="mode_content")), (EXIT, {})])
    summary, = toolkit.summaries
    assert summary["head"] == "替换失败：3 项未能完成，没有做任何修改。"
    assert summary["body"] == "共处理 3 个文件：已修改 0 个，跳过 0 个，失败 3 个。"
    # each with its path, its reason in Chinese, and the original message beneath
    assert summary["rows"] == [["/x/a.txt", "未能完成"], ["/x/b.docx", "未能完成"],
                               ["/x/gone.txt", "文件或文件夹不存在"]]
    assert summary["detail"] == "/x/a.txt\n未能完成\nValueError: first line\nsecond line"
    summary_window, = toolkit.of_kind("summary")
    table = summary_window["summary_failures"]
    assert table.kwargs["headings"] == ["路径", "原因"]
    assert summary_window.kwargs["resizable"] is True
    # Enter and Esc close it as "确定" does
    assert summary_window.keys == {"<Return>": "确定", "<KP_Enter>": "确定", "<Escape>": "确定"}


def test_a_long_failure_list_is_cut(tw, run_main, values, monkeypatch):
    def many(*args):
        raise ExceptionGroup("1005 of 1005", [failed(f"/x/{i}.txt", "bad") for i in range(1005)])
    monkeypatch.setattr(tw, "replace_file_names", many)
    toolkit = run_main([(RUN, values(mode="mode_filename")), (EXIT, {})])
    summary, = toolkit.summaries
    assert summary["head"] == "替换失败：1005 项未能完成，没有做任何修改。"
    assert summary["rows"][:2] == [["/x/0.txt", "未能完成"], ["/x/1.txt", "未能完成"]]
    assert summary["rows"][1000:] == [["…（其余 5 项未列出）", ""]]


def test_every_window_is_owned_modal_and_on_top(tw, run_main, values, monkeypatch):
    monkeypatch.setattr(tw, "replace_file_contents", held_until("progress"))
    toolkit = run_main([(RUN, values("")), (RUN, values(mode="mode_content")), (EXIT, {})])
    main, *owned = toolkit.windows
    assert [w.kind for w in owned] == ["message", "preview", "progress", "summary"]
    for window in owned:
        assert window.TKroot.master is main.TKroot
        assert window.kwargs["keep_on_top"] is True and window.kwargs["finalize"] is True
        assert window.kwargs["icon"] == "brelvo.ico"
        assert window.args[0] == "关键字替换工具_mira7"
        assert window.closed
    assert [w.kwargs["modal"] for w in owned] == [True, True, False, True]
    # the windows with tables can be made larger
    assert [w.kwargs["resizable"] for w in owned] == [False, True, False, True]


def test_a_slow_run_shows_progress_against_the_plan(tw, run_main, values, monkeypatch, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for i in range(3):
        (top / f"{i}.txt").write_text("old", encoding="utf-8")
    (top / "other.txt").write_text("nothing", encoding="utf-8")
    monkeypatch.setattr(tw, "replace_file_contents", held_until("progress"))
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})])
    run_button = [entry for entry in toolkit.log if entry[:2] == ("update", RUN)]
    assert run_button == [("update", RUN, {"disabled": True}), ("update", RUN, {"disabled": False})]
    progress, = toolkit.of_kind("progress")
    rows = progress.args[1]
    assert [[(e.kind, e.key) for e in row] for row in rows] == [
        [("Text", "progress_count")],
        [("ProgressBar", "progress_bar"), ("Text", "progress_fraction")],
        [("Text", "progress_left")], [("Text", "progress_path")], [("Button", "取消")]]
    # the total is what the plan took up: every file it looked at
    assert rows[1][0].args == (4,)
    assert toolkit.updates("progress_fraction") == ["0 / 4"]
    assert set(toolkit.updates("progress_count")) == {"已处理 0 项（已改 0，跳过 0，失败 0）"}
    # the progress window closed before the summary opened
    order = [(e[0], e[1]) for e in toolkit.log if e[0] in ("close", "Window")]
    assert order.index(("close", "progress")) < len(order) - 2
    assert toolkit.messages == [DONE["mode_content"]]


def test_a_quick_run_shows_no_progress_window(run_main, values):
    toolkit = run_main([(RUN, values()), (EXIT, {})])
    assert toolkit.of_kind("progress") == []


@pytest.mark.parametrize("answer", ["取消", CLOSED])
def test_cancel_asks_the_run_to_stop_and_says_so(tw, run_main, values, monkeypatch, answer):
    monkeypatch.setattr(tw, "replace_folder_names", held_until("cancel"))
    toolkit = run_main([(RUN, values()), (EXIT, {})], progress_events=[answer])
    assert toolkit.signals["done"].is_set()
    assert toolkit.messages == [
        "替换已取消！\n共处理 0 个文件夹：已重命名 0 个，跳过 0 个，失败 0 个。\n" + CANCELLED_NOTE]
    if answer == "取消":
        assert ("update", "取消", {"disabled": True}) in toolkit.log
        shown = toolkit.updates("progress_count")
        assert shown[-1] == "正在取消：当前文件处理完后停止（已处理 0 项）"


@pytest.mark.parametrize("leaving", [EXIT, CLOSED])
def test_leaving_during_a_run_asks_then_stops_it_and_says_how_far_it_got(
        tw, run_main, values, monkeypatch, leaving):
    monkeypatch.setattr(tw, "replace_file_names", held_until("answered"))
    toolkit = run_main([(RUN, values(mode="mode_filename")), Busy((leaving, None)),
                        (RUN, values(mode="mode_filename"))])
    assert toolkit.questions == ["正在替换，确定要停止吗？"]
    question, = toolkit.of_kind("question")
    assert [e.args[0] for e in question.args[1][1]] == [STOP, GO_ON]
    assert question.kwargs["modal"] is True and question.keys == {"<Escape>": GO_ON}
    # main returned only after the run had ended (it never leaves a thread
    # behind) and said how far it got; the next press never ran
    assert toolkit.signals["done"].is_set()
    assert toolkit.messages == [
        "替换已取消！\n共处理 0 个文件：已重命名 0 个，跳过 0 个，失败 0 个。\n" + CANCELLED_NOTE]
    assert toolkit.log[-1] == ("close", "main", {})


@pytest.mark.parametrize("ends", ["after the answer", "while asking"])
def test_going_on_after_the_question_keeps_the_program(tw, run_main, values, monkeypatch, ends):
    calls = []
    monkeypatch.setattr(tw, "replace_file_names", held_until(
        "answered" if ends == "after the answer" else "question",
        then=lambda: calls.append("ran")))
    toolkit = run_main([(RUN, values(mode="mode_filename")), Busy((EXIT, None)),
                        (RUN, values(mode="mode_filename")), (EXIT, {})],
                       question_answers=[GO_ON])
    assert toolkit.questions == ["正在替换，确定要停止吗？"]
    # the run went on to its end, and so did the program: the next press ran too
    assert calls == ["ran", "ran"]
    assert toolkit.messages == [DONE["mode_filename"]] * 2
    assert ("update", "取消", {"disabled": True}) not in toolkit.log


def test_a_second_press_during_a_run_starts_nothing(tw, run_main, values, monkeypatch):
    calls = []
    monkeypatch.setattr(tw, "replace_folder_names",
                        held_until("busy", then=lambda: calls.append("ran")))
    toolkit = run_main([(RUN, values()), Busy((RUN, values())), (EXIT, {})])
    assert calls == ["ran"] and toolkit.messages == [DONE["mode_folder"]]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exception_errors_leave_main(tw, monkeypatch, in_tmp, ops, values, error):
    def interrupted(*args):
        raise error()
    monkeypatch.setattr(tw, "replace_folder_names", interrupted)
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(error) as info:
        tw.main()
    assert "termweave_mira7.main" in [entry.name for entry in info.traceback]
    assert toolkit.messages == [] and ("close", "main", {}) not in toolkit.log


def test_an_interrupt_inside_a_tk_callback_ends_main(tw, monkeypatch, in_tmp, values):
    monkeypatch.setattr(tw, "replace_folder_names", held_until("interrupted"))
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])

    def ordinary_error(toolkit):
        toolkit.root.report_callback_exception(ValueError, ValueError("shown"), None)

    def interrupt(toolkit):
        # what tkinter does when Ctrl+C lands in a Python callback
        toolkit.root.report_callback_exception(KeyboardInterrupt, KeyboardInterrupt(), None)
        toolkit.signals["interrupted"].set()
    toolkit.before_read = [lambda t: None, ordinary_error, interrupt]
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    assert toolkit.signals["done"].is_set()  # the run was waited for
    assert ("reported", "ValueError", {}) in toolkit.log and ("quit", (), {}) in toolkit.log
    assert toolkit.messages == [] and toolkit.questions == []
    # the relay is removed again: the root reports as tkinter does
    assert "report_callback_exception" not in vars(toolkit.root)


def test_ctrl_c_during_a_run_stops_it_and_ends_main(tw, monkeypatch, in_tmp, values):
    monkeypatch.setattr(tw, "replace_folder_names", held_until("interrupted"))
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
    handlers = []

    def press_ctrl_c(toolkit):
        handlers.append(signal.getsignal(signal.SIGINT))
        # the interpreter runs the handler as soon as the call returns
        os.kill(os.getpid(), signal.SIGINT)
        toolkit.signals["interrupted"].set()
    toolkit.before_read = [lambda t: None, press_ctrl_c]
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    assert toolkit.signals["done"].is_set()  # stopped and joined before main left
    assert handlers[0] is not signal.default_int_handler
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert toolkit.messages == []


def test_a_host_handler_for_ctrl_c_is_left_alone(tw, in_tmp, ops, values, monkeypatch):
    def host_handler(signum, frame):
        pass
    previous = signal.signal(signal.SIGINT, host_handler)
    try:
        seen = []
        toolkit = FakeToolkit([(RUN, values()), (EXIT, {})])
        toolkit.before_read = [lambda t: seen.append(signal.getsignal(signal.SIGINT))]
        monkeypatch.setattr(tw, "sg", toolkit)
        tw.main()
        assert seen == [host_handler] and signal.getsignal(signal.SIGINT) is host_handler
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("result, exc, text", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    ((RUN,), ValueError, "need more than 1 value to unpack"),
    ((RUN, {"folder_path": "x"}), KeyError, "old_keyword"),
])
def test_toolkit_faults_still_propagate(tw, monkeypatch, in_tmp, ops, result, exc, text):
    toolkit = FakeToolkit([result])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(exc, match=re.escape(text)):
        tw.main()
    assert ops == [] and toolkit.calls("close") == [] and toolkit.messages == []


def test_sg_looked_up_afresh(tw, run_main, values, monkeypatch):
    second = FakeToolkit([], closed="done")

    def rebind(*args):
        monkeypatch.setattr(tw, "sg", second)
    monkeypatch.setattr(tw, "replace_folder_names", rebind)
    first = run_main([(RUN, values()), ("done", None)])
    # the summary was built by the toolkit bound when it opened
    assert first.messages == [] and second.messages == [DONE["mode_folder"]]
    assert first.log[-1] == ("close", "main", {})


def test_browse_starts_in_the_typed_folder(tw, monkeypatch, in_tmp, values, folder, tmp_path):
    browse_starts = []

    def look(toolkit):
        browse_starts.append(toolkit.windows[0].args[1][0][1].InitialFolder)
    toolkit = FakeToolkit([(TIMEOUT, values(folder)), (TIMEOUT, values(str(tmp_path / "nope"))),
                           (TIMEOUT, values(folder)), (EXIT, {})])
    toolkit.before_read = [look] * 4
    monkeypatch.setattr(tw, "sg", toolkit)
    tw.main()
    assert browse_starts == ["unset", folder, None, folder]


def test_no_display_is_one_line_and_writes_nothing(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})], no_display=True)
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(SystemExit) as info:
        tw.main()
    message = info.value.code
    assert isinstance(message, str) and "\n" not in message
    assert "needs a desktop (a display)" in message and "$DISPLAY" in message
    assert not (in_tmp / "brelvo.ico").exists() and toolkit.windows == []


def test_other_start_up_errors_are_not_taken_for_a_missing_display(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})])

    def broken():
        raise RuntimeError("toolkit broken")
    toolkit.Window.get_screen_size = broken
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(RuntimeError, match="toolkit broken"):
        tw.main()


def read_icon(path):
    data = path.read_bytes()
    header = struct.unpack("<HHHBBBBHHII", data[:22])
    return data, header


def png_chunks(png):
    chunks, pos = [], 8
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        chunks.append((kind, png[pos + 8:pos + 8 + length]))
        assert zlib.crc32(kind + png[pos + 8:pos + 8 + length]) == int.from_bytes(
            png[pos + 8 + length:pos + 12 + length], "big")
        pos += 12 + length
    return chunks


def test_icon_file_bytes(run_main, in_tmp):
    (in_tmp / "brelvo.ico").write_bytes(b"stale content that is longer than nothing" * 100)
    run_main([(EXIT, {})])
    data, header = read_icon(in_tmp / "brelvo.ico")
    reserved, kind, count, width, height, colours, reserved2, planes, bpp, size, offset = header
    assert (reserved, kind, count, width, height, colours, reserved2, planes, bpp, offset) == (
        0, 1, 1, 16, 16, 0, 0, 0, 32, 22)
    png = data[22:]
    assert size == len(png) and png[:8] == b"\x89PNG\r\n\x1a\n"
    chunks = png_chunks(png)
    assert [kind for kind, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    assert struct.unpack(">IIBBBBB", chunks[0][1]) == (16, 16, 8, 6, 0, 0, 0)
    image = Image.open(io.BytesIO(png))
    assert image.size == (16, 16) and image.mode == "RGBA"
    pixels = [image.getpixel((x, y)) for y in range(16) for x in range(16)]
    assert all(a == 255 for *_, a in pixels)
    assert all(max(p[:3]) - min(p[:3]) <= 12 for p in pixels)  # grey tones
    assert len({p for p in pixels}) > 1
    # the module holds it as standard base64 with one "=" of padding
    text = base64.b64encode(data)
    assert text.endswith(b"=") and not text.endswith(b"==")


def test_unwritable_icon_opens_windows_without_icon(run_main, values, in_tmp):
    (in_tmp / "brelvo.ico").mkdir()  # open(..., "wb") fails with an OSError
    toolkit = run_main([(RUN, values()), (EXIT, {})])
    main, preview, summary = toolkit.windows
    assert main.kwargs == {} and main.args[0] == "关键字替换工具_mira7"
    assert "icon" not in summary.kwargs and "icon" not in preview.kwargs
    assert toolkit.messages == [DONE["mode_folder"]]
    assert toolkit.log[-1] == ("close", "main", {})


def test_icon_failure_that_is_not_io_propagates(tw, monkeypatch, in_tmp):
    toolkit = FakeToolkit([(EXIT, {})])
    monkeypatch.setattr(tw, "sg", toolkit)
    monkeypatch.setattr(tw, "base64", object())
    with pytest.raises(AttributeError, match="b64decode"):
        tw.main()
    assert toolkit.log == []


# ---- through the real operations, which fill the run report ----------------------

@pytest.fixture
def real_ops(tw, monkeypatch):
    for name, operation in REAL.items():
        monkeypatch.setattr(tw, name, operation)


def test_counts_and_failures_of_a_real_content_run(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("a.txt", "b.txt"):
        (top / name).write_text("foo", encoding="utf-8")
    (top / "c.txt").write_text("bar", encoding="utf-8")
    (top / "d.dat").write_bytes(b"\0foo")
    (top / "g.txt").write_bytes("foo café".encode("latin-1"))  # neither UTF-8 nor GBK
    toolkit = run_main([(RUN, values(str(top), "foo", "baz", mode="mode_content")), (EXIT, {})])
    summary, = toolkit.summaries
    assert summary["head"] == "替换完成，1 项未能完成。"
    assert summary["body"] == "共处理 5 个文件：已修改 2 个，跳过 1 个，失败 1 个。"
    assert summary["rows"] == [[str(top / "g.txt"), "不是 UTF-8、UTF-16 或 GBK 文本"]]
    assert summary["detail"].split("\n")[2].startswith("UnicodeDecodeError: ")
    assert (top / "a.txt").read_text(encoding="utf-8") == "baz"


def test_a_run_whose_backups_would_need_too_much_copying_is_offered_without_undo(run_main, real_ops, values,
                                                                                  tmp_path, monkeypatch, mounted):
    # A state folder on a file system of 16 MiB allows copies of 1.6 MiB; a
    # file with a second name is rewritten in place, so undo would copy it.
    state = mounted
    monkeypatch.setenv("XDG_STATE_HOME", str(state))
    top = tmp_path / "top"
    top.mkdir()
    (top / "big.txt").write_bytes(b"foo " * (512 << 10))
    os.link(top / "big.txt", top / "big.second")
    toolkit = run_main([(RUN, values(str(top), "foo", "baz", mode="mode_content")), (EXIT, {})],
                       preview_answers=["不保留撤销并替换"])
    summary = toolkit.previews[0]["summary"]
    assert "保留撤销需要复制 2 MB 的备份，超过上限 1 MB：这次替换之后将无法撤销。" in summary
    assert (top / "big.txt").read_bytes() == b"baz " * (512 << 10)
    kept = [name for _, _, names in os.walk(state) for name in names if name not in ("record", "lock")]
    assert kept == []  # no backup kept for undo


def test_a_run_or_undo_on_a_folder_another_run_works_on_is_refused_before_any_preview(
        run_main, real_ops, values, held):
    root, _ = held
    toolkit = run_main([(RUN, values(str(root), "old", "new", mode="mode_content")),
                        ("撤销上次替换", values(str(root))), (EXIT, {})])
    assert toolkit.previews == []
    assert [m.split("：")[0] for m in toolkit.messages] == ["替换失败", "撤销失败"]
    assert all("另一个替换正在处理此文件夹" in m for m in toolkit.messages)
    assert not toolkit.windows[0]["执行替换"].disabled
    assert (root / "a.txt").read_text() == "old"


def test_counts_of_a_real_rename_run(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("old_1.txt", "old_2.txt", "other.txt"):
        (top / name).write_text("x")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_filename")), (EXIT, {})])
    assert toolkit.messages == [done("文件", seen=3, changed=2)]


def test_a_workbook_its_handler_reported_is_listed(run_main, real_ops, values, tmp_path, capsys):
    top = tmp_path / "top"
    top.mkdir()
    (top / "broken.xlsx").write_bytes(b"not a workbook")
    toolkit = run_main([(RUN, values(str(top), "x", "y", mode="mode_content")), (EXIT, {})])
    assert "Error processing" in capsys.readouterr().out  # the handler's own line stays
    summary, = toolkit.summaries
    assert summary["head"] == "替换失败：1 项未能完成，没有做任何修改。"
    assert summary["body"] == "共处理 1 个文件：已修改 0 个，跳过 0 个，失败 1 个。"
    assert summary["rows"] == [[str(top / "broken.xlsx"), "文档已损坏或已加密"]]


@pytest.mark.parametrize("typed_suffix", ["", "/"])
def test_the_folder_field_follows_the_renamed_chosen_folder(run_main, real_ops, values, tmp_path,
                                                           typed_suffix):
    tmp_path = tmp_path / "work"
    (tmp_path / "alpha7" / "alpha7_sub").mkdir(parents=True)
    (tmp_path / "keep").mkdir()
    toolkit = run_main([
        (RUN, values(str(tmp_path / "alpha7") + typed_suffix, "alpha7", "beta7")),
        (RUN, values(str(tmp_path / "keep"), "keep", "kept", mode="mode_content")),
        (EXIT, {})])
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == [
        "beta7", "beta7/beta7_sub", "keep"]
    # only the renamed chosen folder changes the field, and only in folder mode
    assert [e for e in toolkit.log if e[0] == "set"] == [
        ("set", "folder_path", str(tmp_path / "beta7"))]
    assert toolkit.messages[0] == done(seen=2, changed=2)


def test_a_subfolder_renamed_leaves_the_field(run_main, real_ops, values, tmp_path):
    (tmp_path / "top" / "alpha7").mkdir(parents=True)
    toolkit = run_main([(RUN, values(str(tmp_path / "top"), "alpha7", "beta7")), (EXIT, {})])
    assert (tmp_path / "top" / "beta7").is_dir()
    assert [e for e in toolkit.log if e[0] == "set"] == []


def test_cancel_stops_a_real_run_between_files(tw, run_main, real_ops, values, tmp_path,
                                               monkeypatch):
    top = tmp_path / "top"
    top.mkdir()
    for i in range(150):
        (top / f"{i:03}.txt").write_text("old", encoding="utf-8")
    real_text = tw.replace_text_content
    handled = []

    def held_text(*args):
        # the tenth file is in hand when the user presses "取消"
        handled.append(args[0])
        if len(handled) == 10:
            wait_for("cancel")
        return real_text(*args)
    monkeypatch.setattr(tw, "replace_text_content", held_text)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       progress_events=["取消"])
    texts = [p.read_text(encoding="utf-8") for p in sorted(top.iterdir())]
    # the file in hand was finished, the next one never begun
    assert len(handled) == 10 and texts.count("new") == 10 and texts.count("old") == 140
    # it says exactly how far it got
    assert toolkit.messages == [
        "替换已取消！\n共处理 10 个文件：已修改 10 个，跳过 0 个，失败 0 个。\n" + CANCELLED_NOTE]


# ---- the preview: planned by the operations' own deciding code, confirmed before a run ----------

def snapshot(root):
    """Every entry under root (root included): its bytes (None for a folder) and mtime."""
    found = {}
    for path in [root, *root.rglob("*")]:
        info = path.lstat()
        found[path.relative_to(root.parent).as_posix()] = (
            None if path.is_dir() else path.read_bytes(), info.st_mtime_ns)
    return found


def make_tree(top):
    """Items for every mode: matches, a name that is taken, passed-over and failing files."""
    (top / "old_a" / "old_b").mkdir(parents=True)
    (top / "old_c").mkdir()
    (top / "new_c").mkdir()
    (top / "old_a" / "old_b" / "old_1.txt").write_text("old and old", encoding="utf-8")
    (top / "old_2.txt").write_text("x", encoding="utf-8")
    (top / "new_2.txt").write_text("x", encoding="utf-8")
    (top / ".termweave-old.tmp").write_text("old", encoding="utf-8")
    (top / "table.csv").write_text("old,x\r\n", encoding="utf-8")
    (top / "data.dat").write_bytes(b"\0old")
    (top / "memo.doc").write_text("old", encoding="utf-8")
    (top / "latin1.txt").write_bytes("old café".encode("latin-1"))  # neither UTF-8 nor GBK
    (top / "plain.txt").write_text("nothing here", encoding="utf-8")


TAKEN, NOT_TEXT = "名称已被占用", "不是 UTF-8、UTF-16 或 GBK 文本"
PLANS = {
    "mode_folder": ("将重命名 2 个文件夹；跳过 0 个，失败 1 个。", [
        ["☑", "文件夹", "top/new_a/old_b", "new_b", ""],
        ["☑", "文件夹", "top/old_a", "new_a", ""],
        ["☑", "文件夹", "top/old_c", "无法重命名", TAKEN]]),
    "mode_filename": ("将重命名 1 个文件；跳过 1 个，失败 1 个。", [
        ["", "文件", "top/.termweave-old.tmp", "跳过", "本工具的临时文件"],
        ["☑", "文件", "top/old_2.txt", "无法重命名", TAKEN],
        ["☑", "文件", "top/old_a/old_b/old_1.txt", "new_1.txt", ""]]),
    "mode_content": ("将修改 2 个文件，共 3 处；跳过 3 个，失败 1 个。", [
        ["", "文件", "top/.termweave-old.tmp", "跳过", "本工具的临时文件"],
        ["", "文件", "top/data.dat", "跳过", "二进制文件"],
        ["☑", "文件", "top/latin1.txt", "无法修改", NOT_TEXT],
        ["", "文件", "top/memo.doc", "跳过", "旧格式（.doc、.ppt、.xls），不处理"],
        ["☑", "文件", "top/old_a/old_b/old_1.txt", "2 处", ""],
        ["☑", "文件", "top/table.csv", "1 处", ""]]),
}


@pytest.mark.parametrize("mode", list(PLANS))
def test_the_preview_shows_the_plan_and_the_run_does_just_that(run_main, real_ops, values,
                                                               tmp_path, mode):
    top = tmp_path / "top"
    make_tree(top)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode=mode)), (EXIT, {})])
    preview, = toolkit.previews
    summary, expected = PLANS[mode]
    assert preview["summary"] == summary
    assert preview["headings"] == ["☑", "类型", "路径",
                                   "匹配数" if mode == "mode_content" else "新名称", "问题"]
    assert sorted(preview["rows"], key=lambda row: row[2]) == expected
    # parents are renamed first, and what lies beneath them is shown under the new name
    paths = [row[2] for row in preview["rows"]]
    if mode == "mode_folder":
        assert paths.index("top/old_a") < paths.index("top/new_a/old_b")
    # the run then does exactly what was shown, and counts it the same way
    changed = sorted(row[2] for row in preview["rows"] if row[4] == "")
    counts = {"mode_folder": (5, 2, 0, 1), "mode_filename": (9, 1, 1, 1),
              "mode_content": (9, 2, 3, 1)}[mode]
    assert toolkit.messages[0] == "替换完成，1 项未能完成。\n共处理 %d 个%s：已%s %d 个，跳过 %d 个，失败 %d 个。" % (
        counts[0], "文件夹" if mode == "mode_folder" else "文件",
        "修改" if mode == "mode_content" else "重命名", *counts[1:])
    if mode == "mode_content":
        assert (top / "old_a" / "old_b" / "old_1.txt").read_text(encoding="utf-8") == "new and new"
        assert (top / "table.csv").read_bytes() == b"new,x\r\n"
        assert changed == ["top/old_a/old_b/old_1.txt", "top/table.csv"]
    else:
        renamed = {"top/" + path for path in tree(top)}
        for row in preview["rows"]:
            new_path = os.path.join(os.path.dirname(row[2]), row[3])
            assert (new_path + ("/" if mode == "mode_folder" else "") in renamed) == (row[4] == "")


@pytest.mark.parametrize("answer", ["取消", CLOSED])
@pytest.mark.parametrize("mode", list(PLANS))
def test_declining_the_preview_changes_nothing(run_main, real_ops, values, tmp_path, mode, answer):
    top = tmp_path / "top"
    make_tree(top)
    before = snapshot(top)
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode=mode)), (EXIT, {})],
                       preview_answers=[answer])
    assert snapshot(top) == before
    assert len(toolkit.previews) == 1 and toolkit.messages == []
    # the window is back and takes the next press
    assert [e for e in toolkit.log if e[:2] == ("update", RUN)][-1][2] == {"disabled": False}


@pytest.mark.parametrize("mode, tree_files, text", [
    ("mode_folder", {}, "没有找到匹配项"),
    ("mode_filename", {"a.txt": b"old"}, "没有找到匹配项"),
    ("mode_content", {"a.txt": b"x", "b.dat": b"\0old", "c.xls": b"old"},
     "没有找到匹配项\n（跳过 2 项：版本库目录、隐藏项、特殊文件、二进制文件、旧格式文件或本工具的临时文件）"),
])
def test_nothing_found_is_said_and_nothing_runs(run_main, ops, values, tmp_path, mode, tree_files,
                                                text):
    top = tmp_path / "top"
    top.mkdir()
    for name, data in tree_files.items():
        (top / name).write_bytes(data)
    toolkit = run_main([(RUN, values(str(top), "zzz" if mode == "mode_filename" else "old", "new",
                                     mode=mode)), (EXIT, {})])
    assert toolkit.messages == [text] and toolkit.previews == [] and ops == []


@pytest.mark.parametrize("old, new, text", [
    ("a(", "x", "替换失败：旧关键字有误（第 2 个字符“(”处）：“(” 没有配对的 “)”\n"
     "error: missing ), unterminated subpattern at position 1"),
    ("a", "\\9", "替换失败：新关键字有误（第 2 个字符“9”处）：引用了不存在的分组\n"
     "error: invalid group reference 9 at position 1"),
    # the engine saw "a.*??" and names position 4: the keyword as typed has three characters
    ("a*?", "x", "替换失败：旧关键字有误（第 3 个字符“?”处）：重复符号不能连用\n"
     "error: multiple repeat at position 4"),
    ("*(b", "x", "替换失败：旧关键字有误（第 2 个字符“(”处）：“(” 没有配对的 “)”\n"
     "error: missing ), unterminated subpattern at position 3"),
])
def test_a_plan_that_cannot_be_made_says_why_and_runs_nothing(run_main, ops, values, folder, old,
                                                              new, text):
    toolkit = run_main([(RUN, values(old=old, new=new, mode="mode_content")), (EXIT, {})])
    assert toolkit.messages == [text] and toolkit.previews == [] and ops == []


def select(row):
    """A preview answer: the user selects a row of the table."""
    def choose(toolkit):
        toolkit.selection = [row]
        return "preview_table", {}
    return choose


def select_every_row(toolkit):
    rows = toolkit.previews[-1]["rows"]
    toolkit.preview_answers[:0] = [select(i) for i in range(1, len(rows))]
    return select(0)(toolkit)


def test_details_show_the_first_matches_in_context(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    office_documents(top)
    (top / "long.txt").write_text("first line\n" + "x" * 40 + " old1 y " + "z" * 40 + "\n"
                                  + " ".join(f"old{i}" for i in range(2, 8)), encoding="utf-8")
    (top / "a.txt").write_text("no match", encoding="utf-8")
    (top / "t.csv").write_text("a,b old7\r\nold\r\n", encoding="utf-8")
    (top / "g.csv").write_bytes("旧,old8\r\n".encode("gbk"))
    toolkit = run_main([(RUN, values(str(top), r"old(\d?)", r"new\1", mode="mode_content")),
                        (EXIT, {})], preview_answers=[select_every_row, "取消"])
    details = {text.split("\n")[0]: text.split("\n")[1:] for text in toolkit.previews[0]["details"]}
    assert details == {
        str(top / "long.txt"): [
            "共 7 处，前 5 处：",
            "1. " + "x" * 29 + " 【old1】 y " + "z" * 27,
            "   → " + "x" * 29 + " 【new1】 y " + "z" * 27,
            "2. 【old2】 old3 old4 old5 old6 old7", "   → 【new2】 old3 old4 old5 old6 old7",
            "3. old2 【old3】 old4 old5 old6 old7", "   → old2 【new3】 old4 old5 old6 old7",
            "4. old2 old3 【old4】 old5 old6 old7", "   → old2 old3 【new4】 old5 old6 old7",
            "5. old2 old3 old4 【old5】 old6 old7", "   → old2 old3 old4 【new5】 old6 old7"],
        str(top / "doc.docx"): ["共 1 处：", "1. the 【old】 plan", "   → the 【new】 plan"],
        str(top / "deck.pptx"): ["共 1 处：", "1. 【old】 slide", "   → 【new】 slide"],
        str(top / "book.xlsx"): ["共 1 处：", "1. 【old】 cell", "   → 【new】 cell"],
        str(top / "t.csv"): ["共 2 处：", "1. b 【old7】", "   → b 【new7】", "2. 【old】", "   → 【new】"],
        str(top / "g.csv") + "（GBK）": ["共 1 处：", "1. 【old8】", "   → 【new8】"],
    }


def test_details_mark_a_match_in_a_workbook_formula(run_main, real_ops, values, tmp_path):
    import openpyxl
    top = tmp_path / "top"
    top.mkdir()
    book = openpyxl.Workbook()
    book.active["A1"] = "old cell"
    book.active["A2"] = '=LEN("old")'
    book.save(top / "book.xlsx")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[select_every_row, "取消"])
    (details,) = toolkit.previews[0]["details"]
    assert details.split("\n")[1:] == [
        "共 2 处：", "1. 【old】 cell", "   → 【new】 cell", '2. （公式）=LEN("【old】")', '   → =LEN("【new】")']


def test_a_long_plan_is_shown_a_page_at_a_time(run_main, ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for i in range(1003):
        (top / f"old{i:04}").write_bytes(b"")

    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_filename")), (EXIT, {})],
                       preview_answers=["上一页", "下一页", select(2), "下一页", "上一页", "取消"])
    preview, = toolkit.previews
    assert preview["summary"] == "将重命名 1003 个文件。" and len(preview["rows"]) == 1000
    pages = [e[2]["values"] for e in toolkit.log if e[:2] == ("update", "preview_table")]
    # "上一页" on the first page and "下一页" on the last do nothing
    assert [len(page) for page in pages] == [3, 1000]
    names = [row[2] for row in preview["rows"] + pages[0]]
    assert sorted(names) == [f"top/old{i:04}" for i in range(1003)]
    shown = [e[2]["value"] for e in toolkit.log if e[:2] == ("update", "preview_page")]
    assert shown == ["第 1–1000 项，共 1003 项", "第 1001–1003 项，共 1003 项", "第 1–1000 项，共 1003 项"]
    # the third row of the second page is item 1003; turning a page clears the details
    reset, picked, reset_again = preview["details"]
    assert reset == reset_again == "选中一项可查看详情。"
    assert picked.split("\n")[0] == str(tmp_path / pages[0][2][2])
    assert ops == []


def test_the_run_decides_again_after_the_preview(run_main, real_ops, values, tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    for name in ("a.txt", "b.txt"):
        (top / name).write_text("old", encoding="utf-8")
    (top / "d.txt").write_text("none yet", encoding="utf-8")

    # The plan's decisions are kept for the run, but b and d changed since.
    def change_b_then_confirm(toolkit):
        (top / "b.txt").write_text("no longer", encoding="utf-8")
        (top / "c.txt").write_text("old old", encoding="utf-8")
        (top / "d.txt").write_text("old now", encoding="utf-8")
        return "确认替换"
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       preview_answers=[change_b_then_confirm])
    assert toolkit.previews[0]["summary"] == "将修改 2 个文件，共 2 处。"
    texts = [p.read_text(encoding="utf-8") for p in sorted(top.iterdir())]
    assert texts == ["new", "no longer", "new new", "new now"]
    assert toolkit.messages == [done("文件", "修改", seen=4, changed=3)]


def held_walk(monkeypatch, tw, until):
    """os as the module sees it, with a walk that waits after its first
    folder until the signal `until` is set."""
    class HeldOs:
        def __getattr__(self, name):
            return getattr(os, name)

        def walk(self, *args, **kwargs):
            for number, triple in enumerate(os.walk(*args, **kwargs)):
                yield triple
                if number == 0:
                    wait_for(until)
    monkeypatch.setattr(tw, "os", HeldOs())


def test_a_slow_plan_shows_progress_and_can_be_cancelled(tw, run_main, ops, values, tmp_path,
                                                         monkeypatch):
    top = tmp_path / "top"
    for i in range(4):
        (top / f"d{i}").mkdir(parents=True)
        (top / f"d{i}" / "old.txt").write_text("old", encoding="utf-8")
    before = snapshot(top)
    held_walk(monkeypatch, tw, "cancel")
    toolkit = run_main([(RUN, values(str(top), "old", "new", mode="mode_content")), (EXIT, {})],
                       progress_events=[TIMEOUT, "取消"])
    progress, = toolkit.of_kind("progress")
    assert progress.args[1][0][0].args == ("正在查找匹配项，请稍候…",)
    # no total while the plan is made: no bar
    assert [e.key for row in progress.args[1] for e in row] == [
        "progress_count", "progress_path", "取消"]
    shown = toolkit.updates("progress_count")
    assert shown[0].startswith("已查看 ") and shown[-1].startswith("正在取消：不做任何修改")
    assert toolkit.previews == [] and toolkit.messages == [] and ops == []
    assert snapshot(top) == before


def test_leaving_while_the_plan_is_built(tw, run_main, ops, values, folder, monkeypatch):
    held_walk(monkeypatch, tw, "question")
    toolkit = run_main([(RUN, values(mode="mode_content")), Busy((EXIT, None), phase="plan")])
    assert toolkit.questions == ["正在替换，确定要停止吗？"]
    assert toolkit.previews == [] and toolkit.messages == [] and ops == []
    assert toolkit.log[-1] == ("close", "main", {})


def test_ctrl_c_while_the_preview_is_open_runs_nothing(tw, monkeypatch, in_tmp, ops, values):
    def press_ctrl_c(toolkit):
        os.kill(os.getpid(), signal.SIGINT)
        return TIMEOUT
    toolkit = FakeToolkit([(RUN, values()), (EXIT, {})], preview_answers=[press_ctrl_c])
    monkeypatch.setattr(tw, "sg", toolkit)
    with pytest.raises(KeyboardInterrupt):
        tw.main()
    preview, = toolkit.of_kind("preview")
    assert preview.closed and ops == [] and toolkit.messages == []
