"""Texts survive writing and reading in both layouts, whatever they hold, and
files read with Praat's content: files we write, and files Praat writes."""

import random
import subprocess
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrel
from praat_reading import PRAAT, read_with_praat, same_as_praat

LAYOUTS = ["long", "short"]

# Pieces that have broken readers: quotes, every line break, key and section
# lines that a text must not turn into items or tiers, and the class words.
FRAGMENTS = ['"', '""', '"""', "\n", "\r\n", "\r", "\t", "\\", "\\\"", " ", "item []:", "item [2]:",
             "\n        intervals [2]:\n            xmin = 7 \n", "\nxmax = 9\n", '"IntervalTier"',
             '\n"TextTier"\n"x"\n0\n', "<exists>", "=", "é ☃ 日本 \U0001F600"]

TEXTS = st.lists(st.one_of(st.text(max_size=4), st.sampled_from(FRAGMENTS)), max_size=6).map("".join)


def as_read(text):
    """A written text as it reads back: every line break as LF, as Praat reads it."""
    return text.replace("\r\n", "\n").replace("\r", "\n")


def tier(name, is_interval, labels):
    if is_interval:
        return name, True, [(float(i), i + 1.0, label) for i, label in enumerate(labels)]
    return name, False, [(i + 0.5, i + 0.5, label) for i, label in enumerate(labels)]


@st.composite
def documents(draw):
    tiers = [tier(draw(TEXTS), draw(st.booleans()), draw(st.lists(TEXTS, max_size=4)))
             for _ in range(draw(st.integers(0, 3)))]
    return 0.0, 5.0, tiers


def expected_reading(document):
    tmin, tmax, tiers = document
    return tmin, tmax, [(as_read(name), flag, [(a, b, as_read(label)) for a, b, label in items])
                        for name, flag, items in tiers]


def write(document, path, layout):
    tmin, tmax, tiers = document
    tavrel.data2textgrid(tiers, tmin, tmax, str(path), layout)
    return path


@pytest.mark.parametrize("layout", LAYOUTS)
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document=documents())
def test_any_texts_read_back_as_written(layout, document):
    with tempfile.TemporaryDirectory() as directory:
        path = write(document, Path(directory) / "doc.TextGrid", layout)
        expected = expected_reading(document)
        assert tavrel.textgrid2data(str(path), True, layout) == expected
        assert tavrel.textgrid2data(str(path), True, "auto") == expected


def random_documents(seed, count):
    """Documents of random texts made of the fragments and random characters
    (no NUL: Praat drops NUL bytes from what it reads)."""
    rng = random.Random(seed)
    alphabet = [chr(c) for c in range(1, 0x250)] + ["ж", "日", "\U0001F600", "\u2028"]

    def text():
        pieces = [rng.choice(FRAGMENTS) if rng.random() < 0.5 else
                  "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 4)))
                  for _ in range(rng.randint(0, 5))]
        return "".join(pieces)

    return [(0.0, 5.0, [tier(text(), rng.random() < 0.6, [text() for _ in range(rng.randint(1, 4))])
                        for _ in range(rng.randint(1, 3))])
            for _ in range(count)]


needs_praat = pytest.mark.skipif(PRAAT is None, reason="praat is not installed")


@needs_praat
@pytest.mark.parametrize("layout", LAYOUTS)
def test_praat_reads_our_files_as_we_do(tmp_path, layout):
    seed = random.randrange(2**32)
    print("seed", seed)
    documents = random_documents(seed, 30)
    paths = [write(doc, tmp_path / f"doc{k}.TextGrid", layout) for k, doc in enumerate(documents)]
    praat = read_with_praat(paths, tmp_path / "praat")
    for path, document, by_praat in zip(paths, documents, praat):
        ours = tavrel.textgrid2data(str(path), False, "auto")
        assert ours == expected_reading(document), path
        assert same_as_praat(ours, by_praat), (path, by_praat)


@needs_praat
def test_praat_reads_a_grid_without_tiers_that_we_write(tmp_path):
    paths = [write((0.0, 2.0, []), tmp_path / f"empty_{layout}.TextGrid", layout) for layout in LAYOUTS]
    for path, by_praat in zip(paths, read_with_praat(paths, tmp_path / "praat")):
        assert by_praat == (0.0, 2.0, [])
        assert tavrel.textgrid2data(str(path), True, "auto") == (0.0, 2.0, [])


# Praat builds a TextGrid with awkward texts and saves it in both text layouts.
PRAAT_WRITER = r'''form Write
  sentence outDir x
endform
Text writing preferences: "UTF-8"
label$ = "say ""hi""" + newline$ + "        intervals [2]:" + newline$ + "xmin = 7" + tab$ + "\"
name$ = """quoted""" + newline$ + "item []: é☃"
Create TextGrid: 0, 3, "words bell", "bell"
Set tier name: 1, name$
Insert boundary: 1, 1
Insert boundary: 1, 2
Set interval text: 1, 1, label$
Set interval text: 1, 3, """"
Insert point: 2, 0.5, label$ + newline$
Insert point: 2, 1.5, ""
Save as text file: outDir$ + "/praat_long.TextGrid"
Save as short text file: outDir$ + "/praat_short.TextGrid"
'''


@needs_praat
def test_files_praat_writes_read_with_praats_content(tmp_path):
    script = tmp_path / "write.praat"
    script.write_text(PRAAT_WRITER, encoding="utf-8")
    subprocess.run([PRAAT, "--run", str(script), str(tmp_path)], check=True, capture_output=True, timeout=120)
    paths = [tmp_path / "praat_long.TextGrid", tmp_path / "praat_short.TextGrid"]
    by_praat = read_with_praat(paths, tmp_path / "praat")
    label = 'say "hi"\n        intervals [2]:\nxmin = 7\t\\'
    assert by_praat[0][2][0][0] == '"quoted"\nitem []: é☃'
    assert by_praat[0][2][0][2][0][2] == label
    for path, layout, expected in zip(paths, LAYOUTS, by_praat):
        assert tavrel.textgrid2data(str(path), True, layout) == expected
        assert tavrel.textgrid2data(str(path), True, "auto") == expected
