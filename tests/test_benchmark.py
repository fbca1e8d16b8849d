"""The benchmark at a tiny size: every workload's plain-Python twin and
`sd` must leave exactly the tree the module leaves (names, bytes, which
files were rewritten), and a workload without matches must change nothing.
This keeps the baseline honest and the harness working; no time is judged."""
import json
import os
import subprocess
import sys

import pytest

import termweave_mira7

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")


def run_bench(tmp_path, *arguments):
    command = [sys.executable, os.path.join(BENCH, "run.py"), "--scale", "0.002", "--rounds", "1",
               "--module-dir", os.path.dirname(termweave_mira7.__file__), "--tmp", str(tmp_path),
               "--json", str(tmp_path / "run.json"), *arguments]
    return subprocess.run(command, capture_output=True, text=True, timeout=600)


def test_every_workload_runs_and_all_contenders_leave_the_same_result(tmp_path):
    done = run_bench(tmp_path)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    with open(tmp_path / "run.json", encoding="utf-8") as file:
        run = json.load(file)
    listed = subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), "--list",
                             "--module-dir", os.path.dirname(termweave_mira7.__file__)],
                            capture_output=True, text=True, timeout=120)
    assert set(run["workloads"]) == {line.split()[0] for line in listed.stdout.splitlines()}
    for name, summary in run["workloads"].items():
        contenders = summary["contenders"]
        assert "module" in contenders and len(contenders) >= 2, name
        assert all(entry["median s"] > 0 for entry in contenders.values()), name
    big = run["workloads"]["big-match"]["contenders"]
    assert all("peak bytes" in entry for entry in big.values())
    # Nothing of the data is left behind.
    assert sorted(os.listdir(tmp_path)) == ["run.json"]


def test_a_baseline_out_of_step_with_the_module_is_reported(tmp_path):
    # A baseline that renames files differently from the module must be
    # caught, not timed.
    patched = tmp_path / "patched"
    patched.mkdir()
    for name in ("run.py", "workloads.py", "baseline.py"):
        text = open(os.path.join(BENCH, name), encoding="utf-8").read()
        if name == "baseline.py":
            renaming = "new = pattern.sub(new_keyword, name)"
            assert renaming in text
            text = text.replace(renaming, "new = pattern.sub(new_keyword.upper(), name)")
        (patched / name).write_text(text, encoding="utf-8")
    command = [sys.executable, str(patched / "run.py"), "--scale", "0.001", "--rounds", "1",
               "--module-dir", os.path.dirname(termweave_mira7.__file__), "--tmp", str(tmp_path),
               "--json", str(tmp_path / "run.json"), "file-names-flat"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode != 0
    assert "file-names-flat: python left another result than module" in done.stderr


def test_unknown_workload_names_are_refused(tmp_path):
    done = run_bench(tmp_path, "no-such-workload")
    assert done.returncode == 2 and "no-such-workload" in done.stderr
