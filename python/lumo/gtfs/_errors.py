"""The error of a feed that cannot be used, and warnings aimed at the caller."""

from __future__ import annotations

import os
import warnings

from ..arrays import InputError

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
