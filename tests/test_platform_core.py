"""The file-system core's own test program (tests/native/), built with CMake
on request and run case by case; and, traced, how often it syncs folders."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import termweave_mira7
from conftest import unavailable

ROOT = Path(__file__).resolve().parent.parent
CANNOT_RUN = 77
# The cases the test program has on Windows too.
PORTABLE_CASES = ["names", "record-journal", "undo-offers-only-the-runs-own", "three-replacements-deferred"]


@pytest.fixture(scope="session")
def core_test(tmp_path_factory):
    """Path of tw_platform_test, built beside the module when that is a CMake
    build (so a sanitizer build checks it too), else in a build of its own."""
    if not shutil.which("cmake"):
        unavailable("cmake is not available")
    build = Path(termweave_mira7.__file__).parent
    steps = []
    if not (build / "CMakeCache.txt").exists():
        build = tmp_path_factory.mktemp("core")
        steps.append(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                      f"-DPython_EXECUTABLE={sys.executable}"])
    steps.append(["cmake", "--build", str(build), "--target", "tw_platform_test"])
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
    return build / ("tw_platform_test.exe" if os.name == "nt" else "tw_platform_test")


@pytest.fixture
def scratch():
    """A folder other users can reach: one case drops to another user."""
    folder = tempfile.mkdtemp(prefix="tw-core-")
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux system-call filters")
posix = pytest.mark.skipif(os.name != "posix", reason="POSIX links and modes")
root = pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="drops from root to another user")


@pytest.mark.parametrize("case", [
    "names",
    pytest.param("respelled-hard-link", marks=posix),
    pytest.param("folder-syncs", marks=posix),
    "record-journal",
    "undo-offers-only-the-runs-own",
    pytest.param("rename-without-kernel-support", marks=linux),
    pytest.param("failed-rewrite-beside", marks=linux),
    pytest.param("failed-rewrite-in-closed-folder", marks=[linux, root]),
])
def test_core_case(core_test, scratch, case):
    done = subprocess.run([str(core_test), case, scratch], capture_output=True, text=True, timeout=120)
    if done.returncode == CANNOT_RUN:
        unavailable(f"{case}: system-call filters or privilege changes are not permitted here")
    assert done.returncode == 0, done.stderr


def folder_syncs_traced(core_test, scratch, case):
    """How many times the program syncs an open folder."""
    log = Path(scratch) / "trace.log"
    done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,fsync", "-o", str(log),
                           str(core_test), case, scratch], capture_output=True, text=True, timeout=120)
    if done.returncode != 0 and "ptrace" in done.stderr:
        unavailable("tracing is not permitted here")
    assert done.returncode == 0, done.stderr
    folders, count = set(), 0
    for line in log.read_text().splitlines():
        opened = re.search(r"openat\(.*\)\s*=\s*(\d+)", line)
        if opened:
            (folders.add if "O_DIRECTORY" in line else folders.discard)(opened.group(1))
        synced = re.search(r"fsync\((\d+)\)", line)
        if synced and synced.group(1) in folders:
            count += 1
    return count


@linux
def test_deferred_folder_syncs_sync_a_folder_once_for_many_files(core_test, scratch):
    if not shutil.which("strace"):
        unavailable("strace is not available")
    assert folder_syncs_traced(core_test, scratch, "three-replacements-immediate") == 3
    assert folder_syncs_traced(core_test, scratch, "three-replacements-deferred") == 1


@pytest.fixture(scope="session")
def windows_core_test(tmp_path_factory):
    """The test program built for Windows with mingw-w64, and how to run it
    under Wine: the Windows side of the core runs its tests here too."""
    compiler = shutil.which("x86_64-w64-mingw32-g++")
    wine = shutil.which("wine")
    if not sys.platform.startswith("linux") or compiler is None or wine is None:
        unavailable("mingw-w64 and Wine run the Windows side here")
    build = tmp_path_factory.mktemp("windows")
    program = build / "tw_platform_test.exe"
    sources = sorted(str(p) for p in (ROOT / "src" / "platform" / "core").glob("*.cpp"))
    done = subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                           "-static", "-o", str(program), *sources,
                           str(ROOT / "tests" / "native" / "platform_core_test.cpp")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    env = dict(os.environ, WINEPREFIX=str(build / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return [wine, str(program)], env


@pytest.mark.parametrize("case", PORTABLE_CASES)
def test_core_case_on_windows(windows_core_test, scratch, case):
    command, env = windows_core_test
    done = subprocess.run([*command, case, "Z:" + scratch.replace("/", "\\")], capture_output=True,
                          text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
