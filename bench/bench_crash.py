"""Kills content runs and undos halfway through rewriting large files in place.

Each trial makes files of 50 to 200 MB, each with a second name (so that a
run rewrites it in place), starts a run that keeps undo in a child process,
kills it (SIGKILL) while the run's record says a rewrite in place is under
way, then runs again over the folder (which settles what the record says)
and undoes it. Every file must hold its old bytes or its new ones, never a
mix, after the new run, and its old bytes after the undo; no file of the
user's may be missing. The test suite does the same with small files
(tests/test_crash.py); this takes minutes and several hundred MB of disk.

    python bench/bench_crash.py                  # 6 trials, files of 50-200 MB
    python bench/bench_crash.py --trials 2 --sizes 50 100
    python bench/bench_crash.py --module-dir build   # a build with the probe
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))


def build(build_dir):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "termweave_mira7", "termweave_probe"],
                   check=True, stdout=subprocess.DEVNULL)


def trial(probe, number, sizes, work):
    from crash_support import kill_when, leftovers, make_tree, mixed_files, names, rewriting_in_place
    root = os.path.join(work, f"trial{number}")
    expected = make_tree(root, sizes, [])
    first = "linked0.txt"
    started = time.monotonic()
    caught = kill_when(probe, f"probe.run('content', {root!r}, 'old', 'new', True, {{'undoable': True}})",
                       rewriting_in_place(os.environ["XDG_STATE_HOME"], os.path.join(root, first),
                                          expected[first][0]), timeout=600)
    killed_after = time.monotonic() - started
    missing = set(expected) - names(root)
    result, report = probe.run("content", root, "zzz", "x", True)
    mixed_after_run, left = mixed_files(root, expected), leftovers(root)
    probe.undo(root)
    not_old = [name for name, (old, _) in expected.items()
               if open(os.path.join(root, name), "rb").read() != old]
    shutil.rmtree(root)
    ok = caught and not missing and result is None and not mixed_after_run and not left and not not_old
    print(f"trial {number}: killed after {killed_after:.1f} s, settled: {report['notes'] or 'nothing'}; "
          f"missing {sorted(missing)}, mixed {mixed_after_run}, leftovers {left}, not old after undo {not_old}"
          f" -> {'ok' if ok else 'FAILED'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trials", type=int, default=6)
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 120, 200], help="file sizes in MB")
    parser.add_argument("--module-dir", help="take the module and the probe from here, do not build")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    module_dir = args.module_dir or os.path.join(ROOT, "build-bench")
    if not args.module_dir:
        build(module_dir)
    sys.path[:0] = [module_dir]
    os.environ["XDG_STATE_HOME"] = tempfile.mkdtemp(prefix="tw-crash-state-")
    import termweave_mira7  # noqa: F401  (the probe works on its namespace)
    import _termweave_probe as probe
    work = tempfile.mkdtemp(prefix="tw-crash-")
    rng = random.Random(args.seed)
    try:
        results = [trial(probe, i, [rng.choice(args.sizes) << 20 for _ in range(2)], work)
                   for i in range(args.trials)]
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(os.environ["XDG_STATE_HOME"], ignore_errors=True)
    print(f"{results.count(True)} of {len(results)} trials whole")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
