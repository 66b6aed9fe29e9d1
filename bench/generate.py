"""Generate realistic TextGrid files for the benchmarks.

A document looks like forced-aligner output: a "words" interval tier, a "phones"
interval tier with about three phones per word, and a sparse "events" point tier.
Times carry the irregular decimals that real alignments have.
"""
import argparse
import os
import random

WORDS = ("the", "a", "speech", "sound", "Praat", "annotation", "corpus", "vowel", "é", "naïve",
         "ſtraße", "日本", "", "", "sil")
PHONES = ("AH0", "DH", "S", "P", "IY1", "CH", "EY1", "N", "T", "ɛ", "ʃ", "ŋ", "")


def _fmt(t):
    return repr(round(t, 6))


def make_document(n_intervals, seed):
    """Return (tmin, tmax, tiers) with about n_intervals intervals in total."""
    rng = random.Random(seed)
    n_words = max(1, n_intervals // 4)
    words, phones, events = [], [], []
    t = 0.0
    for _ in range(n_words):
        start = t
        n_ph = 3
        for _ in range(n_ph):
            end = t + rng.uniform(0.03, 0.15)
            phones.append((t, end, rng.choice(PHONES)))
            t = end
        words.append((start, t, rng.choice(WORDS)))
        if rng.random() < 0.05:
            events.append((start, start, "click"))
    tiers = [("words", True, words), ("phones", True, phones), ("events", False, events)]
    return 0.0, t, tiers


def long_text(doc):
    tmin, tmax, tiers = doc
    out = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "",
           f"xmin = {_fmt(tmin)} ", f"xmax = {_fmt(tmax)} ", "tiers? <exists> ",
           f"size = {len(tiers)} ", "item []: "]
    for i, (name, is_interval, items) in enumerate(tiers, 1):
        out += [f"    item [{i}]:",
                f'        class = "{"IntervalTier" if is_interval else "TextTier"}" ',
                f'        name = "{name}" ', f"        xmin = {_fmt(tmin)} ", f"        xmax = {_fmt(tmax)} ",
                f"        {'intervals' if is_interval else 'points'}: size = {len(items)} "]
        for k, (a, b, label) in enumerate(items, 1):
            if is_interval:
                out += [f"        intervals [{k}]:", f"            xmin = {_fmt(a)} ",
                        f"            xmax = {_fmt(b)} ", f'            text = "{label}" ']
            else:
                out += [f"        points [{k}]:", f"            number = {_fmt(a)} ",
                        f'            mark = "{label}" ']
    return "\n".join(out) + "\n"


def short_text(doc):
    tmin, tmax, tiers = doc
    out = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", _fmt(tmin), _fmt(tmax),
           "<exists>", str(len(tiers))]
    for name, is_interval, items in tiers:
        out += [f'"{"IntervalTier" if is_interval else "TextTier"}"', f'"{name}"', _fmt(tmin), _fmt(tmax),
                str(len(items))]
        for a, b, label in items:
            out += [_fmt(a), _fmt(b), f'"{label}"'] if is_interval else [_fmt(a), f'"{label}"']
    return "\n".join(out) + "\n"


def write(path, doc, layout):
    text = long_text(doc) if layout == "long" else short_text(doc)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out_dir")
    parser.add_argument("--intervals", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=1)
    parser.add_argument("--layout", choices=("long", "short"), default="long")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    for k in range(args.files):
        doc = make_document(args.intervals, args.seed + k)
        write(os.path.join(args.out_dir, f"doc{k:05d}.TextGrid"), doc, args.layout)


if __name__ == "__main__":
    main()
