"""What the command line prints about a failing file stays one line per problem and
a bounded size, whatever the file's names and texts hold: control characters are
escaped as Python writes them, and a long text is quoted as an excerpt (its start
and end), in check's lines, its JSON records and the failure lines of the other
commands."""

import json

import pytest

from test_cli import run
from textgrid_samples import long_text

OVERLAP = [(0.0, 1.5, "a"), (1.0, 2.5, "b"), (2.0, 3.0, "c")]  # two overlaps


def overlapping(name, label="b"):
    items = [(a, b, label if text == "b" else text) for a, b, text in OVERLAP]
    return long_text((0.0, 3.0, [(name, True, items)]))


# (forged character, how the output shows it); a line end in a text reads as LF.
CONTROLS = [
    ("\n", "\\n"), ("\r", "\\n"), ("\r\n", "\\n"), ("\t", "\\t"), ("\x07", "\\x07"),
    ("\x0b", "\\x0b"), ("\x1e", "\\x1e"), ("\x7f", "\\x7f"), ("\x85", "\\x85"),
    ("\u2028", "\\u2028"), ("\u2029", "\\u2029"),
]
FORGED_LINE = 'forged.TextGrid:7: validation: injected'


@pytest.mark.parametrize("control, shown", CONTROLS, ids=[repr(c) for c, _ in CONTROLS])
def test_a_forged_tier_name_keeps_each_problem_on_its_line(tmp_path, control, shown):
    name = f"w{control}{FORGED_LINE}"
    (tmp_path / "forged.TextGrid").write_text(overlapping(name, f"x{control}y"), encoding="utf-8",
                                              newline="")
    expected = "w" + shown + FORGED_LINE
    result = run(["check", "--all", "--quiet", "forged.TextGrid"], tmp_path)
    lines = result.stdout.splitlines()
    assert result.returncode == 1 and len(lines) == 2, result.stdout
    assert all(line.startswith("forged.TextGrid:") and f'tier "{expected}"' in line for line in lines)
    records = run(["check", "--all", "--json", "forged.TextGrid"], tmp_path).stdout.splitlines()
    assert len(records) == 2
    assert all(f'tier "{expected}"' in json.loads(record)["message"] for record in records)
    info = run(["info", "--lenient", "forged.TextGrid"], tmp_path).stdout.splitlines()
    assert len(info) == 2 and info[1].split()[2] == expected.split()[0]
    for command in (["convert", "--to", "short", "--out", "out"], ["table", "--out", "t.csv"]):
        result = run([*command, "--quiet", "forged.TextGrid"], tmp_path)
        assert result.stdout.splitlines() == [
            f"forged.TextGrid: validation: Items 0 and 1 overlap in tier {expected}"]


def test_a_forged_tier_class_is_escaped(tmp_path):
    text = overlapping("words").replace('"IntervalTier"', '"Interval\tTier\x07"')
    (tmp_path / "class.TextGrid").write_text(text, encoding="utf-8")
    result = run(["check", "--quiet", "class.TextGrid"], tmp_path)
    assert result.stdout.splitlines() == [
        'class.TextGrid:10: structure: Unknown tier class: "Interval\\tTier\\x07"']


LENGTH = 2_000_000  # a line far longer than any message should quote
LONG = "".join(chr(ord("a") + k % 26) for k in range(LENGTH - 1)) + "Z"


HEADER = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n'

# (case, file text, what each record's message holds before the text, how many records)
LONG_TEXTS = [
    ("tier class", overlapping("words").replace('"IntervalTier"', f'"{LONG}"'),
     'Unknown tier class: "abc', 1),
    ("tier name", overlapping(LONG), ') overlap in tier "abc', 2),
    ("presence word", HEADER + f'0 3 <{LONG}> 1\n"IntervalTier" "w" 0 3 1 0 3 "a"\n',
     "Free-form TextGrid has <abc", 1),
]


@pytest.mark.parametrize("text, start, count", [case[1:] for case in LONG_TEXTS],
                         ids=[case[0] for case in LONG_TEXTS])
def test_a_long_text_is_quoted_as_a_bounded_excerpt(tmp_path, text, start, count):
    (tmp_path / "long.TextGrid").write_text(text, encoding="utf-8")
    result = run(["check", "--all", "--json", "long.TextGrid"], tmp_path)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(records) == count and len(result.stdout) < 1000 * count
    for record in records:
        assert start in record["message"]
        # The start and the end of the text, joined by an ellipsis, and no more.
        quoted = record["message"][record["message"].index("abc"):]
        assert "\u2026" in quoted and ("Z" in quoted or "wxyz" in quoted)
        assert len(quoted) < 260 and len(record["error"]) < 400
    lines = run(["check", "--all", "--quiet", "long.TextGrid"], tmp_path).stdout.splitlines()
    assert len(lines) == count and all(len(line) < 500 for line in lines)


def test_a_short_text_is_quoted_whole(tmp_path):
    name = "n" * 200  # the longest quoted whole
    (tmp_path / "name.TextGrid").write_text(overlapping(name), encoding="utf-8")
    (record,) = [json.loads(line) for line in
                 run(["check", "--json", "name.TextGrid"], tmp_path).stdout.splitlines()]
    assert f'tier "{name}"' in record["message"] and record["error"].endswith(f"tier {name}")
    (tmp_path / "name.TextGrid").write_text(overlapping(name + "m"), encoding="utf-8")
    (record,) = [json.loads(line) for line in
                 run(["check", "--json", "name.TextGrid"], tmp_path).stdout.splitlines()]
    assert name not in record["message"] and "\u2026" in record["message"]
