"""Pictures of the tiers: tavrel.plot and `tavrel plot`."""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tavrel

pytest.importorskip("matplotlib")

ALIGNED = Path(__file__).parent.parent / "examples" / "data" / "aligner" / "FR001_5.TextGrid"
WORDS = ("words", True, [(0.0, 0.5, "hello"), (0.5, 1.0, "world"), (1.0, 2.0, "")])
CLICKS = ("clicks", False, [(0.2, 0.2, "tap"), (1.5, 1.5, "tip")])
MAGIC = {"png": b"\x89PNG", "svg": b"<?xml", "pdf": b"%PDF"}
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry))


def texts(figure):
    return [text.get_text() for text in figure.axes[0].texts]


def marks(figure):
    """The boundary or point times drawn, band by band."""
    return [sorted({float(segment[0][0]) for segment in lines.get_segments()})
            for lines in figure.axes[0].collections]


@pytest.fixture
def grid_file(tmp_path):
    path = tmp_path / "grid.TextGrid"
    tavrel.data2textgrid([WORDS, CLICKS], 0.0, 2.0, str(path), "long")
    return path


@pytest.mark.parametrize("kind", ["str", "path", "bytes", "document", "tiers"])
def test_draws_every_source_as_the_editor_does(grid_file, kind):
    source = {"str": str(grid_file), "path": grid_file, "bytes": grid_file.read_bytes(),
              "document": (0.0, 2.0, [WORDS, CLICKS]), "tiers": [WORDS, CLICKS]}[kind]
    figure = tavrel.plot(source)
    ax = figure.axes[0]
    assert [label.get_text() for label in ax.get_yticklabels()] == ["words", "clicks"]
    assert ax.get_xlim() == (0.0, 2.0)
    assert texts(figure) == ["hello", "world", "tap", "tip"]
    assert marks(figure) == [[0.0, 0.5, 1.0, 2.0], [0.2, 1.5]]


@pytest.mark.parametrize("window, tiers, shown, xlim", [
    ((0.6, 1.8), None, ["world", "tip"], (0.6, 1.8)),
    ((None, 0.4), ["clicks"], ["tap"], (0.0, 0.4)),
    ((None, None), ["clicks", "words"], ["tap", "tip", "hello", "world"], (0.0, 2.0)),
    ((None, None), "words", ["hello", "world"], (0.0, 2.0)),
])
def test_window_and_tiers(grid_file, window, tiers, shown, xlim):
    figure = tavrel.plot(grid_file, *window, tiers=tiers)
    assert texts(figure) == shown
    assert figure.axes[0].get_xlim() == xlim


@pytest.mark.parametrize("source, error, words", [
    (["a.TextGrid", "b.TextGrid"], TypeError, "one path, not a list of 2"),
    ((Path("a.TextGrid"),), TypeError, "one path"),
    ([b"a.TextGrid"], TypeError, "one path"),
    (3.5, TypeError, "not float"),
])
def test_one_document_at_a_time(source, error, words):
    with pytest.raises(error, match=words):
        tavrel.plot(source)


@pytest.mark.parametrize("arguments, words", [
    ({"tmin": 1.0, "tmax": 1.0}, "window is empty"),
    ({"tiers": ["words", "phones"]}, "no tier named 'phones'; the tiers are 'words', 'clicks'"),
])
def test_bad_window_or_tier(arguments, words):
    with pytest.raises(ValueError, match=words):
        tavrel.plot([WORDS, CLICKS], **arguments)


def test_draws_into_given_axes():
    from matplotlib.figure import Figure

    figure = Figure()
    ax = figure.add_subplot(2, 1, 2)
    assert tavrel.plot([WORDS], ax=ax) is figure and ax.texts


def test_import_does_not_load_matplotlib():
    code = ("import sys, tavrel; tavrel.plot; tavrel.sources.find; "
            "assert 'matplotlib' not in sys.modules, 'matplotlib imported'")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_labels_that_do_not_fit_are_elided_not_overlapped():
    seed = int(os.environ.get("PLOT_SEED", time.time_ns() % 10_000))
    print("seed", seed)
    rng = np.random.default_rng(seed)
    bounds = np.concatenate([[0.0], np.cumsum(rng.uniform(0.02, 0.6, 40))])
    words = ("words", True, [(float(a), float(b), "w" * int(rng.integers(1, 14)))
                             for a, b in zip(bounds[:-1], bounds[1:])])
    figure = tavrel.plot([words])
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    renderer = FigureCanvasAgg(figure).get_renderer()
    boxes = sorted((text.get_window_extent(renderer) for text in figure.axes[0].texts),
                   key=lambda box: box.x0)
    assert all(left.x1 <= right.x0 for left, right in zip(boxes, boxes[1:]))
    shown = texts(figure)
    assert any(text.endswith("\u2026") for text in shown) and len(shown) < len(words[2])


def test_window_of_a_million_items_is_quick(tmp_path):
    count = 1_000_000
    times = np.arange(count + 1) * 0.01
    path = str(tmp_path / "long.TextGrid")
    tavrel.vectors2textgrid(times[:-1], times[1:], ["ab"] * count, ["phones"] * count,
                            np.ones(count, bool), None, None, path, "short")
    start = time.perf_counter()
    figure = tavrel.plot(path, 5000.0, 5010.0)
    figure.savefig(tmp_path / "window.png")
    elapsed = time.perf_counter() - start
    assert len(marks(figure)[0]) == 1001 and elapsed < 2.0, elapsed


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tavrel", "plot", *map(str, args)], cwd=cwd,
                          env=ENV, capture_output=True, text=True)


@pytest.mark.parametrize("fmt", ["png", "svg", "pdf"])
def test_command_saves_each_format(grid_file, tmp_path, fmt):
    out = tmp_path / f"tiers.{fmt}"
    done = run(grid_file, "--from", "0.1", "--to", "1.9", "--tiers", "words", "--out", out)
    assert done.returncode == 0, done.stderr
    assert out.read_bytes().startswith(MAGIC[fmt])
    assert sorted(os.listdir(tmp_path)) == sorted(["grid.TextGrid", out.name])  # no temporary left
    assert out.stat().st_mode & 0o777 == grid_file.stat().st_mode & 0o777  # not mkstemp's private mode


@pytest.mark.parametrize("arguments, status, words", [
    (["{dir}", "--out", "x.png"], 2, "is a folder"),
    (["{file}", "--out", "x.jpg"], 2, "must end in .png, .svg or .pdf"),
    (["{file}", "--tiers", "phones", "--out", "x.png"], 2, "no tier named 'phones'"),
    (["{file}", "--from", "3", "--to", "1", "--out", "x.png"], 2, "window is empty"),
    (["{dir}/missing.TextGrid", "--out", "x.png"], 2, "no such file or folder"),
    (["{broken}", "--out", "x.png"], 1, "broken.TextGrid"),
])
def test_command_errors(grid_file, tmp_path, arguments, status, words):
    broken = tmp_path / "broken.TextGrid"
    broken.write_text('File type = "ooTextFile"\nObject class = "TextGrid"\n\nxmin = 0\n')
    args = [a.format(dir=tmp_path, file=grid_file, broken=broken) for a in arguments]
    done = run(*args, cwd=tmp_path)
    assert done.returncode == status and words in done.stderr, done.stderr
    assert not (tmp_path / "x.png").exists()
