"""A file that is no TextGrid (a README, a CSV or JSON file) is reported as "not a
TextGrid file", kind `format`, by the table reports, check and convert, instead
of whatever its parse met first; bytes that do not decode stay `encoding`, and a
file with a TextGrid header keeps its own fault. The six functions' messages do
not change."""

import json

import pytest

import tavrel
from test_cli import run
from textgrid_samples import EXAMPLE, long_text

pa = pytest.importorskip("pyarrow")

TEXT = long_text(EXAMPLE)
NOT_A_TEXTGRID = "not a TextGrid file"

# (case, bytes, report kind, reported error after "because: " or None when read)
FILES = [
    ("readme", b"# Notes\n\nSome text with numbers 1 2 3\n", "format", NOT_A_TEXTGRID),
    ("csv", b"file,tmin,tmax\na.wav,0,1\n", "format", NOT_A_TEXTGRID),
    ("json", b'{"tiers": [1, 2]}\n', "format", NOT_A_TEXTGRID),
    ("one word", b"hello", "format", NOT_A_TEXTGRID),
    ("binary bytes", b"PAR1\x15\x00\x15\xa8\x01\x2c\x00\xff\xfe", "encoding",
     "stream did not contain valid UTF-8"),
    ("a TextGrid with an unknown class", TEXT.replace('"TextTier"', '"Foo"').encode(), "structure",
     None),
    ("a TextGrid cut short", TEXT.encode()[:200], "validation", None),
    ("a TextGrid without its header lines", "\n".join(TEXT.split("\n")[3:]).encode(), None, None),
]


def report_of(data):
    return pa.table(tavrel.textgrids2table(["f.TextGrid"], strict=True, contents=[data]).reports
                    ).to_pylist()[0]


@pytest.mark.parametrize("data, kind, error", [case[1:] for case in FILES],
                         ids=[case[0] for case in FILES])
def test_reports_say_what_is_no_textgrid(tmp_path, data, kind, error):
    report = report_of(data)
    assert report["error_kind"] == kind
    if error is not None:
        assert report["error"] == f"Failed to read TextGrid file f.TextGrid because: {error}"
    if kind == "format":
        assert report["layout"] is None and report["line"] is None
    (tmp_path / "f.TextGrid").write_bytes(data)
    result = run(["check", "--json", "f.TextGrid"], tmp_path)
    (record,) = [json.loads(line) for line in result.stdout.splitlines()]
    assert record["error_kind"] == kind
    if kind == "format":
        assert record["message"] == NOT_A_TEXTGRID
        expected = f"f.TextGrid: format: {NOT_A_TEXTGRID}"
        assert run(["check", "-q", "f.TextGrid"], tmp_path).stdout.splitlines() == [expected]
        converted = run(["convert", "-q", "--to", "long", "--out", "out", "f.TextGrid"], tmp_path)
        assert converted.stdout.splitlines() == [expected]


@pytest.mark.parametrize("data", [case[1] for case in FILES if case[2] == "format"])
def test_the_functions_keep_their_messages(tmp_path, data):
    path = tmp_path / "f.TextGrid"
    path.write_bytes(data)
    with pytest.raises(BaseException) as caught:
        tavrel.textgrid2data(str(path), False, "auto")
    assert NOT_A_TEXTGRID not in str(caught.value)
    with pytest.raises(BaseException) as batch:  # a structurally broken file, as before
        tavrel.textgrids2data([str(path)], False, "auto")
    assert str(batch.value) == str(caught.value)
