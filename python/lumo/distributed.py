"""The assignments of :mod:`lumo.arrays` on a cluster, with the same bits.

``lumo.arrays.assign(..., executor=client)`` and
``lumo.arrays.assign_congested(..., executor=client)`` come here. The
destinations are cut into blocks; every block is a task that a worker of the
cluster computes; the results are put together in destination order, so they
are the local call's exactly, whatever the number of workers and threads and
whatever order the tasks finish in.

With a ``dask.distributed.Client``:

* the network's arrays and the demand matrix are scattered once per call, to
  every worker; tasks refer to them and carry only their destinations;
* the uncongested sums (arc flows, total cost) are formed block after
  block: block b's fold task adds block b's destinations, in order, to the
  running sums of blocks 0 … b−1, which it carries; it depends on block b
  alone, so it runs on the worker that computed block b, and it brings back
  the new running sums with the block's results for the client. Only the
  running sums (one float per arc) travel; the per-destination flows stay
  where they were computed;
* a congested run gives every worker a run of consecutive blocks, and every
  task of a block runs on that worker only: its averaged flows and labels
  stay there for the whole run, never stolen by another worker;
* the congested run's sums (its total arc flows and the two sums of its gap)
  run as a chain of tasks, each depending on the one before, each on its
  block's worker: the chain passes from one worker to the next once per
  worker;
* a congested iteration sends the effective frequencies (one float per arc)
  once, each worker making its own copy, and gets back, at the end of its
  chain, the total arc flows and the gap's two sums.

Any other ``concurrent.futures.Executor`` (a ``ProcessPoolExecutor``) works
too, without scattering: every task carries the network and demand, its
results come back whole and the client adds them up, in destination order.

A worker that dies costs its tasks a retry, from the same inputs, so the bits
do not change: the scheduler computes what was lost again, or, for a
congested block (whose tasks could only wait for their worker), the client
notices that the worker left and has the block's state computed again from
the start on another. Every worker must have this version of lumo: that is
checked before anything is computed.
"""
from __future__ import annotations

import collections
import concurrent.futures
import functools
import importlib.metadata
import logging
import math
import threading
import time
import uuid
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from . import _arrays

__all__ = ["WorkerMismatch", "block_size", "block_sizes"]


class WorkerMismatch(RuntimeError):
    """A worker of the cluster cannot run lumo, or runs another version of it."""


#: A task should compute for at least this long (Dask costs about 1 ms a task).
TASK_SECONDS = 0.1
#: Seconds of one destination per node and arc, measured on one core of a
#: current machine; only the order of magnitude matters.
_SECONDS_PER_ELEMENT = 6e-8
#: With enough destinations, every thread of the cluster gets this many blocks,
#: so that a slow or lost worker leaves little waiting.
_BLOCKS_PER_THREAD = 4
#: Blocks shrink with the destinations left, down to this fraction of the
#: first: the last tasks are short, so that no worker waits long for another
#: at the end, and there are few blocks more than with equal ones.
_SMALLEST = 0.25
#: Forces the destinations per block (for tests and benchmarks); None: sized.
_BLOCK_SIZE: int | None = None
#: How the uncongested sums are formed on Dask: "chain" (on the workers) or
#: "client" (every block's per-destination flows go to the client, which adds
#: them); the second is kept to measure one against the other.
_SUMS = "chain"

_LOG = logging.getLogger("lumo")


def _enough(n_nodes: int, n_arcs: int) -> int:
    """Destinations for about TASK_SECONDS of work."""
    return math.ceil(TASK_SECONDS / (_SECONDS_PER_ELEMENT * max(1, n_nodes + n_arcs)))


def block_size(n_destinations: int, n_nodes: int, n_arcs: int, threads: int) -> int:
    """Destinations of the first, largest block: enough for about
    :data:`TASK_SECONDS` of work, and no more than give every one of
    ``threads`` cluster threads a few blocks."""
    if _BLOCK_SIZE is not None:
        return max(1, int(_BLOCK_SIZE))
    share = math.ceil(n_destinations / max(1, _BLOCKS_PER_THREAD * threads))
    return max(1, _enough(n_nodes, n_arcs), share)


def block_sizes(n_destinations: int, n_nodes: int, n_arcs: int, threads: int) -> list[int]:
    """Destinations of every block, in destination order: each block a few
    threads' share of the destinations left (the first one
    :func:`block_size`), so that blocks shrink towards the end, but never
    under :data:`TASK_SECONDS` of work nor under a quarter of the first (the
    last one takes the rest)."""
    first = block_size(n_destinations, n_nodes, n_arcs, threads)
    if _BLOCK_SIZE is not None:
        return [min(first, n_destinations - i) for i in range(0, n_destinations, first)]
    floor = max(1, _enough(n_nodes, n_arcs), math.ceil(_SMALLEST * first))
    sizes: list[int] = []
    left = n_destinations
    while left > 0:
        size = min(left, max(floor, math.ceil(left / max(1, _BLOCKS_PER_THREAD * threads))))
        if left - size < floor:  # no short block at the end
            size = left
        sizes.append(size)
        left -= size
    return sizes


def _blocks(dsts: np.ndarray, sizes: list[int]) -> list[np.ndarray]:
    ends = np.cumsum(sizes)
    return [dsts[e - k:e] for k, e in zip(sizes, ends)]


# ---------------------------------------------------------------------------
# What the workers run. Each worker process reads and indexes the network once
# per call, for all the blocks it computes.

_prepared: collections.OrderedDict[str, Any] = collections.OrderedDict()
_prepared_lock = threading.Lock()


def _network_of(key: str, arrays: dict[str, Any]) -> Any:
    with _prepared_lock:
        p = _prepared.get(key)
        if p is None:
            p = _arrays.prepare(**arrays)
            _prepared[key] = p
            while len(_prepared) > 2:
                _prepared.popitem(last=False)
        else:
            _prepared.move_to_end(key)
        return p


def _arrays_of(out: dict[str, Any]) -> dict[str, Any]:
    return {k: None if v is None else np.asarray(v) for k, v in out.items()}


def _assign_task(key: str, arrays: dict[str, Any], demand: np.ndarray, dsts: np.ndarray,
                 freqs: np.ndarray | None, per_destination: bool, components: bool,
                 threads: int) -> dict[str, Any]:
    net = _network_of(key, arrays)
    return _arrays_of(_arrays.assign_block(
        network=net, freqs=freqs, demand=demand, n_zones=demand.shape[0], destinations=dsts,
        per_destination=per_destination, components=components, threads=threads))


def _what_client_needs(block: dict[str, Any], keep_flows: bool) -> dict[str, Any]:
    """The block's results less its per-destination flows, which only the
    chain of sums needs (unless the caller asked for them)."""
    return {k: v for k, v in block.items() if keep_flows or k != "dest_flows"}


def _fold_assign(running: tuple[np.ndarray, float] | None, block: dict[str, Any],
                 n_arcs: int) -> tuple[np.ndarray, float]:
    """Adds a block's destinations, in order, to the running flows and total."""
    if running is None:
        running = (np.zeros(n_arcs, dtype=np.float32), 0.0)
    flows = np.asarray(_arrays.fold(running=running[0], blocks=block["dest_flows"]))
    return flows, _arrays.fold_values(running=running[1], values=block["partials"])


def _fold_block(running: tuple[np.ndarray, float] | None, block: dict[str, Any], n_arcs: int,
                keep_flows: bool) -> tuple[tuple[np.ndarray, float], dict[str, Any]]:
    """Block b's fold where block b was computed: the running sums after it,
    and what of the block the client needs."""
    return _fold_assign(running, block, n_arcs), _what_client_needs(block, keep_flows)


def _step_task(key: str, arrays: dict[str, Any], demand: np.ndarray, dsts: np.ndarray,
               state: dict[str, Any] | None, freqs: np.ndarray | None, decay: float, msa: bool,
               done: int, threads: int) -> dict[str, Any]:
    """The start of a block's run (no state yet) or one of its iterations."""
    net = _network_of(key, arrays)
    return _arrays_of(_arrays.congested_block(
        network=net, demand=demand, n_zones=demand.shape[0], destinations=dsts,
        flows=None if state is None else state["flows"], freqs=freqs, decay=decay, msa=msa,
        done=done, threads=threads))


def _fold_congested(running: tuple[np.ndarray, float, float] | None, block: dict[str, Any],
                    n_arcs: int) -> tuple[np.ndarray, float, float]:
    """Adds a block's averaged flows and gap parts, in order, to the running
    total flows and the gap's numerator and denominator."""
    if running is None:
        running = (np.zeros(n_arcs, dtype=np.float32), 0.0, 0.0)
    total = np.asarray(_arrays.fold(running=running[0], blocks=block["flows"]))
    if block["num"] is None:
        return total, running[1], running[2]
    return (total, _arrays.fold_values(running=running[1], values=block["num"]),
            _arrays.fold_values(running=running[2], values=block["den"]))


def _finish_task(key: str, arrays: dict[str, Any], demand: np.ndarray, dsts: np.ndarray,
                 state: dict[str, Any]) -> dict[str, Any]:
    net = _network_of(key, arrays)
    return _arrays_of(_arrays.congested_finish(
        network=net, demand=demand, n_zones=demand.shape[0], destinations=dsts,
        labels=state["labels"]))


# Checks a worker before any computing. Built from source so that it travels
# by value: it must run where lumo cannot be imported.
_PROBE_SOURCE = '''
def probe(distribution):
    try:
        import importlib.metadata
        import lumo.arrays  # the native halves load
        return ("ok", importlib.metadata.version(distribution))
    except Exception as exc:
        return ("broken", f"{type(exc).__name__}: {exc}")
'''


def _probe() -> Callable[[str], tuple[str, str]]:
    space: dict[str, Any] = {"__name__": "lumo_worker_probe"}
    exec(_PROBE_SOURCE, space)
    probe: Callable[[str], tuple[str, str]] = space["probe"]
    return probe


@functools.cache
def _distribution() -> str:
    # Scanning the installed distributions takes a good part of a second.
    names = importlib.metadata.packages_distributions().get("lumo") or ["lumo"]
    return names[0]


def _client_version() -> str:
    return importlib.metadata.version(_distribution())


def _check_workers(client: Any) -> int:
    """Raises WorkerMismatch naming the first worker that cannot run this lumo;
    returns the number of threads of the cluster."""
    mine = _client_version()
    answers = client.run(_probe(), _distribution(), on_error="return")
    if not answers:
        raise WorkerMismatch("the cluster has no workers: start some before assigning")
    for worker in sorted(answers):
        answer = answers[worker]
        if isinstance(answer, BaseException):
            raise WorkerMismatch(f"worker {worker} could not be checked "
                                 f"({type(answer).__name__}: {answer}); this client has "
                                 f"lumo {mine}") from answer
        status, detail = answer
        if status != "ok":
            raise WorkerMismatch(f"worker {worker} cannot import lumo ({detail}); this client "
                                 f"has lumo {mine}: install lumo {mine} on every worker")
        if detail != mine:
            raise WorkerMismatch(f"worker {worker} has lumo {detail}, this client lumo {mine}: "
                                 "install the same version on every worker")
    threads: dict[str, int] = client.nthreads()
    return max(1, sum(threads.values()))


# ---------------------------------------------------------------------------
# Two ways of running the tasks.

#: Seconds between the client's checks, while it waits for tasks pinned to
#: workers, that those workers are still in the cluster.
_POLL = 0.25


class _WorkersLost(Exception):
    """Workers that tasks are pinned to left the cluster: those tasks would
    wait for them forever."""

    def __init__(self, workers: set[str]) -> None:
        super().__init__(", ".join(sorted(workers)))
        self.workers = workers


def _homes(sizes: Sequence[int], nthreads: dict[str, int]) -> list[str]:
    """The worker of each block, in block order: the workers, in address
    order, take consecutive runs of blocks, each about its threads' share of
    the destinations. A chain of sums in block order then passes from one
    worker to the next only once per worker."""
    workers = sorted(nthreads)
    share = sum(sizes) / sum(nthreads[w] for w in workers)
    ends = np.cumsum([nthreads[w] for w in workers]) * share
    homes = []
    start = 0
    for size in sizes:
        j = int(np.searchsorted(ends, start + size / 2, side="right"))
        homes.append(workers[min(j, len(workers) - 1)])
        start += size
    return homes


def _forget(timeout: BaseException) -> None:
    """Drops a timeout's traceback: Dask keeps the timeout in a reference
    cycle, through which the traceback's frames would hold the call's futures
    (and so their tasks on the cluster) until the next garbage collection."""
    timeout.__traceback__ = None
    timeout.__context__ = None


class _Dask:
    """Tasks on a dask.distributed cluster: data scattered once, sums chained."""

    chains = True

    def __init__(self, client: Any) -> None:
        self.client = client
        self.futures: list[Any] = []
        self.scattered: list[Any] = []
        self.threads = _check_workers(client)

    def put(self, *values: Any) -> tuple[str, list[Any]]:
        for attempt in range(3):
            try:
                futures = self.client.scatter(list(values), broadcast=True, hash=False)
                break
            except Exception:  # a worker died while it received: send again
                if attempt == 2:
                    raise
                self.client.wait_for_workers(1, timeout=60)
        self.scattered.extend(futures)
        self.futures.extend(futures)
        return futures[0].key, futures

    def submit(self, fn: Callable[..., Any], *args: Any, priority: int = 0,
               hold: bool = False, home: str | None = None) -> Any:
        """A task. Only what `hold` marks is kept for cancelling: what the
        client still waits for. The rest is released as soon as the tasks that
        need it have run (the scheduler keeps how to compute it again, should
        a worker die). `home`: the worker it must run on, and only there (a
        strict restriction: the scheduler neither places it elsewhere nor
        lets another worker steal it, which would move its inputs there); the
        client waits for it with `wait` or `result`, which notice when that
        worker has left."""
        future = self.client.submit(fn, *args, pure=False, priority=priority,
                                    workers=[home] if home else None,
                                    allow_other_workers=False)
        if hold:
            self.futures.append(future)
        return future

    def homes(self, sizes: Sequence[int]) -> list[str | None]:
        """A worker for each block, among those in the cluster now."""
        live: dict[str, int] = self.client.nthreads()
        if not live:  # between a worker's death and its replacement
            self.client.wait_for_workers(1, timeout=60)
            live = self.client.nthreads()
        return list(_homes(sizes, live))

    def held_by(self, future: Any) -> str | None:
        """A worker holding the future's result, if one does."""
        held = self.client.who_has([future]).get(future.key, ())
        return min(held) if held else None

    def wait(self, futures: Sequence[Any], homes: Sequence[str | None],
             first: bool = False) -> Any:
        """Waits for the futures (all of them, or the first to finish),
        checking every _POLL seconds that the workers `homes` are still in
        the cluster; raises _WorkersLost when one of them has left."""
        from distributed import wait
        pinned = {h for h in homes if h is not None}
        while True:
            try:
                return wait(list(futures), timeout=_POLL,  # type: ignore[no-untyped-call]
                            return_when="FIRST_COMPLETED" if first else "ALL_COMPLETED")
            except TimeoutError as timeout:
                _forget(timeout)
            except concurrent.futures.CancelledError as cancelled:
                # The scheduler cancels what needed data lost with a worker.
                gone = self._gone(pinned)
                if not gone:
                    raise
                _forget(cancelled)
                raise _WorkersLost(gone) from None
            gone = self._gone(pinned)
            if gone:
                raise _WorkersLost(gone)

    def _gone(self, homes: set[str]) -> set[str]:
        return homes - set(self.client.nthreads()) if homes else set()

    def result(self, future: Any, homes: Sequence[str | None]) -> Any:
        """The future's result, waiting as `wait` does."""
        patience = _POLL
        while True:
            self.wait([future], homes)
            if future.status in ("error", "cancelled"):
                return future.result()  # raises the task's failure, or CancelledError
            try:
                return future.result(timeout=patience)
            except TimeoutError as timeout:
                # Lost with its worker since it finished, or slow to come: a
                # large result on a slow link gets longer at every try.
                if future.status == "error":
                    raise
                _forget(timeout)
                patience *= 2

    def drop(self, futures: Sequence[Any]) -> None:
        """Cancels the futures and what depends on them."""
        futures = [f for f in futures if f is not None]
        if futures:
            self.client.cancel(futures, force=True)

    def cancel(self) -> None:
        if self.futures:
            self.client.cancel(self.futures, force=True)
        self.futures = []


class _Resolved:
    """A value standing in for a future (the client-side sums)."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def result(self) -> Any:
        return self.value


class _Executor:
    """Tasks on a concurrent.futures.Executor: every task carries its data."""

    chains = False

    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self.executor = executor
        self.futures: list[Any] = []
        self.scattered: list[Any] = []
        self.threads = getattr(executor, "_max_workers", None) or 1

    def put(self, *values: Any) -> tuple[str, list[Any]]:
        return uuid.uuid4().hex, [_Resolved(v) for v in values]

    def homes(self, sizes: Sequence[int]) -> list[str | None]:
        return [None for _ in sizes]

    def submit(self, fn: Callable[..., Any], *args: Any, priority: int = 0,
               hold: bool = False, home: str | None = None) -> Any:
        concrete = [a.result() if isinstance(a, (_Resolved, concurrent.futures.Future)) else a
                    for a in args]
        future = self.executor.submit(fn, *concrete)
        self.futures.append(future)
        return future

    def result(self, future: Any, homes: Sequence[str | None]) -> Any:
        return future.result()

    def drop(self, futures: Sequence[Any]) -> None:
        for f in futures:
            f.cancel()

    def cancel(self) -> None:
        for f in self.futures:
            f.cancel()
        self.futures = []


def _backend(executor: Any) -> _Dask | _Executor:
    try:
        from distributed import Client as client_type
    except ImportError:  # then it cannot be a Client
        client_type = None  # type: ignore[assignment,misc]
    if client_type is not None and isinstance(executor, client_type):
        return _Dask(executor)
    if isinstance(executor, concurrent.futures.Executor):
        return _Executor(executor)
    raise _arrays.InputError("executor must be a dask.distributed.Client or a "
                             f"concurrent.futures.Executor, got {type(executor).__name__}")


def _completed(futures: Sequence[Any]) -> Any:
    """The futures as they finish (dask's or concurrent.futures')."""
    if futures and isinstance(futures[0], concurrent.futures.Future):
        return concurrent.futures.as_completed(futures)
    if futures and isinstance(futures[0], _Resolved):
        return iter(futures)
    from distributed import as_completed
    return as_completed(futures)  # type: ignore[no-untyped-call]


class _Folded:
    """The running sums after the last block, formed here, block after block."""

    def __init__(self, fold: Callable[..., Any], blocks: list[Any], n_arcs: int) -> None:
        self.fold, self.blocks, self.n_arcs = fold, blocks, n_arcs

    def result(self) -> Any:
        value = None
        for b in self.blocks:  # in order: a block that finished early waits for the earlier ones
            value = self.fold(value, b.result(), self.n_arcs)
        return value


def _chain(backend: _Dask | _Executor, fold: Callable[..., Any], blocks: list[Any],
           n_arcs: int, homes: Sequence[str | None]) -> Any:
    """The running sums after the last block, added block after block: on Dask
    a chain of tasks, each depending on the one before and running on its
    block's worker (`homes`); otherwise here. Returns something to call
    result() on."""
    if backend.chains:
        running: Any = None
        for b, home in zip(blocks, homes):
            running = backend.submit(fold, running, b, n_arcs, priority=1, home=home)
        return running
    return _Folded(fold, blocks, n_arcs)


def _guarded(backend: _Dask | _Executor, work: Callable[[], Any]) -> Any:
    """Runs the call; on any failure or Ctrl-C, cancels its tasks first, so the
    cluster is free for the next call."""
    try:
        return work()
    except BaseException:
        backend.cancel()
        raise
    finally:
        backend.futures = []
        backend.scattered = []


def _matrix(z: int) -> np.ndarray:
    return np.full((z, z), np.nan, dtype=np.float32)


def _place(matrix: np.ndarray, dsts: np.ndarray, rows: np.ndarray) -> None:
    matrix[:, dsts] = rows.T


def _arrays_dict(net: Any, components: bool) -> dict[str, Any]:
    """The arrays the workers compute on, as the local call reads them: the
    frequencies the search sees (a wait factor divides them) and, for the
    components, the minutes of a network with perceived costs."""
    from .arrays import _minutes, _search_freq
    return {"tail": net.tail, "head": net.head, "freq": _search_freq(net), "cost": net.cost,
            "kind": net.kind, "n_nodes": net.n_nodes, "minutes": _minutes(net, components)}


def _skim(flows: Any, cost: np.ndarray, total: float, labels: Any, dest_flows: Any,
          comps: list[np.ndarray] | None) -> dict[str, Any]:
    wait, ride, walk, boardings = comps if comps is not None else (None, None, None, None)
    return {"flows": flows, "cost": cost, "total_cost": total, "labels": labels,
            "dest_flows": dest_flows, "wait": wait, "ride": ride, "walk": walk,
            "boardings": boardings}


_COMPONENTS = ("wait", "ride", "walk", "boardings")


def assign(executor: Any, net: Any, mat: np.ndarray, dst: np.ndarray | None,
           per_destination: bool, components: bool,
           threads: int | None) -> tuple[_arrays.Skim, np.ndarray]:
    """The uncongested skim of lumo.arrays.assign, block by block: what
    lumo._arrays.assign returns, and the destinations (found here when None)."""
    # Every check of the local call, here, before anything is sent.
    arrays = _arrays_dict(net, components)
    here = _arrays.prepare(**arrays)
    found = _arrays.check_demand(network=here, demand=mat, n_zones=mat.shape[0],
                                 destinations=dst)["destinations"]
    if dst is None:
        dst = np.asarray(found, dtype=np.int64)
    if dst.shape[0] == 0:
        local = _arrays.assign(**arrays, demand=mat, n_zones=mat.shape[0],
                               destinations=dst, per_destination=per_destination,
                               components=components, threads=threads)
        return local, dst
    backend = _backend(executor)
    task_threads = threads or 1
    z, n, m = mat.shape[0], net.n_nodes, net.n_arcs
    assert dst is not None
    dsts: np.ndarray = dst

    def work() -> dict[str, Any]:
        key, (net_f, dem_f) = backend.put(arrays, mat)
        sizes = block_sizes(dsts.shape[0], n, m, backend.threads)
        pieces = _blocks(dsts, sizes)
        starts = np.cumsum([0] + sizes)
        chained = backend.chains and _SUMS == "chain"
        cost = _matrix(z)
        comps = [_matrix(z) for _ in range(4)] if components else None
        labels = np.empty((dsts.shape[0], n), np.float32) if per_destination else None
        dest_flows = np.empty((dsts.shape[0], m), np.float32) if per_destination else None

        def place(i: int, part: dict[str, Any]) -> None:
            b = pieces[i]
            _place(cost, b, part["cost"])
            if comps is not None:
                for c, name in enumerate(_COMPONENTS):
                    _place(comps[c], b, part[name])
            if labels is not None and dest_flows is not None:
                labels[starts[i]:starts[i + 1]] = part["labels"]
                dest_flows[starts[i]:starts[i + 1]] = part["dest_flows"]

        data = [key, net_f, dem_f]

        def compute(i: int) -> Any:
            return backend.submit(_assign_task, *data, pieces[i], None, per_destination,
                                  components, task_threads)

        def again(i: int) -> Any:
            # Once few tasks are left, Dask's memory manager keeps the scattered
            # network and demand only where a task still needs them; lost with
            # that worker, they are sent again.
            if any(f.status != "finished" for f in data[1:]):
                k, (nf, df) = backend.put(arrays, mat)
                data[:] = [k, nf, df]
            return compute(i)

        computed = [compute(i) for i in range(len(pieces))]
        if not chained:
            # Every block's results come here whole (fetched once: a Dask
            # future fetches again at every result()); the sums are made here,
            # in block order, as far as the blocks before have come.
            order = {_ident(f): i for i, f in enumerate(computed)}
            arrived: dict[int, dict[str, Any]] = {}
            running: tuple[np.ndarray, float] | None = None
            folded = 0
            for f in _completed(computed):
                i = order[_ident(f)]
                arrived[i] = f.result()
                place(i, arrived[i])
                while folded in arrived:
                    running = _fold_assign(running, arrived.pop(folded), m)
                    folded += 1
            assert running is not None
            return _skim(running[0], cost, running[1], labels, dest_flows, comps)
        assert isinstance(backend, _Dask)
        flows, total = _chained_assign(backend, computed, per_destination, m, place, again)
        return _skim(flows, cost, total, labels, dest_flows, comps)

    out: _arrays.Skim = _guarded(backend, work)
    return out, dsts


def _chained_assign(backend: _Dask, computed: list[Any], keep_flows: bool, n_arcs: int,
                    place: Callable[[int, dict[str, Any]], None],
                    again: Callable[[int], Any]) -> tuple[np.ndarray, float]:
    """The blocks' sums in block order, each block's fold a task that depends
    on its block alone: the running sums after block b − 1 travel in the task,
    and it brings back the new running sums with the parts of block b for the
    client. Block b's fold is sent once block b has finished and block b − 1's
    fold has come back, to the worker holding block b and only there: stolen
    by another worker, it would take the block's per-destination flows with
    it. Should that worker leave first, the scheduler computes the block
    again elsewhere, and the fold follows it. A block that the scheduler
    cancelled, having lost its inputs, is sent again with `again`."""
    index = {f.key: i for i, f in enumerate(computed)}
    # A block is held until its fold has come back: a fold sent again needs it.
    blocks = dict(enumerate(computed))
    computed.clear()
    n_blocks = len(blocks)
    outstanding = {f.key: f for f in blocks.values()}
    finished: set[int] = set()
    running: tuple[np.ndarray, float] | None = None
    folded = 0
    fold: Any = None
    home: str | None = None
    while folded < n_blocks:
        if fold is None and folded in finished:
            finished.discard(folded)
            home = backend.held_by(blocks[folded])
            fold = backend.submit(_fold_block, running, blocks[folded], n_arcs, keep_flows,
                                  priority=1, hold=True, home=home)
            outstanding[fold.key] = fold
        try:
            done = backend.wait(list(outstanding.values()), [home], first=True).done
            if fold is not None and fold in done:
                running, part = backend.result(fold, [home])
        except (_WorkersLost, concurrent.futures.CancelledError) as lost:
            cancelled = [i for i, f in blocks.items() if f.status == "cancelled"]
            if not cancelled and not isinstance(lost, _WorkersLost):
                raise
            for i in cancelled:
                outstanding.pop(blocks[i].key, None)
                finished.discard(i)
                blocks[i] = again(i)
                index[blocks[i].key] = i
                outstanding[blocks[i].key] = blocks[i]
            if fold is not None:  # sent again once its block is there
                outstanding.pop(fold.key, None)
                backend.drop([fold])
                fold, home = None, None
                if blocks[folded].status == "finished":
                    finished.add(folded)
                else:
                    outstanding[blocks[folded].key] = blocks[folded]
            continue
        for f in done:
            del outstanding[f.key]
            if f is fold:
                place(folded, part)
                del blocks[folded]
                folded, fold, home = folded + 1, None, None
            else:
                if f.status == "error":
                    f.result()  # raises the task's failure
                finished.add(index[f.key])
    assert running is not None
    return running


def _ident(future: Any) -> Any:
    return getattr(future, "key", None) or id(future)


def _log_iteration(k: int, gap: float, seconds: float) -> None:
    if _LOG.isEnabledFor(logging.INFO):
        _LOG.info("%s: iteration %d, gap %.6g, %.3f s", "assign_congested", k, gap, seconds,
                  extra={"function": "assign_congested", "iteration": k, "gap": gap,
                         "seconds": seconds})


def _log_finished(iterations: int, gap: float, tol: float, converged: bool) -> None:
    if _LOG.isEnabledFor(logging.INFO):
        _LOG.info("%s: %d iterations, gap %.6g, tol %.6g, %s", "assign_congested", iterations,
                  gap, tol, "converged" if converged else "not converged",
                  extra={"function": "assign_congested", "iterations": iterations, "gap": gap,
                         "tol": tol, "converged": converged})


def _same(value: Any) -> Any:
    """The value under a key of its own: a worker's own copy."""
    return value


class _Spread:
    """A value that the blocks' tasks read on every worker (the network, the
    demand, an iteration's frequencies): scattered once, then a copy under a
    key of its own on each worker that holds blocks, made there by a task
    that returns it. Under one key, the copies would be replicas, which Dask's
    memory manager drops from a worker where no task is waiting for them just
    then (between two iterations, say): the next iteration's tasks would fetch
    them again."""

    def __init__(self, origin: Any) -> None:
        self.origin = origin
        self.copies: dict[str, Any] = {}

    def on(self, backend: _Dask | _Executor, home: str | None) -> Any:
        if home is None:  # not on Dask: the value itself
            return self.origin
        copy = self.copies.get(home)
        if copy is None:
            # From the scattered value while a worker holds it, else from a copy.
            made = [f for _, f in sorted(self.copies.items()) if f.status == "finished"]
            source = self.origin if self.origin.status == "finished" or not made else made[0]
            copy = self.copies[home] = backend.submit(_same, source, home=home)
        return copy

    def forget(self, gone: set[str]) -> None:
        """Drops the copies of workers that left, and those that the scheduler
        cancelled, having lost what they were copied from."""
        for home, copy in list(self.copies.items()):
            if home in gone or copy.status == "cancelled":
                del self.copies[home]

    def futures(self) -> list[Any]:
        return list(self.copies.values())


_Entry = tuple[_Spread, float, int]


class _Blocks:
    """A congested run's blocks, each with its state (the averaged flows and
    labels of its destinations) on one worker, its home, for the whole run.

    On Dask every task of a block runs at its home and only there: stealing
    one would move the block's state, 4 (M + N) bytes a destination. The
    homes are consecutive runs of blocks, so the chain of sums passes from
    one worker to the next only once per worker. A worker that leaves the
    cluster would leave its blocks' tasks waiting for it; so the client, while
    it waits, checks that the homes are still there, and gives the blocks of
    one that left new homes among the workers left, where their state is
    computed again from the start with the same frequencies and weights:
    the same bits, at the price of those blocks' iterations so far."""

    def __init__(self, backend: _Dask | _Executor, key: str, net_f: Any, dem_f: Any,
                 pieces: list[np.ndarray], threads: int, n_arcs: int) -> None:
        self.backend, self.key = backend, key
        self.net, self.dem = _Spread(net_f), _Spread(dem_f)
        self.pieces, self.threads, self.n_arcs = pieces, threads, n_arcs
        self.homes = backend.homes([len(p) for p in pieces])
        self.states: list[Any] = [None] * len(pieces)
        # How every state so far was made: None for the start, then each
        # iteration's (frequencies, weight, iterations before).
        self.history: list[_Entry | None] = []

    def _step(self, i: int, state: Any, entry: _Entry | None) -> Any:
        home = self.homes[i]
        freqs = None if entry is None else entry[0].on(self.backend, home)
        weight, done = (0.0, 0) if entry is None else entry[1:]
        return self.backend.submit(_step_task, self.key, self.net.on(self.backend, home),
                                   self.dem.on(self.backend, home), self.pieces[i], state, freqs,
                                   weight, False, done, self.threads, hold=True, home=home)

    def _spreads(self) -> list[_Spread]:
        return [self.net, self.dem] + [e[0] for e in self.history if e is not None]

    def _hold(self, futures: list[Any]) -> None:
        """What Ctrl-C or a failure cancels: the scattered data and its
        copies, the states, and what the client waits for."""
        copies = [f for s in self._spreads() for f in s.futures()]
        self.backend.futures = self.backend.scattered + copies + self.states + futures

    def advance(self, entry: _Entry | None) -> Any:
        """The start of every block (`entry` None) or one iteration of every
        block (its frequencies, weight and the iterations before): the running
        sums after the last block."""
        self.history.append(entry)
        self.states = [self._step(i, s, entry) for i, s in enumerate(self.states)]
        while True:
            total = _chain(self.backend, _fold_congested, self.states, self.n_arcs, self.homes)
            self._hold([total])
            try:
                return self.backend.result(total, self.homes)
            except _WorkersLost as lost:
                self.backend.drop([total])
                self._rehome(lost.workers, range(len(self.pieces)))

    def finish(self, freqs: _Spread | None, components: bool) -> list[list[dict[str, Any]]]:
        """Every block's costs and part of the total cost, and with
        `components` those of an assignment at `freqs`, in block order."""
        def send(i: int) -> list[Any]:
            b, home = self.pieces[i], self.homes[i]
            net, dem = self.net.on(self.backend, home), self.dem.on(self.backend, home)
            sent = [self.backend.submit(_finish_task, self.key, net, dem, b, self.states[i],
                                        hold=True, home=home)]
            if components:
                at = None if freqs is None else freqs.on(self.backend, home)
                comps = self.backend.submit(_assign_task, self.key, net, dem, b, at, False, True,
                                            self.threads, home=home)
                if self.backend.chains:  # only what the client needs comes back
                    comps = self.backend.submit(_what_client_needs, comps, False, hold=True,
                                                home=home)
                sent.append(comps)
            return sent

        sent = [send(i) for i in range(len(self.pieces))]
        self._hold([f for fs in sent for f in fs])
        out: list[list[dict[str, Any]]] = []
        while len(out) < len(sent):
            i = len(out)
            try:
                out.append([self.backend.result(f, [self.homes[i]]) for f in sent[i]])
            except _WorkersLost as lost:
                left = range(i, len(sent))
                redo = [j for j in left if self.homes[j] in lost.workers]
                self.backend.drop([f for j in redo for f in sent[j]])
                self._rehome(lost.workers, left)
                for j in redo:
                    sent[j] = send(j)
                self._hold([f for fs in sent[i:] for f in fs])
        return out

    def _rehome(self, gone: set[str], blocks: Sequence[int]) -> None:
        """New homes for those of `blocks` whose home has left, and their
        state computed there again from the start."""
        for spread in self._spreads():
            spread.forget(gone)
        # Blocks whose home left, and any that the scheduler cancelled, having
        # lost what they were computed from.
        lost = [i for i in blocks
                if self.homes[i] in gone or self.states[i].status == "cancelled"]
        if not lost:
            return
        self.backend.drop([self.states[i] for i in lost])
        homes = self.backend.homes([len(self.pieces[i]) for i in lost])
        _LOG.warning("assign_congested: worker %s left the cluster; its %d blocks are computed "
                     "again, from the start, on %s", ", ".join(sorted(gone)), len(lost),
                     ", ".join(sorted({str(h) for h in homes})))
        for i, home in zip(lost, homes):
            self.homes[i] = home
            state = None
            for entry in self.history:
                state = self._step(i, state, entry)
            self.states[i] = state


def assign_congested(executor: Any, net: Any, mat: np.ndarray, dst: np.ndarray,
                     capacity: np.ndarray,
                     step: tuple[int, float, float, float], beta: float, tol: float,
                     max_iters: int,
                     progress: Callable[[int, float], object] | None, components: bool,
                     threads: int | None) -> _arrays.CongestedResult:
    """The congested run of lumo.arrays.assign_congested, block by block: what
    lumo._arrays.congested returns."""
    arrays = _arrays_dict(net, components)
    here = _arrays.prepare(**arrays)
    _arrays.check_demand(network=here, demand=mat, n_zones=mat.shape[0], destinations=dst)
    if dst.shape[0] == 0:
        return _arrays.congested(**arrays, demand=mat, n_zones=mat.shape[0],
                                 destinations=dst, capacity=capacity,
                                 step=step[0], decay=step[1], step_param=step[2],
                                 step_param2=step[3], beta=beta, tol=tol, max_iters=max_iters, progress=progress,
                                 components=components, threads=threads)
    backend = _backend(executor)
    task_threads = threads or 1
    z, n, m = mat.shape[0], net.n_nodes, net.n_arcs
    tol32 = float(np.float32(tol))

    def work() -> dict[str, Any]:
        key, (net_f, dem_f) = backend.put(arrays, mat)
        run = _Blocks(backend, key, net_f, dem_f,
                      _blocks(dst, block_sizes(dst.shape[0], n, m, backend.threads)),
                      task_threads, m)
        total, _, _ = run.advance(None)
        gaps: list[float] = []
        weights: list[float] = []
        stopped = False
        eff_f: _Spread | None = None
        last = None
        # No iteration at all unless the tolerance is below +inf.
        while tol32 < math.inf and (not gaps or (len(gaps) < max_iters and gaps[-1] > tol32)):
            t0 = time.perf_counter()
            eff = np.asarray(_arrays.effective_freqs(network=here, total=total,
                                                     capacity=capacity, beta=beta, loaded=True))
            # Every iteration's frequencies stay on the workers until the call
            # ends: a block lost with its worker is computed again from them.
            eff_f = _Spread(backend.put(eff)[1][0])
            last = eff
            # The weight of this iteration by the core's rule, applied as a
            # constant weight by every block.
            weight = _arrays.step_weight(step=step[0], decay=step[1], step_param=step[2],
                                         step_param2=step[3],
                                         gaps=np.asarray(gaps, dtype=np.float32))
            weights.append(weight)
            total, numerator, denominator = run.advance((eff_f, weight, len(gaps)))
            gap = _arrays.ratio(numerator=numerator, denominator=denominator)
            gaps.append(gap)
            _log_iteration(len(gaps), gap, time.perf_counter() - t0)
            if progress is not None and progress(len(gaps), gap) is False:
                stopped = True
                break
        gap = gaps[-1] if gaps else math.nan
        converged = bool(gaps) and gaps[-1] <= tol32
        _log_finished(len(gaps), gap, tol32, converged)

        # The newest assignment once more, with its strategies' components.
        parts = run.finish(eff_f, components)
        cost = _matrix(z)
        total_cost = 0.0
        for b, part in zip(run.pieces, parts):  # in order, for the total
            _place(cost, b, part[0]["cost"])
            total_cost = _arrays.fold_values(running=total_cost, values=part[0]["partials"])
        comps = None
        if components:
            comps = [_matrix(z) for _ in range(4)]
            for b, part in zip(run.pieces, parts):
                for c, name in enumerate(_COMPONENTS):
                    _place(comps[c], b, part[1][name])
        out = _skim(total, cost, total_cost, None, None, comps)
        out.update(iterations=len(gaps), gaps=gaps, converged=converged, stopped=stopped,
                   weights=weights,
                   effective_freq=np.asarray(arrays["freq"], np.float32) if last is None else last)
        return out

    result: _arrays.CongestedResult = _guarded(backend, work)
    return result
