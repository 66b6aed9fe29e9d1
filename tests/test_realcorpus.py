"""Real TextGrid files from other tools: every file ends in a value, an OSError
or a PanicException in every mode, and the data read agrees with small,
plainly written reference readers of both layouts."""

import csv
import math
import re
from pathlib import Path

import pytest

import tavrel

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


def text_value(text):
    return text.strip('"')


def tier_class(raw):
    word = text_value(raw)
    if word not in ("IntervalTier", "TextTier"):
        raise ReferencePanic("Unknown tier class: " + raw)
    return word == "IntervalTier"


def split_lines(text):
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def reference_long(text):
    """The long layout, line by line: section lines open tiers and items,
    "key = value" lines set the fields their section knows."""
    tmin = tmax = 0.0
    tiers = []  # [name, is_interval, items], items as [tmin, tmax, label]
    section = "header"
    for line in split_lines(text):
        line = line.strip(WHITE_SPACE)
        if line.startswith("item []"):
            section = "skip"
            continue
        if line.startswith("item ["):
            tiers.append(["", True, []])
            section = "tier"
            continue
        if line.startswith("intervals [") or line.startswith("points ["):
            if not tiers:
                raise ReferencePanic("item before tier")
            tiers[-1][2].append([0.0, 0.0, ""])
            section = "item"
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
                tier[0] = text_value(value)
        elif section == "item":
            item = tiers[-1][2][-1]
            if key == "xmin":
                item[0] = number(value)
            elif key == "xmax":
                item[1] = number(value)
            elif key == "number":
                item[0] = item[1] = number(value)
            elif key in ("text", "mark"):
                item[2] = text_value(value)
    return tmin, tmax, [(name, flag, [tuple(item) for item in items]) for name, flag, items in tiers]


def reference_short(text):
    """The short layout: trimmed lines, each value at its fixed position."""
    lines = [line.strip(WHITE_SPACE) for line in split_lines(text)]

    def at(position):
        if position >= len(lines):
            raise ReferencePanic("missing line")
        return lines[position]

    tmin, tmax, tier_count = number(at(3)), number(at(4)), count(at(6))
    tiers = []
    position = 7
    for _ in range(tier_count):
        is_interval = tier_class(at(position))
        name = text_value(at(position + 1))
        number(at(position + 2)), number(at(position + 3))
        item_count = count(at(position + 4))
        position += 5
        items = []
        for _ in range(item_count):
            start = number(at(position))
            end = number(at(position + 1)) if is_interval else start
            position += 2 if is_interval else 1
            items.append((start, end, text_value(at(position))))
            position += 1
        tiers.append((name, is_interval, items))
    return tmin, tmax, tiers


def outcome(call):
    """("value", result), ("oserror", message) or ("panic", message); nothing else may happen."""
    try:
        return "value", call()
    except OSError as error:
        return "oserror", str(error)
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        return "panic", str(error)


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
    chosen = "long" if "item []" in text else "short"
    assert same(outcome(lambda: tavrel.textgrid2data(path, False, "auto")),
                outcome(lambda: tavrel.textgrid2data(path, False, chosen)))


@pytest.mark.parametrize("name", NAMES)
def test_what_reads_survives_writing_and_reading_back(tmp_path, name):
    kind, document = outcome(lambda: tavrel.textgrid2data(str(CORPUS / name), True, "auto"))
    if kind != "value":
        pytest.skip("does not read strictly")
    tmin, tmax, tiers = document
    if any('"' in label or "\n" in label for _, _, items in tiers for _, _, label in items):
        pytest.skip("labels with quotes or line breaks do not survive")
    if any('"' in name or "\n" in name for name, _, _ in tiers):
        pytest.skip("names with quotes or line breaks do not survive")
    kept = [tier for tier in tiers if tier[2]]  # tiers without items are not written
    for file_type in ("long", "short"):
        out = tmp_path / f"copy_{file_type}.TextGrid"
        tavrel.data2textgrid(kept, tmin, tmax, str(out), file_type)
        _, _, read_back = tavrel.textgrid2data(str(out), False, file_type)
        assert same([(n, f, items) for n, f, items in read_back], [(n, f, items) for n, f, items in kept])
