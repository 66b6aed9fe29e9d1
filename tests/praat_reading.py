"""Reading TextGrid files with Praat itself, for comparisons with tavrel.

One Praat run reads a whole list of files and dumps each one's content: every
text is written with its length in characters before it, so that names and
labels holding tabs, quotes or line breaks come back unchanged."""

import math
import shutil
import subprocess
import sys
from pathlib import Path

PRAAT = shutil.which("praat")

DUMP_SCRIPT = r"""form Dump
  sentence listPath x
  sentence outDir y
endform
files$ = readFile$: listPath$
count = 0
while length(files$) > 0
  cut = index(files$, newline$)
  path$ = left$(files$, cut - 1)
  files$ = mid$(files$, cut + 1, length(files$))
  count = count + 1
  out$ = outDir$ + "/" + string$(count) + ".dump"
  nocheck Read from file: path$
  kind$ = ""
  if numberOfSelected() = 1
    kind$ = extractWord$(selected$(), "")
  endif
  if kind$ = "TextGrid"
    gridStart = Get start time
    gridEnd = Get end time
    d$ = "grid" + tab$ + string$(gridStart) + tab$ + string$(gridEnd) + newline$
    tierCount = Get number of tiers
    for t from 1 to tierCount
      name$ = Get tier name: t
      isInterval = Is interval tier: t
      d$ = d$ + "tier" + tab$ + string$(isInterval) + tab$ + string$(length(name$)) + tab$ + name$ + newline$
      if isInterval
        n = Get number of intervals: t
      else
        n = Get number of points: t
      endif
      for i from 1 to n
        if isInterval
          a = Get start time of interval: t, i
          b = Get end time of interval: t, i
          label$ = Get label of interval: t, i
        else
          a = Get time of point: t, i
          b = a
          label$ = Get label of point: t, i
        endif
        d$ = d$ + "item" + tab$ + string$(a) + tab$ + string$(b) + tab$ + string$(length(label$)) + tab$ + label$ + newline$
      endfor
    endfor
    writeFile: out$, d$
    Remove
  else
    writeFile: out$, "error" + newline$
    if numberOfSelected() > 0
      Remove
    endif
  endif
endwhile
"""


def _decode(raw):
    # Praat writes plain ASCII as is and other text as UTF-16 (or UTF-8) with a byte-order mark.
    if raw[:2] in (b"\xfe\xff", b"\xff\xfe"):
        return raw.decode("utf-16")
    return raw.decode("utf-8-sig")


class _Cursor:
    def __init__(self, text):
        self.text, self.at = text, 0

    def field(self):
        end = self.text.index("\t", self.at)
        value, self.at = self.text[self.at:end], end + 1
        return value

    def counted(self):
        length = int(self.field())
        value = self.text[self.at:self.at + length]
        self.at += length + 1  # and the line feed
        return value

    def last_field(self):
        end = self.text.index("\n", self.at)
        value, self.at = self.text[self.at:end], end + 1
        return value


def parse_dump(text):
    """The document as (tmin, tmax, tiers), or None when Praat could not read it."""
    cursor = _Cursor(text)
    if cursor.last_field() == "error":
        return None
    tmin, tmax = (float(v) for v in cursor.text[5:cursor.at - 1].split("\t"))
    tiers = []
    while cursor.at < len(text):
        kind = cursor.field()
        if kind == "tier":
            is_interval = cursor.field() == "1"
            tiers.append((cursor.counted(), is_interval, []))
        else:
            start, end = float(cursor.field()), float(cursor.field())
            tiers[-1][2].append((start, end, cursor.counted()))
    return tmin, tmax, tiers


def read_with_praat(paths, workdir):
    """Praat's reading of each file, in order: (tmin, tmax, tiers) or None."""
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    script = workdir / "dump.praat"
    script.write_text(DUMP_SCRIPT)
    listing = workdir / "files.txt"
    listing.write_text("".join(str(Path(p).resolve()) + "\n" for p in paths), encoding="utf-8")
    subprocess.run([PRAAT, "--run", str(script), str(listing), str(workdir)], check=True,
                   capture_output=True, timeout=600)
    return [parse_dump(_decode((workdir / f"{k}.dump").read_bytes())) for k in range(1, len(paths) + 1)]


def _close(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= 1e-9 * max(abs(a), abs(b))


def _same_tier(ours, praats):
    (name, is_interval, items), (p_name, p_interval, p_items) = ours, praats
    if (name, is_interval) != (p_name, p_interval):
        return False
    if not items and is_interval and len(p_items) == 1 and p_items[0][2] == "":
        return True  # Praat fills an interval tier without intervals with one blank interval
    return len(items) == len(p_items) and all(
        _close(a, pa) and _close(b, pb) and label == p_label
        for (a, b, label), (pa, pb, p_label) in zip(items, p_items))


def same_as_praat(ours, praats):
    """True when tavrel's document has Praat's bounds, tiers, times and labels."""
    if ours is None or praats is None:
        return ours is None and praats is None
    return (_close(ours[0], praats[0]) and _close(ours[1], praats[1]) and len(ours[2]) == len(praats[2])
            and all(_same_tier(t, p) for t, p in zip(ours[2], praats[2])))


if __name__ == "__main__":
    # Counts the files that tavrel ("auto", lenient) reads with Praat's content:
    #   python tests/praat_reading.py FILE_OR_DIR...
    import tempfile

    import tavrel

    files = []
    for arg in sys.argv[1:]:
        path = Path(arg)
        files += sorted(p for p in path.iterdir() if p.suffix.lower() == ".textgrid") if path.is_dir() else [path]
    with tempfile.TemporaryDirectory() as workdir:
        praat = read_with_praat(files, workdir)
    agree = praat_reads = 0
    for path, expected in zip(files, praat):
        try:
            ours = tavrel.textgrid2data(str(path), False, "auto")
        except BaseException as error:  # the internal failure is not an Exception
            ours, why = None, f"{type(error).__name__}: {str(error)[:100]}"
        else:
            why = "differs"
        praat_reads += expected is not None
        if expected is not None and same_as_praat(ours, expected):
            agree += 1
        elif expected is not None:
            print(f"{why}\t{path.name}")
    print(f"{agree} of {praat_reads} files that Praat reads give Praat's content ({len(files)} files)")
