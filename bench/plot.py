"""Plot the figures of `bench/run.py`: `python bench/plot.py [RESULTS] [--out PNG]`.

Reads the records that run.py writes to bench/out/results.json (a list of
{"case", "layout", "threads", "ratio", "baseline", ...}) and draws, per layout, the
ratio of each case to its baseline (reading against the bare read of the same
bytes, writing against the bare write), one bar per pool size; the peers, which
do not use the pool, get their own bar. Needs matplotlib (`pip install '.[bench]'`).
"""

import argparse
import json
import os
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_RESULTS = os.path.join(HERE, "out", "results.json")
DEFAULT_FIGURE = os.path.join(HERE, "..", "docs", "img", "performance.png")


def load(path):
    with open(path, encoding="utf-8") as stream:
        records = json.load(stream)
    for record in records:
        missing = {"case", "layout", "threads", "ratio", "baseline"} - set(record)
        if missing:
            raise ValueError(f"{path}: a record lacks {sorted(missing)}: {record}")
    return records


def series(records):
    """{(baseline, layout): {bar label: {case: ratio}}}, cases in first-seen order."""
    panels = defaultdict(lambda: defaultdict(dict))
    for record in records:
        # The floors (marshal, safe writes) are few figures each: the tables carry them.
        if record["baseline"] not in ("bare read", "bare write"):
            continue
        bar = "other libraries" if record["threads"] is None else f"{record['threads']} thread" + (
            "s" if record["threads"] != 1 else "")
        panels[(record["baseline"], record["layout"])][bar][record["case"]] = record["ratio"]
    return panels


def plot(records, out, title=None):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = series(records)
    keys = sorted(panels, key=lambda key: (key[0], key[1]))
    figure, axes = plt.subplots(len(keys), 1, figsize=(10, 3.2 * len(keys)), squeeze=False)
    for axis, key in zip(axes[:, 0], keys):
        bars = panels[key]
        cases = list(dict.fromkeys(case for values in bars.values() for case in values))
        width = 0.8 / len(bars)
        for k, (label, values) in enumerate(sorted(bars.items())):
            positions = [i + (k - (len(bars) - 1) / 2) * width for i in range(len(cases))]
            heights = [values.get(case, 0.0) for case in cases]
            drawn = axis.bar(positions, heights, width, label=label)
            axis.bar_label(drawn, labels=[f"{h:.1f}" if h else "" for h in heights], fontsize=7)
        axis.set_xticks(range(len(cases)), cases, rotation=20, ha="right", fontsize=8)
        axis.set_yscale("log")
        axis.axhline(1.0, color="grey", linewidth=0.8)
        axis.set_ylabel(f"× {key[0]}")
        axis.set_title(f"{key[1]} layout, against the {key[0]} (lower is faster)", fontsize=10)
        axis.legend(fontsize=8)
    if title:
        figure.suptitle(title, fontsize=10)
    figure.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    figure.savefig(out, dpi=110)
    plt.close(figure)


def table(records):
    """The same figures as a Markdown table."""
    lines = ["| case | layout | threads | × baseline | baseline |", "|---|---|---:|---:|---|"]
    for r in records:
        threads = "-" if r["threads"] is None else r["threads"]
        lines.append(f"| {r['case']} | {r['layout']} | {threads} | {r['ratio']:.2f} | "
                     f"{r['baseline']} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", nargs="?", default=DEFAULT_RESULTS)
    parser.add_argument("--out", default=DEFAULT_FIGURE)
    parser.add_argument("--title", help="a line above the plots (e.g. the machine and corpus)")
    parser.add_argument("--markdown", action="store_true", help="also print a Markdown table")
    args = parser.parse_args()
    records = load(args.results)
    plot(records, args.out, args.title)
    print(f"{len(records)} figures plotted to {args.out}")
    if args.markdown:
        print(table(records))


if __name__ == "__main__":
    main()
