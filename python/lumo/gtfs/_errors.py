"""The error of a feed that cannot be used, and warnings aimed at the caller."""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING

import numpy as np

from ..arrays import InputError

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

# Warnings point at the line that called into lumo.gtfs, however deep the
# step that raised them.
_PACKAGE = os.path.dirname(__file__) + os.sep


class FeedError(InputError):  # type: ignore[misc, valid-type, unused-ignore]
    """A GTFS feed that cannot be used: names the file, the row and the problem.

    `row` counts the records of the file after its header from 1 (None where
    the problem is not in one row).
    """

    def __init__(self, file: str, row: int | None, problem: str):
        self.file = file
        self.row = row
        self.problem = problem
        where = file if row is None else f"{file}, row {row}"
        super().__init__(f"{where}: {problem}")


def warn(message: str) -> None:
    warnings.warn(message, UserWarning, skip_file_prefixes=(_PACKAGE,))


class Dropped:
    """What `load` leaves out, by reason: counted, with a few example ids,
    for the network's `dropped` table and one warning."""

    #: How many example ids a reason keeps.
    EXAMPLES = 5

    def __init__(self) -> None:
        self._rows: list[tuple[str, int, str, bool]] = []

    def add(self, reason: str, ids: object, *, warn: bool = True) -> None:
        """`reason` reads after a count ("trips of the day have no stop
        times"); `warn` False for what the caller asked for or expects."""
        items = [str(i) for i in ids]  # type: ignore[attr-defined]
        if items:
            self._rows.append((reason, len(items), ", ".join(items[:self.EXAMPLES]), warn))

    def table(self) -> "pd.DataFrame":
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        return pd.DataFrame({"reason": [r[0] for r in self._rows],
                             "count": np.array([r[1] for r in self._rows], dtype=np.int64),
                             "example_ids": [r[2] for r in self._rows]},
                            columns=["reason", "count", "example_ids"])

    def warn(self) -> None:
        told = [f"{count} {reason} (e.g. {ex})" for reason, count, ex, w in self._rows if w]
        if told:
            warn("load left out " + "; ".join(told) + ". network.dropped lists all that was "
                 "left out")
