"""The worker pool seen from Python: it keeps working in a forked child whose
parent already started it, the thread-count variables never change a result,
and a process that used the pool exits promptly."""

import hashlib
import multiprocessing
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tavrel

INTERVALS = 50_000
TIMEOUT = 60


def long_text():
    """A tier large enough to be exported on the pool on any machine, plus a small one."""
    tmax = INTERVALS / 100
    lines = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "xmin = 0", f"xmax = {tmax}",
             "tiers? <exists>", "size = 2", "item []:",
             "    item [1]:", '        class = "IntervalTier"', '        name = "words"',
             "        xmin = 0", f"        xmax = {tmax}", f"        intervals: size = {INTERVALS}"]
    for i in range(INTERVALS):
        lines += [f"        intervals [{i + 1}]:", f"            xmin = {i / 100}",
                  f"            xmax = {(i + 1) / 100}", f'            text = "w{i % 977}"']
    lines += ["    item [2]:", '        class = "TextTier"', '        name = "events"',
              "        xmin = 0", f"        xmax = {tmax}", "        points: size = 1",
              "        points [1]:", "            number = 0.005", '            mark = "click"']
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("pool") / "big.TextGrid"
    path.write_text(long_text(), encoding="utf-8")
    return str(path)


def digest(data):
    return hashlib.sha256(repr(data).encode()).hexdigest()


def read_in_forked_child(path, expected):
    os._exit(0 if tavrel.textgrid2data(path, True, "long") == expected else 1)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a multi-threaded process
def test_forked_child_reads_like_its_parent(big_file):
    parent_result = tavrel.textgrid2data(big_file, True, "long")  # starts the pool in the parent
    assert len(parent_result[2][0][2]) == INTERVALS
    child = multiprocessing.get_context("fork").Process(
        target=read_in_forked_child, args=(big_file, parent_result)
    )
    child.start()
    child.join(TIMEOUT)
    if child.exitcode is None:
        child.kill()
        pytest.fail("forked child hung while using the worker pool")
    assert child.exitcode == 0
    assert tavrel.textgrid2data(big_file, True, "long") == parent_result  # the parent's pool still works


READ_AND_DIGEST = """
import hashlib, sys, tavrel
data = tavrel.textgrid2data(sys.argv[1], True, "long")
print(hashlib.sha256(repr(data).encode()).hexdigest())
"""


@pytest.mark.parametrize(
    "settings",
    [
        {"RAYON_NUM_THREADS": "1"},
        {"RAYON_NUM_THREADS": "3"},
        {"RAYON_RS_NUM_CPUS": "2"},
        {"RAYON_NUM_THREADS": "not a number"},
    ],
)
def test_thread_count_settings_give_identical_results(big_file, settings):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(settings)
    env["PYTHONPATH"] = str(Path(tavrel.__file__).parent.parent)
    # The timeout also guards against a hang at interpreter shutdown with live pool threads.
    run = subprocess.run(
        [sys.executable, "-c", READ_AND_DIGEST, big_file],
        env=env, capture_output=True, text=True, timeout=TIMEOUT, check=True,
    )
    assert run.stdout.strip() == digest(tavrel.textgrid2data(big_file, True, "long"))
