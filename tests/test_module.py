"""The module frame: namespace, function objects, start-up guards."""
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import termweave_mira7

FUNCTIONS = {
    "convert_to_regex": (17, ["pattern"], []),
    "replace_folder_names": (21, ["root_folder", "old_keyword", "new_keyword", "recursive"],
                             ["pattern", "foldername", "subfolders", "filenames", "new_foldername"]),
    "replace_file_names": (33, ["root_folder", "old_keyword", "new_keyword", "recursive"],
                           ["pattern", "foldername", "subfolders", "filenames", "filename",
                            "new_filename", "src", "dst"]),
    "replace_pptx_content": (46, ["file_path", "old_keyword", "new_keyword"],
                             ["pattern", "prs", "slide", "shape"]),
    "replace_docx_content": (57, ["file_path", "old_keyword", "new_keyword"],
                             ["pattern", "doc", "paragraph", "table", "row", "cell"]),
    "replace_xlsx_content": (71, ["file_path", "old_keyword", "new_keyword"],
                             ["pattern", "wb", "sheet", "row", "cell", "original_value",
                              "new_value", "e"]),
    "replace_csv_content": (91, ["file_path", "old_keyword", "new_keyword"],
                            ["pattern", "file", "reader", "rows", "writer", "row", "new_row", "cell"]),
    "replace_text_content": (104, ["file_path", "old_keyword", "new_keyword"],
                             ["pattern", "file", "content", "new_content"]),
    "replace_file_contents": (114, ["root_folder", "old_keyword", "new_keyword", "recursive"],
                              ["foldername", "subfolders", "filenames", "filename", "filepath", "ext"]),
    "main": (133, [], ["ico", "image_file", "layout", "window", "event", "values", "folder_path",
                       "old_keyword", "new_keyword", "recursive"]),
}


def run_python(code, env=None, check=True):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, env=env, timeout=120)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def test_namespace_holds_exactly_the_listed_names_in_order():
    import PySimpleGUI, docx, openpyxl, pptx, base64, csv, re
    names = list(vars(termweave_mira7))
    own = names[names.index("__builtins__"):]
    assert own == ["__builtins__", "base64", "docx", "load_workbook", "os", "sg", "Presentation",
                   "csv", "re", *FUNCTIONS, "__test__"]
    ns = vars(termweave_mira7)
    assert ns["sg"] is PySimpleGUI and ns["docx"] is docx and ns["re"] is re
    assert ns["load_workbook"] is openpyxl.load_workbook
    assert ns["Presentation"] is pptx.Presentation
    assert ns["__test__"] == {} and ns["__builtins__"].__name__ == "builtins"
    assert termweave_mira7.__doc__ is None
    assert set(names) - set(own) <= {"__name__", "__doc__", "__package__", "__loader__",
                                     "__spec__", "__file__", "__path__", "__cached__"}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects_look_like_python_functions(name):
    first_line, params, local_names = FUNCTIONS[name]
    fn = getattr(termweave_mira7, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == type(fn).__module__ == "termweave_mira7"
    assert inspect.getmodule(fn) is termweave_mira7
    assert not hasattr(fn, "__vectorcalloffset__") and " at 0x" in repr(fn)
    assert fn.__doc__ is None and fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert fn.__globals__ is vars(termweave_mira7)
    code = fn.__code__
    assert code.co_varnames == tuple(params + local_names)
    assert code.co_argcount == len(params) and code.co_nlocals == len(params + local_names)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_firstlineno == first_line and code.co_name == name


def test_exceptions_carry_a_traceback_entry_named_after_the_function():
    with pytest.raises(AttributeError) as info:
        termweave_mira7.convert_to_regex(5)
    tb, names = info.tb, []
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-1] == "termweave_mira7.convert_to_regex"


def test_globals_are_looked_up_at_each_use(monkeypatch, tmp_path):
    monkeypatch.delattr(termweave_mira7, "re")
    with pytest.raises(NameError, match=r"^name 're' is not defined$"):
        termweave_mira7.replace_folder_names(str(tmp_path), "a", "b", True)
    monkeypatch.setattr(termweave_mira7, "convert_to_regex", lambda keyword: "never")
    monkeypatch.setattr(termweave_mira7, "re", __import__("re"), raising=False)
    (tmp_path / "a").mkdir()
    termweave_mira7.replace_folder_names(str(tmp_path), "a", "b", True)
    assert (tmp_path / "a").is_dir()


def test_reimport_returns_the_same_module_and_runs_nothing_again():
    run_python("""
        import PySimpleGUI
        calls = []
        real_theme = PySimpleGUI.theme
        PySimpleGUI.theme = lambda *a: calls.append(a) or real_theme(*a)
        import sys, termweave_mira7 as first
        assert calls == [("SystemDefaultForReal",)], calls
        del sys.modules["termweave_mira7"]
        import termweave_mira7 as second
        assert second is first and len(calls) == 1
        assert second.main is first.main
    """)


@pytest.mark.parametrize("blocked, reported", [
    (["pptx"], "pptx"),
    (["PySimpleGUI"], "PySimpleGUI"),
    (["openpyxl", "pptx"], "openpyxl"),
    (["docx", "openpyxl", "PySimpleGUI", "pptx"], "docx"),
])
def test_a_missing_library_fails_the_import_with_the_first_one(blocked, reported):
    result = run_python(f"""
        import sys
        for name in {blocked!r}:
            sys.modules[name] = None
        try:
            import termweave_mira7
        except ImportError as error:
            print(error)
        else:
            raise SystemExit("imported")
        # A failed start-up forgets the module, so a later import runs afresh.
        for name in {blocked!r}:
            del sys.modules[name]
        import termweave_mira7
        assert termweave_mira7.main
    """)
    assert f"import of {reported} halted" in result.stdout


def test_a_second_interpreter_is_refused():
    result = run_python("""
        import termweave_mira7, _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import termweave_mira7")
        except interpreters.RunFailedError as error:
            print(error)
    """)
    assert ("ImportError'>: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stdout


def test_a_subinterpreter_cannot_be_the_first_owner():
    # The run's worker thread attaches to the main interpreter only.
    result = run_python("""
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import termweave_mira7")
        except interpreters.RunFailedError as error:
            print(error)
        import termweave_mira7
        print("main", termweave_mira7.main.__name__)
    """)
    assert "ImportError'>: termweave_mira7 can only be loaded into the main interpreter." in result.stdout
    assert "main main" in result.stdout


def test_builtins_rebound_after_import_do_not_reach_the_module(monkeypatch, tmp_path):
    import builtins
    target = tmp_path / "note.txt"
    target.write_text("old text", encoding="utf-8")

    def refuse(*args, **kwargs):
        raise AssertionError("rebound open used")

    monkeypatch.setattr(builtins, "open", refuse)
    termweave_mira7.replace_text_content(str(target), "old", "new")
    monkeypatch.undo()
    assert target.read_text(encoding="utf-8") == "new text"


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def variant_build(tmp_path_factory):
    """The module built to claim another compile-time interpreter version."""
    build = tmp_path_factory.mktemp("variant")
    for step in (["cmake", "-S", ROOT, "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                  "-DTW_COMPILED_FOR_MINOR=12", f"-DPython_EXECUTABLE={sys.executable}"],
                 ["cmake", "--build", str(build)]):
        done = subprocess.run(step, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
    return str(build)


def test_version_mismatch_warns_and_goes_on_unless_warnings_are_errors(variant_build):
    env = dict(os.environ, PYTHONPATH=variant_build)
    warned = run_python("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import termweave_mira7
        assert termweave_mira7.main
        print([(w.category.__name__, str(w.message)) for w in caught])
    """, env=env)
    assert ("RuntimeWarning', \"compile time Python version 3.12 of module 'termweave_mira7' "
            "does not match runtime version 3.11\")") in warned.stdout
    failed = run_python("import termweave_mira7", env=dict(env, PYTHONWARNINGS="error::RuntimeWarning"),
                        check=False)
    assert failed.returncode != 0 and "RuntimeWarning: compile time Python version" in failed.stderr
