"""Corpus-to-table benchmark, run on demand: `python bench/tables.py [--files N]`.

Reads the generated aligner-style corpus (`bench/out/corpus_<N>`, long layout)
with `textgrids2table`, and `textgrids2vectors` for comparison, against reading
the same files' bytes in a Python loop, in one subprocess per pool size
(RAYON_NUM_THREADS=1 and 2). Reports each time as a ratio to that bare read,
and the speed-up of two threads over one. Also reports the peak memory of
building the table against the table's own Arrow size.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate  # noqa: E402

OUT = os.path.join(HERE, "out")


def ensure_corpus(n_files):
    """Aligner-style files of a few hundred to a few thousand intervals, long layout."""
    directory = os.path.join(OUT, f"table_corpus_{n_files}")
    if not os.path.isdir(directory):
        os.makedirs(directory)
        for k in range(n_files):
            doc = generate.make_document(200 + (k * 7919) % 800, seed=k)
            generate.write(os.path.join(directory, f"f{k:05d}.TextGrid"), doc, "long")
    return sorted(os.path.join(directory, name) for name in os.listdir(directory))


def best_of(repeat, *fns):
    """Interleave the functions `repeat` times; return each one's best time."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def read_all_bytes(files):
    for path in files:
        with open(path, "rb") as f:
            f.read()


def worker(args):
    import tavrel

    files = ensure_corpus(args.files)
    base, table, vectors = best_of(args.repeat, lambda: read_all_bytes(files),
                                   lambda: tavrel.textgrids2table(files),
                                   lambda: tavrel.textgrids2vectors(files, False, "auto"))
    # CPU time of the calling thread (which only waits while the pool works)
    # against the whole process: the serial share of the work, which a busy
    # machine cannot distort the way it distorts wall-clock times.
    thread_start, process_start = time.thread_time(), time.process_time()
    tavrel.textgrids2table(files)
    serial = (time.thread_time() - thread_start) / (time.process_time() - process_start)
    print(json.dumps({"base": base, "table": table, "vectors": vectors, "serial": serial}))


def arrow_size(table):
    import pyarrow as pa

    return pa.table(table).get_total_buffer_size()


def memory_worker(args):
    """Peak RSS growth while building the table, against the table's Arrow size."""
    import tavrel

    files = ensure_corpus(args.files)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    table = tavrel.textgrids2table(files)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"growth": (peak - before) * 1024, "arrow": arrow_size(table), "rows": len(table)}))


def run_worker(what, threads, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, what, "--files", str(args.files), "--repeat", str(args.repeat)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("what", nargs="?", default="all", choices=["all", "worker", "memory-worker"])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if args.what == "worker":
        return worker(args)
    if args.what == "memory-worker":
        return memory_worker(args)
    files = ensure_corpus(args.files)
    size = sum(os.path.getsize(p) for p in files) / 1e6
    print(f"-- {len(files)} files, {size:.0f} MB, long layout")
    times = {}
    for threads in (1, 2):
        times[threads] = result = run_worker("worker", threads, args)
        for name in ("table", "vectors"):
            print(f"{name:<8} {threads} thread(s): {result[name] * 1e3:8.1f} ms  bare read {result['base'] * 1e3:7.1f} ms"
                  f"  ratio {result[name] / result['base']:5.2f}", flush=True)
    for name in ("table", "vectors"):
        print(f"{name:<8} speed-up of 2 threads over 1: {times[1][name] / times[2][name]:5.2f}")
    serial = times[2]["serial"]
    print(f"table    serial share of the CPU time with 2 threads: {serial:.3f}"
          f" (best possible speed-up {1 / (serial + (1 - serial) / 2):.2f})")
    memory = run_worker("memory-worker", 2, args)
    print(f"table peak memory growth {memory['growth'] / 1e6:.0f} MB for an Arrow size of {memory['arrow'] / 1e6:.0f} MB"
          f" ({memory['rows']} rows): ratio {memory['growth'] / memory['arrow']:.2f}")


if __name__ == "__main__":
    main()
