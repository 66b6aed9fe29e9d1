"""Real TextGrid files from other tools: every file ends in a value, an OSError
or a PanicException in every mode, the data read agrees with small, plainly
written reference readers of both layouts, and "auto" reading gives Praat's
content."""

import csv
import math
import re
from pathlib import Path

import pytest

import tavrel
from praat_reading import PRAAT, read_with_praat, same_as_praat
from support import outcome

CORPUS = Path(__file__).parent / "data" / "realcorpus"

with open(CORPUS / "MANIFEST.tsv", newline="", encoding="utf-8") as manifest:
    ENTRIES = list(csv.DictReader(manifest, delimiter="\t"))
NAMES = [entry["file"] for entry in ENTRIES]

# The white space that the readers trim (Python's str.strip() would also take U+001C..U+001F).
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)", re.IGNORECASE)
COUNT = re.compile(r"\+?[0-9]+")


class ReferencePanic(Exception):
    pass


def number(text):
    return float(text) if NUMBER.fullmatch(text) else 0.0


def count(text):
    value = int(text) if COUNT.fullmatch(text) else 0
    return value if value < 2**64 else 0


LINE_BREAK = re.compile(r"\r\n|\r|\n")
SECTION = re.compile(r"(item|intervals|points) *\[")


def tier_class(raw):
    word = raw.strip('"')
    if word not in ("IntervalTier", "TextTier"):
        raise ReferencePanic("Unknown tier class: " + raw)
    return word == "IntervalTier"


class Reader:
    """Walks the text line by line; a quoted text may run on over lines."""

    def __init__(self, text):
        self.text, self.pos, self.line_end = text, 0, 0

    def at_end(self):
        return self.pos >= len(self.text)

    def line(self):
        """The next line, trimmed, and where its value would start in the text."""
        found = LINE_BREAK.search(self.text, self.pos)
        start, end = self.pos, found.start() if found else len(self.text)
        self.pos = found.end() if found else len(self.text)
        self.line_end = end
        raw = self.text[start:end]
        return raw.strip(WHITE_SPACE), start + len(raw) - len(raw.lstrip(WHITE_SPACE))

    def text_value(self, value, value_at):
        """A quoted value ends at its first undoubled quote, maybe lines later."""
        if not value.startswith('"'):
            return value.strip('"')
        at = value_at + 1
        while (close := self.text.find('"', at)) >= 0 and self.text[close + 1:close + 2] == '"':
            at = close + 2
        if close < 0:  # never closed: the line as it stands
            return value.strip('"')
        if close > self.line_end:
            found = LINE_BREAK.search(self.text, close)
            self.pos = found.end() if found else len(self.text)
        return LINE_BREAK.sub("\n", self.text[value_at + 1:close].replace('""', '"'))


def after_equals(line, line_at):
    """Where the value after the first "=" of a trimmed line stands in the text."""
    after = line.index("=") + 1
    return line_at + after + len(line[after:]) - len(line[after:].lstrip(WHITE_SPACE))


def reference_long(text):
    """The long layout, line by line: section lines open tiers and items,
    "key = value" lines set the fields their section knows."""
    tmin = tmax = 0.0
    tiers = []  # [name, is_interval, items], items as [tmin, tmax, label]
    section = "header"
    item_lines = set()  # the lines of the last item read: a text may not end between them
    reader = Reader(text)
    while not reader.at_end():
        line, line_at = reader.line()
        opened = SECTION.match(line)
        if opened and opened.group(1) == "item":
            if line[opened.end():].startswith("]"):
                section = "skip"
            else:
                tiers.append(["", True, []])
                section = "tier"
            continue
        if opened:
            if not tiers:
                raise ReferencePanic("item before tier")
            tiers[-1][2].append([0.0, 0.0, ""])
            section = "item"
            item_lines = set()
            continue
        if "=" not in line:
            continue
        key, value = (part.strip(WHITE_SPACE) for part in line.split("=", 1))
        if section == "header":
            if key == "xmin":
                tmin = number(value)
            elif key == "xmax":
                tmax = number(value)
        elif section == "tier":
            tier = tiers[-1]
            if key == "class":
                tier[1] = tier_class(value)
            elif key == "name":
                tier[0] = reader.text_value(value, after_equals(line, line_at))
        elif section == "item":
            item = tiers[-1][2][-1]
            if key == "xmin":
                item[0] = number(value)
            elif key == "xmax":
                item[1] = number(value)
            elif key in ("number", "time"):
                item[0] = item[1] = number(value)
            elif key in ("text", "mark"):
                item[2] = reader.text_value(value, after_equals(line, line_at))
            item_lines.add(key)
    if section == "item" and item_lines & {"xmin", "xmax", "number", "time"} \
            and not item_lines & {"text", "mark"}:
        raise ReferencePanic("ended early: the text ends inside an item")
    return tmin, tmax, [(name, flag, [tuple(item) for item in items]) for name, flag, items in tiers]


def reference_short(text):
    """The short layout: trimmed lines, each value at its fixed position; a
    quoted text over several lines takes one position."""
    reader = Reader(text)

    def at(position):
        if reader.at_end():
            raise ReferencePanic("missing line")
        return reader.line()[0]

    def text_at(position):
        if reader.at_end():
            raise ReferencePanic("missing line")
        return reader.text_value(*reader.line())

    for position in range(3):
        at(position)
    tmin, tmax = number(at(3)), number(at(4))
    at(5)
    tier_count = count(at(6))
    tiers = []
    position = 7
    for _ in range(tier_count):
        is_interval = tier_class(at(position))
        name = text_at(position + 1)
        number(at(position + 2)), number(at(position + 3))
        item_count = count(at(position + 4))
        position += 5
        items = []
        for _ in range(item_count):
            start = number(at(position))
            end = number(at(position + 1)) if is_interval else start
            position += 2 if is_interval else 1
            items.append((start, end, text_at(position)))
            position += 1
        tiers.append((name, is_interval, items))
    return tmin, tmax, tiers


def chosen_layout(text):
    """The first lines after the header: "key = value" lines are the long layout,
    several values on a line or comments free-form text, single values the short layout."""
    looked_at = 0
    for line in LINE_BREAK.split(text.removeprefix("\ufeff")):
        line = line.strip(WHITE_SPACE)
        if not line or line.startswith(("File type", "Object class")):
            continue
        if looked_at == 0 and line.startswith('"'):
            return "free-form" if line.startswith('"ooTextFile') else "short"
        if "=" in line or re.match(r"item *\[", line):
            return "long"
        if not line.startswith('"') and re.search(r"[ \t!]", line):
            return "free-form"
        looked_at += 1
        if looked_at == 4:
            break
    return "short"


def same(a, b):
    """Equality that counts NaN as equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def utf8_text(name):
    """The file's text as the reader decodes it: UTF-16 after its byte-order
    mark, UTF-8 otherwise; None when it is neither."""
    raw = (CORPUS / name).read_bytes()
    try:
        return raw.decode("utf-16") if raw[:2] in (b"\xfe\xff", b"\xff\xfe") else raw.decode("utf-8")
    except UnicodeDecodeError:
        return None


def test_manifest_lists_every_corpus_file():
    on_disk = {path.name for path in CORPUS.iterdir() if path.suffix.lower() == ".textgrid"}
    assert on_disk == set(NAMES) and len(NAMES) > 100


@pytest.mark.parametrize("name", NAMES)
def test_every_mode_ends_in_a_value_or_an_exception(name):
    path = str(CORPUS / name)
    text = utf8_text(name)
    for file_type in ("long", "short", "auto"):
        for strict in (False, True):
            kind, result = outcome(lambda: tavrel.textgrid2data(path, strict, file_type))
            vector_kind, _ = outcome(lambda: tavrel.textgrid2vectors(path, strict, file_type))
            assert vector_kind == kind
            if text is None:
                assert (kind, result) == (
                    "oserror",
                    f"Failed to read TextGrid file {path} because: stream did not contain valid UTF-8",
                )
            elif kind == "oserror":
                assert strict, result  # valid UTF-8 only fails validation


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("file_type, reference", [("long", reference_long), ("short", reference_short)])
def test_lenient_reading_agrees_with_the_reference_reader(name, file_type, reference):
    text = utf8_text(name)
    if text is None:
        pytest.skip("not UTF-8")
    got_kind, got = outcome(lambda: tavrel.textgrid2data(str(CORPUS / name), False, file_type))
    try:
        expected_kind, expected = "value", reference(text)
    except ReferencePanic as panic:
        expected_kind, expected = "panic", str(panic)
    assert got_kind == expected_kind, got
    if got_kind == "value":
        assert same(got, expected)
    elif expected.startswith("Unknown tier class"):
        assert got == expected


@pytest.mark.parametrize("name", NAMES)
def test_auto_reads_like_the_parser_its_text_selects(name):
    text = utf8_text(name)
    if text is None:
        pytest.skip("not UTF-8")
    if text.startswith('"Praat chronological TextGrid text file"'):
        pytest.skip("chronological files have their own reader")
    path = str(CORPUS / name)
    chosen = chosen_layout(text)
    if chosen == "free-form":
        pytest.skip("free-form text has no parser of its own to compare with")
    assert same(outcome(lambda: tavrel.textgrid2data(path, False, "auto")),
                outcome(lambda: tavrel.textgrid2data(path, False, chosen)))


@pytest.mark.parametrize("name", NAMES)
def test_what_reads_survives_writing_and_reading_back(tmp_path, name):
    kind, document = outcome(lambda: tavrel.textgrid2data(str(CORPUS / name), True, "auto"))
    if kind != "value":
        pytest.skip("does not read strictly")
    tmin, tmax, tiers = document
    for file_type in ("long", "short"):
        out = tmp_path / f"copy_{file_type}.TextGrid"
        tavrel.data2textgrid(tiers, tmin, tmax, str(out), file_type)
        assert same(tavrel.textgrid2data(str(out), False, file_type), document)


# Files whose reading may differ from Praat's: UTF-16 and Praat's chronological
# layout are not read as Praat reads them, and Latin-1 text and hexadecimal
# numbers are refused or read as 0 on purpose.
MAY_DIFFER_FROM_PRAAT = {
    name for name, entry in zip(NAMES, ENTRIES) if entry["encoding"] not in ("utf-8", "utf-8-bom")
} | {
    "brigitte-bigi+SPPAS__sppas_tests_data_F_F_B003_P8_chronological.TextGrid",
    "praat+praat__test_fon_examples_sineWithNoise.TextGrid",
    "tjmahr+readtextgrid__tests_testthat_test-data_praat-test_hex-numbers-okay.TextGrid",
    "tjmahr+readtextgrid__tests_testthat_test-data_praat-test_okay-hex-numbers.TextGrid",
}


@pytest.mark.skipif(PRAAT is None, reason="praat is not installed")
def test_auto_reading_gives_praats_content(tmp_path):
    paths = [CORPUS / name for name in NAMES]
    by_praat = read_with_praat(paths, tmp_path)
    differing = []
    for path, expected in zip(paths, by_praat):
        if expected is None or path.name in MAY_DIFFER_FROM_PRAAT:
            continue
        kind, ours = outcome(lambda: tavrel.textgrid2data(str(path), False, "auto"))
        if kind != "value" or not same_as_praat(ours, expected):
            differing.append(path.name)
    assert differing == []
    assert sum(expected is not None for expected in by_praat) - len(MAY_DIFFER_FROM_PRAAT) > 90
