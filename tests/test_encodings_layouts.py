"""Text read as Praat reads it: UTF-16 without byte-order mark refused, the
encodings a caller may ask for, the short layout without its blank line, and
free-form text with words between its values; empty files say so."""

import math

import pytest

import tavrel
from praat_reading import PRAAT, read_with_praat, same_as_praat
from support import panic_message

pa = pytest.importorskip("pyarrow")

HEADER = 'File type = "ooTextFile"\nObject class = "TextGrid"\n'
SHORT_BODY = '0\n2.3\n<exists>\n1\n"IntervalTier"\n"caf\u00e9"\n0\n2.3\n1\n0\n2.3\n"\u20ac\u00e9"\n'
DOCUMENT = (0.0, 2.3, [("caf\u00e9", True, [(0.0, 2.3, "\u20ac\u00e9")])])


def read(path, strict=False):
    return tavrel.textgrid2data(str(path), strict, "auto")


@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be"])
@pytest.mark.parametrize("strict", [False, True])
def test_utf16_without_byte_order_mark_is_refused(tmp_path, codec, strict):
    path = tmp_path / "bare.TextGrid"
    path.write_bytes((HEADER + "\n" + SHORT_BODY.replace("\u20ac", "e")).encode(codec))
    with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
        read(path, strict)
    for encoding in ("utf-8", "latin-1", "praat"):
        reports = pa.table(tavrel.textgrids2table([str(path)], strict, encoding=encoding).reports)
        assert reports["ok"].to_pylist() == [False]
        assert reports["error_kind"].to_pylist() == ["encoding"]


# (how the file is stored, encoding asked for) -> label read, encoding reported; None: refused.
CP1252_LABEL = "\u20ac\u00e9"
CASES = [
    ("utf-8", "utf-8", CP1252_LABEL, "utf-8"),
    ("utf-8", "praat", CP1252_LABEL, "utf-8"),
    ("utf-8", "latin-1", "\u00e2\u0082\u00ac\u00c3\u00a9", "latin-1"),
    ("utf-16", "latin-1", CP1252_LABEL, "utf-16-le"),  # a byte-order mark always wins
    ("utf-8-sig", "cp1252", CP1252_LABEL, "utf-8-sig"),
    ("cp1252", "utf-8", None, None),
    ("cp1252", "cp1252", CP1252_LABEL, "cp1252"),
    ("cp1252", "latin-1", "\x80\u00e9", "latin-1"),
    ("cp1252", "praat", "\x80\u00e9", "latin-1"),
]


@pytest.mark.parametrize("stored, asked, label, reported", CASES)
def test_encoding_on_request(tmp_path, stored, asked, label, reported):
    path = tmp_path / "coded.TextGrid"
    path.write_bytes((HEADER + "\n" + SHORT_BODY).encode(stored))
    table = tavrel.textgrids2table([str(path)], encoding=asked)
    reports = pa.table(table.reports)
    assert reports["encoding"].to_pylist() == [reported]
    if label is None:
        assert reports["error_kind"].to_pylist() == ["encoding"]
        return
    assert pa.table(table)["label"].to_pylist() == [label]
    assert pa.table(table)["tier_name"].to_pylist()[0].startswith("caf")


@pytest.mark.parametrize("word", ["UTF-8", "latin1", "utf-16", "", "ascii"])
def test_unknown_encoding_is_refused_before_reading(word):
    with pytest.raises(ValueError, match="unknown encoding"):
        tavrel.textgrids2table(["/no/such/file.TextGrid"], encoding=word)


def test_the_six_functions_still_refuse_latin1(tmp_path):
    path = tmp_path / "latin.TextGrid"
    path.write_bytes((HEADER + "\n" + SHORT_BODY.replace("\u20ac", "")).encode("latin-1"))
    with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
        read(path)


@pytest.mark.parametrize(
    "content", [b"", b"   ", b"\n\n", b" \t\r\n", "\u00a0\u3000\n\u2003".encode()]
)
def test_empty_file_says_it_is_empty(tmp_path, content):
    path = tmp_path / "empty.TextGrid"
    path.write_bytes(content)
    assert "empty" in panic_message(lambda: read(path))
    assert "ended early" in panic_message(lambda: tavrel.textgrid2data(str(path), False, "short"))


# Files Praat reads; each is compared with Praat when it is installed, and
# with the document Praat gave when these tests were written otherwise.
MANUAL_FREE_FORM = """"ooTextFile"
"TextGrid"
0 2.3 ! time domain of TextGrid
<exists>
3 tiers
"IntervalTier" "Mary" ! type and name of tier 1
0 2.3 ! time domain of tier 1
1 interval coming
0 2.3 "" ! interval 1
"IntervalTier" "John" 0 2.3 1 0 2.3 "a"
"TextTier" "bell"
0 2.3
3 points coming
0.9 "ding"
1.3 "dong" 2.0 "dung"
"""
MANUAL_DOCUMENT = (0.0, 2.3, [("Mary", True, [(0.0, 2.3, "")]), ("John", True, [(0.0, 2.3, "a")]),
                              ("bell", False, [(0.9, 0.9, "ding"), (1.3, 1.3, "dong"),
                                               (2.0, 2.0, "dung")])])
NO_BLANK_SHORT = HEADER + SHORT_BODY
WORDS_BETWEEN = (HEADER + "xmin 0 xmax 2 this is a remark <exists> 1 tier:\n"
                 'class = "IntervalTier" name is "a" 0 2 1 interval coming\n0 2 "x"\n')
WORDS_DOCUMENT = (0.0, 2.0, [("a", True, [(0.0, 2.0, "x")])])


def interval_file(start, count="1"):
    """A grid from 0 to 10 whose one interval starts at the word `start`."""
    items = f'{start} 10 "x"' if count == "1" else '0 1 "a" 1 2 "b" 2 3 "c" 3 4 "d"'
    return HEADER + f'0 10 <exists> 1 "IntervalTier" "t" 0 10\n{count}\n{items}\n'


# Number words as Praat 6.3 reads them (NaN: Praat's undefined).
NUMBER_WORDS = [("3/4", 0.75), ("5%", 0.05), ("50%x", 0.5), ("2,5", 2.0), ("2.5.3", 2.5),
                ("3x", 3.0), ("1.5e1%", 0.15), ("2:30", 2.0), ("+2", 2.0), ("0x1.8", 1.5),
                ("1/0", math.nan), ("1e", math.nan), ("+-1", math.nan)]
COUNT_WORDS = [("2.7", 2), ("1e1", 1), ("3%", 3), ("4/2", 4), ("2x", 2), ("-1", 0), ("0x2", 0)]


def starts_of(document):
    return [item[0] for item in document[2][0][2]]


@pytest.mark.parametrize("word, value", NUMBER_WORDS)
def test_free_form_numbers_read_as_praat_reads_them(tmp_path, word, value):
    path = tmp_path / "n.TextGrid"
    path.write_text(interval_file(word))
    (start,) = starts_of(read(path))
    assert start == value or (math.isnan(value) and math.isnan(start))


@pytest.mark.parametrize("word, count", COUNT_WORDS)
def test_free_form_counts_read_as_praat_reads_them(tmp_path, word, count):
    path = tmp_path / "c.TextGrid"
    path.write_text(interval_file(0, word))
    assert len(starts_of(read(path))) == count


@pytest.mark.parametrize("text, expected", [
    (MANUAL_FREE_FORM, MANUAL_DOCUMENT),
    (NO_BLANK_SHORT, DOCUMENT),
    (WORDS_BETWEEN, WORDS_DOCUMENT),
    (HEADER + '0 2 < exists> 1\n"IntervalTier" "a" 0 2 1 0 2 "x"\n', None),
    (HEADER + '0 2 <yes> 1\n"IntervalTier" "a" 0 2 1 0 2 "x"\n', None),
    (HEADER + '0 2 <exists> 1\n3 "IntervalTier" "a" 0 2 1 0 2 "x"\n', None),
    ('File type = ooTextFile\nObject class = "TextGrid"\n0 2 <exists> 1 "IntervalTier" "a" 0 2 1 0 2 "x"\n',
     WORDS_DOCUMENT),
    ('File type = "ooTextFile" 7 remarks\nObject class = "TextGrid"\n0 2 <exists> 1 "IntervalTier" "a" 0 2 1 '
     '0 2 "x"\n', WORDS_DOCUMENT),
    ('File type = "ooTextFile"\nObject class = "TextGrid" 5\n0 2 <exists> 1 "IntervalTier" "a" 0 2 1 0 2 "x"\n',
     None),
])
def test_layouts_read_as_praat_reads_them(tmp_path, text, expected):
    path = tmp_path / "layout.TextGrid"
    path.write_text(text, encoding="utf-8")
    try:
        ours = read(path)
    except BaseException:  # the internal failure is not an Exception
        ours = None
    assert same_as_praat(ours, expected)
    if PRAAT is not None:
        assert same_as_praat(ours, read_with_praat([path], tmp_path / "praat")[0])


@pytest.mark.skipif(PRAAT is None, reason="praat is not installed")
def test_latin1_files_of_the_real_corpus_read_as_praat_reads_them(tmp_path):
    import csv
    from pathlib import Path

    corpus = Path(__file__).parent / "data" / "realcorpus"
    with open(corpus / "MANIFEST.tsv", newline="", encoding="utf-8") as manifest:
        paths = [corpus / entry["file"] for entry in csv.DictReader(manifest, delimiter="\t")
                 if entry["encoding"] == "latin-1"]
    assert paths
    table = tavrel.textgrids2table([str(p) for p in paths], encoding="praat")
    reports = pa.table(table.reports).to_pylist()
    rows = pa.table(table).to_pylist()
    for k, expected in enumerate(read_with_praat(paths, tmp_path)):
        assert reports[k]["ok"] and reports[k]["encoding"] == "latin-1"
        ours = [(r["tier_name"], r["tmin"], r["tmax"], r["label"]) for r in rows if r["file_id"] == k]
        assert ours == [(name, a, b, label) for name, _, items in expected[2] for a, b, label in items]


@pytest.mark.parametrize("asked, label", [("praat", "\x80\u00e9"), ("cp1252", CP1252_LABEL)])
def test_bytes_in_memory_take_the_same_encodings(asked, label):
    content = (HEADER + "\n" + SHORT_BODY).encode("cp1252")
    assert tavrel.loads(content, encoding=asked)[2][0][2] == [(0.0, 2.3, label)]
    table = tavrel.textgrids2table(["memory"], contents=[content], encoding=asked)
    assert pa.table(table)["label"].to_pylist() == [label]
    with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
        tavrel.loads(content)
