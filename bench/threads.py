"""Thread scaling, run on demand: `python bench/threads.py [--python PY ...] [--threads 1 2 4] ...`.

N Python threads share a fixed amount of work, each calling `textgrid2data`,
`loads` or `data2textgrid` on its share of small files; the speed-up at N threads
is the 1-thread time over the N-thread time, both timed in the same process,
interleaved round by round (the machine may be shared and noisy), each the median
of the rounds. Each interpreter given with --python (one with the lock, one
free-threaded: each with tavrel installed) runs in a fresh process, and the
table sets their speed-ups side by side. Written to bench/out/threads.json.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402  (the cached corpora)

CASES = ("textgrid2data", "loads", "data2textgrid")


def split(items, parts):
    return [items[k::parts] for k in range(parts)]


def timed_in_threads(n_threads, work):
    """Seconds from the moment N threads start together until the last one ends;
    `work(k)` is thread k's share."""
    barrier = threading.Barrier(n_threads + 1)
    errors = []

    def body(k):
        barrier.wait()
        try:
            work(k)
        except BaseException as error:  # reported after the join, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n_threads)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    seconds = time.perf_counter() - start
    if errors:
        raise errors[0]
    return seconds


def case_work(tavrel, case, layout, files, scratch, n_threads):
    """Thread k's share of one case, as a function of k."""
    shares = split(files, n_threads)
    if case == "textgrid2data":
        return lambda k: [tavrel.textgrid2data(p, False, layout) for p in shares[k]]
    if case == "loads":
        contents = split([run.read_bytes(p) for p in files], n_threads)
        return lambda k: [tavrel.loads(c, False, layout) for c in contents[k]]
    documents = split([tavrel.textgrid2data(p, False, layout) for p in files], n_threads)
    targets = split([os.path.join(scratch, os.path.basename(p)) for p in files], n_threads)
    return lambda k: [tavrel.data2textgrid(tiers, tmin, tmax, target, layout)
                      for (tmin, tmax, tiers), target in zip(documents[k], targets[k])]


def worker(args):
    import tavrel
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with lock"
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    # Writes go to memory where there is a file system there, so that the disk does not set the pace.
    scratch = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    out = []
    try:
        for layout in args.layouts:
            files = run.corpus(args.files, layout, "small")
            works = {(case, n): case_work(tavrel, case, layout, files, scratch, n)
                     for case in args.cases for n in args.threads}
            times = {key: [] for key in works}
            for _ in range(args.rounds):
                for key, work in works.items():
                    times[key].append(timed_in_threads(key[1], work))
            for (case, n), values in times.items():
                seconds = statistics.median(values)
                one = statistics.median(times[(case, 1)]) if (case, 1) in times else None
                out.append({"case": case, "layout": layout, "threads": n, "build": build, "gil": gil,
                            "python": sys.version.split()[0], "seconds": seconds, "files": len(files),
                            "speedup": one / seconds if one else None})
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(json.dumps(out))


def is_free_threaded(python):
    query = "import sysconfig; print(bool(sysconfig.get_config_var('Py_GIL_DISABLED')))"
    return subprocess.run([python, "-c", query], check=True, capture_output=True, text=True).stdout.strip() == "True"


def show(table):
    builds = sorted({(r["python"], r["build"], r["gil"]) for r in table}, key=str)
    print("speed-up of N threads over 1 thread (same process), per interpreter:")
    for python, build, gil in builds:
        print(f"  {python} {build} (GIL {'enabled' if gil else 'disabled'})")
    header = f"{'case':<15}{'layout':<8}{'threads':>8}" + "".join(f"{f'{p} {b}':>26}" for p, b, _ in builds)
    print(header)
    keys = sorted({(r["case"], r["layout"], r["threads"]) for r in table},
                  key=lambda k: (CASES.index(k[0]), k[1], k[2]))
    for case, layout, threads in keys:
        cells = []
        for python, build, gil in builds:
            match = [r for r in table if (r["case"], r["layout"], r["threads"], r["python"], r["build"])
                     == (case, layout, threads, python, build)]
            cells.append(f"{match[0]['speedup']:.2f}x ({match[0]['seconds'] * 1000:.0f} ms)" if match else "-")
        print(f"{case:<15}{layout:<8}{threads:>8}" + "".join(f"{c:>26}" for c in cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", nargs="+", default=[sys.executable],
                        help="interpreters to compare, each with tavrel installed (default: this one)")
    parser.add_argument("--threads", nargs="+", type=int, default=[1, 2, 4])
    parser.add_argument("--files", type=int, default=2000, help="small files (12 to 52 intervals) per layout")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--layouts", nargs="+", default=["long", "short"], choices=run.LAYOUTS)
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=CASES)
    parser.add_argument("--output", default=os.path.join(run.OUT, "threads.json"))
    parser.add_argument("--lock-off", action="store_true",
                        help="run free-threaded interpreters with PYTHON_GIL=0 (the lock forced off)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if 1 not in args.threads:
        args.threads = [1, *args.threads]
    if args.worker:
        worker(args)
        return
    table = []
    for python in args.python:
        command = [python, os.path.abspath(__file__), "--worker", "--threads", *map(str, args.threads),
                   "--files", str(args.files), "--rounds", str(args.rounds), "--layouts", *args.layouts,
                   "--cases", *args.cases]
        # One call runs on its calling thread; the pool stays out of the comparison.
        env = dict(os.environ, RAYON_NUM_THREADS="1")
        if args.lock_off and is_free_threaded(python):
            env["PYTHON_GIL"] = "0"
        result = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
        table += json.loads(result.stdout.strip().splitlines()[-1])
    show(table)
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        json.dump(table, f, indent=1)


if __name__ == "__main__":
    main()
