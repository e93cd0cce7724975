"""The fixtures of the C++ tests: every folder under tests/cpp/fixtures/
holds exactly the files that its generator, make_fixtures.py, writes. A
generator's build() gives them as {file name: bytes}; run as a script, it
writes them into its folder, or into the folder named as its argument."""
import importlib.util
import pathlib
import sys

FIXTURES = pathlib.Path(__file__).resolve().parents[1] / "cpp" / "fixtures"
FOLDERS = ("blocks", "containers", "decode", "mdf")
GENERATOR = "make_fixtures.py"


def load_generator(folder):
    """The make_fixtures.py module of a fixture folder."""
    found = importlib.util.spec_from_file_location(
        "make_%s_fixtures" % folder, FIXTURES / folder / GENERATOR)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def committed(folder):
    """The names of the fixture files in a folder."""
    return {p.name for p in (FIXTURES / folder).iterdir()
            if p.is_file() and p.name != GENERATOR}


def write(files, folder):
    """A generator's command line: writes {name: bytes} into the folder
    given as the first argument, or into `folder`."""
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else folder
    for name, content in files.items():
        (out / name).write_bytes(content)


def truth_text(groups, line):
    """The ground truth of a fixture file: "dg N" before the messages of
    data group N, then one line per message as `line` writes it."""
    lines = []
    for index, messages in enumerate(groups):
        lines.append("dg %d" % index)
        lines.extend(line(m) for m in messages)
    return ("\n".join(lines) + "\n").encode()
