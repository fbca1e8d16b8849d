"""Failure paths at the edge between the interpreter and the module's C++:
every failure must arrive as a proper exception, never as a crash or as an
error return without an exception."""
import importlib.util
import os
import subprocess
import sys
import textwrap
import types

import pytest

import termweave_mira7
from run_support import probe  # noqa: F401


def run_child(code, tmp_path, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(termweave_mira7.__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(tmp_path)],
                          capture_output=True, text=True, env=env, timeout=timeout)


def test_a_failing_length_of_a_folder_name_is_reported_as_itself(monkeypatch, tmp_path):
    class Unmeasurable(str):
        def __len__(self):
            raise LookupError("no length")

    real_os = termweave_mira7.os
    path = types.SimpleNamespace(**{name: getattr(real_os.path, name) for name in dir(real_os.path)
                                    if not name.startswith("__")})
    path.split = lambda p: (real_os.path.dirname(p), Unmeasurable(real_os.path.basename(p)))
    fake_os = types.SimpleNamespace(walk=real_os.walk, path=path, lstat=real_os.lstat,
                                    stat=real_os.stat, scandir=real_os.scandir, fspath=real_os.fspath)
    monkeypatch.setattr(termweave_mira7, "os", fake_os)
    (tmp_path / "old").mkdir()
    with pytest.raises(LookupError, match="no length"):
        termweave_mira7.replace_folder_names(str(tmp_path / "old"), "old", "new", True)


# A stand-in for the built-in open, installed before the import so that the
# module binds it (the handlers write through it; they read bytes on their
# own); its handles fail in read/write and __exit__ does what the first
# argument says.
FAKE_OPEN = """
import builtins, sys
real_open = builtins.open
exit_mode = EXIT_MODE

class Handle:
    def __init__(self, inner):
        self.inner = inner
    def __enter__(self):
        return self
    def __exit__(self, kind, value, trace):
        self.inner.close()
        if value is not None and exit_mode == "suppress":
            return True
        if value is not None and exit_mode == "reraise":
            raise value
        return False
    def read(self, *args):
        raise ValueError("read failed")
    def write(self, data):
        raise ValueError("write failed")
    def __iter__(self):
        raise ValueError("read failed")

def fake_open(path, *args, **kwargs):
    if not str(path).startswith(sys.argv[1]):
        return real_open(path, *args, **kwargs)
    return Handle(real_open(path, *args, **kwargs))

builtins.open = fake_open
import termweave_mira7
builtins.open = real_open
"""


@pytest.mark.parametrize("function, name", [
    ("replace_text_content", "a.txt"),
    ("replace_csv_content", "a.csv"),
])
def test_a_suppressed_write_error_leaves_the_file_as_it_was(tmp_path, function, name):
    target = tmp_path / name
    target.write_text("old", encoding="utf-8")
    done = run_child(FAKE_OPEN.replace("EXIT_MODE", "'suppress'") + f"""
try:
    termweave_mira7.{function}(sys.argv[1] + "/{name}", "old", "new")
except BaseException as error:
    print(type(error).__name__)
else:
    print("returned")
""", tmp_path)
    assert done.stdout.split() == ["RuntimeError"], done.stderr
    assert target.read_text(encoding="utf-8") == "old"
    assert os.listdir(tmp_path) == [name]


def test_an_error_reraised_by_exit_is_not_its_own_context(tmp_path):
    (tmp_path / "a.txt").write_text("old", encoding="utf-8")
    done = run_child(FAKE_OPEN.replace("EXIT_MODE", "'reraise'") + """
try:
    termweave_mira7.replace_text_content(sys.argv[1] + "/a.txt", "old", "new")
except ValueError as error:
    print(error.__context__ is error)
""", tmp_path)
    assert done.stdout.split() == ["False"], done.stderr


def test_an_interrupt_while_probing_a_loaded_library_is_not_swallowed(tmp_path):
    done = run_child("""
import sys
class Interrupting:
    @property
    def __spec__(self):
        raise KeyboardInterrupt
import csv
sys.modules["csv"] = Interrupting()
try:
    import termweave_mira7
except KeyboardInterrupt:
    print("interrupted")
""", tmp_path)
    assert done.stdout.split() == ["interrupted"], done.stderr


# Part of every CPython build; in CI its absence fails the tests that need it.
nomemory = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None and not os.environ.get("CI"),
                              reason="needs the interpreter's _testcapi")


@nomemory
def test_a_name_that_could_not_be_made_is_made_at_the_next_call(tmp_path):
    done = run_child("""
import _testcapi, termweave_mira7
_testcapi.set_nomemory(0, 0)
try:
    termweave_mira7.convert_to_regex("a*b")
except MemoryError:
    failed = "MemoryError"
finally:
    _testcapi.remove_mem_hooks()
print(failed, termweave_mira7.convert_to_regex("a*b"))
""", tmp_path)
    assert done.stdout.split() == ["MemoryError", "a.*?b"], done.stderr


@nomemory
def test_allocation_failures_anywhere_surface_as_exceptions(tmp_path):
    # Fails the n-th allocation and every one after it, for each n in turn:
    # each call must either complete or raise; an error return without an
    # exception shows up as SystemError.
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    done = run_child("""
import _testcapi, os, shutil, sys, termweave_mira7 as tw
root = sys.argv[1] + "/tree"
def reset():
    shutil.rmtree(root)
    os.makedirs(root + "/old_sub")
    for name in ("old_a.txt", "old_b.csv"):
        with open(os.path.join(root, name), "w", encoding="utf-8") as f:
            f.write("old,1\\n")
calls = [
    lambda: tw.convert_to_regex("a*b"),
    lambda: tw.replace_text_content(root + "/old_a.txt", "old", "new"),
    lambda: tw.replace_csv_content(root + "/old_b.csv", "old", "new"),
    lambda: tw.replace_file_names(root, "old", "new", True),
    lambda: tw.replace_folder_names(root, "old", "new", True),
]
for call in calls:  # warms the interpreter's own caches: re crashes without memory
    reset()
    call()
def out_of_memory(error):
    # A run gathers its failures: each must come from the missing memory.
    if isinstance(error, BaseExceptionGroup):
        return all(out_of_memory(inner) for inner in error.exceptions)
    while error is not None and not isinstance(error, MemoryError):
        error = error.__cause__ or error.__context__
    return error is not None
def failure_of(call, start):
    # Local names only: storing a global could itself need memory.
    _testcapi.set_nomemory(start, 0)
    try:
        call()
    except BaseException as raised:
        return raised
    finally:
        _testcapi.remove_mem_hooks()
bad, failed = [], 0
for index, call in enumerate(calls):
    for start in range(0, 400, 3):
        reset()
        error = failure_of(call, start)
        if error is not None:
            failed += 1
            if not out_of_memory(error):
                bad.append((index, start, repr(error)))
print(len(bad), failed > 0, bad[:3])
""", tmp_path, timeout=300)
    assert done.stdout.startswith("0 True "), done.stdout + done.stderr


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS and /proc")
def test_a_cpp_allocation_failure_becomes_memory_error(tmp_path):
    if under_address_sanitizer():
        pytest.skip("AddressSanitizer's operator new ends the process instead of throwing")
    # A host-supplied os.path.join returns a path so long that converting it
    # for the operating system exhausts the address-space limit inside C++.
    (tmp_path / "old.txt").write_text("x", encoding="utf-8")
    done = run_child("""
import os, resource, sys, types, termweave_mira7 as tw
huge = "n" * (300 << 20)
real = os.path
path = types.SimpleNamespace(join=lambda folder, name: huge if name.startswith("new") else real.join(folder, name),
                             split=real.split, splitext=real.splitext, islink=real.islink,
                             isdir=real.isdir, basename=real.basename, dirname=real.dirname,
                             realpath=real.realpath, abspath=real.abspath, commonpath=real.commonpath,
                             exists=real.exists, lexists=real.lexists)
tw.os = types.SimpleNamespace(walk=os.walk, path=path, lstat=os.lstat, stat=os.stat,
                              scandir=os.scandir, fspath=os.fspath, sep=os.sep)
size = int([line for line in open("/proc/self/status") if line.startswith("VmSize")][0].split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (450 << 20), resource.RLIM_INFINITY))
try:
    tw.replace_file_names(sys.argv[1], "old", "new", True)
except MemoryError:
    print("MemoryError")
except BaseException as error:
    print(type(error).__name__, error)
""", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError"], done.stdout + done.stderr


def test_a_failure_without_an_error_becomes_system_error(probe, tmp_path):
    # A body or tidy-up path that reports failure without an exception must
    # not make the module read a missing exception.
    with open(tmp_path / "f", "w") as manager:
        scope_error, tidy_error = probe.silent_failure(manager)
    assert type(scope_error) is SystemError and type(tidy_error) is SystemError
