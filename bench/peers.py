"""Other TextGrid readers and writers timed beside tavrel, each only when installed
(`pip install .[bench]`). Every entry maps a layout to a reader `f(path)` and a
writer `f(obj, path)` over that library's own object, made by its own reader."""
import importlib.util


def _praatio():
    from praatio import textgrid

    def read(path):
        return textgrid.openTextgrid(path, includeEmptyIntervals=True, reportingMode="silence")

    def writer(layout):
        fmt = "long_textgrid" if layout == "long" else "short_textgrid"
        return lambda grid, path: grid.save(path, format=fmt, includeBlankSpaces=True,
                                            reportingMode="silence")

    return read, writer


def _pympi():
    from pympi import Praat

    def read(path):
        return Praat.TextGrid(file_path=path)

    def writer(layout):
        mode = "normal" if layout == "long" else "short"
        return lambda grid, path: grid.to_file(path, mode=mode)

    return read, writer


def _parselmouth():
    import parselmouth

    def read(path):
        return parselmouth.read(path)

    def writer(layout):
        if layout == "long":
            return lambda grid, path: grid.save_as_text_file(path)
        return lambda grid, path: grid.save_as_short_text_file(path)

    return read, writer


PEERS = {"praatio": ("praatio", _praatio), "pympi": ("pympi", _pympi),
         "parselmouth": ("parselmouth", _parselmouth)}


def available(wanted=None):
    """{name: (read, writer)} for the installed peers among `wanted` (all by default)."""
    found = {}
    for name, (module, make) in PEERS.items():
        if wanted is not None and name not in wanted:
            continue
        if importlib.util.find_spec(module) is not None:
            found[name] = make()
    return found
