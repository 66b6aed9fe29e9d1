"""Batch reading: one entry per path in input order, empty entries for files
that fail to read, the earliest internal failure raised, and the same result
whether the list is read sequentially or on the worker pool."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tavrel
from support import DATA, EXAMPLE, panic_message
from support import EMPTY_DOCUMENT as EMPTY_ENTRY

VALID = str(DATA / "example_long_lf.TextGrid")


def available_processors():
    return len(os.sched_getaffinity(0))


def parallel_length():
    """A list length that reaches the parallel threshold (ten per processor)."""
    return max(40, 10 * available_processors() + 1)


def vectors_as_lists(vectors):
    return [list(column) if isinstance(column, list) else column.tolist() for column in vectors]


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("file_type", ["long", "short", "auto", "Long", ""])
def test_empty_list_gives_empty_result(strict, file_type):
    assert tavrel.textgrids2data([], strict, file_type) == []
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors([], strict, file_type)
    assert len(tmins) == len(tmaxs) == len(labels) == len(tier_names) == len(is_intervals) == len(file_ids) == 0


def test_failing_files_give_empty_entries(tmp_path):
    files = [str(tmp_path / "missing.TextGrid"), VALID, str(DATA / "empty.TextGrid")]
    assert tavrel.textgrids2data(files, False, "long") == [EMPTY_ENTRY, EXAMPLE, EMPTY_ENTRY]
    # The empty document fails validation when strict; so would a non-UTF-8 file.
    files.append(str(DATA / "latin1_long.TextGrid"))
    assert tavrel.textgrids2data(files, True, "long") == [EMPTY_ENTRY, EXAMPLE, EMPTY_ENTRY, EMPTY_ENTRY]


def test_vector_entries_are_numbered_by_input_position(tmp_path):
    files = [VALID, str(tmp_path / "missing.TextGrid"), str(DATA / "example_short_lf.TextGrid")]
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors(files, False, "auto")
    assert file_ids.dtype == np.uint32 and file_ids.tolist() == [0, 0, 0, 2, 2, 2]
    assert tmins.tolist() == [0.0, 1.2, 0.5] * 2
    assert tmaxs.tolist() == [1.2, 2.5, 0.5] * 2
    assert labels == ["hello", "wörld ☃", "click"] * 2
    assert tier_names == ["words", "words", "events"] * 2
    assert is_intervals.tolist() == [True, True, False] * 2


def test_batch_entries_equal_single_file_reads(tmp_path):
    names = ["example_long_crlf.TextGrid", "example_short_crlf.TextGrid", "long_overlap.TextGrid",
             "example_long_utf16le.TextGrid", "long_without_marker.TextGrid", "nonexistent.TextGrid"]
    files = [str(DATA / name) for name in names]
    for strict in (False, True):
        singles, single_vectors = [], []
        for path in files:
            try:
                singles.append(tavrel.textgrid2data(path, strict, "auto"))
                single_vectors.append(vectors_as_lists(tavrel.textgrid2vectors(path, strict, "auto")))
            except OSError:
                singles.append(EMPTY_ENTRY)
                single_vectors.append([[], [], [], [], []])
        assert tavrel.textgrids2data(files, strict, "auto") == singles
        batch = vectors_as_lists(tavrel.textgrids2vectors(files, strict, "auto"))
        expected_ids = [k for k, vectors in enumerate(single_vectors) for _ in vectors[0]]
        assert batch[5] == expected_ids
        for column in range(5):
            assert batch[column] == [value for vectors in single_vectors for value in vectors[column]]


def test_many_copies_read_in_parallel_give_identical_entries():
    files = [VALID] * 1000
    assert tavrel.textgrids2data(files, True, "auto") == [EXAMPLE] * 1000
    tmins, _, labels, _, _, file_ids = tavrel.textgrids2vectors(files, True, "auto")
    assert len(tmins) == 3000 and labels[-3:] == ["hello", "wörld ☃", "click"]
    assert file_ids.tolist() == [k for k in range(1000) for _ in range(3)]


@pytest.mark.parametrize("length", [3, 1000])
def test_unknown_file_type_fails_the_whole_call(length):
    files = ["does/not/exist.TextGrid"] * length
    assert panic_message(lambda: tavrel.textgrids2data(files, False, "Long")) == "Unknown file type: Long"
    assert panic_message(lambda: tavrel.textgrids2vectors(files, False, " auto")) == "Unknown file type:  auto"


@pytest.mark.parametrize("batch", [tavrel.textgrids2data, tavrel.textgrids2vectors])
def test_unknown_file_type_without_files_reads_nothing(batch):
    result = batch([], False, "Long")
    assert len(result if batch is tavrel.textgrids2data else result[0]) == 0
    with pytest.raises(TypeError, match="argument 'file_type'"):
        batch([], False, b"long")


@pytest.mark.parametrize("length", [6, "parallel"])
@pytest.mark.parametrize("batch", [tavrel.textgrids2data, tavrel.textgrids2vectors])
def test_earliest_internal_failure_is_raised(tmp_path, length, batch):
    length = parallel_length() if length == "parallel" else length
    early, late = 2, length - 2
    for index, class_word in [(early, "FirstBad"), (late, "SecondBad")]:
        text = (DATA / "example_long_lf.TextGrid").read_text(encoding="utf-8")
        (tmp_path / f"bad{index}.TextGrid").write_text(text.replace('"TextTier"', f'"{class_word}"'), encoding="utf-8")
    files = [VALID] * length
    files[early] = str(tmp_path / f"bad{early}.TextGrid")
    files[late] = str(tmp_path / f"bad{late}.TextGrid")
    assert panic_message(lambda: batch(files, False, "long")) == 'Unknown tier class: "FirstBad"'


def test_real_corpus_in_one_batch_matches_file_by_file(tmp_path):
    corpus = sorted(path for path in (DATA / "realcorpus").iterdir() if path.suffix.lower() == ".textgrid")
    files, expected = [], []
    for path in corpus:
        try:
            expected.append(tavrel.textgrid2data(str(path), False, "auto"))
        except OSError:
            expected.append(EMPTY_ENTRY)
        except BaseException as error:
            assert type(error).__name__ == "PanicException"
            continue  # such a file would fail the whole batch
        files.append(str(path))
    files = files * (parallel_length() // len(files) + 1)
    expected = expected * (len(files) // len(expected))
    result = tavrel.textgrids2data(files, False, "auto")
    assert len(result) == len(files)
    for got, want in zip(result, expected):
        assert repr(got) == repr(want)  # repr: NaN times compare equal this way


def test_paths_are_used_exactly_as_given(tmp_path, monkeypatch):
    shutil.copy(VALID, tmp_path / "here.TextGrid")
    monkeypatch.chdir(tmp_path)
    assert tavrel.textgrids2data(["here.TextGrid", "./here.TextGrid", "here.TextGrid "], False, "long") == [
        EXAMPLE,
        EXAMPLE,
        EMPTY_ENTRY,
    ]


STREAMED_BATCH = """
import hashlib, json, sys, tavrel
files, bad = json.load(sys.stdin)
def outcome(call):
    try:
        return repr(call())
    except BaseException as error:
        return type(error).__name__ + ": " + str(error)
results = [outcome(lambda: tavrel.textgrids2data(files, False, "auto")),
           outcome(lambda: [c if isinstance(c, list) else c.tolist()
                            for c in tavrel.textgrids2vectors(files, False, "auto")]),
           outcome(lambda: tavrel.textgrids2data(bad, False, "long")),
           outcome(lambda: tavrel.textgrids2vectors(bad, False, "long"))]
print(hashlib.sha256(repr(results).encode()).hexdigest())
"""


@pytest.fixture(scope="module")
def streamed_batch(tmp_path_factory):
    """A long list mixing small files, files that give empty entries, a file
    large enough to be parsed off the calling thread, and (for the second list)
    two internal failures, the later one in a file that is quick to parse."""
    folder = tmp_path_factory.mktemp("streamed")
    big = folder / "big.TextGrid"
    items = [(k * 0.5, k * 0.5 + 0.5, f"w{k % 50}") for k in range(30_000)]
    tavrel.data2textgrid([("words", True, items)], None, None, str(big), "long")
    assert big.stat().st_size > 2 << 20
    text = (DATA / "example_long_lf.TextGrid").read_text(encoding="utf-8")
    slow_bad = folder / "slow_bad.TextGrid"
    slow_bad.write_text(big.read_text(encoding="utf-8").replace('"IntervalTier"', '"FirstBad"'), encoding="utf-8")
    quick_bad = folder / "quick_bad.TextGrid"
    quick_bad.write_text(text.replace('"TextTier"', '"SecondBad"'), encoding="utf-8")
    pattern = [VALID, str(DATA / "example_short_lf.TextGrid"), str(folder / "missing.TextGrid"),
               str(folder), str(DATA / "latin1_long.TextGrid")]
    files = [pattern[k % len(pattern)] for k in range(400)]
    # A run of large files, which the calling thread hands to helpers while it waits.
    files[7] = files[200] = files[201] = files[202] = files[390] = str(big)
    bad = [VALID] * 300
    bad[150], bad[151] = str(slow_bad), str(quick_bad)
    return files, bad


def run_with_threads(threads, payload):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = str(Path(tavrel.__file__).parent.parent)
    run = subprocess.run([sys.executable, "-c", STREAMED_BATCH], input=json.dumps(payload), env=env,
                         capture_output=True, text=True, timeout=120, check=True)
    return run.stdout.strip()


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_streamed_batches_give_the_same_results_with_any_thread_count(streamed_batch, threads):
    """Files parsed by the calling thread, by pool threads, or off the calling
    thread because they are large, come back in input order; the earliest
    internal failure wins even when a later file fails sooner."""
    files, bad = streamed_batch
    expected_vectors = tavrel.textgrids2vectors(files, False, "auto")
    expected = [repr(tavrel.textgrids2data(files, False, "auto")),
                repr([c if isinstance(c, list) else c.tolist() for c in expected_vectors]),
                'PanicException: Unknown tier class: "FirstBad"',
                'PanicException: Unknown tier class: "FirstBad"']
    assert panic_message(lambda: tavrel.textgrids2data(bad, False, "long")) == 'Unknown tier class: "FirstBad"'
    readable = {k for k in range(400) if k % 5 < 2} | {7, 200, 201, 202}
    assert set(expected_vectors[5].tolist()) == readable
    assert run_with_threads(threads, [files, bad]) == hashlib.sha256(repr(expected).encode()).hexdigest()
