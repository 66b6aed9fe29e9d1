"""Benchmarks, run on demand: `python bench/run.py [read|write|batch ...]`.

Speed is reported as a ratio to a baseline measured in the same run (the machine
is shared and noisy): reading is compared with `open(p, "rb").read()` of the same
file, writing with one `write` of a prepared `bytes` object of the same size, and
batch reading with reading the same files' bytes in a Python loop. Each timing is
the best of several repetitions, baseline and candidate interleaved.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate  # noqa: E402

OUT = os.path.join(HERE, "out")


def best_of(repeat, *fns):
    """Interleave the functions `repeat` times; return each one's best time."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def ensure_big_files(n_intervals):
    os.makedirs(OUT, exist_ok=True)
    paths = {}
    doc = None
    for layout in ("long", "short"):
        path = os.path.join(OUT, f"big_{n_intervals}.{layout}.TextGrid")
        if not os.path.exists(path):
            doc = doc or generate.make_document(n_intervals, seed=7)
            generate.write(path, doc, layout)
        paths[layout] = path
    return paths


def report(name, seconds, baseline):
    print(f"{name:<44} {seconds * 1e3:9.1f} ms  baseline {baseline * 1e3:8.1f} ms  "
          f"ratio {seconds / baseline:6.2f}", flush=True)


def bench_read(args):
    import tavrel

    for layout, path in ensure_big_files(args.intervals).items():
        size = os.path.getsize(path) / 1e6
        print(f"-- {layout} layout, {args.intervals} intervals, {size:.0f} MB")
        for fn_name in ("textgrid2data", "textgrid2vectors"):
            fn = getattr(tavrel, fn_name)
            base, t = best_of(args.repeat, lambda: read_bytes(path), lambda: fn(path, False, layout))
            report(f"{fn_name} ({layout})", t, base)


def bench_write(args):
    import tavrel

    path = ensure_big_files(args.intervals)["long"]
    _, _, tiers = tavrel.textgrid2data(path, False, "long")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.TextGrid")
        for layout in ("long", "short"):
            tavrel.data2textgrid(tiers, None, None, out, layout)
            payload = read_bytes(out)

            def write_bytes():
                with open(out + ".raw", "wb") as f:
                    f.write(payload)

            base, t = best_of(args.repeat, write_bytes,
                              lambda: tavrel.data2textgrid(tiers, None, None, out, layout))
            report(f"data2textgrid ({layout}, {len(payload) / 1e6:.0f} MB)", t, base)


def ensure_corpus(n_files):
    directory = os.path.join(OUT, f"corpus_{n_files}")
    if not os.path.isdir(directory):
        os.makedirs(directory)
        for k in range(n_files):
            # Realistic sizes: a few hundred to a few thousand intervals, both layouts.
            doc = generate.make_document(200 + (k * 7919) % 3000, seed=k)
            generate.write(os.path.join(directory, f"f{k:05d}.TextGrid"), doc,
                           "long" if k % 4 else "short")
    return sorted(os.path.join(directory, name) for name in os.listdir(directory))


def bench_batch_worker(args):
    """Runs in a subprocess whose RAYON_NUM_THREADS fixes the pool size."""
    import tavrel

    files = ensure_corpus(args.files)
    results = {}
    for fn_name in ("textgrids2data", "textgrids2vectors"):
        fn = getattr(tavrel, fn_name)
        base, t = best_of(args.repeat, lambda: [read_bytes(p) for p in files],
                          lambda: fn(files, False, "auto"))
        results[fn_name] = (t, base)
    print(json.dumps(results))


def bench_batch(args):
    ensure_corpus(args.files)
    for threads in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, "batch-worker", "--files", str(args.files),
                              "--repeat", str(args.repeat)], env=env, check=True,
                             capture_output=True, text=True).stdout
        for fn_name, (t, base) in json.loads(out.strip().splitlines()[-1]).items():
            report(f"{fn_name} ({args.files} files, {threads} thread(s))", t, base)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("what", nargs="*", default=["read", "write", "batch"],
                        choices=["read", "write", "batch", "batch-worker"])
    parser.add_argument("--intervals", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    for what in args.what:
        {"read": bench_read, "write": bench_write, "batch": bench_batch,
         "batch-worker": bench_batch_worker}[what](args)


if __name__ == "__main__":
    main()
