"""Read the shipped example TextGrids in both layouts, convert and write them back."""
import os
import tempfile

import tavrel

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = [
    os.path.join(HERE, "data", "example_long.TextGrid"),
    os.path.join(HERE, "data", "example_short.TextGrid"),
]


def show(path, document):
    tmin, tmax, tiers = document
    print(f"{os.path.basename(path)}: {tmin} .. {tmax}, {len(tiers)} tiers")
    for name, is_interval, items in tiers:
        kind = "intervals" if is_interval else "points"
        print(f"  {name!r} ({len(items)} {kind})")
        for start, end, label in items:
            when = f"{start:.3f}-{end:.3f}" if is_interval else f"{start:.3f}"
            print(f"    {when:>13}  {label!r}")


def main():
    # "auto" tells the long layout from the short one by looking at the text.
    for path in EXAMPLES:
        show(path, tavrel.textgrid2data(path, True, "auto"))

    # Many files at once: read in parallel, one entry per path, in order.
    documents = tavrel.textgrids2data(EXAMPLES, True, "auto")
    print(f"batch: {len(documents)} documents")

    # Flat columns, handy for array work; file_ids tells which file each entry came from.
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors(
        EXAMPLES, True, "auto"
    )
    durations = (tmaxs - tmins)[is_intervals]
    print(f"vectors: {len(labels)} entries, mean interval {durations.mean():.3f} s")

    # Round trip: write the first example in the short layout and read it back.
    _, _, tiers = tavrel.textgrid2data(EXAMPLES[0], True, "long")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "copy.TextGrid")
        tavrel.data2textgrid(tiers, None, None, out, "short")
        again = tavrel.textgrid2data(out, True, "short")
        print("round trip identical:", again[2] == tiers)


if __name__ == "__main__":
    main()
