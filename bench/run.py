"""Benchmarks, run on demand: `python bench/run.py [--files N] [--rounds R] ...`.

Every figure is a ratio to a baseline timed in the same process, interleaved with
it round by round (the machine may be shared and noisy): reading against reading
the same files' bytes in a Python loop ("bare read"), writing against writing the
same bytes to the same number of files ("bare write"). Each time is the median
over the rounds. tavrel runs once per pool size (RAYON_NUM_THREADS, in a fresh
process); the installed peers (praatio, pympi-ling, praat-parselmouth) run once.
Figures are printed as a table and written to bench/out/results.json.
"""
import argparse
import json
import marshal
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate  # noqa: E402
import peers  # noqa: E402

OUT = os.path.join(HERE, "out")
LAYOUTS = ("long", "short")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, payload):
    with open(path, "wb") as f:
        f.write(payload)


def safe_write_bytes(path, payload):
    """What any save that never loses the previous file pays on top of the bare
    write: a new file beside the target, flushed to disk, renamed over it."""
    temporary = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        os.write(descriptor, payload)
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    os.replace(temporary, path)


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]


def median_times(rounds, cases):
    """Runs every case once per round, in order, `rounds` times; the median seconds of each."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            start = clock()
            fn()
            times[name].append(clock() - start)
    return {name: statistics.median(values) for name, values in times.items()}


# --- inputs ------------------------------------------------------------------------------------

# Intervals per file of each corpus kind, for file number k.
SIZES = {
    "": lambda k: 200 + (k * 7919) % 1000,          # aligner output of a recording
    "small": lambda k: 12 + (k * 7919) % 40,         # single utterances
    "large": lambda k: 100_000 + (k * 7919) % 1000,  # whole sessions
}


def corpus(n_files, layout, kind=""):
    """Aligner-style files of the given kind (see SIZES), cached."""
    directory = os.path.join(OUT, f"corpus_{n_files}_{layout}" + (f"_{kind}" if kind else ""))
    if not os.path.isdir(directory):
        os.makedirs(directory + ".part", exist_ok=True)
        for k in range(n_files):
            doc = generate.make_document(SIZES[kind](k), seed=k)
            generate.write(os.path.join(directory + ".part", f"f{k:05d}.TextGrid"), doc, layout)
        os.rename(directory + ".part", directory)
    return sorted(os.path.join(directory, name) for name in os.listdir(directory))


def big_file(n_intervals, layout):
    path = os.path.join(OUT, f"big_{n_intervals}.{layout}.TextGrid")
    if not os.path.exists(path):
        os.makedirs(OUT, exist_ok=True)
        generate.write(path + ".part", generate.make_document(n_intervals, seed=7), layout)
        os.rename(path + ".part", path)
    return [path]


def inputs(args):
    """(corpus label, layout, files) for every corpus asked for."""
    sets = []
    for layout in LAYOUTS:
        if args.files:
            sets.append((f"{args.files} files", layout, corpus(args.files, layout)))
        for kind in ("small", "large"):
            if getattr(args, kind):
                count = getattr(args, kind)
                sets.append((f"{count} {kind} files", layout, corpus(count, layout, kind)))
        if args.big:
            sets.append((f"one {args.big:,}-item file", layout, big_file(args.big, layout)))
    return sets


# --- tavrel ------------------------------------------------------------------------------------

def tavrel_read_cases(tavrel, files, layout):
    # The in-memory readers get the files' bytes, read once beforehand: their cost
    # against textgrid2data's is what reading from memory saves or adds.
    contents = [read_bytes(p) for p in files]
    # The floor of building the nested form: CPython creating the very same
    # tuples, floats and strings from a prepared binary.
    marshalled = [marshal.dumps(tavrel.textgrid2data(p, False, layout)) for p in files]
    return {
        "marshal.loads": lambda: [marshal.loads(b) for b in marshalled],
        "textgrids2table": lambda: tavrel.textgrids2table(files, False, layout),
        "bare read": lambda: [read_bytes(p) for p in files],
        "textgrid2data": lambda: [tavrel.textgrid2data(p, False, layout) for p in files],
        "loads": lambda: [tavrel.loads(c, False, layout) for c in contents],
        "textgrid2vectors": lambda: [tavrel.textgrid2vectors(p, False, layout) for p in files],
        "loads_vectors": lambda: [tavrel.loads_vectors(c, False, layout) for c in contents],
        "textgrids2data": lambda: tavrel.textgrids2data(files, False, layout),
        "textgrids2vectors": lambda: tavrel.textgrids2vectors(files, False, layout),
    }


def tavrel_write_cases(tavrel, files, layout, targets, memory_targets):
    documents = tavrel.textgrids2data(files, False, layout)
    vectors = [tavrel.textgrid2vectors(p, False, layout) for p in files]
    for (tmin, tmax, tiers), target in zip(documents, targets):
        tavrel.data2textgrid(tiers, tmin, tmax, target, layout)
    payloads = [read_bytes(t) for t in targets]
    table = tavrel.textgrids2table(files, False, layout)
    columns = tavrel.textgrids2vectors(files, False, layout)

    def data_write():
        for (tmin, tmax, tiers), target in zip(documents, targets):
            tavrel.data2textgrid(tiers, tmin, tmax, target, layout)

    def vectors_write():
        for (tmin, tmax, tiers), columns, target in zip(documents, vectors, targets):
            tavrel.vectors2textgrid(*columns, tmin, tmax, target, layout)

    def data_write_memory():
        for (tmin, tmax, tiers), target in zip(documents, memory_targets):
            tavrel.data2textgrid(tiers, tmin, tmax, target, layout)

    cases = {
        "bare write": lambda: [write_bytes(t, b) for t, b in zip(targets, payloads)],
        "bare safe write":
            lambda: [safe_write_bytes(t, b) for t, b in zip(targets, payloads)],
        # What walking the writer's input costs at the least.
        "marshal.dumps": lambda: [marshal.dumps(d) for d in documents],
        "data2textgrid": data_write,
        "vectors2textgrid": vectors_write,
        "table2textgrids": lambda: tavrel.table2textgrids(table, targets, layout),
        "vectors2textgrids": lambda: tavrel.vectors2textgrids(*columns, targets, layout),
    }
    if memory_targets:
        cases["bare safe write (tmpfs)"] = lambda: [
            safe_write_bytes(t, b) for t, b in zip(memory_targets, payloads)]
        cases["data2textgrid (tmpfs)"] = data_write_memory
    return cases


# The judged ratios: (case, its floor, the cases whose seconds add up to the floor).
FLOORS = (
    ("textgrid2data", "marshal.loads", ("marshal.loads",)),
    ("textgrids2data", "marshal.loads", ("marshal.loads",)),
    ("data2textgrid", "marshal.dumps + bare safe write", ("marshal.dumps", "bare safe write")),
    ("data2textgrid (tmpfs)", "bare safe write (tmpfs)", ("bare safe write (tmpfs)",)),
    ("table2textgrids", "bare safe write", ("bare safe write",)),
    ("vectors2textgrids", "bare safe write", ("bare safe write",)),
)


def floor_records(times, layout, threads, label, n_files):
    """Each judged case against its floor, when both were timed in this run."""
    out = []
    for case, floor, parts in FLOORS:
        if case in times and all(part in times for part in parts):
            seconds = sum(times[part] for part in parts)
            out += records({case: times[case], floor: seconds}, floor, layout, threads, label,
                           n_files)
    return out


def peer_read_cases(found, files):
    cases = {"bare read": lambda: [read_bytes(p) for p in files]}
    for name, (read, _) in found.items():
        cases[f"{name} read"] = lambda read=read: [read(p) for p in files]
    return cases


def peer_write_cases(found, files, layout, targets):
    cases = {}
    for name, (read, writer) in found.items():
        grids = [read(p) for p in files]
        write = writer(layout)
        cases[f"{name} write"] = lambda grids=grids, write=write: [
            write(g, t) for g, t in zip(grids, targets)]
    # The bare write writes Praat's own bytes when its writer is here.
    (cases.get("parselmouth write") or next(iter(cases.values())))()
    payloads = [read_bytes(t) for t in targets]
    return {"bare write": lambda: [write_bytes(t, b) for t, b in zip(targets, payloads)], **cases}


def records(times, baseline, layout, threads, label, n_files):
    main_corpus = len(label.split()) == 2  # "<N> files", not "<N> small files" or "one ..."
    return [{"case": case if main_corpus else f"{case} ({label})", "layout": layout,
             "threads": threads, "ratio": seconds / times[baseline], "baseline": baseline,
             "seconds": seconds, "baseline_seconds": times[baseline], "files": n_files,
             "clock": "cpu" if clock is time.process_time else "wall"}
            for case, seconds in times.items() if case != baseline]


def worker(args):
    """One process: tavrel at the pool size of its environment, or the peers."""
    global clock
    clock = CLOCKS[args.clock]
    threads = None if args.peers_only else int(os.environ["RAYON_NUM_THREADS"])
    found = peers.available(args.peers) if args.peers_only else None
    out = []
    for label, layout, files in inputs(args):
        if args.peers_only:
            files = files[:args.peer_files] if args.peer_files else files
        scratch = tempfile.mkdtemp(dir=OUT)
        targets = [os.path.join(scratch, os.path.basename(p)) for p in files]
        # A file system in memory, where saving costs no disk: /dev/shm on Linux.
        memory_scratch = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else None
        memory_targets = ([os.path.join(memory_scratch, os.path.basename(p)) for p in files]
                          if memory_scratch else [])
        try:
            if args.peers_only:
                read_cases = peer_read_cases(found, files)
                write_cases = peer_write_cases(found, files, layout, targets) if found else {}
            else:
                import tavrel
                read_cases = tavrel_read_cases(tavrel, files, layout)
                write_cases = tavrel_write_cases(tavrel, files, layout, targets, memory_targets)
            if "read" in args.what and len(read_cases) > 1:
                times = median_times(args.rounds, read_cases)
                out += records(times, "bare read", layout, threads, label, len(files))
                out += floor_records(times, layout, threads, label, len(files))
            if "write" in args.what and len(write_cases) > 1:
                times = median_times(args.rounds, write_cases)
                out += records(times, "bare write", layout, threads, label, len(files))
                out += floor_records(times, layout, threads, label, len(files))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
            if memory_scratch:
                shutil.rmtree(memory_scratch, ignore_errors=True)
    print(json.dumps(out))


# --- driver ------------------------------------------------------------------------------------

def run_worker(args, extra, env):
    command = [sys.executable, os.path.abspath(__file__), "--worker", *extra,
               "--files", str(args.files), "--small", str(args.small), "--large", str(args.large),
               "--big", str(args.big),
               "--rounds", str(args.rounds),
               "--what", *args.what, "--clock", args.clock]
    result = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def memory_ratios(table):
    """loads against textgrid2data (and loads_vectors against textgrid2vectors), each
    pair from the same run: the in-memory readers should cost no more than the file
    readers."""
    seconds = {(r["case"], r["layout"], r["threads"]): r["seconds"] for r in table}
    lines = []
    for memory, file in (("loads", "textgrid2data"), ("loads_vectors", "textgrid2vectors")):
        for (case, layout, threads), value in seconds.items():
            if case == memory and (file, layout, threads) in seconds:
                lines.append(f"{memory} / {file} ({layout}, {threads} threads): "
                             f"{value / seconds[(file, layout, threads)]:.3f}")
    return lines


def show(table):
    print(f"{'case':<46} {'layout':<6} {'threads':>7} {'ratio':>7}  baseline")
    for r in table:
        threads = "-" if r["threads"] is None else r["threads"]
        print(f"{r['case']:<46} {r['layout']:<6} {threads:>7} {r['ratio']:7.2f}  {r['baseline']}"
              f" ({r['baseline_seconds'] * 1e3:.0f} ms)")


# The ratios the speed work is held to: (case, baseline, layout or None for both,
# threads or None for any, the most the ratio may be).
TARGETS = (
    ("textgrids2table", "bare read", "long", 1, 2.5),
    ("textgrids2table", "bare read", "long", 2, 1.5),
    ("textgrid2data", "marshal.loads", None, 1, 1.25),
    ("data2textgrid", "marshal.dumps + bare safe write", None, 1, 1.5),
    ("data2textgrid (tmpfs)", "bare safe write (tmpfs)", None, 1, 2.8),
    ("table2textgrids", "bare safe write", None, None, 2.0),
    ("vectors2textgrids", "bare safe write", None, None, 2.0),
)


def judged(table):
    """The targeted ratios of this run, each beside its target; and the table
    reader's time per item in the short layout against the long."""
    lines = []
    for case, baseline, layout, threads, most in TARGETS:
        for r in table:
            if (r["case"], r["baseline"]) == (case, baseline) and layout in (None, r["layout"]) \
                    and threads in (None, r["threads"]):
                verdict = "ok" if r["ratio"] <= most else "ABOVE"
                lines.append(f"{case:<24} / {baseline:<32} {r['layout']:<6} {r['threads']} thread(s)"
                             f" {r['ratio']:6.2f}  (at most {most}: {verdict})")
    seconds = {(r["layout"], r["threads"]): r["seconds"] for r in table
               if r["case"] == "textgrids2table" and r["baseline"] == "bare read"}
    for threads in sorted({t for _, t in seconds}):
        if ("long", threads) in seconds and ("short", threads) in seconds:
            lines.append(f"textgrids2table short / long, same documents, {threads} thread(s): "
                         f"{seconds[('short', threads)] / seconds[('long', threads)]:.2f}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=2000, help="files per corpus (0: none)")
    parser.add_argument("--small", type=int, default=0,
                        help="also this many small files (a few dozen intervals each)")
    parser.add_argument("--large", type=int, default=0,
                        help="also this many large files (about 100,000 intervals each)")
    parser.add_argument("--big", type=int, default=0,
                        help="also one file of this many intervals (e.g. 1000000)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--what", nargs="+", default=["read", "write"], choices=["read", "write"])
    parser.add_argument("--peers", nargs="*", default=list(peers.PEERS),
                        help="peers to time when installed (none: skip them)")
    parser.add_argument("--peer-files", type=int, default=0,
                        help="time the peers on the first N files only (0: all)")
    parser.add_argument("--clock", choices=CLOCKS, default="wall",
                        help="wall time, or the process's CPU time (all its threads), which a "
                             "busy machine disturbs less but which hides parallel speed-up")
    parser.add_argument("--output", default=os.path.join(OUT, "results.json"))
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peers-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    inputs(args)  # generate once, before the timed processes
    table = []
    for threads in args.threads:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        table += run_worker(args, [], env)
    if peers.available(args.peers):
        table += run_worker(args, ["--peers-only", "--peer-files", str(args.peer_files),
                                   "--peers", *args.peers], dict(os.environ))
    show(table)
    print("\n".join(memory_ratios(table)))
    print("\n".join(judged(table)))
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        json.dump(table, f, indent=1)


if __name__ == "__main__":
    main()
