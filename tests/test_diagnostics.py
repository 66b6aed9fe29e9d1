"""Problems told where they are: for a table of faults in both layouts, the
line of the offending value, item or tier header, the tier and item numbers as
the file gives them, in the reports, in `check` (path:line: kind: message) and
in its JSON records; the six functions' messages stay as they were."""

import json
import os
import subprocess
import sys

import pytest

import tavrel

pa = pytest.importorskip("pyarrow")

HEADER = ['File type = "ooTextFile"', 'Object class = "TextGrid"', ""]


class Grid:
    """A TextGrid written line by line, remembering where each value stands."""

    def __init__(self, tiers, tmin=0, tmax=10, size=None):
        self.tiers, self.tmin, self.tmax = tiers, tmin, tmax
        self.size = len(tiers) if size is None else size

    def long(self):
        lines, marks = list(HEADER), {}

        def put(mark, line):
            lines.append(line)
            marks[mark] = len(lines)
        put("tmin", f"xmin = {self.tmin}")
        put("tmax", f"xmax = {self.tmax}")
        lines.append("tiers? <exists>")
        put("size", f"size = {self.size}")
        lines.append("item []:")
        for t, tier in enumerate(self.tiers):
            interval = tier.get("class", "IntervalTier") == "IntervalTier"
            word = "intervals" if interval else "points"
            put(("tier", t), f"    item [{t + 1}]:")
            put(("class", t), f'        class = "{tier.get("class", "IntervalTier")}"')
            lines.append(f'        name = "{tier["name"]}"')
            put(("tier_tmin", t), f"        xmin = {tier.get('tmin', 0)}")
            put(("tier_tmax", t), f"        xmax = {tier.get('tmax', 10)}")
            put(("tier_size", t), f"        {word}: size = {tier.get('size', len(tier['items']))}")
            for i, (a, b, label) in enumerate(tier["items"]):
                put(("item", t, i), f"        {word} [{i + 1}]:")
                if interval:
                    lines += [f"            xmin = {a}", f"            xmax = {b}"]
                else:
                    lines.append(f"            number = {a}")
                put(("label", t, i), f'            {"text" if interval else "mark"} = "{label}"')
        return lines, marks

    def short(self):
        lines, marks = list(HEADER), {}

        def put(mark, line):
            lines.append(str(line))
            marks[mark] = len(lines)
        put("tmin", self.tmin)
        put("tmax", self.tmax)
        lines.append("<exists>")
        put("size", self.size)
        for t, tier in enumerate(self.tiers):
            interval = tier.get("class", "IntervalTier") == "IntervalTier"
            put(("class", t), f'"{tier.get("class", "IntervalTier")}"')
            marks[("tier", t)] = len(lines)
            lines.append(f'"{tier["name"]}"')
            put(("tier_tmin", t), tier.get("tmin", 0))
            put(("tier_tmax", t), tier.get("tmax", 10))
            put(("tier_size", t), tier.get("size", len(tier["items"])))
            for i, (a, b, label) in enumerate(tier["items"]):
                put(("item", t, i), a)
                if interval:
                    lines.append(str(b))
                put(("label", t, i), f'"{label}"')
        return lines, marks


WORDS = [(0, 1, "a"), (1, 2.5, "b"), (2.5, 4, "c")]
POINTS = [(1, 1, "p"), (2, 2, "q")]


def words(items=WORDS, **fields):
    return dict(name="words", items=items, **fields)


# (fault, grid, where (a mark), kind, tier, item, message part, layouts).
FAULTS = [
    ("overlap", Grid([words([(0, 1, "a"), (1, 2.5, "b"), (2, 3, "c")])]), ("item", 0, 2),
     "validation", 1, 3, 'intervals [2] (1\u20132.5) and [3] (2\u20133) overlap in tier "words"',
     "both"),
    ("points out of order", Grid([words(), dict(name="bell", items=[(2, 2, "p"), (1.5, 1.5, "q")],
                                                  **{"class": "TextTier"})]),
     ("item", 1, 1), "validation", 2, 2, 'points [1] (2) and [2] (1.5) are out of time order in tier "bell"',
     "both"),
    ("item times reversed", Grid([words([(0, 1, "a"), (3, 2, "b")])]), ("item", 0, 1), "validation", 1, 2,
     'intervals [2] (3\u20132) in tier "words": ends at 2, not after its start 3', "both"),
    ("negative item time", Grid([words([(-1, 1, "a")])]), ("item", 0, 0), "validation", 1, 1,
     'intervals [1] (-1\u20131) in tier "words": starts at -1, before 0', "both"),
    # An end at 0 is no negative time: what is wrong is that it comes before the start.
    ("item ends at 0", Grid([words([(0, 0.5, "a"), (0.5051115439848715, 0, "b")])]), ("item", 0, 1),
     "validation", 1, 2, "ends at 0, not after its start 0.5051115439848715", "both"),
    ("empty tier span", Grid([words([], tmin=0, tmax=0)]), ("tier_tmax", 0), "validation", 1, None,
     'tier "words" (0\u20130): ends at 0, not after its start 0', "both"),
    ("negative tier end", Grid([words([], tmin=0, tmax=-2)]), ("tier_tmax", 0), "validation", 1, None,
     "ends at -2, not after its start 0", "both"),
    ("negative grid start", Grid([words()], tmin=-0.5), "tmin", "validation", None, None,
     "TextGrid (-0.5\u201310): starts at -0.5, before 0", "both"),
    ("tier size", Grid([words(size=4)]), ("tier_size", 0), "validation", 1, None,
     'tier "words" declares 4 intervals but holds 3', "long"),
    ("grid size", Grid([words()], size=2), "size", "validation", None, None,
     "the TextGrid declares 2 tiers but holds 1", "long"),
    ("grid bounds", Grid([words()], tmin=5, tmax=2), "tmax", "validation", None, None,
     "TextGrid (5\u20132): ends at 2, not after its start 5", "both"),
    ("tier bounds", Grid([words(tmin=4, tmax=1)]), ("tier_tmax", 0), "validation", 1, None,
     'tier "words" (4\u20131): ends at 1, not after its start 4', "both"),
    ("unknown class", Grid([words(**{"class": "IntervalTeir"})]), ("class", 0), "structure", 1, None,
     "Unknown tier class", "both"),
]


def write(tmp_path, grid, layout, name="fault.TextGrid"):
    lines, marks = grid.long() if layout == "long" else grid.short()
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path, lines, marks


def cases():
    for fault, grid, mark, kind, tier, item, message, layouts in FAULTS:
        for layout in ("long", "short"):
            if layouts in ("both", layout):
                yield pytest.param(grid, layout, mark, kind, tier, item, message, id=f"{fault}-{layout}")


@pytest.mark.parametrize("grid, layout, mark, kind, tier, item, message", list(cases()))
def test_fault_is_placed(tmp_path, grid, layout, mark, kind, tier, item, message):
    path, lines, marks = write(tmp_path, grid, layout)
    ((found_kind, line, found_tier, found_item, text),) = tavrel._diagnose([str(path)], True)[0]
    assert (found_kind, line, found_tier, found_item) == (kind, marks[mark], tier, item), lines
    assert message in text
    report = pa.table(tavrel.textgrids2table([str(path)], strict=True).reports).to_pylist()[0]
    assert (report["error_kind"], report["line"]) == (kind, marks[mark])


def test_lenient_reading_places_only_reading_faults(tmp_path):
    path, _, _ = write(tmp_path, FAULTS[0][1], "long")
    assert tavrel._diagnose([str(path)], False) == [[]]
    report = pa.table(tavrel.textgrids2table([str(path)]).reports).to_pylist()[0]
    assert report["ok"] and report["line"] is None


@pytest.mark.parametrize("layout", ["long", "short"])
def test_truncated_file_points_at_its_last_line(tmp_path, layout):
    _, lines, marks = write(tmp_path, Grid([words()]), layout)
    cut = lines[:marks[("item", 0, 1)]]
    path = tmp_path / "cut.TextGrid"
    path.write_text("\n".join(cut) + "\n")
    expected = len(cut) if layout == "short" else None
    problems = tavrel._diagnose([str(path)], True)[0]
    if layout == "short":
        assert problems[0][:2] == ("structure", expected)
    else:  # the long layout reads what is there; the count then disagrees
        assert problems[0][0] == "validation" and "declares 3 intervals but holds 2" in problems[0][4]


@pytest.mark.parametrize("layout", ["long", "short"])
def test_undecodable_byte_is_placed(tmp_path, layout):
    path, _, marks = write(tmp_path, Grid([words()]), layout)
    data = path.read_bytes().replace(b'"b"', b'"\xe9"')
    path.write_bytes(data)
    assert tavrel._diagnose([str(path)], False)[0] == [
        ("encoding", marks[("label", 0, 1)], None, None, "stream did not contain valid UTF-8")]


def test_all_lists_every_fault_in_reading_order(tmp_path):
    grid = Grid([words([(0, 1, "a"), (0.5, 2, "b"), (3, 2.5, "c")], size=4)], tmin=5, tmax=2)
    path, _, marks = write(tmp_path, grid, "long")
    problems = tavrel._diagnose([str(path)], True, all=True)[0]
    assert [line for _, line, *_ in problems] == [marks["tmax"], marks[("tier_size", 0)],
                                                   marks[("item", 0, 1)], marks[("item", 0, 2)]]
    assert tavrel._diagnose([str(path)], True)[0] == problems[:1]


def test_item_numbers_as_the_file_gives_them(tmp_path):
    path, lines, _ = write(tmp_path, Grid([words([(0, 1, "a"), (1, 2.5, "b"), (2, 3, "c")])]), "long")
    renumbered = [line.replace("intervals [1]", "intervals [11]").replace("intervals [2]", "intervals [12]")
                  .replace("intervals [3]", "intervals [13]") for line in lines]
    path.write_text("\n".join(renumbered) + "\n")
    ((_, _, _, item, message),) = tavrel._diagnose([str(path)], True)[0]
    assert item == 13 and "intervals [12] (1\u20132.5) and [13] (2\u20133)" in message


def test_function_messages_are_unchanged(tmp_path):
    path, _, _ = write(tmp_path, FAULTS[0][1], "long")
    with pytest.raises(OSError, match="because: Items 1 and 2 overlap in tier words$"):
        tavrel.textgrid2data(str(path), True, "long")
    path, _, _ = write(tmp_path, Grid([words(size=4)]), "long")
    with pytest.raises(OSError, match="because: Tier size does not match number of items$"):
        tavrel.textgrid2data(str(path), True, "long")


def run_check(args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
    return subprocess.run([sys.executable, "-m", "tavrel", "check", "--quiet", *args], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=120)


def test_check_prints_path_line_kind_message(tmp_path):
    grid = Grid([words([(0, 1, "a"), (0.5, 2, "b"), (3, 2.5, "c")])])
    _, _, marks = write(tmp_path, grid, "short", "bad.TextGrid")
    write(tmp_path, Grid([words()]), "long", "good.TextGrid")
    first, second = marks[("item", 0, 1)], marks[("item", 0, 2)]
    result = run_check(["bad.TextGrid", "good.TextGrid"], tmp_path)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f'bad.TextGrid:{first}: validation: intervals [1] (0\u20131) and [2] (0.5\u20132) overlap in tier "words"']
    result = run_check(["--all", "bad.TextGrid"], tmp_path)
    assert [line.split(": ")[0] for line in result.stdout.splitlines()] == [
        f"bad.TextGrid:{first}", f"bad.TextGrid:{second}"]
    result = run_check(["--json", "--all", "bad.TextGrid", "good.TextGrid"], tmp_path)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(r["path"], r["line"], r["tier"], r["item"]) for r in records] == [
        ("bad.TextGrid", first, 1, 2), ("bad.TextGrid", second, 1, 3), ("good.TextGrid", None, None, None)]


def test_check_reads_in_the_encoding_asked_for(tmp_path):
    path, _, _ = write(tmp_path, Grid([words()]), "short", "latin.TextGrid")
    path.write_bytes(path.read_bytes().replace(b'"b"', b'"\xe9"'))
    assert run_check(["latin.TextGrid"], tmp_path).returncode == 1
    assert run_check(["--encoding", "latin-1", "latin.TextGrid"], tmp_path).returncode == 0
    assert run_check(["--encoding", "koi8-r", "latin.TextGrid"], tmp_path).returncode == 2
