"""Helpers shared by the Python tests: test data, the example document that the
hand-made files in tests/data hold, and recognising the internal-failure
exception (a BaseException subclass that `except Exception` does not catch)."""

from pathlib import Path

import pytest

DATA = Path(__file__).parent / "data"

# The document stored in tests/data/example_*.TextGrid, in every layout and encoding.
EXAMPLE = (
    0.0,
    2.5,
    [
        ("words", True, [(0.0, 1.2, "hello"), (1.2, 2.5, "wörld ☃")]),
        ("events", False, [(0.5, 0.5, "click")]),
    ],
)
EMPTY_DOCUMENT = (0.0, 0.0, [])

# The OSError template of the two writers, and the bytes that the `output`
# fixture puts in place so that a refused write can be seen to leave them alone.
CREATE_PREFIX = "Failed to create TextGrid because: "
ORIGINAL = b"left as it was\n"


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def panic_message(call):
    """Runs `call`, which must end in the module's internal-failure exception."""
    try:
        call()
    except BaseException as error:  # PanicException is not an Exception
        assert is_panic(error), repr(error)
        return str(error)
    pytest.fail("no PanicException raised")


def outcome(call):
    """("value", result), ("oserror", message) or ("panic", message); nothing else may happen."""
    try:
        return "value", call()
    except OSError as error:
        return "oserror", str(error)
    except BaseException as error:  # PanicException is not an Exception
        assert is_panic(error), repr(error)
        return "panic", str(error)
