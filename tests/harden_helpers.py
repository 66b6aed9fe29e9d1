"""Shared by the hostile-input, fuzz, concurrency and reference-count tests.

Classifies a call's outcome into the documented ones, runs Python snippets in a
fresh interpreter (for crash isolation, timeouts and memory measurements) and
writes TextGrid text directly, independent of the module's own writers.
"""

import os
import subprocess
import sys
import textwrap

from support import is_panic  # noqa: F401 - re-exported for the tests

# Memory measurements mean nothing under ASan's allocator and shadow memory.
SANITIZED = os.environ.get("TAVREL_SANITIZED") == "1"

DOCUMENTED_ERRORS = (TypeError, ValueError, OverflowError, UnicodeEncodeError, OSError)




def outcome(function, *args):
    """("value", result), ("error", exception) or ("panic", exception).

    Anything else (another exception class, a PanicException caught by
    ``except Exception``) propagates and fails the calling test.
    """
    try:
        return "value", function(*args)
    except DOCUMENTED_ERRORS as error:
        return "error", error
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        if not is_panic(error):
            raise
        assert not isinstance(error, Exception), "PanicException must not be an Exception"
        return "panic", error


def run_python(code, timeout=120, env=None):
    """Runs `code` in a new interpreter that imports the module under test.

    A crash, a sanitizer abort or a deadlock (timeout) fails the caller's test
    instead of taking the test session down with it.
    """
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=full_env,
        )
    except subprocess.TimeoutExpired as expired:
        raise AssertionError(f"child did not finish within {timeout}s (deadlock?)") from expired


def check_child(completed):
    assert completed.returncode == 0, (
        f"child exited with {completed.returncode}\n"
        f"stdout:\n{completed.stdout[-4000:]}\nstderr:\n{completed.stderr[-4000:]}"
    )
    return completed.stdout


# Prints the growth of the child's peak resident set (bytes) caused by `work`.
RSS_GROWTH_SNIPPET = """
import resource
def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
def report_growth(work):
    before = peak_rss()
    work()
    print("RSS_GROWTH", peak_rss() - before)
"""


def rss_growth(stdout):
    for line in stdout.splitlines():
        if line.startswith("RSS_GROWTH "):
            return int(line.split()[1])
    raise AssertionError(f"no RSS_GROWTH line in child output:\n{stdout}")


def quote(text):
    return '"' + text + '"'


def long_text(tiers, tmin=0.0, tmax=None):
    """Long-layout text of tiers given as (name, is_interval, [(tmin, tmax, label)])."""
    if tmax is None:
        tmax = max((item[1] for _, _, items in tiers for item in items), default=1.0)
    lines = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "",
             f"xmin = {tmin!r}", f"xmax = {tmax!r}",
             "tiers? <exists>" if tiers else "tiers? <absent>", f"size = {len(tiers)}", "item []:"]
    for t, (name, is_interval, items) in enumerate(tiers, 1):
        kind = "intervals" if is_interval else "points"
        lines += [f"    item [{t}]:",
                  f"        class = {quote('IntervalTier' if is_interval else 'TextTier')}",
                  f"        name = {quote(name)}", f"        xmin = {tmin!r}",
                  f"        xmax = {tmax!r}",
                  f"        {kind}: size = {len(items)}"]
        for i, (start, end, label) in enumerate(items, 1):
            lines.append(f"        {kind} [{i}]:")
            if is_interval:
                lines += [f"            xmin = {start!r}", f"            xmax = {end!r}",
                          f"            text = {quote(label)}"]
            else:
                lines += [f"            number = {start!r}", f"            mark = {quote(label)}"]
    return "\n".join(lines) + "\n"


def short_text(tiers, tmin=0.0, tmax=None):
    """Short-layout text of tiers given as (name, is_interval, [(tmin, tmax, label)])."""
    if tmax is None:
        tmax = max((item[1] for _, _, items in tiers for item in items), default=1.0)
    lines = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", repr(tmin), repr(tmax),
             "<exists>" if tiers else "<absent>", str(len(tiers))]
    for name, is_interval, items in tiers:
        lines += [quote("IntervalTier" if is_interval else "TextTier"), quote(name), repr(tmin),
                  repr(tmax), str(len(items))]
        for start, end, label in items:
            if is_interval:
                lines += [repr(start), repr(end), quote(label)]
            else:
                lines += [repr(start), quote(label)]
    return "\n".join(lines) + "\n"


def sample_tiers(seed, tiers=2, items=5):
    """A small valid document whose contents depend on `seed`."""
    result = []
    for t in range(tiers):
        if t % 2 == 0:
            bounds = [round(0.1 * (seed + 1) * k, 6) for k in range(items + 1)]
            entries = [(bounds[k], bounds[k + 1], f"w{seed}_{t}_{k}") for k in range(items)]
            result.append((f"tier{t}", True, entries))
        else:
            times = [round(0.05 + 0.1 * (seed + 1) * k, 6) for k in range(items)]
            entries = [(time, time, f"p{k}") for k, time in enumerate(times)]
            result.append((f"points{t}", False, entries))
    return result
