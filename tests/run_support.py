"""Shared by the run tests: the test-only probe module, and running an
operation in a child process as an unprivileged user, with a timeout."""
import importlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import termweave_mira7
from conftest import unavailable

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
WORKER = os.path.join(HERE, "run_worker.py")
NOBODY = 65534
# The options of a run that keeps what undo needs, as the window's runs do.
UNDOABLE = {"undoable": True}


def need(condition, why):
    if not condition:
        unavailable(why)


def _cmake(*args):
    done = subprocess.run(args, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """The probe module built from these sources, beside the module under test
    when that is a CMake build, else in a build folder of its own."""
    cmake = shutil.which("cmake")
    built = os.path.dirname(termweave_mira7.__file__)
    if cmake and os.path.exists(os.path.join(built, "CMakeCache.txt")):
        build = built
    else:
        try:
            return importlib.import_module("_termweave_probe")
        except ImportError:
            need(cmake, "cmake is needed to build the test probe")
        build = str(tmp_path_factory.mktemp("probe-build"))
        configure = [cmake, "-S", SOURCE, "-B", build, f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        _cmake(*configure)
        sys.path.insert(0, build)
    _cmake(cmake, "--build", build, "--target", "termweave_probe")
    return importlib.import_module("_termweave_probe")


@pytest.fixture
def shared_tmp(probe):
    """A folder that the unprivileged user can reach, removed afterwards."""
    import tempfile
    folder = tempfile.mkdtemp(prefix="tw-run-")
    os.chmod(folder, 0o755)
    yield folder
    for parent, subfolders, _ in os.walk(folder):
        for name in subfolders:
            os.chmod(os.path.join(parent, name), 0o755, follow_symlinks=False)
    shutil.rmtree(folder)


def give_to_user(root):
    """Makes `root` and everything in it the unprivileged user's."""
    if os.geteuid() != 0:
        return
    os.chown(root, NOBODY, NOBODY)
    for parent, subfolders, filenames in os.walk(root):
        for name in subfolders + filenames:
            os.chown(os.path.join(parent, name), NOBODY, NOBODY, follow_symlinks=False)


def run_as_user(probe, mode, root, old, new, recursive=True, warm_up=None, timeout=120):
    """Plans and then runs `mode` over `root` in a child process that has
    dropped root's rights, so that permissions hold. Returns the worker's
    record (see run_worker.py)."""
    request = {"mode": mode, "root": root, "old": old, "new": new, "recursive": recursive,
               "warm_up": warm_up, "probe_dir": os.path.dirname(probe.__file__),
               "module_dir": os.path.dirname(termweave_mira7.__file__)}
    try:
        done = subprocess.run([sys.executable, WORKER, json.dumps(request)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the run did not finish within {timeout} s: {expired.stderr}")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])
