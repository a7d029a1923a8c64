"""Field parsers: GTFS text columns to arrays, with errors that name the row.

Each parser is a small frozen value naming how a column is read; the feed's
column table (in `_feed`) says which column takes which. A parser is called on
a column (a pandas Series of str) with the file and column names for its
messages and, where the column is a subset of the file, the file row of each
value (from 0).
"""

from __future__ import annotations

import datetime as _dt
import re
from abc import ABC, abstractmethod
from dataclasses import dataclass
from typing import Generic, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import InputError
from ._errors import FeedError
from ._types import BoolArray, FloatArray, IntArray

T = TypeVar("T", bound=np.generic, covariant=True)


def first_bad(mask: BoolArray) -> int:
    """The feed row (from 1) of the first True in mask."""
    return int(np.flatnonzero(mask)[0]) + 1


def _row(i: int, rows: IntArray | None) -> int:
    return int(rows[i]) + 1 if rows is not None else i + 1


class Parser(ABC, Generic[T]):
    """How one column is read."""

    #: What the column holds once parsed, for the column table's readers.
    dtype: type[np.generic]

    @abstractmethod
    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> npt.NDArray[T]:
        """The column's values; FeedError at the first that cannot be read."""

    def absent(self, n: int) -> npt.NDArray[T] | None:
        """The values of n rows of a file without this column; None where the
        column cannot be left out."""
        return None


_TIME_RE = r"^\s*(\d+):([0-5]\d):([0-5]\d)\s*$"


@dataclass(frozen=True)
class Time(Parser[np.float64]):
    """GTFS times (H:MM:SS, hours may pass 24) as seconds after midnight, in
    float64; NaN where empty (an error unless allow_empty)."""

    allow_empty: bool = True
    dtype = np.float64

    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> FloatArray:
        text = values
        empty = (text == "").to_numpy(copy=True)
        out = np.full(len(values), np.nan)
        todo = ~empty
        # Nearly every time is HH:MM:SS or H:MM:SS: read those digit by digit.
        fixed = todo & text.str.len().isin((7, 8)).to_numpy()
        if fixed.any():
            raw: npt.NDArray[np.bytes_] | None
            try:
                raw = np.asarray(text.to_numpy()[fixed].astype(str), dtype="S8")
            except UnicodeEncodeError:
                raw = None
            if raw is not None:
                raw = np.char.rjust(raw, 8, b"0")
                d = raw.view(np.uint8).reshape(-1, 8).astype(np.int64) - ord("0")
                digits = np.delete(d, [2, 5], axis=1)
                good = ((d[:, 2] == ord(":") - ord("0")) & (d[:, 5] == ord(":") - ord("0"))
                        & ((digits >= 0) & (digits <= 9)).all(axis=1) & (d[:, 3] < 6)
                        & (d[:, 6] < 6))
                secs = ((d[:, 0] * 10 + d[:, 1]) * 3600 + (d[:, 3] * 10 + d[:, 4]) * 60
                        + d[:, 6] * 10 + d[:, 7])
                at = np.flatnonzero(fixed)[good]
                out[at] = secs[good]
                todo[at] = False
        if todo.any():
            at = np.flatnonzero(todo)
            blank = (text.iloc[at].str.strip() == "").to_numpy()
            empty[at[blank]] = True
            todo[at[blank]] = False
            at = at[~blank]
            parts = text.iloc[at].str.extract(_TIME_RE)
            ok = parts[0].notna().to_numpy()
            if ok.any():
                h, m, sec = (parts[k].to_numpy()[ok].astype(np.int64) for k in range(3))
                out[at[ok]] = h * 3600 + m * 60 + sec
            todo[at[ok]] = False
        bad = todo | (empty & (not self.allow_empty))
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            what = ("is empty" if empty[i]
                    else f"{values.iloc[i]!r} is not a time of the form H:MM:SS")
            raise FeedError(file, _row(i, rows), f"{column} {what}")
        return out

    def absent(self, n: int) -> FloatArray | None:
        return np.full(n, np.nan) if self.allow_empty else None


@dataclass(frozen=True)
class Integer(Parser[np.int64]):
    """Whole numbers, at least `lo` or one of `choices` where given;
    `default` where empty (an error without one)."""

    lo: int | None = None
    choices: tuple[int, ...] | None = None
    default: int | None = None
    dtype = np.int64

    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> IntArray:
        lo, choices, default = self.lo, self.choices, self.default
        v = values.str.strip()
        empty = (v == "").to_numpy()
        num = pd.to_numeric(v.where(~empty, None), errors="coerce").to_numpy(dtype=float, copy=True)
        bad = (~empty & (np.isnan(num) | (num != np.floor(num)))) | (empty & (default is None))
        if lo is not None:
            bad |= ~empty & ~np.isnan(num) & (num < lo)
        if choices is not None:
            bad |= ~empty & ~np.isnan(num) & ~np.isin(num, choices)
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            if empty[i]:
                raise FeedError(file, _row(i, rows), f"{column} is empty")
            expect = (f"one of {', '.join(map(str, choices))}" if choices is not None
                      else "a whole number" + (f" of at least {lo}" if lo is not None else ""))
            raise FeedError(file, _row(i, rows), f"{column} {values.iloc[i]!r} is not {expect}")
        num[empty] = default if default is not None else 0
        out: IntArray = num.astype(np.int64)
        return out

    def absent(self, n: int) -> IntArray | None:
        return None if self.default is None else np.full(n, self.default, dtype=np.int64)


@dataclass(frozen=True)
class Date(Parser[np.int64]):
    """YYYYMMDD dates as integers (they compare like the dates)."""

    dtype = np.int64

    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> IntArray:
        v = values.str.strip()
        ok = v.str.fullmatch(r"\d{8}").to_numpy()
        if ok.all():
            d = v.astype(np.int64).to_numpy()
            month, day = d // 100 % 100, d % 100
            ok = (month >= 1) & (month <= 12) & (day >= 1) & (day <= 31)
        if not ok.all():
            i = int(np.flatnonzero(~ok)[0])
            raise FeedError(file, _row(i, rows),
                            f"{column} {values.iloc[i]!r} is not a date of the form YYYYMMDD")
        out: IntArray = d
        return out


@dataclass(frozen=True)
class Number(Parser[np.float64]):
    """Decimal numbers, NaN where empty or not a number: the checks that
    matter (a served stop without a position) come where the value is used."""

    dtype = np.float64

    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> FloatArray:
        out: FloatArray = pd.to_numeric(values.str.strip(), errors="coerce").to_numpy(
            dtype=float, copy=True)
        return out

    def absent(self, n: int) -> FloatArray:
        return np.full(n, np.nan)


@dataclass(frozen=True)
class Code(Parser[np.int64]):
    """A descriptive code kept for the tables only: `default` where it is
    empty or not a number."""

    default: int = -1
    dtype = np.int64

    def __call__(self, values: pd.Series, file: str, column: str,
                 rows: IntArray | None = None) -> IntArray:
        out: IntArray = (pd.to_numeric(values, errors="coerce").fillna(self.default)
                         .astype(int).to_numpy())
        return out

    def absent(self, n: int) -> IntArray:
        return np.full(n, self.default, dtype=np.int64)


# ---------------------------------------------------------------------------
# The arguments of load


def parse_day(date: object) -> _dt.date:
    if isinstance(date, _dt.datetime):
        return date.date()
    if isinstance(date, _dt.date):
        return date
    if isinstance(date, str):
        for fmt in ("%Y-%m-%d", "%Y%m%d"):
            try:
                return _dt.datetime.strptime(date.strip(), fmt).date()
            except ValueError:
                pass
    raise InputError(f"date must be a datetime.date or a 'YYYY-MM-DD' string, got {date!r}")


def parse_clock(value: object, name: str) -> int:
    """'HH:MM' (or 'HH:MM:SS', or a `datetime.time`) as seconds after
    midnight; hours may pass 24."""
    if isinstance(value, _dt.time):
        return value.hour * 3600 + value.minute * 60 + value.second
    if isinstance(value, str):
        m = re.fullmatch(r"\s*(\d{1,2}):([0-5]\d)(?::([0-5]\d))?\s*", value)
        if m:
            return int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3] or 0)
    raise InputError(f"{name} must be a time 'HH:MM', got {value!r}")


def format_clock(seconds: float) -> str:
    s = int(round(seconds))
    return f"{s // 3600:02d}:{s % 3600 // 60:02d}"


__all__ = ["Parser", "Time", "Integer", "Date", "Number", "Code", "first_bad", "parse_day",
           "parse_clock", "format_clock"]
