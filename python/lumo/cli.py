"""The `lumo` command: from a GTFS feed to skims, tables and a report page.

    lumo assign CONFIG.toml [options]
    lumo assign FEED --date 2017-03-14 --start 07:00 --end 09:00 [options]
    lumo inspect FEED [--date ... --start ... --end ...]

Exit status: 0 done, 2 bad input (the message names the file, the row and
the field), 130 interrupted (Ctrl-C). Files are written under temporary
names in the output folder and renamed once all of them are complete, so a
run that stops leaves none of them half-written under its final name.

Needs the `cli` extra: ``pip install 'lumo-transit[cli]'``.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import sys
import tempfile
from collections.abc import Iterator
from importlib import metadata
from typing import Any

try:
    import click
    import tomli_w
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"the lumo command needs click and tomli-w ({exc}): "
                      "pip install 'lumo-transit[cli]'") from exc

from . import _config
from ._config import ConfigError, Settings

EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130

_log = logging.getLogger("lumo")


def version() -> str:
    try:
        return metadata.version("lumo-transit")
    except metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
        return "unknown"


# ---------------------------------------------------------------------------
# Output folder: temporary names, renamed at the end


@contextlib.contextmanager
def staged(out: str) -> Iterator[str]:
    """A temporary folder inside `out` whose files are moved to `out` when
    the block ends normally; on any exit by an exception it is removed."""
    os.makedirs(out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix=".lumo-partial-", dir=out)
    try:
        yield tmp
        # run.toml last: its presence says the files beside it are complete
        names = sorted(os.listdir(tmp), key=lambda n: (n == "run.toml", n))
        for name in names:
            os.replace(os.path.join(tmp, name), os.path.join(out, name))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------------------
# The run


def _load_network(s: Settings, progress: bool) -> Any:
    from . import gtfs
    n = s.network
    return gtfs.load(s.feed, s.date, s.start, s.end, zones=s.zones,
                     walk_distance=n.walk_distance, walk_speed=n.walk_speed,
                     walk_factor=n.walk_factor, wait_factor=n.wait_factor,
                     boarding_penalty=n.boarding_penalty, in_vehicle_factor=n.in_vehicle_factor,
                     access_distance=n.access_distance, min_time=n.min_time, progress=progress)


def _demand(s: Settings, net: Any) -> tuple[Any, str]:
    from . import gtfs
    if s.demand:
        lumo_io = _io()
        if lumo_io is None:
            raise ConfigError(None, "demand", "reading an OMX file needs lumo.io and h5py: "
                              "pip install 'lumo-transit[cli]'")
        return (lumo_io.read_omx(s.demand, net, s.demand_matrix),
                f"read from {os.path.basename(s.demand)}"
                + (f" (matrix {s.demand_matrix})" if s.demand_matrix else ""))
    g = s.gravity
    text = (f"no demand given: a gravity demand of {g.total:g} trips between the "
            f"{'zones' if net.n_zones else 'stops'} (distance scale {g.scale_km:g} km)")
    return gtfs.gravity_demand(net, total=g.total, scale_km=g.scale_km), text


def _assign(s: Settings, net: Any, demand: Any, progress: bool) -> Any:
    from . import arrays
    if not s.congested:
        return arrays.assign(net, demand, components=True, progress=progress)
    c = s.congestion
    decay: Any = c.decay  # a number or "msa", checked with the settings
    return arrays.assign_congested(net, demand, capacity_of(s, net), decay=decay, beta=c.beta,
                                   tol=c.tol, max_iters=c.max_iters, components=True,
                                   progress=progress)


def capacity_of(s: Settings, net: Any) -> float:
    """The places of one vehicle: the congested run and the tables count the
    window's minutes themselves (a feed's network carries its window)."""
    return float(s.congestion.capacity)


def _write_table(df: Any, path: str, fmt: str) -> str:
    if fmt == "csv":
        df.to_csv(path + ".csv", index=True)
        return path + ".csv"
    df.to_parquet(path + ".parquet", index=True)
    return path + ".parquet"


@contextlib.contextmanager
def _environ(**values: str) -> Iterator[None]:
    before = {k: os.environ.get(k) for k in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for k, v in before.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def _io() -> Any:
    """lumo.io, or None where it (or the file library it needs) is missing."""
    try:
        from . import io as lumo_io
    except ImportError:
        return None
    return lumo_io


def _has_geo() -> bool:
    return _io() is not None and _importable("geopandas")


def _importable(name: str) -> bool:
    import importlib.util
    return importlib.util.find_spec(name) is not None


def run_assign(s: Settings, config_file: str | None, *, progress: bool) -> list[str]:
    """Runs the assignment of `s` and writes its files; returns their names."""
    from . import gtfs
    from .report import write_report

    _config.check(s, config_file)
    sums = _config.verify(s, config_file)
    net = _load_network(s, progress)
    demand, demand_text = _demand(s, net)
    result = _assign(s, net, demand, progress)
    capacity = capacity_of(s, net)
    tables = {
        "segment_loads": gtfs.segment_loads(net, result, capacity),
        "stop_boardings": gtfs.stop_boardings(net, result),
        "line_summary": gtfs.line_summary(net, result, capacity),
        "skims": gtfs.skims(net, result),
    }
    written = []
    with staged(s.out) as tmp:
        lumo_io = _io()
        if lumo_io is not None:
            lumo_io.write_omx(os.path.join(tmp, "skims.omx"), net, result)
        else:
            _log.warning("skims.omx not written: lumo.io cannot be imported")
        for name, df in tables.items():
            written.append(_write_table(df, os.path.join(tmp, name), s.tables))
        if _has_geo():
            # GeoPackage records when it was written: the service day's
            # midnight instead, so that a repeated run gives the same bytes
            with _environ(OGR_CURRENT_DATE=f"{net.date.isoformat()}T00:00:00.000Z"):
                lumo_io.write_layers(os.path.join(tmp, "layers.gpkg"), net, result)
        doc = _config.record(s, sums, version())
        write_report(os.path.join(tmp, "report.html"), net, result, demand,
                     segments=tables["segment_loads"], settings=doc, demand_text=demand_text)
        with open(os.path.join(tmp, "run.toml"), "wb") as f:
            tomli_w.dump(doc, f)
        written = sorted(os.listdir(tmp))
    return written


# ---------------------------------------------------------------------------
# Command line


def _fail(message: str) -> None:
    click.echo(f"lumo: error: {message}", err=True)
    sys.exit(EXIT_BAD_INPUT)


@contextlib.contextmanager
def _exits() -> Iterator[None]:
    """Bad input to exit 2 with its message, Ctrl-C to 130."""
    from .arrays import InputError
    try:
        yield
    except KeyboardInterrupt:
        click.echo("lumo: interrupted", err=True)
        sys.exit(EXIT_INTERRUPTED)
    except InputError as e:
        _fail(str(e))
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        _fail(f"{where}{e.strerror or e}")


def _logging(quiet: bool) -> None:
    """Log records on standard error where no bar is drawn (not a terminal)."""
    if quiet:
        _log.setLevel(logging.WARNING)
        return
    if not _log.handlers and not logging.getLogger().handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("lumo: %(message)s"))
        _log.addHandler(handler)
        _log.setLevel(logging.INFO)


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(version(), prog_name="lumo")
def main() -> None:
    """Frequency-based transit assignment from a GTFS feed."""


@main.command()
@click.argument("source", type=click.Path())
@click.option("--date", help="Service day, YYYY-MM-DD.")
@click.option("--start", help="Start of the window, HH:MM.")
@click.option("--end", help="End of the window, HH:MM.")
@click.option("--zones", type=click.Path(), help="Zone centroids: CSV with id, lat, lon.")
@click.option("--demand", type=click.Path(), help="Demand matrix, an OMX file.")
@click.option("--demand-matrix", help="The matrix of the OMX file to assign.")
@click.option("--congested/--uncongested", default=None, help="Congested run (capacities).")
@click.option("--capacity", type=float, help="Places in one vehicle (congested runs).")
@click.option("--max-iters", type=int, help="Most iterations of a congested run.")
@click.option("--wait-factor", type=float, help="Weight on waiting time.")
@click.option("--walk-factor", type=float, help="Weight on walking time.")
@click.option("--boarding-penalty", type=float, help="Minutes added per boarding.")
@click.option("--out", type=click.Path(), help="Output folder (default lumo-out).")
@click.option("--csv", "csv_tables", is_flag=True, default=None, help="Tables as CSV, not Parquet.")
@click.option("-q", "--quiet", is_flag=True, help="No progress bars or records.")
def assign(source: str, date: str | None, start: str | None, end: str | None, zones: str | None,
           demand: str | None, demand_matrix: str | None, congested: bool | None,
           capacity: float | None, max_iters: int | None, wait_factor: float | None,
           walk_factor: float | None, boarding_penalty: float | None, out: str | None,
           csv_tables: bool | None, quiet: bool) -> None:
    """Assign the demand on a feed's network and write skims, tables and a report.

    SOURCE is a TOML file of settings (a run.toml written by an earlier run
    repeats that run) or a GTFS feed; options override the file.
    """
    _logging(quiet)
    with _exits():
        s = Settings()
        config_file = None
        if source.lower().endswith(".toml"):
            config_file = source
            _config.update(s, _config.read(source), source,
                           base=os.path.dirname(os.path.abspath(source)))
        else:
            s.feed = source
        cwd = os.getcwd()
        _config.update(s, {"date": date, "start": start, "end": end, "demand_matrix": demand_matrix,
                           "congested": congested,
                           "tables": "csv" if csv_tables else None}, None)
        _config.update(s, {"zones": zones, "demand": demand, "out": out}, None, base=cwd)
        if demand:
            s.checksums.pop("demand", None)
        if zones:
            s.checksums.pop("zones", None)
        for section, key, value in (("congestion", "capacity", capacity),
                                    ("congestion", "max_iters", max_iters),
                                    ("network", "wait_factor", wait_factor),
                                    ("network", "walk_factor", walk_factor),
                                    ("network", "boarding_penalty", boarding_penalty)):
            if value is not None:
                setattr(getattr(s, section), key, value)
        written = run_assign(s, config_file, progress=not quiet)
        if not quiet:
            click.echo(f"lumo: wrote {', '.join(written)} to {s.out}")


@main.command()
@click.argument("feed", type=click.Path())
@click.option("--date", help="Service day, YYYY-MM-DD (default: the day with most services).")
@click.option("--start", default="07:00", show_default=True, help="Start of the window.")
@click.option("--end", default="09:00", show_default=True, help="End of the window.")
def inspect(feed: str, date: str | None, start: str, end: str) -> None:
    """Print a feed's service days, its routes by type and agency, and what
    loading its window would leave out."""
    from .gtfs import _inspect
    with _exits():
        click.echo(_inspect.describe(feed, date, start, end))


if __name__ == "__main__":  # pragma: no cover
    main()
