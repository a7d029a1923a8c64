"""The settings of one run of `lumo assign`: read from a TOML file and the
command line, checked, and written back as run.toml.

Paths in a file are taken from the file's own folder; run.toml records them
absolute, with the checksums of the files they name, so that running it again
reads the same bytes (or says which file changed).
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import tomllib
from dataclasses import dataclass, field
from typing import Any

from ._arrays import CONGESTED_DEFAULTS
from .arrays import InputError

#: The tables' formats.
TABLE_FORMATS = ("parquet", "csv")


class ConfigError(InputError):  # type: ignore[misc, valid-type, unused-ignore]
    """A setting that cannot be used: names the file and the setting."""

    def __init__(self, file: str | None, key: str, problem: str):
        self.file = file
        self.key = key
        self.problem = problem
        where = f"{file}: " if file else ""
        super().__init__(f"{where}{key}: {problem}")


PerType = float | dict[int, float]


@dataclass
class NetworkSettings:
    walk_distance: float = 250.0
    walk_speed: float = 5.0
    walk_factor: float = 1.0
    wait_factor: float = 1.0
    boarding_penalty: PerType = 0.0
    in_vehicle_factor: PerType = 1.0
    access_distance: float = 500.0
    min_time: float = 0.25


@dataclass
class CongestionSettings:
    #: places in one vehicle
    capacity: float = 100.0
    # The core owns the congested defaults; the command keeps the constant
    # step of the exact module unless a step rule is asked for.
    beta: float = CONGESTED_DEFAULTS["beta"]
    decay: float | str = CONGESTED_DEFAULTS["decay"]
    tol: float = CONGESTED_DEFAULTS["tol"]
    max_iters: int = CONGESTED_DEFAULTS["max_iters"]


@dataclass
class GravitySettings:
    total: float = 20_000.0
    scale_km: float = 3.0


@dataclass
class Settings:
    feed: str = ""
    date: str = ""
    start: str = "07:00"
    end: str = "09:00"
    zones: str | None = None
    demand: str | None = None
    #: the matrix of the demand file (None: its only or first one)
    demand_matrix: str | None = None
    congested: bool = False
    out: str = "lumo-out"
    tables: str = "parquet"
    network: NetworkSettings = field(default_factory=NetworkSettings)
    congestion: CongestionSettings = field(default_factory=CongestionSettings)
    gravity: GravitySettings = field(default_factory=GravitySettings)
    #: checksums of the input files found in a run.toml read back, by key
    checksums: dict[str, str] = field(default_factory=dict)

    def input_files(self) -> dict[str, str]:
        return {k: v for k, v in (("feed", self.feed), ("zones", self.zones),
                                  ("demand", self.demand)) if v}


_SECTIONS = {"network": NetworkSettings, "congestion": CongestionSettings,
             "gravity": GravitySettings}
_PATHS = ("feed", "zones", "demand", "out")


def _number(file: str | None, key: str, value: Any, *, positive: bool = False,
            integer: bool = False) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ConfigError(file, key, f"must be a number, got {value!r}")
    if integer and not isinstance(value, int):
        raise ConfigError(file, key, f"must be a whole number, got {value!r}")
    if value != value or value in (float("inf"), float("-inf")) or value < 0 or (
            positive and value == 0):
        raise ConfigError(file, key, f"must be a finite number {'> 0' if positive else '>= 0'}, "
                          f"got {value!r}")
    return value if integer else float(value)


def _per_type(file: str | None, key: str, value: Any) -> PerType:
    if isinstance(value, dict):
        out: dict[int, float] = {}
        for k, v in value.items():
            try:
                rt = int(k)
            except (TypeError, ValueError):
                raise ConfigError(file, f"{key}.{k}", "keys are GTFS route types (whole numbers)"
                                  ) from None
            out[rt] = _number(file, f"{key}.{k}", v)
        return out
    number: float = _number(file, key, value)
    return number


def _check_section(file: str | None, name: str, obj: Any) -> None:
    for f in dataclasses.fields(obj):
        key, value = f"{name}.{f.name}", getattr(obj, f.name)
        if f.name in ("boarding_penalty", "in_vehicle_factor"):
            setattr(obj, f.name, _per_type(file, key, value))
        elif f.name == "decay" and isinstance(value, str):
            if value != "msa":
                raise ConfigError(file, key, f'must be a number in (0, 1] or "msa", got {value!r}')
        elif f.name == "max_iters":
            setattr(obj, f.name, _number(file, key, value, positive=True, integer=True))
        else:
            setattr(obj, f.name, _number(file, key, value,
                                         positive=f.name in ("walk_speed", "walk_factor",
                                                             "wait_factor", "capacity",
                                                             "min_time", "scale_km", "decay")))


def update(settings: Settings, values: dict[str, Any], file: str | None,
           base: str | None = None) -> None:
    """Sets what `values` holds (a parsed TOML document or the command line's
    options) on `settings`; relative paths are taken from `base`."""
    for key, value in values.items():
        if value is None:
            continue
        if key in _SECTIONS:
            if not isinstance(value, dict):
                raise ConfigError(file, key, "must be a table of settings")
            section = getattr(settings, key)
            names = {f.name for f in dataclasses.fields(section)}
            for k, v in value.items():
                if k not in names:
                    raise ConfigError(file, f"{key}.{k}", "is not a setting (known: "
                                      + ", ".join(sorted(names)) + ")")
                setattr(section, k, v)
        elif key == "checksums":
            if not isinstance(value, dict) or not all(isinstance(v, str) for v in value.values()):
                raise ConfigError(file, key, "must be a table of texts")
            settings.checksums = dict(value)
        elif key == "lumo_version":
            continue  # the version that wrote a run.toml: informative
        elif key in {f.name for f in dataclasses.fields(Settings)}:
            if key == "congested":
                if not isinstance(value, bool):
                    raise ConfigError(file, key, f"must be true or false, got {value!r}")
            elif not isinstance(value, str):
                raise ConfigError(file, key, f"must be a text, got {value!r}")
            if key in _PATHS and base is not None:
                value = os.path.join(base, os.path.expanduser(value))
            setattr(settings, key, value)
        else:
            raise ConfigError(file, key, "is not a setting")


def read(path: str) -> dict[str, Any]:
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except FileNotFoundError:
        raise ConfigError(path, "file", "does not exist") from None
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(path, "syntax", str(e)) from None
    except OSError as e:
        raise ConfigError(path, "file", e.strerror or str(e)) from None


def check(settings: Settings, file: str | None) -> None:
    if not settings.feed:
        raise ConfigError(file, "feed", "is required (a GTFS zip file or folder)")
    if not settings.date:
        raise ConfigError(file, "date", "is required (YYYY-MM-DD)")
    if settings.tables not in TABLE_FORMATS:
        raise ConfigError(file, "tables", f"must be one of {', '.join(TABLE_FORMATS)}, "
                          f"got {settings.tables!r}")
    for name in _SECTIONS:
        _check_section(file, name, getattr(settings, name))
    decay = settings.congestion.decay
    if not isinstance(decay, str) and decay > 1:
        raise ConfigError(file, "congestion.decay", f"must lie in (0, 1], got {decay!r}")
    for key, path in settings.input_files().items():
        if not os.path.exists(path):
            raise ConfigError(file, key, f"{path!r} does not exist")


def checksum(path: str) -> str:
    """sha256 of a file, or of a folder's files (names and bytes, in name order)."""
    h = hashlib.sha256()
    if os.path.isdir(path):
        for name in sorted(os.listdir(path)):
            full = os.path.join(path, name)
            if os.path.isfile(full):
                h.update(name.encode() + b"\0")
                with open(full, "rb") as f:
                    h.update(hashlib.sha256(f.read()).digest())
    else:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    return "sha256:" + h.hexdigest()


def verify(settings: Settings, file: str | None) -> dict[str, str]:
    """The inputs' checksums; those a run.toml recorded must still hold."""
    sums = {key: checksum(path) for key, path in settings.input_files().items()}
    for key, recorded in settings.checksums.items():
        if key not in sums:
            continue
        if sums[key] != recorded:
            raise ConfigError(file, f"checksums.{key}",
                              f"{settings.input_files()[key]!r} has changed since this record "
                              f"was written ({recorded} recorded, {sums[key]} now)")
    return sums


def _toml_value(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(k): v for k, v in value.items()}
    return value


def record(settings: Settings, sums: dict[str, str], version: str) -> dict[str, Any]:
    """Everything the run used, as the TOML document of run.toml."""
    doc: dict[str, Any] = {"lumo_version": version}
    for f in dataclasses.fields(Settings):
        value = getattr(settings, f.name)
        if f.name in _SECTIONS:
            doc[f.name] = {g.name: _toml_value(getattr(value, g.name))
                           for g in dataclasses.fields(value)}
        elif f.name == "checksums":
            doc[f.name] = dict(sums)
        elif f.name == "out":
            continue  # where the files go is no part of what they hold
        elif value is not None:
            doc[f.name] = os.path.abspath(value) if f.name in _PATHS else value
    return doc
