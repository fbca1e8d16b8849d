"""Child process of the run tests: imports the module and the probe, warms
up the document libraries on a copy of the tree, drops root's rights, then
plans and runs one operation and prints a JSON record of what happened."""
import json
import os
import sys


def exception_record(error):
    return {"type": type(error).__name__, "text": str(error),
            "notes": list(getattr(error, "__notes__", [])),
            "filename": getattr(error, "filename", None)}


def snapshot(root):
    """Every name under root with its bytes' length, content and mtime."""
    found = {}
    for parent, subfolders, filenames in os.walk(root):
        for name in subfolders + filenames:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            content = None
            if os.path.isfile(path) and not os.path.islink(path):
                try:
                    with open(path, "rb") as file:
                        content = file.read().hex()
                except OSError:
                    content = "unreadable"
            found[os.path.relpath(path, root)] = [content, info.st_mtime_ns]
    return found


def walk_order(root):
    """The paths of files and of unlistable folders, as os.walk meets them."""
    order = []
    for parent, _, filenames in os.walk(root, onerror=lambda e: order.append(e.filename)):
        order += [os.path.join(parent, name) for name in filenames]
    return order


def main():
    request = json.loads(sys.argv[1])
    sys.path[:0] = [request["module_dir"], request["probe_dir"]]
    import termweave_mira7  # noqa: F401  (the probe works on its namespace)
    import _termweave_probe as probe

    args = (request["root"], request["old"], request["new"], request["recursive"])
    if request["warm_up"]:
        # The document libraries import some of their parts on first use;
        # after the rights are dropped the interpreter's folder is closed.
        probe.run(request["mode"], request["warm_up"], *args[1:])
    if os.geteuid() == 0:
        # A state folder of the unprivileged user's own: the warm-up's
        # records are root's.
        import tempfile
        state = tempfile.mkdtemp(prefix="tw-state-")
        os.chown(state, 65534, 65534)
        os.environ["XDG_STATE_HOME"] = state
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)

    order = walk_order(request["root"])
    before = snapshot(request["root"])
    items, plan_report = probe.plan(request["mode"], *args)
    after_plan = snapshot(request["root"])
    result, report = probe.run(request["mode"], *args)
    record = {
        "walk_order": order,
        "plan_changed_nothing": before == after_plan,
        "plan": [dict(item, problem=item["problem"] and exception_record(item["problem"]))
                 for item in items],
        "plan_report": {k: v for k, v in plan_report.items() if k not in ("failures", "renamed_folders")},
        "result": None if result is None else type(result).__name__,
        "message": None if result is None else str(result),
        "errors": [exception_record(e) for e in getattr(result, "exceptions", [])],
        "report": {k: v for k, v in report.items() if k not in ("failures", "renamed_folders")},
        "failures": [exception_record(e) for e in report["failures"]],
        "renamed_folders": report["renamed_folders"],
    }
    print(json.dumps(record))


main()
