"""Killing a run or an undo at a random point and looking at what it left.
Shared by the crash tests (small files) and bench/bench_crash.py (files of
50 to 200 MB)."""
import os
import subprocess
import sys
import time

import termweave_mira7

CHILD = """
import sys
sys.path[:0] = {paths!r}
import termweave_mira7, _termweave_probe as probe
print("ready", flush=True)
{action}
"""


def make_tree(root, linked_sizes, plain_sizes):
    """Files holding "old " over and over: each of `linked_sizes` with a
    second name (so it is rewritten in place), each of `plain_sizes` alone.
    Returns {name: (old bytes, new bytes)} for every name."""
    os.makedirs(root, exist_ok=True)
    expected = {}
    for kind, sizes in (("linked", linked_sizes), ("plain", plain_sizes)):
        for i, size in enumerate(sizes):
            old = (f"{kind} {i} old ".encode() * (size // 16 + 1))[:size]
            name = f"{kind}{i}.txt"
            with open(os.path.join(root, name), "wb") as file:
                file.write(old)
            expected[name] = (old, old.replace(b"old", b"new"))
            if kind == "linked":
                os.link(os.path.join(root, name), os.path.join(root, name + ".second"))
                expected[name + ".second"] = expected[name]
    return expected


def start_child(probe, action):
    """A child process that imports the module and the probe, says "ready",
    then does `action` (Python source using `probe`)."""
    paths = [os.path.dirname(termweave_mira7.__file__), os.path.dirname(probe.__file__)]
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(paths=paths, action=action)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n", child.stderr.read()
    return child


def time_it(probe, action):
    """Seconds from "ready" to the end of an uninterrupted `action`."""
    child = start_child(probe, action)
    started = time.monotonic()
    assert child.wait(timeout=600) == 0, child.stderr.read()
    return time.monotonic() - started


def kill_after(probe, action, delay):
    """Starts `action` in a child and kills it (SIGKILL) `delay` seconds
    after it is ready, or lets it end if it ends first."""
    child = start_child(probe, action)
    time.sleep(delay)
    child.kill()
    child.wait()


def kill_when(probe, action, condition, timeout=60):
    """Starts `action` in a child and kills it (SIGKILL) as soon as
    `condition()` holds. False when the child ended first."""
    child = start_child(probe, action)
    deadline = time.monotonic() + timeout
    while not condition():
        if child.poll() is not None or time.monotonic() > deadline:
            child.kill()
            child.wait()
            return False
    child.kill()
    child.wait()
    return True


def rewriting_in_place(state_folder, path=None, old=b""):
    """A condition: some run's record says a rewrite in place has begun and
    not yet ended (and, given `path`, its first bytes are no longer `old`'s:
    the rewrite is under way)."""
    runs = os.path.join(state_folder, "termweave_mira7", "runs")

    def started():
        if path is None:
            return True
        with open(path, "rb") as file:
            return file.read(64) != old[:64]

    def condition():
        for run in os.listdir(runs) if os.path.isdir(runs) else []:
            try:
                with open(os.path.join(runs, run, "record"), "rb") as file:
                    tags = [line.split(b" ", 2)[:2] for line in file.read().splitlines()]
            except OSError:
                continue
            begun = {number for tag, number in tags if tag == b"rewrite"}
            ended = {number for tag, number in tags if tag in (b"rewritten", b"restored")}
            if begun - ended and started():
                return True
        return False
    return condition


def names(root):
    return {os.path.relpath(os.path.join(p, n), root) for p, _, files in os.walk(root) for n in files}


def mixed_files(root, expected):
    """The files that hold neither their old content nor their new one."""
    mixed = []
    for name, (old, new) in expected.items():
        with open(os.path.join(root, name), "rb") as file:
            data = file.read()
        if data not in (old, new):
            mixed.append(name)
    return mixed


def leftovers(root):
    return sorted(name for name in names(root) if os.path.basename(name).startswith(".termweave-"))
