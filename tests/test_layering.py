"""The library's folders include one another in one direction only, as the
README's architecture table states: each folder of src/ may include the
folders listed for it, and nothing else of the library."""
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Folder -> the folders its headers and sources may include (its own
# included). decode's sources also reach mdf/blocks: they build rules from
# channel blocks and read the records of a data group; its headers do not.
ALLOWED = {
    "log": set(),
    "streams": {"log"},
    "containers": {"streams", "log"},
    "decode": {"streams", "log"},
    "mdf/blocks": {"decode", "streams", "log"},
    "mdf": {"mdf/blocks", "decode", "streams", "log"},
    "python": {"mdf", "mdf/blocks", "decode", "containers", "streams", "log"},
}
SOURCES_ALSO = {"decode": {"mdf/blocks"}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(path):
    """The folder of a path relative to src/ ("mdf/blocks/x.h" ->
    "mdf/blocks")."""
    parts = pathlib.PurePosixPath(path).parts
    if parts[:2] == ("mdf", "blocks"):
        return "mdf/blocks"
    return parts[0]


def test_every_include_points_down_the_table():
    files = sorted(p for p in SRC.rglob("*") if p.suffix in (".h", ".cpp"))
    assert len(files) > 50
    wrong = []
    for path in files:
        relative = path.relative_to(SRC).as_posix()
        own = folder_of(relative)
        allowed = ALLOWED[own] | {own}
        if path.suffix == ".cpp":
            allowed |= SOURCES_ALSO.get(own, set())
        for target in INCLUDE.findall(path.read_text()):
            if not (SRC / target).is_file():
                continue  # a system or third-party header
            if folder_of(target) not in allowed:
                wrong.append("%s includes %s" % (relative, target))
    assert wrong == []


def test_the_readme_table_names_every_folder():
    readme = (SRC.parent / "README.md").read_text()
    for folder in ALLOWED:
        assert "| `src/%s/` |" % folder in readme, folder
