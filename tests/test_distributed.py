"""lumo.arrays on a cluster (a Dask LocalCluster of two worker processes, or a
concurrent.futures executor): the local call's bits, whatever the blocks,
the workers and the order tasks finish in; and the faults: a killed worker, a
worker without lumo or with another version, Ctrl-C."""
import concurrent.futures
import functools
import gzip
import json
import logging
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")  # in the test extra

import cluster_tasks  # noqa: E402



# Imported by the tests, not at collection: other modules check what
# importing lumo alone loads.
@pytest.fixture(scope="module")
def la():
    import lumo.arrays
    return lumo.arrays


@pytest.fixture(scope="module")
def ld():
    import lumo.distributed
    return lumo.distributed

INF = float("inf")
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
FIELDS = ("flows", "cost", "labels", "dest_flows", "wait", "ride", "walk", "boardings",
          "destinations")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=logging.CRITICAL)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def same(got, want):
    """Bit for bit, NaN included."""
    got = np.asarray(got, dtype=np.float32)
    want = np.asarray(want, dtype=np.float32)
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))


def same_result(got, want):
    for name in FIELDS:
        g, w = getattr(got, name), getattr(want, name)
        assert (g is None) == (w is None), name
        if w is not None:
            same(g, w) if name != "destinations" else np.testing.assert_array_equal(g, w)
    assert np.float32(got.total_cost).view(np.uint32) == np.float32(want.total_cost).view(
        np.uint32)
    assert got.convergence == want.convergence


def random_network(seed, zones=24, extra=160):
    import lumo.arrays as la
    rng = random.Random(seed)
    n = zones + extra
    m = 4 * n
    tail = [rng.randrange(n) for _ in range(m)]
    head = [rng.randrange(n) for _ in range(m)]
    freq = [rng.choice([INF, INF, 0.5, 0.25, 0.1, 0.05]) for _ in range(m)]
    cost = [rng.choice([0.0, 1.0, 2.5, 7.0, rng.uniform(0, 20)]) for _ in range(m)]
    kind = [rng.randrange(6) for _ in range(m)]
    demand = np.array([[rng.choice([0.0, 0.0, 1.0, rng.uniform(0, 50)]) for _ in range(zones)]
                       for _ in range(zones)], dtype=np.float32 if seed % 2 else np.float64)
    return la.Network(tail, head, freq, cost, kind, n_nodes=n), demand


def kuopio():
    import lumo.arrays as la
    path = DATA / "kuopio.json.gz"
    if not path.exists():
        pytest.skip(f"{path} not found")
    with gzip.open(path, "rt") as fh:
        d = json.load(fh)
    net = la.Network.from_lines(d["alignments"], d["freqs"], np.asarray(d["travel_time_mat"]))
    return net, np.asarray(d["demands_mat"])


def slowed(monkeypatch, name, seconds, falling=False):
    import lumo.distributed as ld
    monkeypatch.setattr(ld, name, functools.partial(cluster_tasks.slow, name, seconds, falling))


def wait_for_two(client):
    client.wait_for_workers(2, timeout=60)
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) and \
            time.monotonic() < deadline:
        time.sleep(0.05)


@pytest.mark.parametrize("seed, block", [(0, 1), (1, 3), (2, 5), (3, 100)])
def test_random_networks_give_the_local_bits(client, la, ld, monkeypatch, seed, block):
    net, demand = random_network(seed)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", block)
    dsts = None if seed % 3 else random.Random(seed).sample(range(24), 11)
    for kw in ({}, {"per_destination": True, "components": True, "threads": 2}):
        want = la.assign(net, demand, dsts, **kw)
        same_result(la.assign(net, demand, dsts, executor=client, **kw), want)
    runs = [dict(tol=0.0, max_iters=3), dict(decay="msa", tol=1e-3, max_iters=3, components=True),
            dict(decay=1.0, tol=INF)]
    for kw in runs:
        capacity = 5.0 + seed
        want = la.assign_congested(net, demand, capacity, destinations=dsts, **kw)
        same_result(la.assign_congested(net, demand, capacity, destinations=dsts,
                                        executor=client, **kw), want)


def test_sums_on_the_client_give_the_same_bits(client, la, ld, monkeypatch):
    # The other way of adding the blocks, kept for measuring: blocks' flows
    # gathered here and added in order.
    net, demand = random_network(7)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 2)
    monkeypatch.setattr(ld, "_SUMS", "client")
    same_result(la.assign(net, demand, executor=client), la.assign(net, demand))


def test_kuopio_gives_the_local_bits_and_the_same_progress(client, la, caplog):
    net, demand = kuopio()
    same_result(la.assign(net, demand, executor=client, components=True),
                la.assign(net, demand, components=True))
    runs = []
    for executor in (None, client):
        calls = []
        caplog.clear()
        with caplog.at_level(logging.INFO, logger="lumo"):
            r = la.assign_congested(net, demand, 30.0, tol=0.0, max_iters=2,
                                    progress=lambda k, g: calls.append((k, g)),
                                    executor=executor)
        records = [(rec.getMessage().rsplit(",", 1)[0] if hasattr(rec, "seconds")
                    else rec.getMessage(), rec.function) for rec in caplog.records]
        runs.append((r, calls, records))
    (local, calls, records), (remote, remote_calls, remote_records) = runs
    same_result(remote, local)
    assert remote_calls == calls and len(calls) == 2
    assert remote_records == records and len(records) == 3


def test_stopping_from_the_progress_callback(client, la):
    net, demand = random_network(8)
    for executor in (None, client):
        r = la.assign_congested(net, demand, 3.0, tol=0.0, max_iters=9,
                                progress=lambda k, g: k < 2, executor=executor)
        assert r.convergence.iterations == 2 and r.convergence.stopped
    same_result(r, la.assign_congested(net, demand, 3.0, tol=0.0, max_iters=9,
                                       progress=lambda k, g: k < 2))


def test_finish_order_does_not_matter(client, la, ld, monkeypatch):
    net, demand = random_network(9)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 2)
    # later blocks finish first
    slowed(monkeypatch, "_assign_task", 0.2, falling=True)
    same_result(la.assign(net, demand, executor=client, components=True),
                la.assign(net, demand, components=True))


class Jumbled(concurrent.futures.ThreadPoolExecutor):
    """Runs every task after a random wait: tasks end in any order."""

    def __init__(self):
        super().__init__(4)
        self.rng = random.Random(3)

    def submit(self, fn, /, *args, **kwargs):
        wait = self.rng.uniform(0, 0.01)
        return super().submit(lambda: (time.sleep(wait), fn(*args, **kwargs))[1])


def test_any_executor_in_any_finish_order(monkeypatch, la, ld):
    net, demand = random_network(10)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 3)
    with Jumbled() as pool:
        same_result(la.assign(net, demand, per_destination=True, executor=pool),
                    la.assign(net, demand, per_destination=True))
        same_result(la.assign_congested(net, demand, 4.0, tol=0.0, max_iters=3, executor=pool),
                    la.assign_congested(net, demand, 4.0, tol=0.0, max_iters=3))


# Where the worker dies: (function, the task slowed there, which worker, the
# call's arguments, whether after the first iteration).
KILLS = {
    # Dask computes its lost blocks again, anywhere
    "uncongested block": ("assign", "_assign_task", -1, {}, False),
    # a fold pinned to the worker holding its block: sent again, unpinned
    "uncongested fold": ("assign", "_fold_block", -1, {}, False),
    # a congested block's tasks are pinned to its worker: its blocks get a new
    # worker and are computed again there from the start
    "congested start": ("assign_congested", "_step_task", -1,
                        dict(capacity=4.0, tol=0.0, max_iters=2), False),
    # the first worker also received the scattered network, demand and
    # frequencies, which the others copied
    "congested iteration": ("assign_congested", "_step_task", 0,
                            dict(capacity=4.0, tol=0.0, max_iters=3), True),
    "congested finish": ("assign_congested", "_finish_task", -1,
                         dict(capacity=4.0, tol=0.0, max_iters=2, components=True), False),
}


@pytest.mark.parametrize("case", list(KILLS))
def test_a_killed_worker_costs_a_retry_not_the_result(client, la, ld, monkeypatch, caplog,
                                                      case):
    call, task, which, kw, after_first = KILLS[case]
    net, demand = random_network(11)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 1)
    slowed(monkeypatch, task, 0.1)
    pids = client.run(os.getpid)
    address, victim = sorted(pids.items())[which]
    want = getattr(la, call)(net, demand, **kw)
    iterated = threading.Event()
    killed = []

    def kill_once_it_computes():
        # the victim's second slowed task (and, where asked, after the first
        # iteration): mid-call, with results already made
        deadline = time.monotonic() + 30
        seen = set()
        while time.monotonic() < deadline:
            if iterated.is_set() or not after_first:
                seen.update(k for k in client.processing().get(address, ()) if "slow" in str(k))
            if len(seen) >= 2:
                os.kill(victim, signal.SIGKILL)
                killed.append(True)
                return
            time.sleep(0.01)

    if call == "assign_congested":
        kw = dict(kw, progress=lambda k, gap: iterated.set())
    killer = threading.Thread(target=kill_once_it_computes)
    killer.start()
    try:
        with caplog.at_level(logging.WARNING, logger="lumo"):
            got = getattr(la, call)(net, demand, executor=client, **kw)
    finally:
        killer.join()
    assert killed  # the worker died while the call was computing
    same_result(got, want)
    if call == "assign_congested":  # its blocks went elsewhere
        assert any(f"worker {address} left the cluster" in r.getMessage()
                   for r in caplog.records)
    wait_for_two(client)
    assert victim not in client.run(os.getpid).values()  # it did die, and was replaced


def test_the_worker_computing_the_last_block_killed(client, la, ld, monkeypatch):
    # Once few tasks are left, Dask's memory manager keeps the scattered
    # network and demand only where a task still needs them: the worker
    # computing the last block may hold the only copy when it dies. The
    # client sends them again.
    net, demand = random_network(17)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 4)
    last = 20
    monkeypatch.setattr(ld, "_assign_task",
                        functools.partial(cluster_tasks.slow_from, last, 3.0, "_assign_task"))
    want = la.assign(net, demand)
    pids = client.run(os.getpid)
    killed = []

    def kill_it_late():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not killed:
            for worker, keys in client.processing().items():
                if any("slow" in str(k) for k in keys):
                    time.sleep(2.5)  # the memory manager runs every 2 s
                    os.kill(pids[worker], signal.SIGKILL)
                    killed.append(worker)
                    break
            time.sleep(0.01)

    killer = threading.Thread(target=kill_it_late)
    killer.start()
    try:
        got = la.assign(net, demand, executor=client)
    finally:
        killer.join()
    assert killed
    same_result(got, want)
    wait_for_two(client)


def test_workers_without_lumo_or_with_another_version_are_named(client, la, ld, tmp_path):
    spoil = cluster_tasks.spoil
    dist = tmp_path / f"{ld._distribution().replace('-', '_')}-0.0.1.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {ld._distribution()}\n"
                                   "Version: 0.0.1\n")
    worker = sorted(client.scheduler_info()["workers"])[-1]
    mine = ld._client_version()
    net, demand = random_network(12)
    try:
        client.run(spoil, "missing", str(tmp_path), workers=[worker])
        with pytest.raises(ld.WorkerMismatch, match=rf"worker {worker} cannot import lumo "
                           rf"\(ModuleNotFoundError: .*\); this client has lumo {mine}"):
            la.assign(net, demand, executor=client)
        client.run(spoil, "mend", str(tmp_path), workers=[worker])
        client.run(spoil, "other", str(tmp_path), workers=[worker])
        with pytest.raises(ld.WorkerMismatch, match=rf"worker {worker} has lumo 0\.0\.1, this "
                           rf"client lumo {mine}"):
            la.assign_congested(net, demand, 3.0, executor=client)
        # refused before anything was sent or computed
        assert not client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))
    finally:
        client.run(spoil, "mend", str(tmp_path), workers=[worker])
    same_result(la.assign(net, demand, executor=client), la.assign(net, demand))


@pytest.mark.parametrize("call", ["assign", "assign_congested"])
def test_ctrl_c_cancels_the_tasks_and_leaves_the_cluster_usable(client, la, ld, monkeypatch,
                                                                call):
    net, demand = random_network(13)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 1)
    slowed(monkeypatch, "_assign_task" if call == "assign" else "_step_task", 0.2)
    kw = {} if call == "assign" else dict(capacity=4.0, tol=0.0, max_iters=50)
    main = threading.main_thread().ident
    timer = threading.Timer(0.6, signal.pthread_kill, (main, signal.SIGINT))
    # The LocalCluster's scheduler lives in this process; a signal that lands in
    # its garbage-collection callback would be swallowed there.
    from distributed.gc import disable_gc_diagnosis, enable_gc_diagnosis
    disable_gc_diagnosis(force=True)
    began = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(la, call)(net, demand, executor=client, **kw)
    finally:
        timer.join()
        enable_gc_diagnosis()
    assert time.monotonic() - began < 3.0  # not after the whole call
    deadline = time.monotonic() + 10
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        assert time.monotonic() < deadline, "tasks left on the cluster"
        time.sleep(0.05)
    monkeypatch.undo()
    small = dict(kw, max_iters=2) if kw else {}
    same_result(getattr(la, call)(net, demand, executor=client, **small),
                getattr(la, call)(net, demand, **small))


def test_what_executor_may_be(client, la):
    net, demand = random_network(14)
    with pytest.raises(la.InputError, match="executor must be a dask.distributed.Client or a "
                       "concurrent.futures.Executor, got str"):
        la.assign(net, demand, executor="tcp://127.0.0.1:8786")
    # the local checks come first, with the local messages
    with pytest.raises(la.InputError, match=r"demand\[0, 1\] = nan is NaN"):
        bad = demand.copy()
        bad[0, 1] = np.nan
        la.assign(net, bad, executor=client)
    # nothing to distribute: computed here, as locally
    same_result(la.assign(net, demand, [], executor=client), la.assign(net, demand, []))


def test_import_lumo_arrays_does_not_import_dask():
    code = ("import sys, lumo.arrays; bad = [m for m in sys.modules if m.split('.')[0] in "
            "('dask', 'distributed', 'lumo.distributed')]; print(bad)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_blocks_are_sized_for_a_tenth_of_a_second(ld):
    # a metropolitan network: 50,000 stops, ten times Kuopio's arcs
    per_block = ld.block_size(5000, 160_000, 80_000, 16)
    assert per_block * ld._SECONDS_PER_ELEMENT * 240_000 >= ld.TASK_SECONDS
    assert ld.block_size(5000, 160_000, 80_000, 16) <= 5000 // 16
    # with few threads, fewer and larger blocks
    assert ld.block_size(5000, 3861, 7794, 2) == 625


@pytest.mark.parametrize("shape", [(5000, 160_000, 80_000, 16), (5000, 3861, 7794, 2),
                                   (2000, 28_591, 107_075, 2), (600, 38_000, 78_000, 2),
                                   (7, 100, 100, 2), (1, 10, 10, 4)])
def test_blocks_shrink_towards_the_end_but_stay_a_tenth_of_a_second(ld, monkeypatch, shape):
    n_dst, n, m, threads = shape
    sizes = ld.block_sizes(*shape)
    assert sum(sizes) == n_dst and min(sizes) >= 1
    assert sizes[0] == min(n_dst, ld.block_size(*shape))
    enough = min(n_dst, int(np.ceil(ld.TASK_SECONDS / (ld._SECONDS_PER_ELEMENT * (n + m)))))
    assert min(sizes) >= min(enough, n_dst) and min(sizes) >= sizes[0] // 4
    assert all(a >= b for a, b in zip(sizes[:-2], sizes[1:-1]))  # the last one takes the rest
    if n_dst >= 600:  # destinations enough: the last blocks are shorter than the first
        assert sizes[-2] < sizes[0] / 2 and len(sizes) >= 2 * ld._BLOCKS_PER_THREAD * threads
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 3)
    assert ld.block_sizes(*shape) == [3] * (n_dst // 3) + ([n_dst % 3] if n_dst % 3 else [])


def test_workers_take_consecutive_runs_of_blocks_by_their_threads(ld):
    # so that a chain of sums in block order crosses once per worker
    sizes = ld.block_sizes(2000, 28_591, 107_075, 6)
    for threads in ({"tcp://b:1": 1, "tcp://a:2": 1},
                    {"tcp://a:1": 1, "tcp://c:1": 3, "tcp://b:9": 2},
                    {"tcp://a:1": 2, "tcp://b:1": 1, "tcp://c:1": 1, "tcp://d:1": 2}):
        homes = ld._homes(sizes, threads)
        order = [sorted(threads).index(h) for h in homes]
        assert order == sorted(order) and len(homes) == len(sizes)
        for worker, n in threads.items():
            got = sum(s for s, h in zip(sizes, homes) if h == worker)
            assert abs(got - 2000 * n / sum(threads.values())) <= max(sizes)


def test_gtfs_networks_go_the_same_way(client, la, tmp_path):
    import lumo.gtfs
    from test_gtfs import DAY, write_feed
    net = lumo.gtfs.load(write_feed(str(tmp_path)), DAY, "07:00", "09:00")
    demand = lumo.gtfs.gravity_demand(net, total=500.0)
    same_result(la.assign(net, demand, components=True, executor=client),
                la.assign(net, demand, components=True))
    same_result(la.assign_congested(net, demand, 20.0, tol=0.0, max_iters=2, executor=client),
                la.assign_congested(net, demand, 20.0, tol=0.0, max_iters=2))


def test_per_destination_flows_stay_where_they_were_computed(client, la, ld, monkeypatch):
    # Only the running sums (one float per arc) travel from block to block,
    # and the small results to the client: far less than the blocks' flows.
    net, demand = random_network(15, zones=24, extra=2000)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 3)
    dsts = np.arange(24)

    def sent():
        return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total)
                   .values())

    before = sent()
    same_result(la.assign(net, demand, dsts, executor=client), la.assign(net, demand, dsts))
    moved = sent() - before
    blocks = len(dsts) // 3
    flows = len(dsts) * net.n_arcs * 4
    # The running sums come back once per block; the rest of the bound is
    # room for the network and demand copied to the second worker, far less
    # than the blocks' flows, which a fold stolen by the other worker (as a
    # fold pinned to its block's worker is not) would bring with it.
    assert moved < blocks * net.n_arcs * 4 + flows // 2, (moved, flows)


def test_a_congested_iteration_sends_only_what_changed(client, la, ld, monkeypatch):
    # One worker falls behind, which invites Dask to move its queued tasks to
    # the other (work stealing) and with them the blocks' averaged flows and
    # labels, 4 (M + N) bytes a destination. They stay: an iteration moves
    # the new frequencies to the second worker, the running sums once from
    # worker to worker, the totals to the client, 4 M bytes each.
    net, demand = random_network(15, zones=24, extra=2000)
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 3)
    slow = sorted(client.nthreads())[0]
    monkeypatch.setattr(ld, "_step_task",
                        functools.partial(cluster_tasks.slow_on, slow, 0.3, "_step_task"))
    kw = dict(tol=0.0, max_iters=4)
    sent = []

    def count(k, gap):
        sent.append(sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total)
                        .values()))

    got = la.assign_congested(net, demand, 5.0, executor=client, progress=count, **kw)
    same_result(got, la.assign_congested(net, demand, 5.0, **kw))
    per_iteration = np.diff(sent)
    floats = 4 * net.n_arcs
    state = 3 * 4 * (net.n_arcs + net.n_nodes)  # of one block
    # Dask's memory manager may drop a replica of the frequencies once
    assert max(per_iteration) <= 4 * floats < 3 * floats + state, (per_iteration, floats)


def perceived_network(la, seed):
    """Random lines with a wait factor, boarding penalties and weighted riding
    (costs that are not minutes), and a demand between their stops."""
    rng = np.random.default_rng(seed)
    stops = 30
    lines = [rng.choice(stops, size=rng.integers(3, 9), replace=False).tolist()
             for _ in range(12)]
    times = [rng.uniform(1.0, 9.0, len(a) - 1) for a in lines]
    net = la.Network.from_lines(lines, rng.uniform(0.03, 0.3, len(lines)), times, n_stops=stops,
                                wait_factor=1.7 + seed, boarding_penalty=rng.uniform(0, 4, 12),
                                in_vehicle_factor=rng.uniform(1.0, 1.5, 12))
    walk = rng.integers(stops, size=(40, 2))
    walk = walk[walk[:, 0] != walk[:, 1]]
    minutes = rng.uniform(2, 15, len(walk))
    net = la.Network(np.r_[net.tail, walk[:, 0]], np.r_[net.head, walk[:, 1]],
                     np.r_[net.freq, np.full(len(walk), INF)],
                     np.r_[net.cost, 1.5 * minutes], np.r_[net.kind, np.full(len(walk), la.WALK)],
                     n_nodes=net.n_nodes, minutes=np.r_[net.minutes, minutes],
                     wait_factor=net.wait_factor)
    demand = np.where(rng.random((stops, stops)) < 0.5, rng.uniform(0, 40, (stops, stops)), 0.0)
    return net, demand, rng.uniform(5.0, 60.0, net.n_arcs)


def test_wait_factor_and_capacity_per_arc_give_the_local_bits(client, la, ld, monkeypatch):
    # The search sees the frequencies divided by the wait factor, the capacity
    # is multiplied by it, and waiting comes back in minutes: as locally, on
    # Dask and on any executor, with one capacity or one per arc.
    monkeypatch.setattr(ld, "_BLOCK_SIZE", 4)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for seed in (0, 1):
            net, demand, per_arc = perceived_network(la, seed)
            assert net.wait_factor != 1.0 and net.minutes is not None
            want = la.assign(net, demand, components=True)
            for executor in (client, pool):
                same_result(la.assign(net, demand, components=True, executor=executor), want)
            for capacity in (per_arc, 9.0, per_arc.astype(np.float32)):
                kw = dict(tol=0.0, max_iters=3, components=True, period=2.0)
                want = la.assign_congested(net, demand, capacity, **kw)
                assert want.convergence.iterations == 3
                for executor in (client, pool):
                    got = la.assign_congested(net, demand, capacity, executor=executor, **kw)
                    same_result(got, want)
                    same(got.effective_freq, want.effective_freq)
            # no iteration: the frequencies the search saw
            want = la.assign_congested(net, demand, per_arc, tol=INF)
            got = la.assign_congested(net, demand, per_arc, tol=INF, executor=client)
            same_result(got, want)
            same(got.effective_freq, want.effective_freq)


def test_capacity_per_arc_is_checked_before_anything_is_sent(client, la):
    net, demand = random_network(16)

    def held():
        return client.run_on_scheduler(lambda dask_scheduler: set(dask_scheduler.tasks))

    # An earlier test's tasks may still be on their way out: none may be added.
    before = held()
    with pytest.raises(la.InputError, match=f"capacity has 3 values, the network {net.n_arcs} "
                       "arcs"):
        la.assign_congested(net, demand, [1.0, 2.0, 3.0], executor=client)
    assert held() <= before
