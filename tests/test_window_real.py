"""main() in a real window on a private Xvfb display, on real files."""
import json
import os
import select
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from PIL import Image

DRIVER = Path(__file__).with_name("real_window_driver.py")


def unavailable(reason):
    # CI installs a display server: there a missing display is a failure.
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def display():
    xvfb = shutil.which("Xvfb")
    if xvfb is None or not hasattr(select, "select") or os.name != "posix":
        unavailable("Xvfb is not available")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        [xvfb, "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    try:
        while not number.endswith(b"\n") and select.select([read_end], [], [], 10)[0]:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    finally:
        os.close(read_end)
    if not number.strip():
        server.kill()
        server.wait()
        unavailable("Xvfb did not report a display")
    yield ":" + number.decode().strip()
    server.terminate()
    server.wait(timeout=10)


def stubbed_operations(tw, tmp_path):
    """Operations not yet built in this tree: the driver swaps in stand-ins."""
    probe = tmp_path / "probe"
    probe.mkdir()
    (probe / "p.txt").write_text("p", encoding="utf-8")
    calls = {
        "replace_folder_names": (str(probe / "none"), "x", "y", True),
        "replace_file_names": (str(probe / "none"), "x", "y", True),
        "replace_text_content": (str(probe / "p.txt"), "x", "y"),
    }
    stubs = []
    for name, args in calls.items():
        try:
            getattr(tw, name)(*args)
        except NotImplementedError:
            stubs.append(name)
    shutil.rmtree(probe)
    return stubs


def test_three_modes_and_a_bad_keyword_through_the_window(tw, display, tmp_path):
    root = tmp_path / "tree"
    (root / "alpha7_dir").mkdir(parents=True)
    (root / "alpha7_dir" / "report.txt").write_text("foo and foo", encoding="utf-8")
    result = tmp_path / "result.json"
    stand_ins = stubbed_operations(tw, tmp_path)
    env = dict(os.environ, DISPLAY=display)
    try:
        done = subprocess.run(
            [sys.executable, str(DRIVER), str(root), str(tmp_path), str(result), *stand_ins],
            env=env, timeout=40, capture_output=True, text=True)
    except subprocess.TimeoutExpired as timeout:
        pytest.fail(f"the window did not finish: {timeout.stderr}")
    assert done.returncode == 0, done.stderr
    record = json.loads(result.read_text(encoding="utf-8"))
    assert record["errors"] == [], record["errors"]
    assert record["result"] == "None"
    assert record["title"] == "关键字替换工具_mira7"

    assert sorted(p.relative_to(root).as_posix() for p in root.rglob("*")) == [
        "beta7_dir", "beta7_dir/summary.txt"]
    assert (root / "beta7_dir" / "summary.txt").read_text(encoding="utf-8") == "bar and bar"
    assert (tmp_path / "brelvo.ico").stat().st_size > 22

    popups = record["popups"]
    done_popup = [["替换完成！"], {"icon": "brelvo.ico"}]
    assert popups[:3] == [done_popup] * 3
    assert len(popups) == 4
    (failure,), kwargs = popups[3]
    assert kwargs == {"icon": "brelvo.ico"}
    assert failure.startswith("替换失败：")
    assert f"while replacing content in {root / 'beta7_dir' / 'summary.txt'}" in failure

    for shot in ("window.png", "popup.png"):
        path = tmp_path / shot
        assert str(path) in record["screens"]
        with Image.open(path) as image:
            assert len(image.convert("L").getcolors(maxcolors=1 << 16) or ()) != 1, shot
    if stand_ins:
        print("stand-ins used for:", ", ".join(stand_ins))
