"""The encoding words everywhere: every command's --encoding and the four reading
functions' keyword-only `encoding=` read a Latin-1 file; without them the file is
refused as before, and check and the commands say which words read it."""

import csv
import json

import numpy as np
import pytest

import tavrel
from test_cli import run
from textgrid_samples import long_text

# A tier name and a label outside ASCII; byte 0x80 is "€" in cp1252, a C1 control in Latin-1.
DOCUMENT = (0.0, 2.0, [("caf\u00e9", True, [(0.0, 1.0, "\u00e9t\u00e9"), (1.0, 2.0, "x\u20acy")])])
DECODED = {"latin-1": "x\x80y", "cp1252": "x\u20acy", "praat": "x\x80y"}
UTF8_REFUSED = "stream did not contain valid UTF-8"
HINT = "--encoding latin-1 or praat reads it"


@pytest.fixture
def latin(tmp_path):
    path = tmp_path / "latin.TextGrid"
    path.write_bytes(long_text(DOCUMENT).encode("cp1252"))
    return path


def labels(name, path, encoding):
    """The labels one of the four reading functions gives for `path`."""
    function = getattr(tavrel, name)
    batch = name.startswith("textgrids")
    found = function([str(path)] if batch else str(path), True, "auto", encoding=encoding)
    if name.endswith("vectors"):
        return list(found[2])
    documents = found if batch else [found]
    return [label for _, _, tiers in documents for _, _, items in tiers for *_, label in items]


READERS = ["textgrid2data", "textgrids2data", "textgrid2vectors", "textgrids2vectors"]


@pytest.mark.parametrize("encoding", sorted(DECODED))
@pytest.mark.parametrize("name", READERS)
def test_reading_functions_take_the_encoding_by_keyword(latin, name, encoding):
    assert labels(name, latin, encoding) == ["\u00e9t\u00e9", DECODED[encoding]]


@pytest.mark.parametrize("name", READERS)
def test_positional_use_is_unchanged(latin, tmp_path, name):
    function = getattr(tavrel, name)
    batch = name.startswith("textgrids")
    given = [str(latin)] if batch else str(latin)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 3 positional arguments but 4 were given$"):
        function(given, True, "auto", "latin-1")
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'file_type'$"):
        function(given, True, encoding="latin-1")
    good = tmp_path / "utf8.TextGrid"
    good.write_text(long_text(DOCUMENT), encoding="utf-8")
    plain = function([str(good)] if batch else str(good), True, "auto")
    explicit = function([str(good)] if batch else str(good), True, "auto", encoding="utf-8")
    assert repr(plain) == repr(explicit)
    if not batch:  # the message of a file that is not UTF-8 stays as it was
        for encoding in ({}, {"encoding": "utf-8"}):
            with pytest.raises(OSError) as caught:
                function(str(latin), True, "auto", **encoding)
            assert str(caught.value) == f"Failed to read TextGrid file {latin} because: {UTF8_REFUSED}"
    elif name == "textgrids2data":
        assert function([str(latin)], True, "auto") == [(0.0, 0.0, [])]
    else:
        assert len(function([str(latin)], True, "auto")[0]) == 0


@pytest.mark.parametrize("word, error", [("koi8-r", ValueError), ("UTF-8 ", ValueError), (b"utf-8", TypeError),
                                         (None, TypeError)])
@pytest.mark.parametrize("name", READERS)
def test_unknown_encoding_words_are_refused_before_reading(name, word, error):
    given = [] if name.startswith("textgrids") else "never-read.TextGrid"
    with pytest.raises(error, match="encoding"):
        getattr(tavrel, name)(given, True, "auto", encoding=word)


def command_output(command, tmp_path, encoding):
    """What `command` makes of latin.TextGrid: (status, text holding the labels or names)."""
    options = ["--encoding", encoding] if encoding else []
    if command == "convert":
        result = run(["convert", *options, "--to", "short", "--out", "out", "latin.TextGrid"], tmp_path)
        made = tmp_path / "out" / "latin.TextGrid"
        return result, made.read_text(encoding="utf-8") if made.exists() else ""
    if command == "table":
        result = run(["table", *options, "--out", "t.csv", "latin.TextGrid"], tmp_path)
        with open(tmp_path / "t.csv", newline="", encoding="utf-8") as stream:
            return result, " ".join(row["label"] for row in csv.DictReader(stream))
    result = run([command, *options, "latin.TextGrid"], tmp_path)
    return result, result.stdout


# (command, what its output shows of the file once read)
COMMANDS = [("info", "caf\u00e9"), ("check", "1 passed"), ("convert", "\u00e9t\u00e9"),
            ("table", "\u00e9t\u00e9")]


@pytest.mark.parametrize("encoding", ["latin-1", "cp1252", "praat"])
@pytest.mark.parametrize("command, shown", COMMANDS, ids=[c for c, _ in COMMANDS])
def test_every_command_reads_in_the_encoding_asked_for(latin, tmp_path, command, shown, encoding):
    result, text = command_output(command, tmp_path, encoding)
    assert result.returncode == 0, result.stdout + result.stderr
    assert shown in text
    if command in ("convert", "table"):
        assert DECODED[encoding] in text


@pytest.mark.parametrize("command", [c for c, _ in COMMANDS])
def test_every_command_says_which_words_read_a_file_that_is_not_utf8(latin, tmp_path, command):
    result, _ = command_output(command, tmp_path, None)
    assert result.returncode == 1
    assert f"latin.TextGrid:11: encoding: {UTF8_REFUSED}; {HINT}" in result.stdout.splitlines()
    assert run([command, "--encoding", "koi8-r", "latin.TextGrid"], tmp_path).returncode == 2


UTF16 = long_text(DOCUMENT).encode("utf-16-le")
# (case, bytes, --encoding, the message check gives): no hint where no word reads the file.
UNDECODABLE = [
    ("8-bit", long_text(DOCUMENT).encode("latin-1", "replace"), "utf-8", f"{UTF8_REFUSED}; {HINT}"),
    ("UTF-16 without byte-order mark", UTF16, "utf-8",
     f"{UTF8_REFUSED}: it is UTF-16 without a byte-order mark"),
    ("the same, read as Latin-1", UTF16, "latin-1", f"{UTF8_REFUSED}: it is UTF-16 without a byte-order mark"),
    ("invalid after a UTF-8 byte-order mark", b"\xef\xbb\xbf" + long_text(DOCUMENT).encode("latin-1", "replace"),
     "praat", f"{UTF8_REFUSED} after its UTF-8 byte-order mark"),
]


@pytest.mark.parametrize("data, encoding, message", [case[1:] for case in UNDECODABLE],
                         ids=[case[0] for case in UNDECODABLE])
def test_the_hint_is_given_only_where_another_encoding_reads_the_file(tmp_path, data, encoding, message):
    (tmp_path / "f.TextGrid").write_bytes(data)
    result = run(["check", "--json", "--encoding", encoding, "f.TextGrid"], tmp_path)
    (record,) = [json.loads(line) for line in result.stdout.splitlines()]
    assert (record["error_kind"], record["message"]) == ("encoding", message)
    assert record["error"].endswith(f"because: {UTF8_REFUSED}")
    result = run(["info", "--encoding", encoding, "f.TextGrid"], tmp_path)
    assert result.stdout.splitlines()[0].endswith(f"encoding: {message}")


def test_convert_writes_the_decoded_text_as_utf8(latin, tmp_path):
    run(["convert", "--encoding", "cp1252", "--to", "long", "--out", "out", "latin.TextGrid"], tmp_path)
    assert tavrel.textgrid2data(str(tmp_path / "out" / "latin.TextGrid"), True, "auto") == DOCUMENT
    assert np.array_equal(tavrel.textgrid2vectors(str(latin), True, "auto", encoding="cp1252")[0], [0.0, 1.0])
