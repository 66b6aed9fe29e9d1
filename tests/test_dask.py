"""The Dask recipe of examples/dask_corpus.py on a local cluster of two worker
processes: the same items and reports as one read in this process, from a folder,
from a folder served over HTTP on loopback and from a zip archive (the workers fetch
the bytes themselves)."""

import importlib
import os
import random
import sys
from pathlib import Path

import pytest

pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

from textgrid_samples import long_text  # noqa: E402

EXAMPLES = Path(__file__).parent.parent / "examples"


def load_recipe():
    """examples/dask_corpus.py, imported by the name the workers find it by."""
    return importlib.import_module("dask_corpus")


def make_corpus(folder, count, seed):
    """`count` generated files in nested folders, every seventh one damaged."""
    print(f"corpus seed: {seed}")
    rng = random.Random(seed)
    for k in range(count):
        ends = sorted(rng.sample(range(1, 1000), rng.randint(1, 12)))
        starts = [0] + ends[:-1]
        words = [(s / 100, e / 100, rng.choice(["", "a", "the", 'say "hi"', "wörld"]))
                 for s, e in zip(starts, ends)]
        points = [(t / 100, t / 100, "p") for t in sorted(rng.sample(range(ends[-1]), 2))]
        text = long_text((0.0, ends[-1] / 100, [("words", True, words),
                                                 (rng.choice(["events", "ev"]), False, points)]))
        if k % 7 == 3:
            text = text.replace('"TextTier"', '"Unknown"')
        path = folder / f"part{k % 3}" / f"f{k:03d}.TextGrid"
        path.parent.mkdir(exist_ok=True)
        path.write_text(text, encoding="utf-8")


@pytest.fixture(scope="module")
def cluster():
    from distributed import Client, LocalCluster

    # Worker processes import tavrel and the recipe by the same paths as this one
    # (the started processes copy sys.path; processes of their own read PYTHONPATH).
    sys.path.insert(0, str(EXAMPLES))
    search = [str(EXAMPLES)] + [os.path.abspath(p) for p in
                                os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(search)
    try:
        with LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                          dashboard_address=None) as local, Client(local) as client:
            yield client
    finally:
        sys.path.remove(str(EXAMPLES))
        if old is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = old


def plain(frame):
    """Rows as records, in file order, with every kind of missing value as None (Dask
    keeps text as Arrow-backed strings, pandas as objects)."""
    frame = frame.sort_values(["file_id"], kind="stable").reset_index(drop=True)
    return frame.astype(object).where(frame.notna(), None).to_dict("records")


@pytest.mark.parametrize("chunk_files", [7, 100])
def test_cluster_read_equals_single_read(cluster, tmp_path, chunk_files):
    recipe = load_recipe()
    make_corpus(tmp_path, 40, seed=1234)
    paths = recipe.find_textgrids(tmp_path)
    assert len(paths) == 40

    items, reports = recipe.corpus_frames(paths, chunk_files=chunk_files)
    assert items.npartitions == -(-40 // chunk_files)
    from distributed import wait

    futures = cluster.compute([items, reports])
    wait(futures, timeout=120)  # a worker that cannot run the tasks fails, not hangs
    got_items, got_reports = cluster.gather(futures)

    want_items, want_reports = recipe.read_chunk(paths, 0)
    assert len(want_items) > 100 and (~want_reports.ok).sum() == 6
    assert plain(got_items) == plain(want_items)
    assert plain(got_reports) == plain(want_reports)
    # The file ids are the positions in `paths`, whatever the chunk.
    assert (got_reports.sort_values("file_id").path.tolist() == paths)


@pytest.fixture
def served(tmp_path):
    """tmp_path on a loopback HTTP server, with directory listings."""
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    import functools
    import http.server
    import threading

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=str(tmp_path)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    thread.join()


def without_prefix(frame, column, prefix):
    frame = frame.copy()
    frame[column] = [value[len(prefix):] for value in frame[column].astype(str)]
    return frame


@pytest.mark.parametrize("where", ["http folder", "zip", "zip over http"])
def test_cluster_reads_remote_corpus_as_local_one(cluster, tmp_path, served, where):
    import shutil

    recipe = load_recipe()
    (tmp_path / "corpus").mkdir()
    make_corpus(tmp_path / "corpus", 30, seed=99)
    local = recipe.find_textgrids(tmp_path / "corpus")
    want_items, want_reports = recipe.read_chunk(local, 0)
    shutil.make_archive(str(tmp_path / "corpus"), "zip", tmp_path / "corpus")
    location = {"http folder": f"{served}/corpus/", "zip": str(tmp_path / "corpus.zip"),
                "zip over http": f"{served}/corpus.zip"}[where]
    names = recipe.find_textgrids(location)
    prefix = location.rstrip("/") + "/"
    assert [name[len(prefix):] for name in names] == [
        os.path.relpath(path, tmp_path / "corpus") for path in local]

    from distributed import wait

    items, reports = recipe.corpus_frames(names, chunk_files=8)
    futures = cluster.compute([items, reports])
    wait(futures, timeout=120)
    got_items, got_reports = cluster.gather(futures)
    local_prefix = str(tmp_path / "corpus") + "/"
    assert plain(without_prefix(got_items, "file", prefix)) == plain(
        without_prefix(want_items, "file", local_prefix))
    got = without_prefix(got_reports, "path", prefix)
    want = without_prefix(want_reports, "path", local_prefix)
    for frame, strip in ((got, prefix), (want, local_prefix)):
        frame["error"] = [e.replace(strip, "") if isinstance(e, str) else None
                          for e in frame["error"]]
    assert plain(got) == plain(want)
