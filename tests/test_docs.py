"""Every code example of the documentation site runs as shown.

Each page runs in a fresh empty folder, its examples in order: ```python blocks in
one namespace (later blocks use what earlier ones made), and ```console blocks as
commands (`$ tavrel ...`) whose combined output must be the text shown under them.
A page names what it needs beyond the module in a comment: <!-- needs: pyarrow -->.
Blocks that include a file of the repository (`--8<--`) are that file, tested on
its own.
"""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import tavrel

DOCS = Path(__file__).parent.parent / "docs"
PAGES = sorted(DOCS.glob("*.md"))
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.S | re.M)
NEEDS = re.compile(r"<!-- needs: ([\w, .-]+) -->")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep)
    if entry))


def examples(page):
    for language, body in FENCE.findall(page.read_text(encoding="utf-8")):
        if language in ("python", "console") and "--8<--" not in body:
            yield language, body


def _takes_path_objects():
    try:
        tavrel.textgrid2data(Path("no such file.TextGrid"), False, "auto")
    except TypeError:
        return False
    except OSError:
        return True


def _reads_quoted_texts(folder):
    path = str(folder / "quoted.TextGrid")
    tavrel.data2textgrid([("t", True, [(0.0, 1.0, 'say "hi"')])], None, None, path, "long")
    return tavrel.textgrid2data(path, False, "long")[2][0][2][0][2] == 'say "hi"'


# Features of the module that pages rely on, each with a probe: the lead merges them
# from other branches, and a page waits for them with a clear reason.
FEATURES = {
    "path-objects": lambda folder: _takes_path_objects(),
    "quoted-texts": _reads_quoted_texts,
}


def require(needs, folder):
    for need in needs:
        if need in FEATURES:
            if not FEATURES[need](folder):
                pytest.skip(f"this build lacks the feature {need!r} that the page shows")
        else:
            pytest.importorskip(need)


def run_console(body, cwd):
    """Runs each `$ command` of a console block; its output must be the lines shown."""
    for command, expected in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n?)*)", body, re.M):
        args = shlex.split(command)
        env = dict(ENV)
        while "=" in args[0]:  # NAME=value before the command
            name, _, value = args.pop(0).partition("=")
            env[name] = value
        assert args[0] == "tavrel", f"console examples run tavrel only: {command}"
        result = subprocess.run([sys.executable, "-m", "tavrel", *args[1:]], cwd=cwd, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=120)
        assert result.stdout.rstrip() == expected.rstrip(), command


def test_pages_exist_and_have_examples():
    names = {page.name for page in PAGES}
    assert {"index.md", "cli.md", "tables.md", "forms.md", "api.md"} <= names
    assert sum(1 for page in PAGES for _ in examples(page)) >= 15
    # Shell blocks are not run here: they may only install packages or start the
    # repository's scripts (bench/, examples/, the wheel builder that CI runs) or
    # draw the docs' picture of an example file, which have tests of their own.
    for page in PAGES:
        for language, body in FENCE.findall(page.read_text(encoding="utf-8")):
            if language == "sh":
                for line in filter(None, body.splitlines()):
                    assert re.match(r"(pip install |python (bench|examples)/|tools/build-wheels |tavrel plot examples/)", line), line


@pytest.mark.parametrize("page", PAGES, ids=[page.stem for page in PAGES])
def test_examples_run(page, tmp_path, monkeypatch):
    text = page.read_text(encoding="utf-8")
    require([need.strip() for found in NEEDS.findall(text) for need in found.split(",")], tmp_path)
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": f"docs_{page.stem}"}
    for number, (language, body) in enumerate(examples(page), 1):
        try:
            if language == "python":
                exec(compile(body, f"{page.name}, example {number}", "exec"), namespace)
            else:
                run_console(body, tmp_path)
        except AssertionError as error:
            raise AssertionError(f"{page.name}, example {number}: {error}") from error


def test_performance_plot(tmp_path):
    """bench/plot.py draws run.py's records, peers (no pool size) included, and refuses
    records without the fields it plots."""
    pytest.importorskip("matplotlib")
    import json

    records = [{"case": case, "layout": layout, "threads": threads, "ratio": ratio,
                "baseline": baseline}
               for layout in ("long", "short")
               for case, threads, ratio, baseline in [
                   ("textgrid2data", 1, 4.5, "bare read"), ("textgrid2data", 2, 2.5, "bare read"),
                   ("praatio read", None, 60.0, "bare read"),
                   ("data2textgrid", 1, 1.5, "bare write")]]
    results = tmp_path / "results.json"
    results.write_text(json.dumps(records))
    script = Path(__file__).parent.parent / "bench" / "plot.py"
    done = subprocess.run([sys.executable, str(script), str(results), "--out",
                           str(tmp_path / "plot.png"), "--markdown"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "plot.png").read_bytes()[:4] == b"\x89PNG"
    assert "| praatio read | long | - | 60.00 | bare read |" in done.stdout

    results.write_text(json.dumps([{"case": "x", "layout": "long", "ratio": 1.0}]))
    done = subprocess.run([sys.executable, str(script), str(results), "--out",
                           str(tmp_path / "bad.png")], capture_output=True, text=True)
    assert done.returncode != 0 and "lacks ['baseline', 'threads']" in done.stderr


ROOT = DOCS.parent
EXAMPLE = ROOT / "examples" / "data" / "example_long.TextGrid"
# Where pages list the columns of a table: (page, text before the list, text after it, table).
COLUMN_LISTS = [
    ("tables.md", "| column | type | content |", "\n\n", "items"),
    ("tables.md", "Table columns:", "The rows", "items"),
    ("tables.md", "Report columns:", "A damaged file", "reports"),
    ("cli.md", "The columns are those of", "CSV and TSV", "items"),
    ("dask.md", "[`textgrids2table`](tables.md) (", "), with", "items"),
]


def listed_columns(text):
    """Column names in backticks; only the first cell of a table row names one."""
    text = "\n".join(line.split("|")[1] if line.startswith("|") else line for line in text.splitlines())
    while re.search(r"\([^()]*\)", text):
        text = re.sub(r"\([^()]*\)", "", text)  # asides: types, values, functions
    names = re.findall(r"`([a-z_]+)`", text)
    return list(dict.fromkeys(names))


@pytest.mark.parametrize("page, before, after, which", COLUMN_LISTS,
                         ids=[f"{page}:{before[:20]}" for page, before, _, _ in COLUMN_LISTS])
def test_column_lists_are_a_real_tables_columns(page, before, after, which):
    pa = pytest.importorskip("pyarrow")
    table = tavrel.textgrids2table([str(EXAMPLE)])
    real = pa.table(table if which == "items" else table.reports).column_names
    text = (DOCS / page).read_text(encoding="utf-8")
    start = text.index(before) + len(before)
    assert listed_columns(text[start:text.index(after, start)]) == real


def test_readme_opens_with_the_two_commands_and_its_example_runs_after_them(tmp_path, monkeypatch):
    import ast
    import shutil

    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert readme.startswith("# tavrel\n\n```sh\npip install . && python examples/quickstart.py\n"
                             "pip install '.[test]' && python -m pytest\n```\n")
    blocks = [body for language, body in FENCE.findall(readme) if language == "python"]
    # `pip install .` installs the module and NumPy, nothing more.
    standard = getattr(sys, "stdlib_module_names", None)
    for node in (node for body in blocks for node in ast.walk(ast.parse(body))):
        names = ([alias.name for alias in node.names] if isinstance(node, ast.Import) else
                 [node.module] if isinstance(node, ast.ImportFrom) else [])
        for name in names:
            top = name.split(".")[0]
            assert top in ("tavrel", "numpy") or (standard is None or top in standard), name
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    for number, body in enumerate(blocks, 1):
        exec(compile(body, f"README.md, example {number}", "exec"), {"__name__": "readme"})


def test_module_help_names_every_public_function_and_class():
    doc = tavrel.__doc__
    assert doc.splitlines()[0] == "Python module for TextGrid file manipulation."
    listed = re.findall(r"^  (\w+) ", doc, re.M)
    public = [name for name in dir(tavrel) if not name.startswith("_") and callable(getattr(tavrel, name))]
    assert set(public) | {"plot", "sources", "PanicException"} == set(listed)
    assert all(getattr(tavrel, name) is not None for name in listed)
    assert tavrel.__all__ == ["textgrid2vectors", "textgrids2vectors", "textgrid2data", "textgrids2data",
                              "data2textgrid", "vectors2textgrid"]


def test_docs_picture_is_made_by_the_documented_command(tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    index = (DOCS / "index.md").read_text(encoding="utf-8")
    source, options, out = re.search(r"^tavrel plot (examples/\S+) (.*)--out (docs/img/\S+\.png)$", index,
                                     re.M).groups()
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert f"`tavrel plot {source} {options}--out {out}`" in readme and f"]({out})" in readme
    assert f"](img/{Path(out).name})" in index
    done = subprocess.run([sys.executable, "-m", "tavrel", "plot", str(ROOT / source), *options.split(), "--out",
                           str(tmp_path / "made.png")], env=ENV, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert imread(tmp_path / "made.png").shape == imread(ROOT / out).shape


def test_built_site_shows_the_picture(tmp_path):
    pytest.importorskip("mkdocs")
    site = tmp_path / "site"
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "-q", "-d", str(site)],
                          cwd=ROOT, env=ENV, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert 'src="img/aligner.png"' in (site / "index.html").read_text(encoding="utf-8")
    assert (site / "img" / "aligner.png").read_bytes() == (DOCS / "img" / "aligner.png").read_bytes()
