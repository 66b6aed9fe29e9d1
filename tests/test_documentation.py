"""The three texts that describe each function agree: the docstrings the module
carries (its signatures and "# Errors"), the type stubs (which the API reference
is generated from) and the README's function table."""

import ast
import inspect
import re
from pathlib import Path

import pytest

import tavrel

ROOT = Path(__file__).parent.parent
STUBS = ast.parse((ROOT / "python" / "tavrel" / "__init__.pyi").read_text(encoding="utf-8"))
STUB_FUNCTIONS = {node.name: node for node in STUBS.body if isinstance(node, ast.FunctionDef)}
EXCEPTION = re.compile(r"\b([A-Z]\w*(?:Error|Exception))\b")
# An exception the "# Errors" list of a docstring says is raised: "* `OSError` - ...".
RAISED = re.compile(r"`([A-Z]\w*(?:Error|Exception))` -")
# The module's own functions, and plot: Python, looked up on first use.
PUBLIC = sorted([name for name in dir(tavrel)
                 if not name.startswith("_") and inspect.isbuiltin(getattr(tavrel, name))] + ["plot"])


def stub_parameters(node):
    """(name, kind, default) of each parameter, defaults as Python values."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(default) for default in args.defaults]
    found = [(arg.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default)
             for arg, default in zip(positional, defaults)]
    found += [(arg.arg, inspect.Parameter.KEYWORD_ONLY,
               inspect.Parameter.empty if default is None else ast.literal_eval(default))
              for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    return found


def runtime_parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


def test_stubs_declare_exactly_the_public_functions():
    assert sorted(name for name in STUB_FUNCTIONS if not name.startswith("_")) == PUBLIC


@pytest.mark.parametrize("name", PUBLIC)
def test_signatures_agree(name):
    assert runtime_parameters(getattr(tavrel, name)) == stub_parameters(STUB_FUNCTIONS[name])


@pytest.mark.parametrize("name", PUBLIC)
def test_stubs_and_docstrings_name_the_same_exceptions(name):
    _, _, errors = getattr(tavrel, name).__doc__.partition("# Errors")
    stub = ast.get_docstring(STUB_FUNCTIONS[name])
    _, _, raises = stub.partition("Raises")
    assert set(RAISED.findall(errors)) == set(EXCEPTION.findall(raises)) != set()


def test_readme_table_gives_the_runtime_signatures():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    rows = dict(re.findall(r"^\| `(\w+)(\(.*?\))` \|", readme, re.M))
    assert set(rows) <= set(PUBLIC) and set(tavrel.__all__) <= set(rows)
    for name, signature in rows.items():
        assert signature == str(inspect.signature(getattr(tavrel, name))), name
