"""Files in UTF-16, and Praat's chronological and binary formats: read as Praat
reads them (checked against what Praat itself prints for files it wrote),
alone and in batches, and damaged copies of them refused without harm."""

import math
import shutil
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavrel
from support import DATA, EMPTY_DOCUMENT, EXAMPLE, outcome, panic_message

SAMPLES = DATA / "praat"
SAMPLE_NAMES = sorted(path.stem for path in SAMPLES.glob("*.TextGrid"))
BINARY_SAMPLES = [name for name in SAMPLE_NAMES if name.endswith("_binary")]
CHRONOLOGICAL_SAMPLES = [name for name in SAMPLE_NAMES if "_chronological" in name]
has_praat = shutil.which("praat") is not None


def unescape(field):
    out, chars = [], iter(field)
    for char in chars:
        out.append({"n": "\n", "t": "\t", "\\": "\\"}[next(chars)] if char == "\\" else char)
    return "".join(out)


def parse_praat_dump(path):
    """The document that dump.praat printed into `path`."""
    raw = path.read_bytes()
    text = raw.decode("utf-16") if raw[:2] in (b"\xfe\xff", b"\xff\xfe") else raw.decode()
    bounds, tiers = None, []
    for line in filter(None, text.split("\n")):
        kind, *fields = line.split("\t")
        if kind == "grid":
            bounds = (float(fields[0]), float(fields[1]))
        elif kind == "tier":
            tiers.append((unescape(fields[1]), fields[0] == "1", []))
        else:
            tiers[-1][2].append((float(fields[0]), float(fields[1]), unescape(fields[2])))
    return (*bounds, tiers)


def close(a, b):
    if isinstance(a, float):
        return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-15)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(close(x, y) for x, y in zip(a, b))
    return a == b


def run_praat(*args):
    subprocess.run(["praat", "--run", *map(str, args)], check=True, capture_output=True, timeout=120)


@pytest.mark.parametrize("name", SAMPLE_NAMES)
@pytest.mark.parametrize("strict", [False, True])
def test_praat_samples_read_as_praat_reads_them(name, strict):
    expected = parse_praat_dump(SAMPLES / "praat_reads" / f"{name}.tsv")
    got = tavrel.textgrid2data(str(SAMPLES / f"{name}.TextGrid"), strict, "auto")
    assert close(got, expected), (got, expected)


@pytest.mark.parametrize("name", ["unicode_long_utf16", "unicode_short_utf16", "tricky_chronological_utf16"])
@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-8-sig", "utf-8"])
def test_any_byte_order_mark_reads_like_praats_utf16(tmp_path, name, encoding):
    text = (SAMPLES / f"{name}.TextGrid").read_bytes().decode("utf-16")
    copy = tmp_path / f"{name}.TextGrid"
    mark = "\ufeff" if encoding == "utf-16-le" else ""
    copy.write_bytes((mark + text).encode(encoding))
    original = tavrel.textgrid2data(str(SAMPLES / f"{name}.TextGrid"), True, "auto")
    assert tavrel.textgrid2data(str(copy), True, "auto") == original


@pytest.mark.skipif(not has_praat, reason="praat is not installed")
def test_files_praat_writes_now_read_as_praat_reads_them(tmp_path):
    run_praat(SAMPLES / "write_samples.praat", tmp_path)
    written = sorted(tmp_path.glob("*.TextGrid"))
    assert sorted(path.stem for path in written) == SAMPLE_NAMES
    for path in written:
        dump = tmp_path / f"{path.stem}.tsv"
        run_praat(SAMPLES / "dump.praat", path, dump)
        expected = parse_praat_dump(dump)
        assert close(tavrel.textgrid2data(str(path), True, "auto"), expected), path.name


def test_batches_mix_encodings_and_formats(tmp_path):
    names = [DATA / "example_long_lf.TextGrid", SAMPLES / "unicode_long_utf16.TextGrid",
             DATA / "example_short_utf16be.TextGrid", SAMPLES / "unicode_binary.TextGrid",
             DATA / "latin1_long.TextGrid", SAMPLES / "tricky_chronological_utf16.TextGrid",
             DATA / "example_long_utf16le.TextGrid", tmp_path / "missing.TextGrid"]
    files = [str(name) for name in names]
    for strict in (False, True):
        singles = []
        for path in files:
            kind, value = outcome(lambda: tavrel.textgrid2data(path, strict, "auto"))
            singles.append(value if kind == "value" else EMPTY_DOCUMENT)
        assert singles[2] == singles[6] == EXAMPLE
        assert tavrel.textgrids2data(files, strict, "auto") == singles
        tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors(files, strict, "auto")
        expected = [(k, item[0], item[1], item[2], tier[0], tier[1])
                    for k, (_, _, tiers) in enumerate(singles) for tier in tiers for item in tier[2]]
        got = list(zip(file_ids.tolist(), tmins.tolist(), tmaxs.tolist(), labels, tier_names, is_intervals.tolist()))
        assert got == expected


@pytest.mark.parametrize("name", BINARY_SAMPLES + CHRONOLOGICAL_SAMPLES)
@pytest.mark.parametrize("file_type", ["long", "short"])
def test_the_layout_words_keep_their_text_parsers(name, file_type):
    """The binary and chronological readers are chosen by "auto" only."""
    path = str(SAMPLES / f"{name}.TextGrid")
    forced = outcome(lambda: tavrel.textgrid2data(path, False, file_type))
    assert forced != outcome(lambda: tavrel.textgrid2data(path, False, "auto"))
    if name.endswith("_binary"):
        assert forced[0] == "oserror" and forced[1].endswith("stream did not contain valid UTF-8")


@pytest.mark.parametrize("name", BINARY_SAMPLES + CHRONOLOGICAL_SAMPLES)
def test_every_cut_of_a_file_ends_in_a_value_or_an_internal_failure(tmp_path, name):
    data = (SAMPLES / f"{name}.TextGrid").read_bytes()
    path = tmp_path / "cut.TextGrid"
    for length in range(len(data)):
        path.write_bytes(data[:length])
        kind, message = outcome(lambda: tavrel.textgrid2data(str(path), False, "auto"))
        if name.endswith("_binary") and length >= 12:
            # Every byte of a binary file is needed: a cut is always damage.
            assert kind == "panic" and "Binary TextGrid ended early" in message, (length, message)
        else:
            assert kind in ("value", "panic") or message.endswith("valid UTF-8"), (length, message)


def patched(data, offset, replacement):
    return data[:offset] + replacement + data[offset + len(replacement):]


# Offsets in ascii_binary.TextGrid: the tier count, the first interval count, the first name length.
TIER_COUNT, INTERVAL_COUNT, NAME_LENGTH = 38, 78, 55


@pytest.mark.parametrize("offset, replacement, message", [
    (TIER_COUNT, b"\x7f\xff\xff\xff", "ended early: the tier count of 2147483647 needs at least"),
    (TIER_COUNT, b"\xff\xff\xff\xff", "the tier count is negative (-1)"),
    (INTERVAL_COUNT, b"\x7f\xff\xff\xff", "ended early: an interval count of 2147483647 needs at least"),
    (INTERVAL_COUNT, b"\x80\x00\x00\x00", "an interval count is negative (-2147483648)"),
    (NAME_LENGTH, b"\xff\xfe", "Binary TextGrid ended early: a tier name needs 65534 bytes"),
    (NAME_LENGTH, b"\xff\xff\xff\xff", "Binary TextGrid ended early: a tier name needs 131070 bytes"),
    (NAME_LENGTH, b"\xff\xff\x00\x01\xdc\x00", "a tier name holds a lone low surrogate"),
    (NAME_LENGTH, b"\xff\xff\x00\x01\xd8\x00\x00\x41", "a tier name holds an unpaired high surrogate"),
    (NAME_LENGTH - 13, b"\x07TextTie", "Unknown tier class: TextTie"),
    (12, b"\x08TextTree", "Binary Praat file holds a TextTree, not a TextGrid"),
])
def test_hostile_binary_fields_are_refused_with_a_clear_message(tmp_path, offset, replacement, message):
    data = (SAMPLES / "ascii_binary.TextGrid").read_bytes()
    assert data[TIER_COUNT:TIER_COUNT + 4] == b"\x00\x00\x00\x02" and data[NAME_LENGTH:NAME_LENGTH + 2] == b"\x00\x05"
    path = tmp_path / "hostile.TextGrid"
    path.write_bytes(patched(data, offset, replacement))
    assert message in panic_message(lambda: tavrel.textgrid2data(str(path), False, "auto"))


PLACEHOLDER = "\ue000"  # stands for a lone surrogate in the UTF-16 copy
LABELS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)


@settings(max_examples=60, deadline=None)
@given(labels=st.lists(LABELS, min_size=1, max_size=4), layout=st.sampled_from(["long", "short"]),
       encoding=st.sampled_from(["utf-16-le", "utf-16-be"]), lone=st.sampled_from(["\ud800", "\udfff"]))
def test_utf16_reads_like_the_same_text_in_utf8(tmp_path_factory, labels, layout, encoding, lone):
    folder = tmp_path_factory.mktemp("utf16")
    labels = [labels[0] + PLACEHOLDER] + labels[1:]
    items = [(float(k), float(k + 1), label) for k, label in enumerate(labels)]
    utf8 = folder / "utf8.TextGrid"
    tavrel.data2textgrid([("tier", True, items)], None, None, str(utf8), layout)
    text = utf8.read_bytes().decode()
    wide = folder / "wide.TextGrid"
    wide.write_bytes(("\ufeff" + text.replace(PLACEHOLDER, lone)).encode(encoding, "surrogatepass"))
    utf8.write_bytes(text.replace(PLACEHOLDER, "\ufffd").encode())
    for file_type in (layout, "auto"):
        assert outcome(lambda: tavrel.textgrid2data(str(wide), False, file_type)) == outcome(
            lambda: tavrel.textgrid2data(str(utf8), False, file_type))
