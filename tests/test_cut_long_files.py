"""A long-layout file cut off inside an item (after its section line and some, not all, of
its lines) is refused as a structure fault in every mode and by every reader, saying on
which line the text ends; cuts the lenient rules settle (right after a section line, after
whole items, inside a label) read as they always have."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import tavrel
from support import panic_message

pa = pytest.importorskip("pyarrow")

REAL = (Path(__file__).parent / "data" / "realcorpus"
        / "YannickJadoul+Parselmouth__tests_data_the_north_wind_and_the_sun.TextGrid")
LINES = REAL.read_bytes().decode().splitlines()


def cut(keep, tail="", spelling="usual", newline="\n"):
    """The first `keep` lines of the real file, then `tail` (a part of the next line)."""
    lines = LINES[:keep]
    if spelling == "spaced":  # a spelling the one-pass loops leave to the general path
        lines = [line.replace(" = ", "  =  ") for line in lines]
    text = newline.join(lines) + newline + tail
    return text.encode()


# (lines kept, part of the next line, the line the text ends on, what is missing)
INSIDE = [
    (16, "", 16, "an interval of tier 1 whose xmax and text lines are missing"),
    (17, "", 17, "an interval of tier 1 whose text line is missing"),
    (20, "            xm", 21, "an interval of tier 1 whose xmax and text lines are missing"),
    (20, "            xmax = 0.088", 21, "an interval of tier 1 whose text line is missing"),
    (76, "", 76, "an interval of tier 1 whose xmax and text lines are missing"),
    (77, "", 77, "an interval of tier 1 whose text line is missing"),
    (86, "", 86, "a point of tier 2 whose mark line is missing"),
    (101, "   ", 102, "a point of tier 2 whose mark line is missing"),
]
SPELLINGS = [("usual", "\n"), ("usual", "\r\n"), ("spaced", "\n")]


def message(line, missing):
    return f"Long TextGrid ended early: the text ends on line {line}, inside {missing}"


def run_check(args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
    return subprocess.run([sys.executable, "-m", "tavrel", "check", "--quiet", *args], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("spelling, newline", SPELLINGS)
@pytest.mark.parametrize("keep, tail, line, missing", INSIDE)
def test_cut_inside_an_item_is_a_structure_fault(tmp_path, keep, tail, line, missing, spelling,
                                                 newline):
    data = cut(keep, tail, spelling, newline)
    path = tmp_path / "cut.TextGrid"
    path.write_bytes(data)
    expected = message(line, missing)
    for strict in (False, True):
        for file_type in ("auto", "long"):
            assert panic_message(lambda: tavrel.textgrid2data(str(path), strict, file_type)) == expected
        assert panic_message(lambda: tavrel.textgrid2vectors(str(path), strict, "auto")) == expected
        assert panic_message(lambda: tavrel.loads(data, strict)) == expected
        reports = tavrel.textgrids2table([str(path), str(REAL)], strict).reports
        first, second = pa.table(reports).to_pylist()
        assert (first["ok"], first["error_kind"], first["line"]) == (False, "structure", line)
        assert first["error"] == expected and second["ok"]
        assert tavrel._diagnose([str(path)], strict)[0][0][:2] == ("structure", line)


@pytest.mark.parametrize("lenient", [[], ["--lenient"]])
def test_check_refuses_a_cut_item(tmp_path, lenient):
    (tmp_path / "cut.TextGrid").write_bytes(cut(17))
    result = run_check([*lenient, "cut.TextGrid"], tmp_path)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"cut.TextGrid:17: structure: {message(17, 'an interval of tier 1 whose text line is missing')}"]


# Cuts the lenient rules settle: what a lenient read gives, tier by tier (name, item count,
# last item), and whether a strict read passes.
SETTLED = [
    (15, "", [("phonemes", 1, (0.0, 0.0, ""))]),  # right after a section line
    (23, "", [("phonemes", 3, (0.0, 0.0, ""))]),
    (18, "", [("phonemes", 1, (0.0, 0.06834975785384344, ""))]),  # after whole items
    (78, "", [("phonemes", 16, (1.1414251864114717, 1.283265306122449, "n"))]),
    (90, "", [("phonemes", 16, None), ("syllable nuclei", 2, (0.22258122800352595,) * 2 + ("North",))]),
    (21, '            text = "\u00f0', [("phonemes", 2, (0.06834975785384344, 0.08867687921858255,
                                                    "\u00f0"))]),  # a label never closed
    (21, '            text = "a\nb\n', [("phonemes", 2, (0.06834975785384344, 0.08867687921858255,
                                                     "a"))]),
]


@pytest.mark.parametrize("spelling, newline", SPELLINGS)
@pytest.mark.parametrize("keep, tail, tiers", SETTLED)
def test_cuts_the_lenient_rules_settle_read_as_before(tmp_path, keep, tail, tiers, spelling, newline):
    data = cut(keep, tail, spelling, newline)
    path = tmp_path / "cut.TextGrid"
    path.write_bytes(data)
    _, _, read = tavrel.textgrid2data(str(path), False, "auto")
    assert [(name, len(items)) for name, _, items in read] == [(name, count) for name, count, _ in tiers]
    for (_, _, items), (_, _, last) in zip(read, tiers):
        assert last is None or items[-1] == last
    rows = pa.table(tavrel.textgrids2table([str(path)])).to_pylist()
    assert [(r["tmin"], r["tmax"], r["label"]) for r in rows] == [
        item for _, _, items in read for item in items]
    assert tavrel._diagnose([str(path)], False) == [[]]
    with pytest.raises(OSError):  # the declared counts disagree
        tavrel.textgrid2data(str(path), True, "auto")
    assert tavrel._diagnose([str(path)], True)[0][0][0] == "validation"
