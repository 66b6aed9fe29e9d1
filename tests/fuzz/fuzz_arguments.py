"""Coverage-guided fuzzing of the argument conversion layer (atheris).

Each input picks one of the six functions and builds every argument from a
menu of awkward Python values: paths as str, bytes and os.PathLike (non-UTF-8
names included), look-alike NumPy booleans, NumPy arrays and scalars, numbers
that raise or change the list being converted, sequences that lie about their
length or fail part-way. A call may only return normally or raise one of the
documented exceptions; anything else, and any sanitizer report, is a finding.
Run by tools/fuzz-python against the instrumented, sanitized module.
"""
import os
import pathlib
import sys
import tempfile

import atheris

import numpy as np

import tavrel

DOCUMENTED = (TypeError, ValueError, OSError, OverflowError, UnicodeError, tavrel.PanicException)

SCRATCH = tempfile.mkdtemp(prefix="tavrel-atheris-")
VALID = os.path.join(SCRATCH, "valid.TextGrid")
tavrel.data2textgrid([("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")]), ("p", False, [(0.5, 0.5, "x")])],
                     0.0, 2.0, VALID, "long")
os.makedirs(os.path.join(SCRATCH, "folder"), exist_ok=True)
os.chdir(SCRATCH)  # nothing a relative path names may land anywhere else


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Lying:
    """A sequence whose length and contents disagree."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


class Breaking:
    """Fails after a few elements."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        yield from self.items[: len(self.items) // 2]
        raise ValueError("iteration broke")


class Mutating:
    """A float that empties the list being converted when asked for its value."""

    def __init__(self, victim, value):
        self.victim, self.value = victim, value

    def __float__(self):
        self.victim.clear()
        return self.value


def look_alike_bool(provider):
    name = provider.PickValueInList(["bool_", "bool", "other"])
    namespace = {"__module__": provider.PickValueInList(["numpy", "numpy.core", "builtins"])}
    if provider.ConsumeBool():
        namespace["__bool__"] = lambda self: True
    cls = type(name, (), namespace)
    instance = cls()
    if provider.ConsumeBool() and "__bool__" in namespace:
        del cls.__bool__
    return instance


def number(provider):
    choice = provider.ConsumeIntInRange(0, 9)
    if choice == 0:
        return provider.ConsumeRegularFloat()
    if choice == 1:
        return provider.PickValueInList([float("nan"), float("inf"), -float("inf"), -0.0, 1e308, 5e-324])
    if choice == 2:
        return provider.ConsumeInt(8)
    if choice == 3:
        return np.float32(provider.ConsumeRegularFloat())
    if choice == 4:
        return 10 ** 400
    if choice == 5:
        return provider.ConsumeUnicodeNoSurrogates(3)
    if choice == 6:
        return None
    if choice == 7:
        return True
    return float(provider.ConsumeIntInRange(0, 20)) / 4


def flag(provider):
    choice = provider.ConsumeIntInRange(0, 6)
    if choice == 0:
        return look_alike_bool(provider)
    if choice == 1:
        return np.bool_(provider.ConsumeBool())
    if choice == 2:
        return provider.ConsumeIntInRange(0, 1)
    if choice == 3:
        return None
    return provider.ConsumeBool()


def text(provider):
    choice = provider.ConsumeIntInRange(0, 5)
    if choice == 0:
        return provider.ConsumeUnicode(6)  # may hold lone surrogates
    if choice == 1:
        return provider.ConsumeBytes(4)
    if choice == 2:
        return 3
    return provider.ConsumeUnicodeNoSurrogates(6)


def path(provider):
    name = provider.PickValueInList(["valid.TextGrid", "missing.TextGrid", "folder", "out.TextGrid",
                                     "caf\xe9.TextGrid", "bad\udcff.TextGrid", "nul\x00.TextGrid", ""])
    full = os.path.join(SCRATCH, name) if name != "valid.TextGrid" else VALID
    choice = provider.ConsumeIntInRange(0, 7)
    if choice == 0:
        return pathlib.Path(full)
    if choice == 1:
        return os.fsencode(full) if "\x00" not in full else full.encode("utf-8", "surrogateescape")
    if choice == 2:
        return FsPath(provider.PickValueInList([full, os.fsencode(full), 3, None]))
    if choice == 3:
        return bytearray(b"x")
    if choice == 4:
        # Any name, but always inside the scratch folder.
        return os.path.join(SCRATCH, provider.ConsumeUnicode(4).replace("/", "_").replace("\x00", "_") or "_")
    return full


def sequence(provider, element):
    items = [element(provider) for _ in range(provider.ConsumeIntInRange(0, 4))]
    choice = provider.ConsumeIntInRange(0, 7)
    if choice == 0:
        return tuple(items)
    if choice == 1:
        return Lying(items, provider.PickValueInList([0, -1, 2 ** 62, len(items) + 3]))
    if choice == 2:
        return Breaking(items)
    if choice == 3:
        return iter(items)
    if choice == 4 and items:
        victim = list(items)
        victim.append(Mutating(victim, 1.0))
        return victim
    if choice == 5:
        return "abc"
    return items


def column(provider, element, dtype):
    if provider.ConsumeIntInRange(0, 3) == 0:
        try:
            return np.array([element(provider) for _ in range(provider.ConsumeIntInRange(0, 4))],
                            dtype=provider.PickValueInList([dtype, object]))
        except (TypeError, ValueError, OverflowError):
            return np.array([], dtype=dtype)
    return sequence(provider, element)


def item(provider):
    if provider.ConsumeIntInRange(0, 7) == 0:
        return [number(provider), number(provider), text(provider)]
    return (number(provider), number(provider), text(provider))


def tier(provider):
    return (text(provider), flag(provider), sequence(provider, item))


def file_type(provider):
    return provider.PickValueInList(["long", "short", "auto", "LONG", "", b"long", None, "lo\udfffng"])


def arguments(provider, function):
    if function in ("textgrid2data", "textgrid2vectors"):
        return (path(provider), flag(provider), file_type(provider))
    if function in ("textgrids2data", "textgrids2vectors"):
        return (sequence(provider, path), flag(provider), file_type(provider))
    if function == "data2textgrid":
        return (sequence(provider, tier), number(provider), number(provider), path(provider),
                file_type(provider))
    return (column(provider, number, float), column(provider, number, float),
            sequence(provider, text), sequence(provider, text), column(provider, flag, bool),
            number(provider), number(provider), path(provider), file_type(provider))


FUNCTIONS = ["textgrid2data", "textgrid2vectors", "textgrids2data", "textgrids2vectors",
             "data2textgrid", "vectors2textgrid"]


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    function = provider.PickValueInList(FUNCTIONS)
    try:
        args = arguments(provider, function)
    except (TypeError, ValueError, OverflowError, UnicodeError):
        return
    try:
        getattr(tavrel, function)(*args)
    except DOCUMENTED:
        pass


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
