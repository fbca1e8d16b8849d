"""Benchmark: the module against plain Python doing the same work.

    python bench/run.py                      # every workload, full size
    python bench/run.py text-match-1000 convert-to-regex --rounds 3
    python bench/run.py --scale 0.05         # everything, small, for a quick look
    python bench/run.py --compare bench/results/first-run.json
    python bench/run.py --list

The module is built in Release mode into build-bench/ first (or taken from
--module-dir), with the test probe beside it: the workloads of the window's
preview and run reach the plan through it, and are left out when a
--module-dir has no probe. Each workload generates its data in a temporary folder; in
each round every contender runs once on a fresh copy, in an order that
rotates from round to round, after the copy has been flushed to disk. The
report gives each contender's median time and the ratio module/contender
(the median of the per-round ratios: below 1 the module is faster). The
trees the contenders leave behind are compared after every round, so a
baseline that drifts from the module's behaviour shows up as an error.
Results go to a JSON file that a later run can --compare against.
"""
import argparse
import contextlib
import cProfile
import datetime
import hashlib
import io
import json
import os
import platform
import pstats
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OFFICE = (".docx", ".pptx", ".xlsx")


# --- the module under test -------------------------------------------------------

def build_module(build_dir):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, *generator,
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--config", "Release"], check=True,
                   stdout=subprocess.DEVNULL)
    # The workloads of the window's plan and run reach it through the test probe.
    subprocess.run(["cmake", "--build", build_dir, "--config", "Release", "--target",
                    "termweave_probe"], check=True, stdout=subprocess.DEVNULL)


def build_type(module_dir):
    try:
        with open(os.path.join(module_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
            for line in cache:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return line.split("=", 1)[1].strip() or "(none: unoptimised)"
    except OSError:
        pass
    return "unknown"


def import_module(module_dir):
    sys.path.insert(0, module_dir)
    sys.path.insert(0, HERE)
    import termweave_mira7
    return termweave_mira7


# --- the machine -------------------------------------------------------------------

def cpu_model():
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    return platform.processor() or platform.machine()


def file_system(path):
    """The mount point and type holding path (Linux), else the platform."""
    best = ("", "unknown", "unknown")
    with contextlib.suppress(OSError):
        real = os.path.realpath(path)
        with open("/proc/mounts", encoding="utf-8") as mounts:
            for line in mounts:
                device, point, kind = line.split()[:3]
                inside = real == point or real.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best[0]):
                    best = (point, kind, device)
    return f"{best[1]} on {best[2]} (mounted at {best[0]})" if best[0] else platform.system()


def git_revision():
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + (" (src modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def memory_size():
    with contextlib.suppress(ValueError, OSError, AttributeError):
        return f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.1f} GiB"
    return "unknown"


def load_average():
    with contextlib.suppress(OSError, AttributeError):
        return " ".join(f"{value:.2f}" for value in os.getloadavg())
    return "n/a"


def use_own_state_folder(temp_root):
    """Every run reads the records in the per-user state folder as it starts
    and ends: the module's runs (and their children) keep theirs in an empty
    folder of the benchmark's own, so that what other use left there is not
    measured (on macOS, where that folder follows HOME, it stays the user's)."""
    folder = os.path.join(temp_root, "state")
    os.makedirs(folder)
    os.environ["LOCALAPPDATA" if os.name == "nt" else "XDG_STATE_HOME"] = folder


def describe_machine(temp_root, module_dir):
    sd = shutil.which("sd")
    sd_version = (subprocess.run([sd, "--version"], capture_output=True, text=True).stdout.strip()
                  if sd else "not installed")
    return {
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "memory": memory_size(),
        "os": platform.platform(),
        "python": sys.version.split()[0],
        "file system": file_system(temp_root),
        "module build": build_type(module_dir),
        "revision": git_revision(),
        "sd": sd_version,
        "load average at start": load_average(),
        "state folder": "the benchmark's own, empty at the start",
        "date": datetime.datetime.now().isoformat(timespec="minutes"),
    }


# --- measuring -----------------------------------------------------------------------

def peak_rss():
    """(this process's, its largest child's) peak resident size in bytes."""
    try:
        import resource
    except ImportError:
        return windows_peak_rss(), 0
    unit = 1 if sys.platform == "darwin" else 1024
    return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * unit,
            resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * unit)


def windows_peak_rss():
    import ctypes
    from ctypes import wintypes

    class Counters(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD),
                    ("PeakWorkingSetSize", ctypes.c_size_t),
                    ("WorkingSetSize", ctypes.c_size_t)] + [
                        (name, ctypes.c_size_t) for name in (
                            "QuotaPeakPagedPoolUsage", "QuotaPagedPoolUsage",
                            "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage",
                            "PagefileUsage", "PeakPagefileUsage")]
    counters = Counters(cb=ctypes.sizeof(Counters))
    process = ctypes.windll.kernel32.GetCurrentProcess()
    ctypes.windll.psapi.GetProcessMemoryInfo(process, ctypes.byref(counters), counters.cb)
    return counters.PeakWorkingSetSize


def run_quietly(action, root):
    """Times action(root); the workbook handler's trace goes nowhere."""
    with open(os.devnull, "w", encoding="utf-8") as sink, contextlib.redirect_stdout(sink):
        start = time.perf_counter()
        action(root)
        return time.perf_counter() - start


def measure_here(args, workload, label, root):
    return {"seconds": run_quietly(workload.contenders[label], root)}


def measure_in_child(args, workload, label, root):
    """A fresh process per measurement, so that its peak memory is its own."""
    command = [sys.executable, os.path.abspath(__file__), "--child", workload.name, label, root,
               "--scale", str(args.scale), "--module-dir", args.module_dir]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{workload.name}/{label} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def child_main(args):
    tw = import_module(args.module_dir)
    import workloads
    name, label, root = args.child
    workload = {w.name: w for w in workloads.workloads(tw)}[name]
    before, _ = peak_rss()
    seconds = run_quietly(workload.contenders[label], root)
    after, children = peak_rss()
    print(json.dumps({"seconds": seconds, "peak": max(after - before, children)}))


def modification_times(root):
    return {os.path.relpath(os.path.join(folder, name), root):
            os.lstat(os.path.join(folder, name)).st_mtime_ns
            for folder, _, names in os.walk(root) for name in names}


def snapshot(root, pristine_times):
    """What a run left behind: every path; for every file whether it still
    has its modification time from the data (copies keep it), and the bytes
    of every file that is not an office document (those are saved anew with
    new zip dates, so only their names and times are compared)."""
    state = {}
    for folder, subfolders, files in os.walk(root):
        for name in subfolders:
            state[os.path.relpath(os.path.join(folder, name), root) + os.sep] = None
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            digest = None
            if os.path.splitext(name)[1].lower() not in OFFICE:
                with open(path, "rb") as file:
                    digest = hashlib.file_digest(file, "sha1").hexdigest()
            kept = pristine_times.get(relative) == os.lstat(path).st_mtime_ns
            state[relative] = (digest, "kept" if kept else "written or renamed")
    return state


def sync_disk():
    """Flushes the copy just made, so its writeback is not timed."""
    if hasattr(os, "sync"):
        os.sync()


def tree_size(root):
    return sum(os.path.getsize(os.path.join(folder, name))
               for folder, _, names in os.walk(root) for name in names)


def run_workload(args, workload, temp_root):
    pristine = os.path.join(temp_root, "pristine")
    os.makedirs(pristine)
    start = time.perf_counter()
    workload.make(pristine, args.scale)
    made = time.perf_counter() - start
    size = tree_size(pristine)
    times = modification_times(pristine)
    pristine_state = snapshot(pristine, times) if not workload.mutates else None
    labels = list(workload.contenders)
    rounds = args.rounds or workload.rounds
    results = {label: [] for label in labels}
    scale = f"scale {args.scale:g}, " if args.scale != 1 else ""
    print(f"\n{workload.name}: {workload.title}  ({scale}data made in {made:.1f} s, "
          f"{size / 2**20:.1f} MiB; {rounds} rounds)", flush=True)
    for round_index in range(rounds):
        order = labels[round_index % len(labels):] + labels[:round_index % len(labels)]
        states = {}
        for label in order:
            root = pristine
            if workload.mutates:
                # A neutral name: the chosen folder's own name is searched too.
                root = os.path.join(temp_root, f"copy-{round_index}-{order.index(label)}")
                shutil.copytree(pristine, root, symlinks=True)
            sync_disk()
            measure = measure_in_child if workload.memory else measure_here
            sample = measure(args, workload, label, root)
            results[label].append(sample)
            states[label] = snapshot(root, times)
            if workload.mutates:
                shutil.rmtree(root)
        check_states(workload, {label: states[label] for label in labels}, pristine_state)
        print("  round", round_index + 1, " ".join(
            f"{label}={results[label][-1]['seconds']:.3f}s" for label in labels), flush=True)
    shutil.rmtree(pristine)
    return summarise(workload, results, size)


def check_states(workload, states, pristine_state):
    """Every contender must leave what the module leaves (loading alone
    saves nothing), and a workload without matches must change nothing."""
    first = next(iter(states))
    reference = states[first]
    if pristine_state is not None and reference != pristine_state:
        raise SystemExit(f"{workload.name}: {first} changed files it had no reason to touch")
    for label, state in states.items():
        if state != reference and label != "python-load":
            differing = sorted(set(state.items()) ^ set(reference.items()))[:4]
            raise SystemExit(f"{workload.name}: {label} left another result than {first} "
                             f"(baseline.py out of step?), e.g. {differing}")


def summarise(workload, results, size):
    module = [sample["seconds"] for sample in results.get("module", [])]
    summary = {"title": workload.title, "data bytes": size, "contenders": {}}
    for label, samples in results.items():
        seconds = [sample["seconds"] for sample in samples]
        entry = {"median s": statistics.median(seconds), "min s": min(seconds),
                 "rounds s": seconds}
        if label != "module" and module:
            entry["ratio"] = statistics.median(m / s for m, s in zip(module, seconds))
        peaks = [sample["peak"] for sample in samples if "peak" in sample]
        if peaks:
            entry["peak bytes"] = statistics.median(peaks)
        summary["contenders"][label] = entry
    print_summary(workload.name, summary)
    return summary


def print_summary(name, summary):
    for label, entry in summary["contenders"].items():
        line = f"  {label:<13} median {entry['median s']:9.3f} s   min {entry['min s']:9.3f} s"
        if "ratio" in entry:
            line += f"   module/{label} {entry['ratio']:.2f}"
        if "peak bytes" in entry:
            line += (f"   peak +{entry['peak bytes'] / 2**20:.0f} MiB"
                     f" ({entry['peak bytes'] / summary['data bytes']:.2f}x data)")
        print(line, flush=True)


# --- convert_to_regex, per call ---------------------------------------------------------

def convert_to_regex(pattern):
    return pattern.replace("*", ".*?")


def run_calls(args, tw):
    rounds = args.rounds or 15
    number = max(1000, round(200_000 * args.scale))
    contenders = {"module": tw.convert_to_regex, "python": convert_to_regex}
    if args.only:
        contenders = {label: f for label, f in contenders.items() if label in args.only.split(",")}
    samples = {label: [] for label in contenders}
    print(f"\nconvert-to-regex: convert_to_regex(\"a*b\") per call  ({rounds} rounds of "
          f"{number} calls)", flush=True)
    for round_index in range(rounds):
        labels = list(contenders)
        order = labels[round_index % len(labels):] + labels[:round_index % len(labels)]
        for label in order:
            timer = timeit.Timer('f("a*b")', globals={"f": contenders[label]})
            samples[label].append(timer.timeit(number) / number)
    module = samples.get("module")
    summary = {"title": 'convert_to_regex("a*b") per call', "data bytes": 0, "contenders": {}}
    for label, seconds in samples.items():
        entry = {"median s": statistics.median(seconds), "min s": min(seconds),
                 "rounds s": seconds}
        if label != "module" and module:
            entry["ratio"] = statistics.median(m / s for m, s in zip(module, seconds))
        summary["contenders"][label] = entry
        print(f"  {label:<13} median {entry['median s'] * 1e9:7.1f} ns   min "
              f"{entry['min s'] * 1e9:7.1f} ns" +
              (f"   module/{label} {entry['ratio']:.2f}" if "ratio" in entry else ""))
    return summary


# --- profiling ---------------------------------------------------------------------

def profile_workload(args, workload, temp_root):
    """One run of each contender under cProfile, top functions by own time.
    The module's own C++ time shows up in the caller's line; use perf for it."""
    pristine = os.path.join(temp_root, "pristine")
    os.makedirs(pristine)
    workload.make(pristine, args.scale)
    for label, action in workload.contenders.items():
        root = os.path.join(temp_root, "profiled")
        shutil.copytree(pristine, root, symlinks=True)
        sync_disk()
        profiler = cProfile.Profile()
        with open(os.devnull, "w", encoding="utf-8") as sink, contextlib.redirect_stdout(sink):
            profiler.runcall(action, root)
        report = io.StringIO()
        pstats.Stats(profiler, stream=report).sort_stats("tottime").print_stats(args.profile)
        print(f"\n=== {workload.name} / {label} ===")
        print("\n".join(line for line in report.getvalue().splitlines()[4:] if line.strip()))
        shutil.rmtree(root)
    shutil.rmtree(pristine)


# --- report ------------------------------------------------------------------------

def markdown(run):
    lines = ["| workload | contender | median | min | module/contender | peak memory |",
             "|---|---|---:|---:|---:|---:|"]
    for name, summary in run["workloads"].items():
        unit, factor = ("ns", 1e9) if name == "convert-to-regex" else ("s", 1)
        for label, entry in summary["contenders"].items():
            peak = ""
            if "peak bytes" in entry:
                peak = (f"+{entry['peak bytes'] / 2**20:.0f} MiB "
                        f"({entry['peak bytes'] / summary['data bytes']:.2f}x)")
            ratio = f"{entry['ratio']:.2f}" if "ratio" in entry else ""
            lines.append(f"| {name} | {label} | {entry['median s'] * factor:.3f} {unit} | "
                         f"{entry['min s'] * factor:.3f} {unit} | {ratio} | {peak} |")
    return "\n".join(lines)


def compare(run, old):
    print(f"\nratios module/contender: {old['machine']['date']} ({old['machine']['revision']})"
          f" -> now ({run['machine']['revision']})")
    for name, summary in run["workloads"].items():
        for label, entry in summary["contenders"].items():
            before = old["workloads"].get(name, {}).get("contenders", {}).get(label, {})
            if "ratio" in entry:
                was = f"{before['ratio']:.2f}" if "ratio" in before else "  - "
                print(f"  {name:<22} {label:<13} {was} -> {entry['ratio']:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("workloads", nargs="*", help="names to run (default: all)")
    parser.add_argument("--list", action="store_true", help="list the workloads and stop")
    parser.add_argument("--rounds", type=int, help="rounds per workload (default: its own)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every count and size (e.g. 0.05 for a quick look)")
    parser.add_argument("--module-dir", help="take the built module from here, do not build")
    parser.add_argument("--tmp", help="make the data under this folder (default: system temp)")
    parser.add_argument("--json", help="write results here (default: bench/results/<date>.json)")
    parser.add_argument("--markdown", help="also write the result table here")
    parser.add_argument("--compare", help="a previous results file to compare ratios with")
    parser.add_argument("--profile", type=int, metavar="N",
                        help="instead of timing, profile one run of each contender; top N")
    parser.add_argument("--only", help="run only these contenders, comma-separated "
                        "(e.g. module, for perf record)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        return child_main(args)
    if not args.module_dir:
        args.module_dir = os.path.join(ROOT, "build-bench")
        build_module(args.module_dir)
    args.module_dir = os.path.abspath(args.module_dir)
    tw = import_module(args.module_dir)
    import workloads
    # The workloads of the window's plan are left out when the probe is not
    # beside the module (a --module-dir without it).
    table = {w.name: w for w in workloads.workloads(tw) if w.contenders}
    if args.only:
        keep = args.only.split(",")
        for workload in table.values():
            workload.contenders = {label: action for label, action in workload.contenders.items()
                                   if label in keep}
    names = list(table) + ["convert-to-regex"]
    if args.list:
        for name in names:
            print(f"{name:<24} {table[name].title if name in table else 'per call'}")
        return
    chosen = args.workloads or names
    unknown = [name for name in chosen if name not in names]
    if unknown:
        parser.error(f"unknown workload(s): {', '.join(unknown)}; see --list")

    temp_root = tempfile.mkdtemp(prefix="tw-bench-", dir=args.tmp)
    try:
        use_own_state_folder(temp_root)
        machine = describe_machine(temp_root, args.module_dir)
        print("\n".join(f"{key}: {value}" for key, value in machine.items()), flush=True)
        if args.profile:
            for name in chosen:
                if name in table:
                    profile_workload(args, table[name], temp_root)
            return
        run = {"machine": machine, "scale": args.scale, "workloads": {}}
        for name in chosen:
            run["workloads"][name] = (run_calls(args, tw) if name == "convert-to-regex"
                                      else run_workload(args, table[name], temp_root))
        run["machine"]["load average at end"] = load_average()
    finally:
        shutil.rmtree(temp_root, ignore_errors=True)

    out = args.json or os.path.join(
        HERE, "results", datetime.datetime.now().strftime("%Y-%m-%d-%H%M") + ".json")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w", encoding="utf-8") as file:
        json.dump(run, file, indent=1)
    print(f"\nresults: {out}\n\n{markdown(run)}")
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as file:
            file.write(markdown(run) + "\n")
    if args.compare:
        with open(args.compare, encoding="utf-8") as file:
            compare(run, json.load(file))


if __name__ == "__main__":
    main()
