"""Shared by the table tests: TextGrid texts with labels of every kind, a corpus
of generated and real files, and the messages the single-file functions give."""

import random

import pytest

import tavrel
from support import DATA, panic_message

ROW_COLUMNS = ["file_id", "tier_name", "is_interval", "tmin", "tmax", "label"]
# Labels of every kind: empty, multi-byte, quotes, white space, long, many lines.
LABELS = ["", "a", "wörld ☃", "日本語", "sil", "x" * 300, "tab\there", "two\nlines", 'say ""hi""', " padded "]


def long_text(tiers, tmin=0.0, tmax=None):
    """A long-layout TextGrid of [(name, is_interval, [(tmin, tmax, label)])]."""
    end = tmax if tmax is not None else max([b for _, _, items in tiers for _, b, _ in items] + [tmin])
    out = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", f"xmin = {tmin!r}", f"xmax = {end!r}",
           "tiers? <exists>", f"size = {len(tiers)}", "item []:"]
    for i, (name, is_interval, items) in enumerate(tiers, 1):
        kind = "IntervalTier" if is_interval else "TextTier"
        out += [f"    item [{i}]:", f'        class = "{kind}"', f'        name = "{name}"',
                f"        xmin = {tmin!r}", f"        xmax = {end!r}",
                f"        {'intervals' if is_interval else 'points'}: size = {len(items)}"]
        for k, (a, b, label) in enumerate(items, 1):
            if is_interval:
                out += [f"        intervals [{k}]:", f"            xmin = {a!r}", f"            xmax = {b!r}",
                        f'            text = "{label}"']
            else:
                out += [f"        points [{k}]:", f"            number = {a!r}", f'            mark = "{label}"']
    return "\n".join(out) + "\n"


def random_tiers(rng, n_items):
    words, t = [], 0.0
    for _ in range(n_items):
        end = round(t + rng.uniform(0.01, 0.5), 6)
        words.append((t, end, rng.choice(LABELS)))
        t = end
    points = [(round(rng.uniform(0, t), 6), round(rng.uniform(0, t), 6), rng.choice(LABELS))
              for _ in range(n_items // 5)]
    points = sorted((a, a, label) for a, _, label in points)
    tiers = [("words", True, words), ("events", False, points)]
    return [tier for tier in tiers if rng.random() < 0.9]


def corpus_files(directory):
    """Generated files with every kind of label, plus the real corpus files that read cleanly."""
    seed = 20261207
    print(f"corpus seed {seed}")
    rng = random.Random(seed)
    files = []
    for k in range(60):
        path = directory / f"g{k:03d}.TextGrid"
        path.write_text(long_text(random_tiers(rng, rng.randrange(0, 40))), encoding="utf-8")
        files.append(str(path))
    for path in sorted((DATA / "realcorpus").glob("*.TextGrid")):
        try:
            tavrel.textgrid2data(str(path), False, "auto")
        except BaseException:  # noqa: B036 - PanicException is a BaseException
            continue
        files.append(str(path))
    return files


def vectors_table(files):
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors(files, False, "auto")
    return {"file_id": file_ids.tolist(), "tier_name": tier_names, "is_interval": is_intervals.tolist(),
            "tmin": tmins.tolist(), "tmax": tmaxs.tolist(), "label": labels}


def write(path, content):
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return str(path)


def raised_message(call):
    """The message of the OSError or PanicException that `call` raises."""
    try:
        call()
    except OSError as error:
        return str(error)
    except BaseException:  # noqa: B036 - PanicException is a BaseException
        return panic_message(call)
    pytest.fail("nothing raised")
