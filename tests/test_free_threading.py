"""Calls racing with threads that change the containers they were given.

On a free-threaded interpreter nothing serialises the threads, so a container
entry read without a strong reference can be freed under the reader; with the
interpreter lock a short switch interval gives the same races a chance. Each
scenario runs in a fresh interpreter with a timeout: a crash or a deadlock fails
the test instead of the session. A call must give the old content, the new one
or a clean error, never a crash or another result.
"""

import sys
import sysconfig

import pytest

from harden_helpers import check_child, long_text, run_python, sample_tiers

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded interpreter is needed")
def test_import_leaves_the_interpreter_lock_off():
    code = """
import sys, warnings
warnings.simplefilter("error")   # "The global interpreter lock (GIL) has been enabled ..."
import tavrel, tavrel.sources, tavrel.cli
assert not sys._is_gil_enabled()
print("OK")
"""
    assert "OK" in check_child(run_python(code, env={"PYTHON_GIL": ""}))


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    directory = tmp_path_factory.mktemp("racing")
    paths = []
    for k in range(12):
        path = directory / f"f{k:02}.TextGrid"
        path.write_text(long_text(sample_tiers(k, tiers=2, items=5)), encoding="utf-8")
        paths.append(str(path))
    return paths


PREAMBLE = """
import os, sys, threading, time, tavrel
PATHS = {paths!r}
OUT = {out!r}
SECONDS = {seconds!r}
sys.setswitchinterval(1e-6)

_names = threading.Lock()
_made = [0]
def unique_path(prefix):
    with _names:
        _made[0] += 1
        return os.path.join(OUT, "%s%d.TextGrid" % (prefix, _made[0]))

def fresh(value):
    # An equal object that is not the same one: the old entry may be freed.
    if isinstance(value, float): return float(repr(value))
    if isinstance(value, str): return "".join(list(value))
    if isinstance(value, tuple): return tuple(fresh(v) for v in value)
    if isinstance(value, list): return [fresh(v) for v in value]
    return value

def replace_entries(containers, stop):
    # Every entry of every list replaced by an equal fresh object, over and over.
    while not stop.is_set():
        for values in containers:
            for i in range(len(values)):
                values[i] = fresh(values[i])

def race(call, containers, check, callers=4, mutators=2):
    stop = threading.Event()
    problems = []
    def calling():
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            try:
                problem = check(call())
            except Exception as error:
                problem = "raised " + repr(error)
            if problem:
                problems.append(problem)
                break
    workers = [threading.Thread(target=replace_entries, args=(containers, stop))
               for _ in range(mutators)]
    callers = [threading.Thread(target=calling) for _ in range(callers)]
    for t in workers + callers: t.start()
    for t in callers: t.join()
    stop.set()
    for t in workers: t.join()
    assert not problems, problems[:3]
"""

# The parallel columns both vector writers are given: two tiers of intervals.
VECTOR_COLUMNS = """
tmins = [k * 0.5 for k in range(60)]
tmaxs = [k * 0.5 + 0.5 for k in range(60)]
labels = ["l%d" % k for k in range(60)]
names = ["a" if k % 2 else "b" for k in range(60)]
flags = [True] * 60
"""

# Each scenario: the shared containers, the call, and what it must give. The
# mutators only ever put equal objects in place, so the one right answer is the
# answer before any mutation.
SCENARIOS = {
    "data2textgrid": """
tiers = [("words", True, [(k * 0.5, k * 0.5 + 0.5, "w%d" % k) for k in range(40)]),
         ("marks", False, [(k * 0.25, k * 0.25, "p%d" % k) for k in range(40)])]
mutable = [tiers, tiers[0][2], tiers[1][2]]
expected = tavrel.dumps(tiers, 0.0, 20.0, "short")
def call():
    out = unique_path("d")
    tavrel.data2textgrid(tiers, 0.0, 20.0, out, "short")
    with open(out, "rb") as handle: text = handle.read()
    os.unlink(out)
    return text
race(call, mutable, lambda text: None if text == expected else "different text")
race(lambda: tavrel.dumps(tiers, 0.0, 20.0, "short"), mutable,
     lambda text: None if text == expected else "different dumps")
""",
    "vectors2textgrid": VECTOR_COLUMNS + """
expected_path = os.path.join(OUT, "expected.TextGrid")
tavrel.vectors2textgrid(tmins, tmaxs, labels, names, flags, None, None, expected_path, "long")
expected = open(expected_path, "rb").read()
def call():
    out = unique_path("v")
    tavrel.vectors2textgrid(tmins, tmaxs, labels, names, flags, None, None, out, "long")
    with open(out, "rb") as handle: text = handle.read()
    os.unlink(out)
    return text
race(call, [tmins, tmaxs, labels, names, flags],
     lambda text: None if text == expected else "different text")
""",
    "vectors2textgrids": VECTOR_COLUMNS + """
ids = [k % 3 for k in range(60)]
def call():
    outs = [unique_path("m") for k in range(3)]
    reports = tavrel.vectors2textgrids(tmins, tmaxs, labels, names, flags, ids, outs, "long")
    texts = [open(o, "rb").read() for o in outs]
    for o in outs: os.unlink(o)
    return reports.failures, [tavrel.loads(t, True) for t in texts]
expected = call()
race(call, [tmins, tmaxs, labels, names, flags, ids],
     lambda got: None if got == expected else "different files")
""",
    "reading": """
paths = list(PATHS)
expected_data = tavrel.textgrids2data(paths, True, "auto")
expected_rows = tavrel.textgrids2table(paths).num_rows
def same_vectors(got, want):
    import numpy
    return all(numpy.array_equal(a, b) for a, b in zip(got, want))
expected_vectors = tavrel.textgrids2vectors(paths, True, "auto")
race(lambda: tavrel.textgrids2data(paths, True, "auto"), [paths],
     lambda got: None if got == expected_data else "different documents")
race(lambda: tavrel.textgrids2vectors(paths, True, "auto"), [paths],
     lambda got: None if same_vectors(got, expected_vectors) else "different vectors")
race(lambda: tavrel.textgrids2table(paths).num_rows, [paths],
     lambda got: None if got == expected_rows else "different table")
race(lambda: [tavrel.textgrid2data(p, True, "auto") for p in paths], [paths],
     lambda got: None if got == expected_data else "different document")
""",
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_calls_racing_with_equal_replacements(scenario, corpus, tmp_path):
    seconds = 2.0 if FREE_THREADED else 0.5
    code = PREAMBLE.format(paths=corpus, out=str(tmp_path), seconds=seconds)
    code += SCENARIOS[scenario] + '\nprint("OK")\n'
    assert "OK" in check_child(run_python(code, timeout=240))


def test_lists_that_grow_and_shrink_during_a_call(corpus, tmp_path):
    # Entries appended and removed while a call walks the list: each call sees
    # some prefix-consistent content or fails cleanly, and never crashes.
    code = PREAMBLE.format(paths=corpus, out=str(tmp_path), seconds=1.0) + """
items = [(k * 0.5, k * 0.5 + 0.5, "w%d" % k) for k in range(30)]
tiers = [("words", True, items)]
paths = list(PATHS)
base = tavrel.dumps(tiers, 0.0, 101.0, "short").count(b"\\n")
stop = threading.Event()
def churn():
    while not stop.is_set():
        items.append((100.0, 100.5, "extra")); paths.append(PATHS[0])
        items.pop(); paths.pop()
texts = set()
worker = threading.Thread(target=churn)
worker.start()
deadline = time.monotonic() + SECONDS
while time.monotonic() < deadline:
    texts.add(tavrel.dumps(tiers, 0.0, 101.0, "short").count(b"\\n"))
    assert len(tavrel.textgrids2data(paths, True, "auto")) in (len(PATHS), len(PATHS) + 1)
stop.set()
worker.join()
assert texts <= {base, base + 3}, texts   # an item is three lines of the short layout
print("OK")
"""
    assert "OK" in check_child(run_python(code, timeout=240))
