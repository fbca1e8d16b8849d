"""The benchmark's workloads: the data each one generates and the
contenders that run on it.

A workload makes its data once per benchmark run in a pristine folder;
each measurement then works on a fresh copy (or on the pristine folder
itself when no contender changes anything). Counts are multiplied by the
--scale factor, so a small run keeps the shape of the full one.
"""
import os
import shutil
import subprocess

import baseline

# Every text file line has about this many characters; no word contains
# "old", "nowhere" or "keyword", so only the planted phrases match.
WORDS = ("alpha beta gamma delta report budget summary figure table annex "
         "quarter review draft final plan office letter memo ledger sheet").split()
LINE = 80


def text_lines(seed, count, planted_every=0):
    """count lines of about LINE characters; every planted_every-th line
    holds one "old ... keyword" phrase for the keyword old*keyword."""
    lines = []
    for index in range(count):
        words = []
        position = seed * 7919 + index * 104729
        while sum(len(w) + 1 for w in words) < LINE:
            position = (position * 1103515245 + 12345) % 2**31
            words.append(WORDS[position % len(WORDS)])
        if planted_every and index % planted_every == planted_every // 2:
            words[2:4] = ["old", words[2], "keyword"]
        lines.append(" ".join(words))
    return "\n".join(lines) + "\n"


def scaled(count, scale):
    return max(1, round(count * scale))


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)


# --- data --------------------------------------------------------------------

def make_flat_files(root, scale):
    for index in range(scaled(20_000, scale)):
        open(os.path.join(root, f"old_report_{index:05d}.txt"), "wb").close()


def make_nested_files(root, scale):
    count = scaled(20_000, scale)
    per_leaf = 100
    for index in range(count):
        leaf = index // per_leaf
        folder = os.path.join(root, f"dir_{leaf // 10:02d}", f"sub_{leaf % 10}")
        if index % per_leaf == 0:
            os.makedirs(folder)
        open(os.path.join(folder, f"old_report_{index:05d}.txt"), "wb").close()


def make_many_files(root, scale):
    """100,000 files of about 1 kB in 1,000 folders of 100; one file in a
    hundred is named old_... and holds the phrase once."""
    count = scaled(100_000, scale)
    plain = text_lines(5, 12).encode()
    planted = ("old keyword\n" + text_lines(6, 12)).encode()
    for index in range(count):
        folder = os.path.join(root, f"part_{index // 100:04d}")
        if index % 100 == 0:
            os.makedirs(folder)
        matched = index % 100 == 50
        name = f"{'old' if matched else 'note'}_{index:06d}.txt"
        with open(os.path.join(folder, name), "wb") as file:
            file.write(planted if matched else plain)


def make_many_names(root, scale):
    """100,000 empty files in 1,000 folders of 100, every name matching."""
    count = scaled(100_000, scale)
    for index in range(count):
        folder = os.path.join(root, f"part_{index // 100:04d}")
        if index % 100 == 0:
            os.makedirs(folder)
        open(os.path.join(folder, f"old_note_{index:06d}.txt"), "wb").close()


def make_folders(root, scale):
    # 10 top folders of 500 subfolders: 5,010 folders, every one renamed.
    subs = scaled(500, scale)
    for top in range(10):
        for sub in range(subs):
            os.makedirs(os.path.join(root, f"old_dir_{top}", f"old_sub_{sub:03d}"))


def make_text_files(count, planted):
    def make(root, scale):
        # About 10 kB each, 100 files to a folder.
        total = scaled(count, scale)
        variants = [text_lines(seed, 125, 25 if planted else 0) for seed in range(20)]
        for index in range(total):
            folder = os.path.join(root, f"folder_{index // 100:02d}")
            if index % 100 == 0:
                os.makedirs(folder)
            write_text(os.path.join(folder, f"note_{index:05d}.txt"),
                       f"note {index}\n" + variants[index % len(variants)])
    return make


def make_big_file(planted):
    def make(root, scale):
        size = scaled(200 * 2**20, scale)
        block = text_lines(1, 2**20 // (LINE + 1), 50 if planted else 0).encode()
        with open(os.path.join(root, "big.txt"), "wb") as file:
            written = 0
            while written < size:
                piece = block[:size - written]
                file.write(piece)
                written += len(piece)
    return make


def make_office_files(kinds, count, planted):
    def make(root, scale):
        total = scaled(count, scale)
        makers = {".docx": write_docx, ".pptx": write_pptx, ".xlsx": write_xlsx}
        for ext in kinds:
            sample = os.path.join(root, "sample" + ext)
            makers[ext](sample, planted)
            for index in range(total):
                shutil.copyfile(sample, os.path.join(root, f"file_{index:03d}{ext}"))
            os.unlink(sample)
    return make


def make_distinct_documents(count):
    """count documents and count presentations, each with text of its own
    on the libraries' templates (parts such as styles and layouts shared)."""
    def make(root, scale):
        for index in range(scaled(count, scale)):
            write_docx(os.path.join(root, f"file_{index:03d}.docx"), False, seed=100 + index)
            write_pptx(os.path.join(root, f"file_{index:03d}.pptx"), False, seed=500 + index)
    return make


def office_texts(planted, count, seed=3):
    """count lines, one in seven holding the phrase when planted."""
    return text_lines(seed, count, 7 if planted else 0).splitlines()


def write_docx(path, planted, seed=3):
    doc = baseline.docx.Document()
    for text in office_texts(planted, 30, seed):
        doc.add_paragraph(text)
    table = doc.add_table(rows=5, cols=4)
    for index, cell in enumerate(c for row in table.rows for c in row.cells):
        cell.text = f"cell {index}"
    table.rows[1].cells[2].text = office_texts(planted, 7, seed)[3]
    doc.save(path)


def write_pptx(path, planted, seed=3):
    prs = baseline.Presentation()
    texts = office_texts(planted, 10, seed)
    for index in range(5):
        slide = prs.slides.add_slide(prs.slide_layouts[1])
        slide.shapes.title.text = f"Slide {index}"
        slide.placeholders[1].text = texts[2 * index] + "\n" + texts[2 * index + 1]
    prs.save(path)


def write_xlsx(path, planted):
    from openpyxl import Workbook
    wb = Workbook()
    sheet = wb.active
    texts = office_texts(planted, 40)
    for row in range(40):
        sheet.append([texts[row][:30], row, row * 1.5, f"item {row}", None, texts[row][30:60]])
    wb.save(path)


# --- contenders ----------------------------------------------------------------

def sd_contender(old_keyword, new_keyword):
    """Debian's `sd` on every file of the tree, with the same expression."""
    expression = baseline.convert_to_regex(old_keyword)

    def run(root):
        paths = [os.path.join(folder, name)
                 for folder, _, names in os.walk(root) for name in names]
        for start in range(0, len(paths), 1000):
            subprocess.run(["sd", "--", expression, new_keyword, *paths[start:start + 1000]],
                           check=True)
    return run


def probe_module():
    """The test probe built beside the module (bench/run.py builds it): the
    window's plan and run, which the module keeps out of its namespace."""
    try:
        import _termweave_probe
    except ImportError:
        return None
    return _termweave_probe


def window_run(probe, mode, root, old_keyword, new_keyword, **options):
    """One operation as the window runs it: in a plan when `plan`."""
    options["from_window"] = True
    planning = options.pop("plan", False)
    if planning:
        return probe.plan(mode, root, old_keyword, new_keyword, True, options)
    result, _ = probe.run(mode, root, old_keyword, new_keyword, True, options)
    if isinstance(result, BaseException):
        raise result
    return result


def preview_contenders(old_keyword, new_keyword):
    """The plan a preview shows, then the run it starts, against the same
    run started without a preview, and against a run that decides afresh."""
    probe = probe_module()
    if probe is None:
        return {}
    keywords = ("content", old_keyword, new_keyword)

    def then_run(root, keep):
        kept = probe.kept_decisions() if keep else None
        window_run(probe, keywords[0], root, *keywords[1:], plan=True, kept=kept)
        window_run(probe, keywords[0], root, *keywords[1:], kept=kept)
    return {
        "module": lambda root: then_run(root, True),
        "run-alone": lambda root: window_run(probe, keywords[0], root, *keywords[1:]),
        "afresh": lambda root: then_run(root, False),
    }


def plan_contenders(tw):
    """The plan of a file-name preview, against its plain-Python twin."""
    probe = probe_module()
    if probe is None:
        return {}
    return {
        "module": lambda root: window_run(probe, "files", root, "old", "new", plan=True),
        "python": lambda root: baseline.plan_file_names(root, "old", "new", True),
    }


class Workload:
    """name, what it measures, how its data is made, and its contenders:
    a dict of label -> function(root) run on a copy of the data, the
    module always first."""

    def __init__(self, name, title, make, contenders, mutates=True, memory=False,
                 rounds=5):
        self.name = name
        self.title = title
        self.make = make
        self.contenders = contenders
        self.mutates = mutates
        self.memory = memory
        self.rounds = rounds


def names_contenders(tw, operation):
    module = getattr(tw, operation)
    plain = getattr(baseline, operation)
    return {
        "module": lambda root: module(root, "old", "new", True),
        "python": lambda root: plain(root, "old", "new", True),
    }


def contents_contenders(tw, old_keyword, new_keyword, plain=False, sd=False):
    contenders = {
        "module": lambda root: tw.replace_file_contents(root, old_keyword, new_keyword, True),
        "python": lambda root: baseline.replace_file_contents(
            root, old_keyword, new_keyword, True, synced=True),
    }
    if plain:
        contenders["python-plain"] = lambda root: baseline.replace_file_contents(
            root, old_keyword, new_keyword, True, synced=False)
    if sd and shutil.which("sd"):
        contenders["sd"] = sd_contender(old_keyword, new_keyword)
    return contenders


def workloads(tw):
    match = ("old*keyword", "new keyword")
    nomatch = ("nowhere*keyword", "new keyword")
    office = (".docx", ".pptx", ".xlsx")
    return [
        Workload("file-names-flat", "20,000 file renames, one folder", make_flat_files,
                 names_contenders(tw, "replace_file_names")),
        Workload("file-names-nested", "20,000 file renames, 200 folders of 100",
                 make_nested_files, names_contenders(tw, "replace_file_names")),
        Workload("folder-names", "5,010 folder renames", make_folders,
                 names_contenders(tw, "replace_folder_names")),
        Workload("text-nomatch", "5,000 x 10 kB text, no match",
                 make_text_files(5_000, planted=False),
                 contents_contenders(tw, *nomatch), mutates=False),
        Workload("text-match-1000", "1,000 x 10 kB text, all matching",
                 make_text_files(1_000, planted=True),
                 contents_contenders(tw, *match, plain=True, sd=True)),
        Workload("text-match-5000", "5,000 x 10 kB text, all matching",
                 make_text_files(5_000, planted=True),
                 contents_contenders(tw, *match, plain=True, sd=True), rounds=3),
        Workload("big-nomatch", "one 200 MiB text file, no match", make_big_file(False),
                 contents_contenders(tw, *nomatch), mutates=False, memory=True, rounds=3),
        Workload("big-match", "one 200 MiB text file, matching", make_big_file(True),
                 contents_contenders(tw, *match, plain=True, sd=True), memory=True,
                 rounds=3),
        Workload("office-match", "50 docx + 50 pptx + 50 xlsx, matching",
                 make_office_files(office, 50, planted=True),
                 contents_contenders(tw, *match)),
        Workload("office-nomatch", "50 docx + 50 pptx + 50 xlsx, no match",
                 make_office_files(office, 50, planted=False),
                 contents_contenders(tw, *nomatch)),
        Workload("office-unmatched-load",
                 "50 docx + 50 pptx, keyword nowhere: module vs loading each",
                 make_office_files((".docx", ".pptx"), 50, planted=False),
                 {"module": contents_contenders(tw, *nomatch)["module"],
                  "python-load": lambda root: baseline.load_office_documents(
                      root, *nomatch, True)}),
        Workload("office-unmatched-distinct",
                 "50 docx + 50 pptx of distinct text, keyword nowhere: module vs loading each",
                 make_distinct_documents(50),
                 {"module": contents_contenders(tw, *nomatch)["module"],
                  "python-load": lambda root: baseline.load_office_documents(
                      root, *nomatch, True)},
                 # A fresh process each time: nothing judged in an earlier round is known.
                 mutates=False, memory=True),
        Workload("preview-then-run", "preview then run, 5,000 x 10 kB text, all matching",
                 make_text_files(5_000, planted=True), preview_contenders(*match), rounds=3),
        Workload("names-100k", "100,000 files in 1,000 folders, 1% of names matching",
                 make_many_files, names_contenders(tw, "replace_file_names"), rounds=3),
        Workload("content-100k", "100,000 x 1 kB text in 1,000 folders, 1% matching",
                 make_many_files, contents_contenders(tw, *match), rounds=3),
        Workload("preview-100k", "the plan of a file-name preview of 100,000 items",
                 make_many_names, plan_contenders(tw), mutates=False, rounds=3),
    ]
