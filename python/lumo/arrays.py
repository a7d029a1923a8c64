"""numpy in, numpy out: the arc-form assignment for numpy users.

The same computing core as the four functions of :mod:`lumo`, with arrays in
and out, zone-to-zone skims in both triangles, a convergence record, checked
inputs and errors that can be caught::

    import numpy as np
    from lumo.arrays import Network, assign

    net = Network(tail=[0, 0], head=[1, 1], freq=[0.1, 0.2], cost=[10.0, 12.0])
    result = assign(net, np.array([[0.0, 3.0], [0.0, 0.0]]))
    result.cost[0, 1]   # 13.0 (minutes)
    result.flows        # array([0.99999994, 1.9999999 ], dtype=float32)

Units: costs in minutes, frequencies in departures per minute (the waiting
time at a node is 0.5 / its combined frequency), demand in trips. All
results are float32, computed exactly as the four functions compute them.

Zones are the first Z nodes of the network, Z being the side of the demand
matrix. numpy is needed by this module only; ``import lumo`` does not need it.
"""
from __future__ import annotations

import math
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Union

import numpy as np
import numpy.typing as npt

from . import _arrays, _labels, _lines, _perceived, _progress
from ._arrays import ACCESS, ALIGHTING, BOARDING, EGRESS, IN_VEHICLE, WALK

__all__ = [
    "BOARDING", "IN_VEHICLE", "ALIGHTING", "WALK", "ACCESS", "EGRESS",
    "Network", "Assignment", "Convergence", "assign", "assign_congested", "STEP_RULES",
    "InputError", "PanicException",
]

# Arc kinds (the ``kind`` array of a :class:`Network`): BOARDING, IN_VEHICLE,
# ALIGHTING, WALK, ACCESS, EGRESS, numbered 0 ... 5 by the native core.
_KIND_NAMES = ("BOARDING", "IN_VEHICLE", "ALIGHTING", "WALK", "ACCESS", "EGRESS")
_DEFAULTS = _arrays.CONGESTED_DEFAULTS

#: An input of lumo.arrays is not valid; a subclass of ValueError.
InputError: type[ValueError] = _arrays.InputError
#: A failure inside the native computation (derives from BaseException, like
#: SystemExit). The four functions of :mod:`lumo` raise the same class.
PanicException: type[BaseException] = _arrays.PanicException

ArrayLike = npt.ArrayLike
FloatArray = npt.NDArray[np.float32]
IntArray = npt.NDArray[np.int64]

_MAX_NODES = 1 << 29


def _format(v: Any) -> str:
    if isinstance(v, (float, np.floating)):
        return repr(float(v))
    return str(v)


def _first_bad(mask: npt.NDArray[np.bool_]) -> int:
    return int(np.flatnonzero(mask.ravel())[0])


def _vector(name: str, value: ArrayLike, kind: Literal["float", "index"],
            length: int | None = None) -> np.ndarray:
    """One-dimensional float32 or int64 array, copied only where it must be."""
    if isinstance(value, (str, bytes)) or value is None:
        raise InputError(f"{name} must be a sequence of numbers, got {type(value).__name__}")
    try:
        with np.errstate(all="ignore"):
            arr = np.asarray(value)
    except (ValueError, TypeError, OverflowError) as exc:
        raise InputError(f"{name} must be a sequence of numbers: {exc}") from None
    if arr.ndim != 1:
        raise InputError(f"{name} must be one-dimensional, got shape {arr.shape}")
    if length is not None and arr.shape[0] != length:
        raise InputError(f"{name} must have {length} entries (one per arc), got {arr.shape[0]}")
    if kind == "float":
        if arr.dtype.kind not in "fiub":
            raise InputError(f"{name} must hold numbers, got dtype {arr.dtype}")
        return _narrowed(name, arr)
    if arr.dtype.kind not in "iu":
        if arr.dtype.kind == "f" and arr.size and np.all(np.isfinite(arr)) \
                and np.all(arr == np.round(arr)) and np.all(np.abs(arr) < 2.0**63):
            arr = arr.astype(np.int64)
        elif arr.size == 0:
            arr = arr.astype(np.int64)
        else:
            raise InputError(f"{name} must hold integers, got dtype {arr.dtype}")
    if arr.size and arr.dtype.kind == "i":
        neg = arr < 0
        if neg.any():
            i = _first_bad(neg)
            raise InputError(f"{name}[{i}] = {arr[i]} is negative")
    if arr.dtype == np.uint64 and arr.size and arr.max() > np.iinfo(np.int64).max:
        i = int(np.argmax(arr))
        raise InputError(f"{name}[{i}] = {arr[i]} is too large")
    return np.ascontiguousarray(arr, dtype=np.int64)


def _narrowed(name: str, arr: np.ndarray) -> np.ndarray:
    """float32, C order; a finite value beyond float32's range is refused here
    rather than cast to infinity with a numpy warning."""
    with np.errstate(all="ignore"):
        out = np.ascontiguousarray(arr, dtype=np.float32)
    if arr.dtype.kind == "f" and arr.dtype.itemsize > 4 and out.size:
        grew = np.isinf(out) & np.isfinite(arr)
        if grew.any():
            i = _first_bad(grew)
            pos = ", ".join(str(int(p)) for p in np.unravel_index(i, arr.shape))
            raise InputError(f"{name}[{pos}] = {_format(arr.ravel()[i])} is too large for "
                             "float32")
    return out


def _check_nodes(name: str, arr: np.ndarray, n_nodes: int) -> None:
    if arr.size:
        bad = arr >= n_nodes
        if bad.any():
            i = _first_bad(bad)
            raise InputError(f"{name}[{i}] = {arr[i]} is not a node: "
                             f"the network has {n_nodes} nodes")


def _check_reals(name: str, arr: np.ndarray, *, allow_inf: bool) -> None:
    """No NaN, nothing negative, and +inf only where allowed."""
    bad = np.isnan(arr) | (arr < 0)
    if not allow_inf:
        bad |= np.isinf(arr)
    if bad.any():
        i = _first_bad(bad)
        v = arr.ravel()[i]
        what = "NaN" if math.isnan(v) else ("infinite" if math.isinf(v) else "negative")
        pos = np.unravel_index(i, arr.shape)
        idx = ", ".join(str(int(p)) for p in pos)
        raise InputError(f"{name}[{idx}] = {_format(v)} is {what}")


class Network:
    """A transit network in arc form, as validated arrays.

    ``tail``, ``head``: nodes 0 … N−1 of each arc (M arcs); ``freq``:
    departures per minute of a boarding arc, ``inf`` for an arc taken without
    waiting (in-vehicle, alighting, walking); ``cost``: minutes. ``kind``
    (optional) says what each arc is, one of :data:`BOARDING`,
    :data:`IN_VEHICLE`, :data:`ALIGHTING`, :data:`WALK`, :data:`ACCESS`,
    :data:`EGRESS`; without it a finite frequency means boarding and an
    infinite one in-vehicle. ``n_nodes`` defaults to one more than the largest
    node used. ``arc_line``, ``arc_from_stop``, ``arc_to_stop`` record the
    line and stops of each arc (−1 where they do not apply).

    Perceived costs: where ``cost`` weighs the minutes (in-vehicle or walking
    time times a factor, boarding penalties), ``minutes`` gives each arc's
    minutes, which the waiting, riding and walking components of a skim then
    report. ``wait_factor`` weighs waiting: the search sees every frequency
    divided by it (see :func:`assign`). :meth:`from_lines` and
    ``lumo.gtfs.load`` set both from their factors.

    The zones of an assignment are the first Z nodes, Z the side of the demand
    matrix. Instances may be given further attributes.
    """

    tail: IntArray
    head: IntArray
    freq: FloatArray
    cost: FloatArray
    kind: npt.NDArray[np.int8]
    arc_line: IntArray
    arc_from_stop: IntArray
    arc_to_stop: IntArray
    n_nodes: int
    n_arcs: int
    #: The number of stops of a network built by :meth:`from_lines`, else None.
    n_stops: int | None
    #: Zone nodes ahead of the stops (0: none; the zones are then the first
    #: nodes as the demand's side counts them, or the stops of a line network).
    n_zones: int
    #: The minutes of each arc where ``cost`` is perceived, else None.
    minutes: FloatArray | None
    #: The weight on waiting time (1: minutes).
    wait_factor: float
    #: One id per zone (the first nodes), or None: demand is then positional
    #: only. A labelled demand frame is aligned to these ids.
    zone_ids: Sequence[Any] | None = None

    def __init__(self, tail: ArrayLike, head: ArrayLike, freq: ArrayLike, cost: ArrayLike,
                 kind: ArrayLike | None = None, *, n_nodes: int | None = None,
                 arc_line: ArrayLike | None = None, arc_from_stop: ArrayLike | None = None,
                 arc_to_stop: ArrayLike | None = None, minutes: ArrayLike | None = None,
                 wait_factor: float = 1.0) -> None:
        t = _vector("tail", tail, "index")
        m = t.shape[0]
        h = _vector("head", head, "index", m)
        f = _vector("freq", freq, "float", m)
        c = _vector("cost", cost, "float", m)
        used = int(max(t.max(initial=-1), h.max(initial=-1))) + 1
        if n_nodes is None:
            n = used
        else:
            n = _count("n_nodes", n_nodes)
        if n >= _MAX_NODES:
            raise InputError(f"n_nodes = {n} is too large: at most {_MAX_NODES - 1} nodes")
        _check_nodes("tail", t, n)
        _check_nodes("head", h, n)
        _check_reals("freq", f, allow_inf=True)
        _check_reals("cost", c, allow_inf=False)
        if kind is None:
            k = np.where(np.isinf(f), IN_VEHICLE, BOARDING).astype(np.int8)
        else:
            k64 = _vector("kind", kind, "index", m)
            bad = k64 > EGRESS
            if bad.any():
                i = _first_bad(bad)
                raise InputError(f"kind[{i}] = {k64[i]} is not an arc kind (0 … {EGRESS}: "
                                 + ", ".join(_KIND_NAMES) + ")")
            k = k64.astype(np.int8)
        self.tail, self.head, self.freq, self.cost, self.kind = t, h, f, c, k
        self.n_nodes, self.n_arcs = n, m
        self.n_stops = None
        self.n_zones = 0
        self.wait_factor = _perceived.factor("wait_factor", wait_factor)
        self.minutes = None
        if minutes is not None:
            mins = _vector("minutes", minutes, "float", m)
            _check_reals("minutes", mins, allow_inf=False)
            self.minutes = mins
        for name, value in (("arc_line", arc_line), ("arc_from_stop", arc_from_stop),
                            ("arc_to_stop", arc_to_stop)):
            if value is None:
                arr = np.full(m, -1, dtype=np.int64)
            else:
                try:
                    arr = np.asarray(value)
                except (ValueError, TypeError, OverflowError):
                    arr = np.empty(0, dtype=object)
                if arr.shape != (m,) or arr.dtype.kind not in "iu":
                    raise InputError(f"{name} must hold {m} integers (one per arc)")
                arr = np.ascontiguousarray(arr, dtype=np.int64)
            setattr(self, name, arr)

    def __repr__(self) -> str:
        return f"Network(n_nodes={self.n_nodes}, n_arcs={self.n_arcs})"

    def zone_nodes(self, ids: Sequence[Any]) -> IntArray:
        """The node of each zone id (zones are the first nodes), in the order given."""
        return _labels.zone_index(self, ids)

    def save(self, path: Any) -> None:
        """Writes the network, with every attribute it carries, to one file
        (a numpy ``.npz`` archive read back without running code)."""
        from . import _store
        _store.save(self, path)

    @classmethod
    def load(cls, path: Any) -> Network:
        """Reads a network written by :meth:`save`, of this class or a subclass."""
        from . import _store
        net: Network = _store.load(cls, path)
        return net

    @classmethod
    def from_lines(cls, alignments: Sequence[Sequence[int]], freqs: ArrayLike,
                   travel_times: ArrayLike | Sequence[ArrayLike],
                   n_stops: int | None = None, *, wait_factor: float = 1.0,
                   boarding_penalty: ArrayLike = 0.0,
                   in_vehicle_factor: ArrayLike = 1.0) -> Network:
        """Expands the line form, in exactly the arc order of ``mat_linear_assign``.

        Stops are nodes 0 … S−1, then one node per line and position. Per line:
        the boarding arc at its first stop, then for every segment the
        in-vehicle arc, the boarding arc at the segment's end (not at the last
        stop) and the alighting arc there. ``travel_times`` is an S × S matrix
        (minutes, [a][b] from stop a to stop b) or a list of one array of L−1
        segment times per line (a list that could be either is read as the
        matrix). ``n_stops`` defaults to the matrix side, or to one
        more than the largest stop served.

        Perceived costs: ``in_vehicle_factor`` (a number or one per line)
        weighs the riding minutes, ``boarding_penalty`` (minutes, a number or
        one per line) is added on every boarding arc, ``wait_factor`` weighs
        waiting. With the defaults the network is the plain one.
        """
        if isinstance(alignments, (str, bytes)) or alignments is None:
            raise InputError("alignments must be a list of lines, each a sequence of stops, "
                             f"got {type(alignments).__name__}")
        try:
            listed = list(alignments)
        except TypeError:
            raise InputError("alignments must be a list of lines, each a sequence of stops, "
                             f"got {type(alignments).__name__}") from None
        lines = [_vector(f"alignments[{ln}]", a, "index") for ln, a in enumerate(listed)]
        f = _vector("freqs", freqs, "float")
        if f.shape[0] != len(lines):
            raise InputError(f"freqs must have {len(lines)} entries (one per line), "
                             f"got {f.shape[0]}")
        _check_reals("freqs", f, allow_inf=False)
        matrix: np.ndarray | None = None
        per_line: list[np.ndarray] | None = None
        tt: Any = travel_times
        if tt is None or isinstance(tt, (str, bytes, int, float, complex, np.generic)):
            raise InputError("travel_times must be a square matrix or one array of segment "
                             f"times per line, got {type(tt).__name__}")
        if isinstance(tt, np.ndarray) and tt.ndim == 2:
            matrix = tt
        elif not isinstance(tt, np.ndarray) and _per_line(tt, lines):
            per_line = [_vector(f"travel_times[{ln}]", t, "float") for ln, t in enumerate(tt)]
        else:
            try:
                with np.errstate(all="ignore"):
                    matrix = np.asarray(tt)
            except (ValueError, TypeError, OverflowError) as exc:
                raise InputError(f"travel_times must be a square matrix: {exc}") from None
        if matrix is not None:
            if matrix.dtype.kind not in "fiub":
                raise InputError(f"travel_times must hold numbers, got dtype {matrix.dtype}")
            if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
                raise InputError(f"travel_times must be square, got shape {matrix.shape}")
            matrix = _narrowed("travel_times", matrix)
        if n_stops is None:
            if matrix is not None:
                s = matrix.shape[0]
            else:
                s = max((int(a.max()) + 1 for a in lines if a.size), default=0)
        else:
            s = _count("n_stops", n_stops)
        if matrix is not None and matrix.shape[0] != s:
            raise InputError(f"travel_times must be {s} × {s}, got {matrix.shape[0]} × "
                             f"{matrix.shape[1]}")
        segs = []
        for ln, a in enumerate(lines):
            if a.shape[0] < 2:
                raise InputError(f"alignments[{ln}] has {a.shape[0]} stops; "
                                 "a line needs at least two")
            bad = a >= s
            if bad.any():
                i = _first_bad(bad)
                raise InputError(f"alignments[{ln}][{i}] = {a[i]} is not a stop: "
                                 f"there are {s} stops")
            if per_line is not None:
                seg = per_line[ln]
                if seg.shape[0] != a.shape[0] - 1:
                    raise InputError(f"travel_times[{ln}] must have {a.shape[0] - 1} segment "
                                     f"times, got {seg.shape[0]}")
            else:
                assert matrix is not None
                seg = matrix[a[:-1], a[1:]]
            _check_reals(f"travel_times[{ln}]" if per_line is not None else "travel_times",
                         seg, allow_inf=False)
            segs.append(seg)
        arcs = _lines.line_arcs(lines, f, segs, s)
        net = cls(arcs["tail"], arcs["head"], arcs["freq"], arcs["cost"],
                  arcs["kind"].astype(np.int8), n_nodes=s + sum(a.shape[0] for a in lines),
                  arc_line=arcs["line"], arc_from_stop=arcs["from_stop"],
                  arc_to_stop=arcs["to_stop"])
        net.n_stops = s
        _perceived.weigh(net, wait_factor=wait_factor,
                         boarding_penalty=_perceived.per_line("boarding_penalty", boarding_penalty,
                                                              len(lines), zero=True),
                         in_vehicle_factor=_perceived.per_line("in_vehicle_factor",
                                                               in_vehicle_factor, len(lines),
                                                               zero=False))
        return net


def _per_line(tt: Any, lines: list[np.ndarray]) -> bool:
    try:
        return _lines.per_line(tt, lines)
    except TypeError:  # not a sequence of sequences: read as the matrix, which refuses it
        return False


@dataclass
class Convergence:
    """How a congested run ended: iterations run, the gap after each, the
    weight of the newest assignment in each, and whether the gap reached the
    tolerance (False also when stopped early)."""

    iterations: int
    gaps: list[float]
    converged: bool
    stopped: bool = False  # the progress callback asked to stop
    weights: list[float] = field(default_factory=list)


@dataclass
class Assignment:
    """Result of :func:`assign` or :func:`assign_congested` (float32 arrays).

    ``flows``: M arc flows summed over destinations. ``cost``: Z × Z, entry
    [o, d] the expected cost from zone o to zone d (NaN in the columns of
    zones that were not destinations, 0 on their diagonal, +inf without a
    path). ``total_cost``: Σ demand × cost over the pairs with a path.
    ``labels`` (D × N) and ``dest_flows`` (D × M) with ``per_destination``;
    ``wait``, ``ride``, ``walk`` and ``boardings`` (Z × Z) with
    ``components``; ``convergence`` and ``effective_freq`` (M, the
    frequencies the last assignment was made with; ``inf`` on arcs without
    waiting) for a congested run.
    """

    flows: FloatArray
    cost: FloatArray
    total_cost: float
    destinations: IntArray
    labels: FloatArray | None = None
    dest_flows: FloatArray | None = None
    wait: FloatArray | None = None
    ride: FloatArray | None = None
    walk: FloatArray | None = None
    boardings: FloatArray | None = None
    convergence: Convergence | None = None
    effective_freq: FloatArray | None = None


Demand = Union[ArrayLike, tuple[ArrayLike, ArrayLike, ArrayLike]]


def _network(network: Network) -> Network:
    if not isinstance(network, Network):
        raise InputError(f"network must be a lumo.arrays.Network, got {type(network).__name__}")
    return network


# Zones up to which a triple's zone matrices stay Z × Z (16 MiB each);
# beyond, they hold the assigned destinations' columns only.
FULL_SKIM_ZONES = 2048


@dataclass
class _DemandIn:
    data: Any        # the Z × Z matrix, or the triple of arrays kept sparse
    zones: int
    sparse: bool

    def dense(self) -> np.ndarray:
        """The Z × Z matrix (a triple's volumes added into zeros)."""
        if not self.sparse:
            return np.asarray(self.data)
        o, d, v = self.data
        mat = np.zeros((self.zones, self.zones), dtype=np.float32)
        np.add.at(mat, (o, d), v)
        return mat

    @property
    def columns(self) -> bool:
        """Zone matrices Z × D rather than Z × Z."""
        return self.sparse and self.zones > FULL_SKIM_ZONES


def _is_triple(demand: Any) -> bool:
    """The triple is a tuple of three arrays or lists; a tuple of tuples is
    the rows of a matrix. Told apart by type, never by length, and a tuple
    that mixes the two is refused."""
    if not (isinstance(demand, tuple) and len(demand) == 3):
        return False
    rows = [isinstance(item, tuple) for item in demand]
    if all(rows):
        return False
    if any(rows):
        raise InputError("demand is a tuple of three items, some of them tuples: give a "
                         "matrix as a numpy array (or a list or tuple of tuple rows) and the "
                         "triple (origins, destinations, volumes) as arrays or lists")
    return True


def _demand(network: Network, demand: Demand, zones: int | None = None) -> _DemandIn:
    """The demand checked: a Z × Z matrix (origins × destinations), or the
    triple, kept as sorted arrays so that memory grows with the trips."""
    if _is_triple(demand):
        triple: tuple[Any, Any, Any] = demand  # type: ignore[assignment]
        o = _vector("demand origins", triple[0], "index")
        d = _vector("demand destinations", triple[1], "index", o.shape[0])
        v = _vector("demand volumes", triple[2], "float", o.shape[0])
        if zones is not None:
            z = zones
        elif network.n_zones:  # zone nodes first, then stops
            z = network.n_zones
        elif network.n_stops is not None:
            z = network.n_stops
        else:
            z = int(max(o.max(initial=-1), d.max(initial=-1))) + 1
        z = min(z, network.n_nodes)
        for name, arr in (("demand origins", o), ("demand destinations", d)):
            bad = arr >= z
            if bad.any():
                i = _first_bad(bad)
                raise InputError(f"{name}[{i}] = {arr[i]} is not a zone: there are "
                                 f"{z} zones")
        _check_reals("demand volumes", v, allow_inf=False)
        return _DemandIn((o, d, v), z, True)
    if isinstance(demand, (str, bytes)) or demand is None:
        raise InputError(f"demand must be a square matrix or a triple (origins, destinations, "
                         f"volumes), got {type(demand).__name__}")
    try:
        with np.errstate(all="ignore"):
            mat = np.asarray(demand)
    except (ValueError, TypeError) as exc:
        raise InputError(f"demand must be a square matrix: {exc}") from None
    if mat.ndim != 2:
        raise InputError(f"demand must be a square matrix (origins × destinations), "
                         f"got {mat.ndim} dimension(s)")
    z = mat.shape[0]
    if zones is not None and z != zones:
        raise InputError(f"demand must be {zones} × {zones}, got {mat.shape[0]} × {mat.shape[1]}")
    if mat.shape[1] != z:
        raise InputError(f"demand must be {z} × {z}, got {mat.shape[0]} × {mat.shape[1]}")
    if z > network.n_nodes:
        raise InputError(f"demand is {z} × {z} but the network has only "
                         f"{network.n_nodes} nodes (zones are its first nodes)")
    if mat.dtype.kind not in "fiub":
        raise InputError(f"demand must hold numbers, got dtype {mat.dtype}")
    if not (mat.dtype in (np.float32, np.float64) and mat.dtype.isnative
            and mat.flags.c_contiguous):
        mat = _narrowed("demand", mat)
    # NaN, negative and infinite values are refused by the native side, which
    # reads the matrix once, checking as it narrows.
    return _DemandIn(mat, z, False)


def _destinations(destinations: ArrayLike | None, dem: _DemandIn) -> np.ndarray:
    z = dem.zones
    if destinations is None:
        if dem.sparse:
            o, d, v = dem.data
            return np.unique(d[(o != d) & (v != 0)]).astype(np.int64)
        # every column with a non-zero entry off the diagonal (NaN counts:
        # the native side refuses it with its position)
        nonzero = dem.data != 0
        np.fill_diagonal(nonzero, False)
        return np.flatnonzero(nonzero.any(axis=0)).astype(np.int64)
    dst = _vector("destinations", destinations, "index")
    bad = dst >= z
    if bad.any():
        i = _first_bad(bad)
        raise InputError(f"destinations[{i}] = {dst[i]} is not a zone: there are {z} zones")
    if np.unique(dst).shape[0] != dst.shape[0]:
        seen: set[int] = set()
        for i, v in enumerate(dst.tolist()):
            if v in seen:
                raise InputError(f"destinations[{i}] = {v} is listed twice")
            seen.add(v)
    return dst


def _count(name: str, value: Any) -> int:
    """A node or stop count given by the caller: an integer, not negative."""
    try:
        n = operator.index(value)
    except TypeError:
        raise InputError(f"{name} must be an integer, got {value!r}") from None
    if n < 0:
        raise InputError(f"{name} = {n} is negative")
    return n


def _threads(threads: int | None) -> int | None:
    """None (the whole pool) or an integer of at least 1; a count above the
    processors is capped there by the native side."""
    if threads is None:
        return None
    if isinstance(threads, bool):
        raise InputError(f"threads must be a positive integer, got {threads!r}")
    try:
        n = operator.index(threads)
    except TypeError:
        raise InputError(f"threads must be a positive integer, got {threads!r}") from None
    if n < 1:
        raise InputError(f"threads = {n} must be at least 1")
    return n


def _array(buf: _arrays.Buffer | None) -> FloatArray | None:
    return None if buf is None else np.asarray(buf, dtype=np.float32)


def assign(network: Network, demand: Demand, destinations: ArrayLike | None = None, *,
           per_destination: bool = False, components: bool = False,
           threads: int | None = None, progress: bool = True,
           missing_zones: Literal["error", "zero"] = "error",
           executor: Any = None) -> Assignment:
    """Uncongested optimal-strategy assignment.

    ``demand``: a Z × Z matrix (origins × destinations, trips) or a triple
    (origins, destinations, volumes); zones are the first Z nodes.
    ``destinations``: the zones to assign towards, by default every zone with
    demand towards it. ``per_destination`` keeps every destination's labels
    (D × N) and arc flows (D × M); ``components`` adds the waiting, riding and
    walking minutes and the number of boardings of every pair. ``threads``
    limits the worker threads (default: the whole pool); results are the same
    for every thread count. A pandas DataFrame whose index (origins) and
    columns (destinations) are zone ids is aligned to ``network.zone_ids`` by
    label; zones it leaves out are refused unless ``missing_zones="zero"``.
    ``executor``: a ``dask.distributed.Client`` (or a
    ``concurrent.futures.Executor``) to compute on, with the same results
    (see :mod:`lumo.distributed`); ``threads`` then applies to each task.
    ``progress`` shows the destinations done (a bar on a terminal, else
    records on the logger "lumo"); False hides it.

    On a network with perceived costs the strategies follow the perceived
    cost: ``cost`` and ``total_cost`` are perceived, the components are
    minutes (waiting, riding, walking) and boardings. A wait factor w acts
    as every frequency divided by w in the search: the waiting term of a
    node, 0.5 / its combined frequency, is multiplied by w, so as w grows
    slower lines join the attractive set, while the attractive lines still
    share the riders in proportion to their frequencies.
    """
    net = _network(network)
    dem = _demand(net, _labels.demand(net, demand, missing_zones))
    n_threads = _threads(threads)
    show = _progress.enabled(progress)
    # Without destinations, the native side finds them while it reads the demand.
    dst = None if destinations is None else _destinations(destinations, dem)
    if executor is not None:
        from . import distributed
        out, dst = distributed.assign(executor, net, dem.dense(), dst, bool(per_destination),
                                      bool(components), n_threads)
        return _result(out, dst, wait_factor=_wait_factor(net))
    bar = None
    if show and _progress.will_show():
        total = len(dst) if dst is not None else len(_destinations(None, dem))
        bar = _progress.Bar("assigning", total, "destinations")
    try:
        out = _arrays.assign(tail=net.tail, head=net.head, freq=_search_freq(net), cost=net.cost,
                             kind=net.kind, n_nodes=net.n_nodes, demand=dem.data,
                             n_zones=dem.zones, destinations=dst,
                             per_destination=bool(per_destination), components=bool(components),
                             threads=n_threads, minutes=_minutes(net, components),
                             progress=None if bar is None else bar.to,
                             columns=dem.columns)
        if bar is not None and bar.total is not None:
            bar.to(bar.total)
    finally:
        if bar is not None:
            bar.close()
    if dst is None:
        dst = np.asarray(out["destinations"], dtype=np.int64)
    return _result(out, dst, wait_factor=_wait_factor(net))


def _wait_factor(net: Network) -> float:
    return float(getattr(net, "wait_factor", 1.0))


def _search_freq(net: Network) -> FloatArray:
    """The frequencies the search sees: weighing waiting by w is dividing
    them by w (+inf stays +inf)."""
    w = _wait_factor(net)
    if w == 1.0:
        return net.freq
    return net.freq / np.float32(w)


def _minutes(net: Network, components: bool) -> FloatArray | None:
    return getattr(net, "minutes", None) if components else None


def _result(out: _arrays.Skim, dst: IntArray,
            convergence: Convergence | None = None, wait_factor: float = 1.0) -> Assignment:
    wait = _array(out["wait"])
    if wait is not None and wait_factor != 1.0:
        wait = wait / np.float32(wait_factor)  # the search's waiting, back in minutes
    return Assignment(flows=np.asarray(out["flows"], dtype=np.float32),
                      cost=np.asarray(out["cost"], dtype=np.float32),
                      total_cost=out["total_cost"], destinations=dst,
                      labels=_array(out["labels"]), dest_flows=_array(out["dest_flows"]),
                      wait=wait, ride=_array(out["ride"]),
                      walk=_array(out["walk"]), boardings=_array(out["boardings"]),
                      convergence=convergence)


#: The step rules of :func:`assign_congested` and their parameters' defaults.
STEP_RULES: dict[str, tuple[float, ...]] = {
    "msa": (), "mswa": (2.0,), "sra": (1.7, 0.3), "restarts": (0.1,),
}
_RULE_CODES = {"constant": 0, "msa": 1, "mswa": 2, "sra": 3, "restarts": 4}
_DEFAULT_STEP = _DEFAULTS["step"]
DecayArg = Union[float, str, tuple[Any, ...]]


def _step(decay: DecayArg) -> tuple[int, float, float, float]:
    """(rule code, constant weight, parameter, second parameter)."""
    rule: Any = decay
    params: tuple[Any, ...] = ()
    if isinstance(decay, tuple):
        if not decay or not isinstance(decay[0], str):
            raise InputError(f"decay must be a number, a rule name or (rule name, "
                             f"parameters...), got {decay!r}")
        rule, params = decay[0], decay[1:]
    if isinstance(rule, str):
        if rule not in STEP_RULES:
            raise InputError(f"decay must be a number in (0, 1] or one of "
                             f"{', '.join(repr(r) for r in STEP_RULES)}, got {rule!r}")
        wanted = STEP_RULES[rule]
        if rule == _DEFAULT_STEP and not params:
            wanted = tuple(_DEFAULTS["step_params"][:len(wanted)])
        if len(params) > len(wanted):
            raise InputError(f"decay rule {rule!r} takes {len(wanted)} parameter(s), "
                             f"got {len(params)}")
        values = [_real(f"decay parameter {i + 1}", p) for i, p in enumerate(params)]
        values += list(wanted[len(values):])
        if rule == "mswa" and not values[0] <= 50:
            raise InputError(f"decay parameter 1 = {_format(values[0])} must be at most 50")
        if rule == "sra" and not (values[0] >= 1 > values[1] > 0):
            raise InputError("decay rule 'sra' takes (grow, shrink) with grow >= 1 > shrink > 0, "
                             f"got ({_format(values[0])}, {_format(values[1])})")
        if rule == "restarts" and not 0 < values[0] < 1:
            raise InputError(f"decay parameter 1 = {_format(values[0])} must lie in (0, 1)")
        values += [0.0] * (2 - len(values))
        return _RULE_CODES[rule], 0.0, values[0], values[1]
    alpha = _real("decay", rule)
    if not 0.0 < alpha <= 1.0:
        raise InputError(f"decay = {_format(alpha)} must lie in (0, 1]")
    return 0, alpha, 0.0, 0.0


def _capacity(network: Network, capacity: ArrayLike, period: float | None) -> np.ndarray:
    """Per-vehicle places times the period, as float32 (one value or one per arc)."""
    if period is None:
        minutes = getattr(network, "window_minutes", None)
        p = 1.0 if minutes is None else _real("period", minutes)
    else:
        p = _real("period", period)
        if p == 0:
            raise InputError("period = 0.0 must be above 0 (minutes the demand covers)")
    try:
        with np.errstate(all="ignore"):
            raw = np.asarray(capacity)
    except (ValueError, TypeError, OverflowError) as exc:
        raise InputError(f"capacity must be a number or one value per arc: {exc}") from None
    if raw.ndim == 0:
        v = _real("capacity", capacity)  # type: ignore[arg-type]
        cap = _narrowed("capacity", np.array([v]))
    else:
        if raw.ndim != 1:
            raise InputError(f"capacity must be a number or one value per arc, got shape "
                             f"{raw.shape}")
        if raw.shape[0] != network.n_arcs:
            raise InputError(f"capacity has {raw.shape[0]} values, the network "
                             f"{network.n_arcs} arcs")
        if raw.dtype.kind not in "fiub":
            raise InputError(f"capacity must hold numbers, got dtype {raw.dtype}")
        # Only boarding arcs (finite frequency) are congested; the other
        # entries are not read.
        cap = _narrowed("capacity", np.where(np.isfinite(network.freq), raw, 0.0))
        _check_reals("capacity", cap, allow_inf=True)
    with np.errstate(over="ignore"):  # a product beyond float32 is +inf: no congestion
        return cap * np.float32(p)


def assign_congested(network: Network, demand: Demand, capacity: ArrayLike, *,
                     period: float | None = None,
                     decay: DecayArg = _DEFAULT_STEP,
                     beta: float = _DEFAULTS["beta"], tol: float = _DEFAULTS["tol"],
                     max_iters: int = _DEFAULTS["max_iters"],
                     progress: Callable[[int, float], object] | bool | None = True,
                     destinations: ArrayLike | None = None, components: bool = False,
                     threads: int | None = None,
                     missing_zones: Literal["error", "zero"] = "error",
                     executor: Any = None) -> Assignment:
    """Congested assignment: boarding frequencies fall as the vehicles fill.

    ``capacity``: places per vehicle, one number or one per arc (only the
    boarding arcs' values are read). ``period``: the minutes the demand
    covers (default: a GTFS network's window, else 1, demand per minute), so
    that a boarding arc of frequency f carries f × capacity × period trips.
    Each iteration lowers the frequency of every loaded boarding arc, assigns
    again and blends the new flows into the average, the newest with a
    weight set by ``decay``: a number in (0, 1] (the same weight every
    iteration), ``"msa"`` (1/(k+1) in iteration k), ``"mswa"`` (weighted
    averages), ``"sra"`` (self-regulated) or ``"restarts"`` (successive
    averages restarted as the gap falls), or a tuple of a rule and its
    parameters; see :data:`STEP_RULES`. It stops once the relative gap is at
    most ``tol`` or after ``max_iters`` iterations. ``progress``: True shows
    a bar of the iterations and their gap on a terminal (the records of
    every iteration go to the logger "lumo" in any case), False or None
    shows none, and a callable is called with (iteration, gap) after every
    iteration; returning False stops the run.

    With a wait factor w on the network the search sees the frequencies
    divided by w, and the capacity is multiplied by w so that every boarding
    arc keeps the capacity of its nominal frequency.

    The result's ``flows`` are the averaged flows, its
    ``cost`` the labels of the last assignment, ``effective_freq`` the
    frequencies that assignment was made with, and ``convergence`` records
    the iterations, gaps and weights. ``demand``, ``missing_zones`` and
    ``executor`` as for :func:`assign` (with an executor, ``capacity`` is one
    number).
    """
    net = _network(network)
    if net.n_arcs == 0:
        raise InputError("network has no arcs: a congested assignment needs at least one")
    dem = _demand(net, _labels.demand(net, demand, missing_zones))
    dst = _destinations(destinations, dem)
    n_threads = _threads(threads)
    cap = _capacity(net, capacity, period)
    rule, alpha, p1, p2 = _step(decay)
    b = _real("beta", beta)
    t = _real("tol", tol, allow_inf=True)
    try:
        iters = operator.index(max_iters)
    except TypeError:
        raise InputError(f"max_iters must be an integer, got {max_iters!r}") from None
    if iters < 1:
        raise InputError(f"max_iters = {iters} must be at least 1")
    if iters >= 2**32:
        raise InputError(f"max_iters = {iters} is too large: at most {2**32 - 1}")
    bar = None
    callback: Callable[[int, float], object] | None
    if progress is True:
        bar = _progress.Bar("congested", iters, "iterations", log=False)
        shown = bar
        callback = None if not bar.shown else (
            lambda k, gap: shown.update(1, gap=f"{gap:.3g}"))
    elif progress is False or progress is None:
        callback = None
    elif callable(progress):
        callback = progress
    else:
        raise InputError("progress must be callable (iteration, gap), True or False")
    w = _wait_factor(net)
    try:
        if executor is not None:
            from . import distributed
            out = distributed.assign_congested(executor, net, dem.dense(), dst,
                                               (cap * np.float32(w)).astype(np.float32),
                                               (rule, alpha, p1, p2), b, t, iters, callback,
                                               bool(components), n_threads)
        else:
            out = _arrays.congested(tail=net.tail, head=net.head, freq=_search_freq(net),
                                    cost=net.cost, kind=net.kind, n_nodes=net.n_nodes,
                                    demand=dem.data, n_zones=dem.zones, destinations=dst,
                                    capacity=(cap * np.float32(w)).astype(np.float32),
                                    step=rule, decay=alpha, step_param=p1, step_param2=p2,
                                    beta=b, tol=t,
                                    max_iters=iters, progress=callback,
                                    components=bool(components), threads=n_threads,
                                    minutes=_minutes(net, components), columns=dem.columns)
    finally:
        if bar is not None:
            bar.close()
    conv = Convergence(iterations=out["iterations"], gaps=out["gaps"],
                       converged=out["converged"], stopped=out["stopped"],
                       weights=list(out["weights"]))
    res = _result(out, dst, conv, wait_factor=w)
    res.effective_freq = np.asarray(out["effective_freq"], dtype=np.float32)
    return res


def _real(name: str, value: float, *, allow_inf: bool = False) -> float:
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a number, got {value!r}") from None
    if math.isnan(v) or v < 0 or (math.isinf(v) and not allow_inf):
        raise InputError(f"{name} = {_format(v)} must be a non-negative number")
    return v
