"""The module object: registration, caching, docstrings, signatures,
PanicException's lazy creation, sub-interpreter refusal and the type stubs."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tavrel
from textgrid_samples import run_python

FUNCTIONS = [
    "textgrid2vectors",
    "textgrids2vectors",
    "textgrid2data",
    "textgrids2data",
    "data2textgrid",
    "vectors2textgrid",
]
PARAMETERS = {
    "textgrid2vectors": ["file", "strict", "file_type"],
    "textgrids2vectors": ["files", "strict", "file_type"],
    "textgrid2data": ["file", "strict", "file_type"],
    "textgrids2data": ["files", "strict", "file_type"],
    "data2textgrid": ["data", "tmin", "tmax", "output_file", "file_type"],
    "vectors2textgrid": ["tmins", "tmaxs", "labels", "tier_names", "is_intervals", "tmin",
                         "tmax", "output_file", "file_type"],
}
KEYWORD_ONLY = {name: [("encoding", "utf-8")] for name in
                ("textgrid2vectors", "textgrids2vectors", "textgrid2data", "textgrids2data")}
STUBS = Path(__file__).resolve().parent.parent / "python" / "tavrel"


def test_all_lists_the_functions_in_registration_order():
    assert tavrel.__all__ == FUNCTIONS
    assert "PanicException" not in tavrel.__all__


def test_module_docstring():
    assert tavrel.__doc__.startswith("Python module for TextGrid file manipulation.\n")
    assert "\n\n" not in tavrel.__doc__  # one paragraph
    for phrase in ("long", "short", "batch"):
        assert phrase in tavrel.__doc__


def test_reimport_yields_the_same_module():
    first = tavrel
    assert importlib.import_module("tavrel") is first
    del sys.modules["tavrel"]
    try:
        again = importlib.import_module("tavrel")
    finally:
        sys.modules["tavrel"] = first
    assert again is first


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object(name):
    function = getattr(tavrel, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "tavrel"
    assert function.__self__ is tavrel
    parameters = list(inspect.signature(function).parameters.values())
    positional = [p for p in parameters if p.kind is not inspect.Parameter.KEYWORD_ONLY]
    assert [p.name for p in positional] == PARAMETERS[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in positional)
    # Beyond them, the reading functions take only the encoding, by keyword.
    assert [(p.name, p.default) for p in parameters[len(positional):]] == KEYWORD_ONLY.get(name, [])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_sections(name):
    doc = getattr(tavrel, name).__doc__
    assert not doc.startswith(name)  # the signature line went to __text_signature__
    headings = ["# Arguments", "# Returns", "# Errors"]
    if name in ("data2textgrid", "vectors2textgrid"):
        headings.append("# Type Conversions")
    if name == "vectors2textgrid":
        headings.append("# Notes")
    positions = [doc.index(heading) for heading in headings]
    assert positions == sorted(positions)
    assert doc.index("# Arguments") > 0  # a statement of purpose comes first


def test_panic_exception_is_reached_lazily_and_is_a_base_exception():
    before = run_python("""
        import tavrel
        print('PanicException' in vars(tavrel))
        cls = tavrel.PanicException
        print(cls.__bases__ == (BaseException,), cls is tavrel.PanicException, bool(cls.__doc__))
    """)
    assert before.returncode == 0, before.stderr
    assert before.stdout.split() == ["False", "True", "True", "True"]


def test_unknown_attribute_raises_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'nonexistent'"):
        tavrel.nonexistent
    assert not hasattr(tavrel, "PySliceContainer")


def test_importing_does_not_import_numpy():
    result = run_python("""
        import sys, tavrel
        print('numpy' in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_second_interpreter_is_refused():
    result = run_python("""
        import tavrel
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable")
            raise SystemExit
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import tavrel")
        except Exception as error:
            print("refused", error)
        else:
            print("loaded")
    """)
    if result.stdout.strip() == "unavailable":
        pytest.skip("no sub-interpreter support in this Python")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused")
    # Python 3.12 and later refuse the single-phase module in a sub-interpreter
    # themselves ("subinterpreters"), before the module's own check ("sub-interpreters").
    assert "ImportError" in result.stdout
    assert "sub-interpreters" in result.stdout or "subinterpreters" in result.stdout


def stub_functions():
    tree = ast.parse((STUBS / "__init__.pyi").read_text())
    return {node.name: [a.arg for a in node.args.args]
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_match_the_module():
    functions = stub_functions()
    assert {name: functions[name] for name in FUNCTIONS} == PARAMETERS
    assert "PanicException" in (STUBS / "__init__.pyi").read_text()


def test_mypy_accepts_correct_use_and_rejects_wrong_use(tmp_path):
    # Run through this interpreter: a mypy elsewhere on PATH (another venv's)
    # would not be the one invoked.
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed for this interpreter")
    snippet = tmp_path / "use.py"
    snippet.write_text(textwrap.dedent("""
        import numpy as np
        import numpy.typing as npt
        import tavrel

        tmin, tmax, tiers = tavrel.textgrid2data("a.TextGrid", True, "long")
        first: float = tmin + tmax
        for name, is_interval, items in tiers:
            label: str = items[0][2]
        tmins, tmaxs, labels, names, flags, ids = tavrel.textgrids2vectors(["a"], False, "auto")
        starts: npt.NDArray[np.float64] = tmins
        numbers: npt.NDArray[np.uint32] = ids
        tavrel.vectors2textgrid(tmins, tmaxs, labels, names, flags, None, 2.0, "o", "short")
        try:
            tavrel.data2textgrid(tiers, None, None, "o", "long")
        except tavrel.PanicException:
            pass
        wrong: int = tavrel.textgrid2data("a.TextGrid", True, "long")
    """))
    env = dict(os.environ, MYPYPATH=str(STUBS.parent))
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(snippet)],
                            capture_output=True, text=True, env=env, timeout=300)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, result.stdout
    assert "use.py:18:" in errors[0] and "Incompatible types in assignment" in errors[0]


def test_module_is_a_package_also_where_the_import_system_gave_it_no_path(monkeypatch):
    # Editable installs load the module through a finder that sets no __path__.
    folder = os.path.dirname(tavrel.__file__)
    assert tavrel.__path__ == [folder]
    monkeypatch.delattr(tavrel, "__path__")
    assert tavrel.__path__ == [folder]
    monkeypatch.delattr(tavrel, "__path__")
    monkeypatch.delattr(tavrel, "__file__")
    assert not hasattr(tavrel, "__path__")
