"""Reading an Arrow C stream (the PyCapsule interface) into Python columns, with
ctypes and NumPy only, so that the command line can list tables and reports and
write CSV without pyarrow.

Handles the column types the table and report objects use: integers, floats,
booleans, UTF-8 strings (32- and 64-bit offsets), dictionary-encoded strings, and
nulls. Everything is copied out before the producer's buffers are released.
"""

import ctypes
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p

import numpy as np


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", c_char_p),
    ("name", c_char_p),
    ("metadata", c_char_p),
    ("flags", c_int64),
    ("n_children", c_int64),
    ("children", POINTER(POINTER(ArrowSchema))),
    ("dictionary", POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))),
    ("private_data", c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", c_int64),
    ("null_count", c_int64),
    ("offset", c_int64),
    ("n_buffers", c_int64),
    ("n_children", c_int64),
    ("buffers", POINTER(c_void_p)),
    ("children", POINTER(POINTER(ArrowArray))),
    ("dictionary", POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, POINTER(ArrowArray))),
    ("private_data", c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(c_char_p, POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, POINTER(ArrowArrayStream))),
    ("private_data", c_void_p),
]

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, c_char_p]

_FIXED = {b"c": np.int8, b"C": np.uint8, b"s": np.int16, b"S": np.uint16, b"i": np.int32,
          b"I": np.uint32, b"l": np.int64, b"L": np.uint64, b"f": np.float32, b"g": np.float64}


def read_columns(obj):
    """All rows of an object with `__arrow_c_stream__`, as {column name: list}.

    Numbers come back as Python ints and floats, flags as bools, text as str, nulls as
    None, dictionary-encoded columns as their values."""
    capsule = obj.__arrow_c_stream__()
    stream = ArrowArrayStream.from_address(_capsule_pointer(capsule, b"arrow_array_stream"))
    schema = ArrowSchema()
    _check(stream, stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)))
    try:
        if schema.format != b"+s":
            raise ValueError(f"expected a stream of record batches, got format {schema.format!r}")
        fields = [schema.children[k].contents for k in range(schema.n_children)]
        columns = {field.name.decode(): [] for field in fields}
        while True:
            batch = ArrowArray()
            _check(stream, stream.get_next(ctypes.byref(stream), ctypes.byref(batch)))
            if not batch.release:  # end of stream
                break
            try:
                for k, field in enumerate(fields):
                    child = batch.children[k].contents
                    values = _column(field, child, batch.offset, batch.length)
                    columns[field.name.decode()].extend(values)
            finally:
                batch.release(ctypes.byref(batch))
        return columns
    finally:
        schema.release(ctypes.byref(schema))
        # Released here; the capsule's destructor then sees a released stream.
        stream.release(ctypes.byref(stream))


def _check(stream, status):
    if status != 0:
        message = stream.get_last_error(ctypes.byref(stream))
        raise OSError(status, (message or b"Arrow stream error").decode(errors="replace"))


def _buffer(array, index, dtype, count):
    address = array.buffers[index]
    if count == 0 or not address:
        return np.zeros(count, dtype)
    size = count * np.dtype(dtype).itemsize
    return np.frombuffer((ctypes.c_char * size).from_address(address), dtype).copy()


def _bits(array, index, start, length):
    """Bits start..start+length of a bitmap buffer, as a bool array."""
    raw = _buffer(array, index, np.uint8, (start + length + 7) // 8)
    return np.unpackbits(raw, bitorder="little")[start:start + length].astype(bool)


def _column(schema, array, parent_offset, length):
    """The values of one column, `length` rows from `parent_offset` on."""
    start = array.offset + parent_offset
    if schema.dictionary:
        indices = _plain(schema.format, array, start, length)
        dictionary = array.dictionary.contents
        words = _plain(schema.dictionary.contents.format, dictionary, dictionary.offset,
                       dictionary.length)
        values = [words[i] for i in indices]
    else:
        values = _plain(schema.format, array, start, length)
    if array.null_count != 0 and array.buffers[0]:
        valid = _bits(array, 0, start, length)
        values = [v if ok else None for v, ok in zip(values, valid)]
    return values


def _plain(fmt, array, start, length):
    if fmt in _FIXED:
        return _buffer(array, 1, _FIXED[fmt], start + length)[start:].tolist()
    if fmt == b"b":
        return _bits(array, 1, start, length).tolist()
    if fmt in (b"u", b"U"):
        offsets = _buffer(array, 1, np.int32 if fmt == b"u" else np.int64, start + length + 1)
        offsets = offsets[start:].tolist()
        data = _buffer(array, 2, np.uint8, offsets[-1] if offsets else 0).tobytes()
        return [data[a:b].decode("utf-8") for a, b in zip(offsets, offsets[1:])]
    raise ValueError(f"unsupported Arrow column format {fmt!r}")
