"""Pictures of a TextGrid's tiers, drawn as Praat's TextGrid editor shows them.

matplotlib is imported only when a picture is drawn, so `import tavrel` stays free of it.
Only the items inside the time window are handed to matplotlib: each tier's times are
NumPy arrays, and the window's first and last items are found by binary search, so a
window of a file with a million items costs what the window holds.
"""

import os
from dataclasses import dataclass
from itertools import groupby

import numpy as np

import tavrel

FONT_SIZE = 9
ELLIPSIS = "\u2026"
BAND_COLOURS = ("#ffffff", "#f3f3f7")


@dataclass
class Tier:
    name: str
    is_interval: bool
    tmins: np.ndarray
    tmaxs: np.ndarray
    labels: list


def plot(source, tmin=None, tmax=None, tiers=None, ax=None):
    """Draw the tiers of one TextGrid as Praat's TextGrid editor shows them.

    One band per tier (the first on top, its name at the left), interval boundaries as
    lines, labels centred in their intervals, points as marks with their labels, and a
    time axis in seconds. Labels that do not fit their interval are shortened with an
    ellipsis, or left out, rather than overlapping their neighbours. Needs matplotlib
    (`pip install 'tavrel[plot]'`).

    # Arguments

    * `source` - a path (str or os.PathLike), the bytes of a TextGrid, or nested data:
      `(tmin, tmax, tiers)` as `textgrid2data` returns it, or a list of tiers.
    * `tmin`, `tmax` - the time window in seconds (default: the whole grid).
    * `tiers` - names of the tiers to draw, in this order (default: every tier).
    * `ax` - a matplotlib Axes to draw into (default: a new figure).

    # Returns

    The matplotlib Figure, which notebooks show and `savefig` saves.

    # Errors

    * `TypeError` - a list of paths (one document is drawn at a time) or a source of
      another type.
    * `ValueError` - an empty time window, or a tier name that the TextGrid lacks.
    * `OSError` - the file cannot be read or is not UTF-8.
    * `PanicException` - a structurally broken file.
    """
    return draw(read(source), tmin, tmax, tiers, ax)


def read(source, strict=False, encoding="utf-8"):
    """(grid tmin, grid tmax, [Tier]) of a path, bytes or nested data."""
    if isinstance(source, (str, os.PathLike)):
        if encoding == "utf-8":
            return _from_vectors(tavrel.textgrid2vectors(source, strict, "auto"))
        with open(source, "rb") as file:
            content = file.read()
        return _from_vectors(tavrel.loads_vectors(content, strict, "auto", encoding))
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _from_vectors(tavrel.loads_vectors(source, strict, "auto", encoding))
    if isinstance(source, (list, tuple)):
        return _from_data(source)
    raise TypeError(f"plot takes a path, bytes or nested data, not {type(source).__name__}")


def _is_path(value):
    return isinstance(value, (str, bytes, os.PathLike))


def _from_data(source):
    if source and all(_is_path(value) for value in source):
        raise TypeError(f"plot draws one TextGrid: give one path, not a list of {len(source)}")
    grid_tmin = grid_tmax = None
    tiers = source
    if len(source) == 3 and not isinstance(source[0], (tuple, list)):
        grid_tmin, grid_tmax, tiers = source
    found = []
    for name, is_interval, items in tiers:
        times = np.array([(item[0], item[1]) for item in items], dtype=np.float64).reshape(-1, 2)
        found.append(Tier(name, bool(is_interval), times[:, 0], times[:, 1],
                          [item[2] for item in items]))
    return _with_bounds(grid_tmin, grid_tmax, found)


def _from_vectors(vectors):
    tmins, tmaxs, labels, names, is_intervals = vectors[:5]
    found, start = [], 0
    # Items come tier by tier; a run of one name and class is one tier.
    for (name, is_interval), run in groupby(zip(names, is_intervals.tolist())):
        end = start + sum(1 for _ in run)
        found.append(Tier(name, is_interval, tmins[start:end], tmaxs[start:end], labels[start:end]))
        start = end
    return _with_bounds(None, None, found)


def _with_bounds(grid_tmin, grid_tmax, tiers):
    filled = [tier for tier in tiers if len(tier.tmins)]
    if grid_tmin is None:
        grid_tmin = min((float(tier.tmins.min()) for tier in filled), default=0.0)
    if grid_tmax is None:
        grid_tmax = max((float(tier.tmaxs.max()) for tier in filled), default=grid_tmin + 1.0)
    return float(grid_tmin), float(grid_tmax), tiers


def select(tiers, names):
    if names is None:
        return tiers
    if isinstance(names, str):
        names = [names]
    by_name = {}
    for tier in tiers:
        by_name.setdefault(tier.name, tier)
    missing = [name for name in names if name not in by_name]
    if missing:
        raise ValueError(f"no tier named {', '.join(map(repr, missing))}; "
                         f"the tiers are {', '.join(repr(tier.name) for tier in tiers)}")
    return [by_name[name] for name in names]


def window(tier, tmin, tmax):
    """The index range of the tier's items that reach into [tmin, tmax]."""
    tmins, tmaxs = tier.tmins, tier.tmaxs
    if len(tmins) > 1 and (np.any(tmins[1:] < tmins[:-1]) or np.any(tmaxs[1:] < tmaxs[:-1])):
        inside = np.flatnonzero((tmaxs >= tmin) & (tmins <= tmax))  # an unordered tier
        return (int(inside[0]), int(inside[-1]) + 1) if len(inside) else (0, 0)
    return int(np.searchsorted(tmaxs, tmin, "left")), int(np.searchsorted(tmins, tmax, "right"))


class LabelFitter:
    """Shortens labels to the room they have, from the advance widths of the label font's
    glyphs (measured once per character), which is much cheaper than laying out texts."""

    PADDING_PX = 3.0

    def __init__(self, fontsize, dpi):
        from matplotlib.font_manager import FontProperties, findfont, get_font

        self.font = get_font(findfont(FontProperties(size=fontsize)))
        self.font.set_size(fontsize, dpi)
        self.widths = {}
        self.ellipsis = self.width(ELLIPSIS)
        self.narrowest = self.width("i") + self.ellipsis + self.PADDING_PX

    def width(self, character):
        found = self.widths.get(character)
        if found is None:
            # A 16.16 fixed-point advance in pixels, before hinting rounds it.
            found = self.widths[character] = self.font.load_char(ord(character)).linearHoriAdvance / 65536
        return found

    def fit(self, label, room_px):
        """The label, or its head and an ellipsis, within room_px; "" when nothing fits."""
        room = room_px / 1.05 - self.PADDING_PX  # hinting may widen a glyph a little
        widths = [self.width(character) for character in label]
        if sum(widths) <= room:
            return label
        used = self.ellipsis
        for count, width in enumerate(widths):
            if used + width > room:
                return label[:count] + ELLIPSIS if count else ""
            used += width
        return label


def draw(grid, tmin=None, tmax=None, names=None, ax=None, width=12.0):
    grid_tmin, grid_tmax, tiers = grid
    tmin = grid_tmin if tmin is None else float(tmin)
    tmax = grid_tmax if tmax is None else float(tmax)
    if not tmin < tmax:
        raise ValueError(f"the time window is empty: tmin {tmin} is not before tmax {tmax}")
    tiers = select(tiers, names)
    from matplotlib.figure import Figure

    if ax is None:
        ax = _new_axes(Figure, tiers, width)
    ax.set_xlim(tmin, tmax)
    ax.set_ylim(0, max(len(tiers), 1))
    ax.set_xlabel("time (s)")
    ax.set_yticks([len(tiers) - row - 0.5 for row in range(len(tiers))],
                  [tier.name for tier in tiers])
    ax.tick_params(axis="y", length=0)
    fitter = LabelFitter(FONT_SIZE, ax.figure.dpi)
    px_per_second = _axes_width_px(ax) / (tmax - tmin)
    for row, tier in enumerate(tiers):
        bottom = len(tiers) - row - 1
        ax.axhspan(bottom, bottom + 1, color=BAND_COLOURS[row % 2], zorder=0)
        if row:
            ax.axhline(bottom + 1, color="black", linewidth=0.8)
        _draw_tier(ax, tier, bottom, (tmin, tmax), px_per_second, fitter)
    return ax.figure


def _new_axes(figure_type, tiers, width=12.0, band=0.55):
    """Axes whose left margin holds the longest tier name, so the label room is known before drawing."""
    height = 0.8 + band * max(len(tiers), 1)
    figure = figure_type(figsize=(width, height))
    name_px = max((len(tier.name) for tier in tiers), default=1) * 10 * figure.dpi / 72 * 0.65
    left = min((name_px + 12) / (width * figure.dpi), 0.4)
    figure.subplots_adjust(left=left, right=0.99, bottom=0.55 / height, top=1 - 0.1 / height)
    return figure.add_subplot()


def _axes_width_px(ax):
    figure = ax.figure
    return max(figure.get_figwidth() * figure.dpi * ax.get_position().width, 1.0)


def _draw_tier(ax, tier, bottom, limits, px_per_second, fitter):
    from matplotlib.collections import LineCollection

    tmin, tmax = limits
    first, last = window(tier, tmin, tmax)
    tmins, tmaxs, labels = tier.tmins[first:last], tier.tmaxs[first:last], tier.labels[first:last]
    if tier.is_interval:
        times = np.unique(np.concatenate([tmins, tmaxs]))
        lows, highs, colour, width = bottom, bottom + 1, "#2040a0", 0.8
        centres = (np.maximum(tmins, tmin) + np.minimum(tmaxs, tmax)) / 2
        rooms = (np.minimum(tmaxs, tmax) - np.maximum(tmins, tmin)) * px_per_second
    else:
        times = tmins
        lows, highs, colour, width = bottom + 0.15, bottom + 0.85, "#b02020", 1.2
        centres = tmins
        # A point's label may spread halfway to each neighbour.
        gaps = np.diff(tmins, prepend=-np.inf, append=np.inf)
        rooms = np.minimum(gaps[:-1], gaps[1:]) * px_per_second
    times = times[(times >= tmin) & (times <= tmax)]
    segments = np.empty((len(times), 2, 2))
    segments[:, :, 0] = times[:, None]
    segments[:, 0, 1], segments[:, 1, 1] = lows, highs
    ax.add_collection(LineCollection(segments, colors=colour, linewidths=width))
    # Only items with room for a letter get a label, so their number stays within what
    # the width holds however many items the window has.
    for index in np.flatnonzero(rooms >= fitter.narrowest):
        text = fitter.fit(labels[index], float(rooms[index]))
        if text:
            ax.text(centres[index], bottom + 0.5, text, ha="center", va="center", fontsize=FONT_SIZE,
                    clip_on=True)


def save(figure, path):
    """Saves the picture in the format its name ends with; it appears only once complete."""
    import tempfile

    folder, name = os.path.split(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".", suffix=os.path.splitext(name)[1], dir=folder)
    try:
        os.chmod(temporary, _mode_for(path))
        with os.fdopen(handle, "wb") as file:
            figure.savefig(file, format=os.path.splitext(name)[1][1:].lower())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _mode_for(path):
    """The permissions a new file gets (those of the file it replaces, if any); mkstemp's are private."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
