"""Python module for TextGrid file manipulation.
It offers fast reading, writing and converting of Praat TextGrid files, supports
both the long and the short text format, and offers efficient batch processing
of many files in parallel.
"""

import os
from typing import Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "textgrid2vectors",
    "textgrids2vectors",
    "textgrid2data",
    "textgrids2data",
    "data2textgrid",
    "vectors2textgrid",
]

# Paths as os.fsencode takes them.
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# Anything with a float conversion: float, int, objects with __float__ or __index__.
_Time = Union[SupportsFloat, SupportsIndex]
# True/False, or a NumPy boolean scalar (never the integers 0 and 1).
_Flag = Union[bool, np.bool_]

_Item = Tuple[float, float, str]
_Tier = Tuple[str, bool, list[_Item]]
_Document = Tuple[float, float, list[_Tier]]

_ItemInput = Tuple[_Time, _Time, str]
_TierInput = Tuple[str, _Flag, Sequence[_ItemInput]]

_Vectors = Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
]
_BatchVectors = Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
    npt.NDArray[np.uint32],
]

class PanicException(BaseException):
    """Raised when the module's native code fails internally (an unknown file-type
    word, a structurally broken file, a file that cannot be written)."""

def textgrid2vectors(file: _Path, strict: bool, file_type: str) -> _Vectors:
    """Read one TextGrid file into flat parallel vectors:
    (tmins, tmaxs, labels, tier_names, is_intervals)."""

def textgrids2vectors(files: Sequence[_Path], strict: bool, file_type: str) -> _BatchVectors:
    """Read many TextGrid files in parallel and concatenate their vectors:
    (tmins, tmaxs, labels, tier_names, is_intervals, file_ids)."""

def textgrid2data(file: _Path, strict: bool, file_type: str) -> _Document:
    """Read one TextGrid file into (tmin, tmax, [(name, is_interval, [(tmin, tmax, label)])])."""

def textgrids2data(files: Sequence[_Path], strict: bool, file_type: str) -> list[_Document]:
    """Read many TextGrid files in parallel; one document per path, in order.
    A file that cannot be read gives (0.0, 0.0, [])."""

def data2textgrid(
    data: Sequence[_TierInput],
    tmin: Optional[_Time],
    tmax: Optional[_Time],
    output_file: _Path,
    file_type: str,
) -> None:
    """Build a TextGrid from nested data, validate it and write it to output_file;
    exactly "long" selects the long format, any other word the short one."""

def vectors2textgrid(
    tmins: Sequence[_Time] | npt.NDArray[np.floating],
    tmaxs: Sequence[_Time] | npt.NDArray[np.floating],
    labels: Sequence[str],
    tier_names: Sequence[str],
    is_intervals: Sequence[_Flag] | npt.NDArray[np.bool_],
    tmin: Optional[_Time],
    tmax: Optional[_Time],
    output_file: _Path,
    file_type: str,
) -> None:
    """Build a TextGrid from flat parallel vectors (grouped into tiers by name, items
    sorted by start time), validate it and write it to output_file."""
