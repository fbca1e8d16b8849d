"""Nothing outside the chosen folder is touched: links are followed only to
files inside it, however the link or the folder is spelled, in every mode."""
import os

import pytest

MODES = {"folders": "replace_folder_names", "files": "replace_file_names", "content": "replace_file_contents"}


@pytest.fixture
def around(tmp_path):
    """chosen/ with links of every spelling, beside chosen_evil/ (a sibling
    whose name extends the chosen folder's) and outside.txt."""
    chosen, evil = tmp_path / "chosen", tmp_path / "chosen_evil"
    (chosen / "sub").mkdir(parents=True)
    evil.mkdir()
    for path in (chosen / "real.txt", evil / "old_evil.txt", tmp_path / "old_outside.txt"):
        path.write_text("old")
    links = {
        "sibling_abs.txt": evil / "old_evil.txt",                      # absolute, to chosen_evil
        "sibling_rel.txt": "../chosen_evil/old_evil.txt",              # relative, to chosen_evil
        "up_and_back.txt": "../chosen/real.txt",                       # '..', back inside
        "sub/up_out.txt": "../../old_outside.txt",                     # '..', out
        "sub/inside_rel.txt": "../real.txt",                           # relative, inside
        "inside_abs.txt": chosen / "real.txt",                         # absolute, inside
        "old_folder_out": evil,                                        # a folder outside
    }
    for name, target in links.items():
        os.symlink(target, chosen / name)
    return tmp_path


def outside_state(root):
    return {name: (root / name).read_text() for name in ("chosen_evil/old_evil.txt", "old_outside.txt")} | {
        "listing": sorted(os.listdir(root / "chosen_evil"))}


@pytest.mark.parametrize("through_link", [False, True])
@pytest.mark.parametrize("mode", MODES)
def test_links_lead_no_run_outside_the_chosen_folder(tw, around, mode, through_link):
    before = outside_state(around)
    root = around / "chosen"
    if through_link:  # the chosen folder itself reached through a link
        os.symlink(root, around / "alias")
        root = around / "alias"
    try:
        getattr(tw, MODES[mode])(str(root), "old", "new", True)
    except ExceptionGroup as group:
        assert mode == "content"
        refused = sorted(os.path.basename(e.__notes__[-1]) for e in group.exceptions)
        assert refused == ["sibling_abs.txt", "sibling_rel.txt", "up_out.txt"]
        assert all(isinstance(e, PermissionError) and "outside the chosen folder" in str(e)
                   for e in group.exceptions)
    else:
        assert mode != "content"
    assert outside_state(around) == before
    # Links stay links, leading where they led.
    assert os.readlink(around / "chosen" / "sibling_rel.txt") == "../chosen_evil/old_evil.txt"
    if mode == "content":
        assert (around / "chosen" / "real.txt").read_text() == "new"
