"""Progress of the long steps: a tqdm bar when standard error is a terminal,
records on the logger "lumo" otherwise.

A bar only watches: it never takes part in a computation, so whether one is
shown cannot change a result. Without tqdm installed, a terminal gets the log
records too (shown only where logging is configured for INFO).
"""

from __future__ import annotations

import logging
import sys
import time
from types import TracebackType
from typing import Any

_log = logging.getLogger("lumo")

# Log records of one step come at most this often (seconds), besides its end.
_LOG_EVERY = 2.0


def _terminal() -> bool:
    stream = sys.stderr
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # replaced or closed stream
        return False


def _tqdm() -> Any:
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm


def enabled(progress: object, name: str = "progress") -> bool:
    """The meaning of a `progress=` argument: True shows, False hides."""
    if not isinstance(progress, bool):
        from .arrays import InputError
        raise InputError(f"{name} must be True or False, got {progress!r}")
    return progress


def will_show(log: bool = True) -> bool:
    """Whether a bar made now would show anything (a bar or records)."""
    if _terminal() and _tqdm() is not None:
        return True
    return log and _log.isEnabledFor(logging.INFO)


class Bar:
    """The progress of one step towards `total` units (None: unknown).

    `update(n, **values)` adds n units done; the values (a gap, a file name)
    are shown beside the bar and carried by the log records as attributes.
    """

    def __init__(self, step: str, total: int | None, unit: str = "it", *,
                 show: bool = True, log: bool = True) -> None:
        self.step = step
        self.total = total
        self.unit = unit
        self.done = 0
        self._bar: Any = None
        self._log = False
        self._last = 0.0
        self._start = time.perf_counter()
        if not show:
            return
        tqdm = _tqdm() if _terminal() else None
        if tqdm is not None:
            self._bar = tqdm(total=total, desc=step, unit=unit, file=sys.stderr,
                             dynamic_ncols=True, leave=True, mininterval=0.2)
        elif log:  # (off where the native side logs the step itself)
            self._log = _log.isEnabledFor(logging.INFO)
            self._last = self._start

    @property
    def shown(self) -> bool:
        return self._bar is not None or self._log

    def update(self, n: int = 1, **values: object) -> None:
        self.done += n
        if self._bar is not None:
            if values:
                self._bar.set_postfix(values, refresh=False)
            self._bar.update(n)
        elif self._log:
            now = time.perf_counter()
            if now - self._last >= _LOG_EVERY:
                self._last = now
                self._record(values)

    def to(self, done: int, **values: object) -> None:
        """Sets the units done (a counter read from elsewhere)."""
        if done > self.done:
            self.update(done - self.done, **values)

    def _record(self, values: dict[str, object], end: bool = False) -> None:
        of = "" if self.total is None else f"/{self.total}"
        shown = "".join(f", {k} {v}" for k, v in values.items())
        seconds = time.perf_counter() - self._start
        _log.info("%s: %d%s %s%s%s", self.step, self.done, of, self.unit, shown,
                  f" in {seconds:.1f} s" if end else "",
                  extra={"step": self.step, "done": self.done, "total": self.total,
                         "seconds": seconds, **values})

    def close(self, **values: object) -> None:
        if self._bar is not None:
            if values:
                self._bar.set_postfix(values, refresh=False)
            self._bar.close()
            self._bar = None
        elif self._log:
            self._record(values, end=True)
            self._log = False

    def __enter__(self) -> Bar:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()
