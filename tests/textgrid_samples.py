"""Small TextGrid documents for the Python-layer tests, written as long-layout
text by hand so that reading is tested independently of the module's writer."""

import os
import subprocess
import sys
import textwrap

WORDS = ("words", True, [(0.0, 1.25, "hello"), (1.25, 2.5, "wörld ☃")])
EVENTS = ("events", False, [(0.5, 0.5, "click")])
EXAMPLE = (0.0, 2.5, [WORDS, EVENTS])


def long_text(document):
    tmin, tmax, tiers = document
    lines = [
        'File type = "ooTextFile"',
        'Object class = "TextGrid"',
        "",
        f"xmin = {tmin!r}",
        f"xmax = {tmax!r}",
        "tiers? <exists>" if tiers else "tiers? <absent>",
        f"size = {len(tiers)}",
        "item []:",
    ]
    for number, (name, is_interval, items) in enumerate(tiers, 1):
        kind = "intervals" if is_interval else "points"
        lines += [
            f"    item [{number}]:",
            f'        class = "{"IntervalTier" if is_interval else "TextTier"}"',
            f'        name = "{name}"',
            f"        xmin = {tmin!r}",
            f"        xmax = {tmax!r}",
            f"        {kind}: size = {len(items)}",
        ]
        for index, (start, end, label) in enumerate(items, 1):
            lines.append(f"        {kind} [{index}]:")
            if is_interval:
                lines += [f"            xmin = {start!r}", f"            xmax = {end!r}"]
                lines.append(f'            text = "{label}"')
            else:
                lines += [f"            number = {start!r}", f'            mark = "{label}"']
    return "\n".join(lines) + "\n"


def write_long(path, document=EXAMPLE):
    path.write_text(long_text(document), encoding="utf-8")
    return str(path)


def flat_entries(document):
    """The vector form of a document as plain lists, tier by tier."""
    tmins, tmaxs, labels, names, flags = [], [], [], [], []
    for name, is_interval, items in document[2]:
        for start, end, label in items:
            tmins.append(start)
            tmaxs.append(end)
            labels.append(label)
            names.append(name)
            flags.append(is_interval)
    return tmins, tmaxs, labels, names, flags


def panic_of(call):
    """Runs `call`, which must end in the module's internal-failure exception."""
    try:
        call()
    except Exception as error:  # the internal failure must not be an Exception
        raise AssertionError(f"expected PanicException, got {error!r}") from error
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        return error
    raise AssertionError("no PanicException raised")


def run_python(code):
    """Runs `code` in a fresh interpreter that finds the same tavrel."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=60)
