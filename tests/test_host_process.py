"""Importing the module leaves the process that imports it as it was, and the window's icon
file never writes through a link."""
import hashlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

import termweave_mira7

# The host sets state of its own first, so that a library resetting something to its
# default shows up as a change too.
CHILD = textwrap.dedent("""
    import json, locale, os, signal, ssl, sys, threading, warnings

    def host_hook(*args):
        pass

    def snapshot():
        return {
            "https": repr(ssl._create_default_https_context),
            "filters": repr(warnings.filters),
            "filters object": id(warnings.filters),
            "showwarning": repr(warnings.showwarning),
            "signals": {int(s): repr(signal.getsignal(s))
                        for s in signal.valid_signals()
                        if s not in (signal.SIGKILL, signal.SIGSTOP)},
            "excepthook": repr(sys.excepthook),
            "threading excepthook": repr(threading.excepthook),
            "unraisablehook": repr(sys.unraisablehook),
            "locale": locale.setlocale(locale.LC_ALL),
            "cwd": os.getcwd(),
            "environment": dict(os.environ),
        }

    warnings.filterwarnings("ignore", message="host's own filter")
    signal.signal(signal.SIGUSR1, host_hook)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    sys.excepthook = host_hook
    locale.setlocale(locale.LC_ALL, "C.UTF-8")
    os.chdir(sys.argv[1])
    for blocked in sys.argv[2:]:
        sys.modules[blocked] = None
    before = snapshot()
    try:
        import termweave_mira7
        error = None
    except ImportError as e:
        error = str(e)
    after = snapshot()
    print(json.dumps({"before": before, "after": after, "error": error,
                      "https verifies": ssl._create_default_https_context().verify_mode
                                        == ssl.CERT_REQUIRED}))
""")


def import_in_child(folder, *blocked):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", CHILD, str(folder), *blocked], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_import_leaves_the_host_process_as_it_was(tmp_path):
    result = import_in_child(tmp_path)
    assert result["error"] is None
    for key, value in result["before"].items():
        assert result["after"][key] == value, key
    assert result["https verifies"]


def test_a_failed_import_also_gives_the_host_its_state_back(tmp_path):
    # pptx comes after the window toolkit, so the toolkit has done its changes by then
    result = import_in_child(tmp_path, "pptx")
    assert result["error"] == "import of pptx halted; None in sys.modules"
    for key, value in result["before"].items():
        assert result["after"][key] == value, key
    assert result["https verifies"]


# ---- the icon file ---------------------------------------------------------------------------

class Closing:
    """Just enough of the toolkit for main to build its window and see it closed."""
    WIN_CLOSED = None

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        return self

    def read(self, timeout=None):
        return None, None


# The icon the window shows, by its digest: its layout is checked field by
# field with the window's tests.
ICON_SHA256 = "5a1080718cbb4b4a0d26fa092ee72fc9b1c0fdde9e53f7e237d9628f4c19c0b5"


def is_the_icon(path):
    return hashlib.sha256(path.read_bytes()).hexdigest() == ICON_SHA256


@pytest.fixture
def closing_toolkit(tw, monkeypatch, in_tmp):
    monkeypatch.setattr(tw, "sg", Closing())


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="needs symbolic links")
@pytest.mark.parametrize("target_exists", [True, False])
def test_icon_replaces_a_link_and_leaves_its_target(tw, in_tmp, closing_toolkit, target_exists):
    target = in_tmp / "elsewhere" / "precious.txt"
    target.parent.mkdir()
    if target_exists:
        target.write_bytes(b"the user's own data")
    os.symlink(target, in_tmp / "brelvo.ico")
    assert tw.main() is None
    icon = in_tmp / "brelvo.ico"
    assert not icon.is_symlink() and is_the_icon(icon)
    if target_exists:
        assert target.read_bytes() == b"the user's own data"
    else:
        assert not target.exists()
    assert sorted(os.listdir(in_tmp)) == ["brelvo.ico", "elsewhere"]


def test_icon_that_cannot_take_its_name_leaves_no_trace(tw, in_tmp, closing_toolkit):
    (in_tmp / "brelvo.ico").mkdir()
    (in_tmp / "brelvo.ico" / "inside").write_bytes(b"kept")
    assert tw.main() is None
    assert sorted(os.listdir(in_tmp)) == ["brelvo.ico"]
    assert os.listdir(in_tmp / "brelvo.ico") == ["inside"]


def test_a_file_named_like_an_icon_leftover_is_neither_used_nor_deleted(tw, in_tmp, closing_toolkit):
    leftover = in_tmp / f".termweave-brelvo-{os.getpid()}.tmp"
    leftover.write_bytes(b"half an icon")
    (in_tmp / "brelvo.ico").write_bytes(b"old icon")
    assert tw.main() is None
    assert is_the_icon(in_tmp / "brelvo.ico")
    assert sorted(os.listdir(in_tmp)) == sorted(["brelvo.ico", leftover.name])
    assert leftover.read_bytes() == b"half an icon"
