"""Reading a feed: the files and columns used, and the reader of a zip or folder.

`FILES` is the one place that says which files and columns lumo.gtfs reads,
which of them a feed must have, and how each column is parsed. Text columns
(ids and names) have no parser and stay strings.
"""

from __future__ import annotations

import io
import os
import zipfile
from dataclasses import dataclass, field
from typing import TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..arrays import InputError
from ._errors import FeedError, warn
from ._parse import Code, Date, Integer, Number, Parser, Time
from ._types import IntArray

T = TypeVar("T", bound=np.generic)


@dataclass(frozen=True)
class Column:
    name: str
    required: bool
    #: None for text (ids, names), kept as str.
    parse: Parser[np.generic] | None = None

    @property
    def dtype(self) -> type[object]:
        return str if self.parse is None else self.parse.dtype


def _req(name: str, parse: Parser[np.generic] | None = None) -> Column:
    return Column(name, True, parse)


def _opt(name: str, parse: Parser[np.generic] | None = None) -> Column:
    return Column(name, False, parse)


@dataclass(frozen=True)
class FileSpec:
    name: str
    #: Whether a feed without the file is refused (else it reads as absent).
    required: bool
    columns: tuple[Column, ...]
    _by_name: dict[str, Column] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "_by_name", {c.name: c for c in self.columns})

    def column(self, name: str) -> Column:
        return self._by_name[name]


_BINARY = Integer(choices=(0, 1))
WEEKDAYS = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")

FILES: dict[str, FileSpec] = {spec.name: spec for spec in (
    FileSpec("routes.txt", True, (
        _req("route_id"),
        _opt("agency_id"),
        _opt("route_short_name"),
        _opt("route_long_name"),
        _opt("route_type", Code(default=-1)),
    )),
    FileSpec("trips.txt", True, (
        _req("route_id"),
        _req("service_id"),
        _req("trip_id"),
        _opt("direction_id", Integer(choices=(0, 1), default=-1)),
        _opt("shape_id"),
    )),
    FileSpec("stops.txt", True, (
        _req("stop_id"),
        _opt("stop_name"),
        _opt("stop_lat", Number()),
        _opt("stop_lon", Number()),
        _opt("parent_station"),
    )),
    FileSpec("stop_times.txt", True, (
        _req("trip_id"),
        _req("stop_id"),
        _req("stop_sequence", Integer(lo=0)),
        # optional one by one, but a file without both is refused
        _opt("arrival_time", Time()),
        _opt("departure_time", Time()),
    )),
    FileSpec("calendar.txt", False, (
        _req("service_id"),
        *(_req(day, _BINARY) for day in WEEKDAYS),
        _req("start_date", Date()),
        _req("end_date", Date()),
    )),
    FileSpec("calendar_dates.txt", False, (
        _req("service_id"),
        _req("date", Date()),
        _req("exception_type", Integer(choices=(1, 2))),
    )),
    FileSpec("frequencies.txt", False, (
        _req("trip_id"),
        _req("start_time", Time(allow_empty=False)),
        _req("end_time", Time(allow_empty=False)),
        _req("headway_secs", Integer(lo=1)),
        _opt("exact_times", Integer(choices=(0, 1), default=0)),
    )),
    FileSpec("agency.txt", False, (
        _opt("agency_id"),
        _opt("agency_name"),
    )),
    FileSpec("shapes.txt", False, (
        _req("shape_id"),
        _req("shape_pt_lat", Number()),
        _req("shape_pt_lon", Number()),
        _req("shape_pt_sequence", Integer(lo=0)),
    )),
    FileSpec("transfers.txt", False, (
        _req("from_stop_id"),
        _req("to_stop_id"),
        _opt("transfer_type", Integer(choices=(0, 1, 2, 3, 4, 5), default=0)),
        _opt("min_transfer_time", Number()),
        _opt("from_route_id"),
        _opt("to_route_id"),
        _opt("from_trip_id"),
        _opt("to_trip_id"),
    )),
)}



@dataclass(frozen=True)
class Table:
    """The columns of one file that the feed has, as strings ("" where empty).

    `rows` gives the file row (from 0) of each row of `frame` once the table
    is a subset of the file (None while row i is the file's row i), so that
    errors found later still name the row of the file.
    """

    spec: FileSpec
    frame: pd.DataFrame
    rows: IntArray | None = None

    def __len__(self) -> int:
        return len(self.frame)

    def has(self, column: str) -> bool:
        return column in self.frame.columns

    def text(self, column: str) -> pd.Series:
        return self.frame[column]

    def parse(self, column: str, kind: type[Parser[T]]) -> npt.NDArray[T]:
        """A column read by its parser (which must be a `kind`); the parser's
        value for absent rows where the file has no such column."""
        parser = self.spec.column(column).parse
        if not isinstance(parser, kind):
            raise TypeError(f"{self.spec.name}: {column} is not read as {kind.__name__}")
        if not self.has(column):
            missing = parser.absent(len(self))
            if missing is None:
                raise FeedError(self.spec.name, None, f"required column {column!r} is missing")
            return missing
        return parser(self.frame[column], self.spec.name, column, self.rows)

    def take(self, rows: IntArray) -> Table:
        """The rows at these positions, still naming the file's rows."""
        return Table(self.spec, self.frame.iloc[rows],
                     rows if self.rows is None else self.rows[rows])


class Feed:
    """The .txt files of a GTFS zip or folder, by name."""

    def __init__(self, path: object):
        try:
            where = os.fspath(path)  # type: ignore[call-overload]
        except TypeError:
            raise InputError(f"path must be a file or folder name, got {type(path).__name__}") from None
        self.path = where
        self._zip: zipfile.ZipFile | None = None
        self._members: dict[str, str] = {}
        if os.path.isdir(where):
            for name in os.listdir(where):
                if name.lower().endswith(".txt"):
                    self._members[name.lower()] = os.path.join(where, name)
        elif os.path.isfile(where):
            try:
                self._zip = zipfile.ZipFile(where)
            except (zipfile.BadZipFile, OSError) as e:
                raise InputError(f"path {where!r} is not a GTFS zip file or folder: {e}") from None
            # Some feeds keep their files in a folder inside the zip: take the
            # shallowest member of each name.
            depth: dict[str, int] = {}
            for info in self._zip.infolist():
                if info.is_dir():
                    continue
                base = info.filename.rsplit("/", 1)[-1].lower()
                d = info.filename.count("/")
                if base.endswith(".txt") and d < depth.get(base, 1 << 30):
                    depth[base] = d
                    self._members[base] = info.filename
        else:
            raise InputError(f"path {where!r} does not exist")

    def close(self) -> None:
        if self._zip is not None:
            self._zip.close()

    def has(self, name: str) -> bool:
        return name in self._members

    def read(self, name: str) -> Table | None:
        """The file's columns of `FILES` that it has; None when a file the
        feed may leave out is absent or empty."""
        spec = FILES[name]
        wanted = {c.name for c in spec.columns}
        if name not in self._members:
            if spec.required:
                raise FeedError(name, None, "the feed has no such file")
            return None
        member = self._members[name]
        if self._zip is not None:
            raw = self._zip.read(member)
        else:
            with open(member, "rb") as f:
                raw = f.read()
        if not raw or raw.isspace():
            if spec.required:
                raise FeedError(name, None, "the file is empty (it has no header)")
            return None

        def parse(encoding: str) -> pd.DataFrame:
            return pd.read_csv(io.BytesIO(raw), dtype=str, keep_default_na=False, na_filter=False,
                               encoding=encoding, skipinitialspace=True,
                               usecols=lambda c: c.strip() in wanted)

        try:
            try:
                df = parse("utf-8-sig")
            except UnicodeDecodeError as e:
                # GTFS asks for UTF-8, but older feeds come in a Latin code
                # page: read them byte for byte rather than refuse them
                warn(f"{name} is not UTF-8 ({e.reason}); read as Latin-1")
                df = parse("latin-1")
        except (pd.errors.ParserError, ValueError) as e:
            raise FeedError(name, None, f"cannot be read as CSV: {e}") from None
        df.columns = [c.strip() for c in df.columns]
        if df.columns.duplicated().any():
            dup = df.columns[df.columns.duplicated()][0]
            raise FeedError(name, None, f"column {dup!r} appears twice in the header")
        for col in spec.columns:
            if col.required and col.name not in df.columns:
                raise FeedError(name, None, f"required column {col.name!r} is missing")
        return Table(spec, df)

    def must_read(self, name: str) -> Table:
        """A file the feed must have."""
        table = self.read(name)
        assert table is not None, f"{name} is a file a feed may leave out"
        return table
