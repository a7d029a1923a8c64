"""The cluster path against local threads, at equal cores.

Usage: python benchmarks/distributed.py [--scale 1.0] [--rounds 3] [--bytes-only]
       python benchmarks/distributed.py --network kuopio [--copies 10] [--zones 600]

The network: the synthetic metropolitan network of ``metro.py`` (``--scale``
1: about 10,000 stops, 100,000 arcs and 2,000 zones), or, with ``--network
kuopio`` or where metro.py cannot run (it needs scipy), ``--copies`` copies of
the Kuopio network side by side joined by walking links, its first
``--zones`` stops being the zones. On it, in interleaved rounds:

* local ``threads=1`` against a LocalCluster of one worker process with one
  thread, and local ``threads=2`` against two worker processes with one
  thread each: the cluster path's overhead at equal cores, in wall time and
  in CPU time (this process, which holds the scheduler and the nannies, and
  the workers, together);
* the same two workers with Dask's statistical profiler off
  (``distributed.worker.profile.enabled: false``), which samples every
  worker's threads 100 times a second;
* the two ways of adding the blocks' flows in order: each block's fold on
  the worker that holds the block, and every block's per-destination flows
  sent to the client;
* one congested iteration (a run of two iterations less a run of one);
* the two workers at rest for a few seconds: the CPU that the cluster's own
  processes use with nothing to compute, which on a machine whose cores they
  share with the workers comes out of the call's; the 2-worker CPU ratio is
  printed again less that rest, over the call's wall time.

One cluster runs at a time, started before its cases and closed after them,
so that no idle cluster takes a share of the cores. It also prints the bytes
each call moves: all of the loopback interface's traffic during a call (the
workers, the scheduler and the client talk over it, and nothing else here
should), and what of it the design accounts for; bytes do not depend on
the load, and ``--bytes-only`` prints only them. Ratios of medians measured
in one run; the load average says how far to trust them: a run is flagged
noisy when it exceeded the cores or the rounds of a case spread by more than
a fifth.

Data: City of Kuopio GTFS (CC BY 4.0), as converted in ../shared/data.
"""
import argparse
import gzip
import json
import logging
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# This script's folder comes first on the path, and its name is the package's.
sys.path = [p for p in sys.path if Path(p or ".").resolve() != HERE]

import numpy as np  # noqa: E402
import psutil  # noqa: E402  (a dependency of distributed)

import lumo.arrays as la  # noqa: E402
import lumo.distributed as ld  # noqa: E402

DATA = HERE.parent.parent / "shared" / "data" / "kuopio.json.gz"


def metro_network(scale):
    """(network, demand, period) of metro.py, or None where it cannot run."""
    sys.path.append(str(HERE))
    try:
        import metro
        g = metro.generate(7, scale)
    except ImportError:
        return None
    finally:
        sys.path.remove(str(HERE))
    net, demand = metro.arrays_network(la, g)
    return net, demand, 120.0  # the gravity demand read as two hours' trips


def kuopio_network(copies, zones):
    with gzip.open(DATA, "rt") as fh:
        d = json.load(fh)
    s = len(d["travel_time_mat"])
    tt = np.asarray(d["travel_time_mat"], dtype=np.float32)
    lines, freqs, times = [], [], []
    for c in range(copies):
        for a, f in zip(d["alignments"], d["freqs"]):
            lines.append([c * s + x for x in a])
            freqs.append(f)
            times.append(tt[a[:-1], a[1:]])
    lined = la.Network.from_lines(lines, freqs, times, n_stops=copies * s)
    # Walking links between neighbouring copies, at every tenth stop, make one
    # network: every destination is reached from everywhere, as in a city.
    stops = np.arange(0, s, 10)
    a = np.concatenate([c * s + stops for c in range(copies - 1)])
    b = a + s
    tail = np.concatenate([lined.tail, a, b])
    head = np.concatenate([lined.head, b, a])
    walk = np.full(2 * a.shape[0], np.inf)
    net = la.Network(tail, head, np.concatenate([lined.freq, walk]),
                     np.concatenate([lined.cost, np.full(walk.shape, 5.0)]),
                     np.concatenate([lined.kind, np.full(walk.shape, la.WALK)]),
                     n_nodes=lined.n_nodes)
    one = np.asarray(d["demands_mat"], dtype=np.float32)
    demand = np.zeros((zones, zones), np.float32)
    for c in range(0, zones, s):
        k = min(s, zones - c)
        demand[c:c + k, c:c + k] = one[:k, :k]
    return net, demand, 1.0


class Cluster:
    """A LocalCluster of `workers` processes of one thread, its client, and
    the processes whose CPU time counts: this one (the client, the scheduler
    and the nannies) and the workers."""

    def __init__(self, workers, profiler=True):
        import dask
        from distributed import Client, LocalCluster
        with dask.config.set({"distributed.worker.profile.enabled": profiler}):
            self.cluster = LocalCluster(n_workers=workers, threads_per_worker=1,
                                        processes=True, dashboard_address=":0",
                                        silence_logs=logging.CRITICAL)
        self.client = Client(self.cluster)
        self.client.wait_for_workers(workers)
        pids = list(self.client.run(os.getpid).values())
        self.procs = [psutil.Process()] + [psutil.Process(p) for p in pids if p != os.getpid()]
        # The workers import lumo and numpy once: not part of any call.
        tiny = la.Network.from_lines([[0, 1, 2], [2, 1, 0]], [0.1, 0.2], [[4, 6], [6, 4]])
        la.assign(tiny, np.ones((3, 3)), executor=self.client)

    def close(self):
        logging.getLogger("distributed").setLevel(logging.CRITICAL)  # shutting down
        self.client.close()
        self.cluster.close()


def cpu_seconds(procs):
    total = 0.0
    for p in procs:
        t = p.cpu_times()
        total += t.user + t.system
    return total


def peer_bytes(client):
    """What the workers sent, as they count it: to each other (the scatter's
    copies, the chain of sums, anything work stealing moves) and to the
    client (the results it fetches)."""
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total)
               .values())


def loopback_bytes():
    nics = psutil.net_io_counters(pernic=True)
    return nics["lo"].bytes_sent if "lo" in nics else 0


#: Seconds the cluster is watched at rest.
REST_SECONDS = 5.0


def timed(fn, procs):
    c0, t0 = cpu_seconds(procs), time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, cpu_seconds(procs) - c0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--network", choices=("metro", "kuopio"), default="metro")
    ap.add_argument("--scale", type=float, default=1.0, help="of metro.py")
    ap.add_argument("--copies", type=int, default=10, help="of Kuopio")
    ap.add_argument("--zones", type=int, default=600, help="of the Kuopio copies")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--capacity", type=float, default=70.0, help="places per vehicle")
    ap.add_argument("--bytes-only", action="store_true",
                    help="only the bytes on 2 workers, which do not depend on the load")
    args = ap.parse_args()

    made = metro_network(args.scale) if args.network == "metro" else None
    if made is not None:
        net, demand, period = made
        what = f"metro.py at scale {args.scale}"
    else:
        if not DATA.exists():
            sys.exit(f"{DATA} not found (and metro.py needs scipy)")
        if args.network == "metro":
            print("metro.py cannot run here (it needs scipy): tiled Kuopio instead")
        net, demand, period = kuopio_network(args.copies, args.zones)
        what = f"{args.copies} × Kuopio"
    z = demand.shape[0]
    n_dst = int(np.count_nonzero((demand != 0).sum(axis=0) - (np.diagonal(demand) != 0)))
    sizes = ld.block_sizes(n_dst, net.n_nodes, net.n_arcs, 2)
    print(f"network: {what}, {net.n_nodes} nodes, {net.n_arcs} arcs, {z} zones, "
          f"{n_dst} destinations; {os.cpu_count()} cores; on 2 workers {len(sizes)} blocks "
          f"of {sizes[0]} down to {min(sizes)} destinations")
    me = [psutil.Process()]

    def uncongested(threads, client=None, sums="chain"):
        ld._SUMS = sums
        try:
            return la.assign(net, demand, threads=threads if client is None else None,
                             executor=client, progress=False)
        finally:
            ld._SUMS = "chain"

    def congested(iters, client=None, progress=None):
        return la.assign_congested(net, demand, args.capacity, period=period, tol=0.0,
                                   max_iters=iters, threads=2 if client is None else None,
                                   executor=client, progress=progress or False)

    # name -> (cluster: None or (workers, profiler), what it runs)
    cases = {
        "local 1 thread": (None, lambda c: uncongested(1)),
        "local 2 threads": (None, lambda c: uncongested(2)),
        "congested local 2 threads, 1 iteration": (None, lambda c: congested(1)),
        "congested local 2 threads, 2 iterations": (None, lambda c: congested(2)),
        "cluster 1 worker": ((1, True), lambda c: uncongested(None, c)),
        "cluster 2 workers": ((2, True), lambda c: uncongested(None, c)),
        "cluster 2, sums on client": ((2, True), lambda c: uncongested(None, c, "client")),
        "congested cluster 2, 1 iteration": ((2, True), lambda c: congested(1, c)),
        "congested cluster 2, 2 iterations": ((2, True), lambda c: congested(2, c)),
        "cluster 2 workers, profiler off": ((2, False), lambda c: uncongested(None, c)),
        # What the cluster's own processes (scheduler, nannies, workers'
        # event loops, heartbeats, profiler) use with nothing to compute.
        "cluster 2 workers, at rest": ((2, True), lambda c: time.sleep(REST_SECONDS)),
    }
    if args.bytes_only:
        cluster = Cluster(2)
        try:
            measured = bytes_moved(cluster.client, uncongested, congested)
        finally:
            cluster.close()
        print_bytes(net, demand, sizes, n_dst, measured)
        return
    groups = {}
    for name, (config, _) in cases.items():
        groups.setdefault(config, []).append(name)
    results = {name: [] for name in cases}
    loads = [os.getloadavg()[0]]
    reference = congested_reference = None
    measured_bytes = None
    for r in range(args.rounds):
        for config, names in groups.items():
            cluster = None if config is None else Cluster(*config)
            procs = me if cluster is None else cluster.procs
            client = None if cluster is None else cluster.client
            try:
                for name in names:
                    wall, cpu, out = timed(lambda: cases[name][1](client), procs)
                    results[name].append((wall, cpu))
                    # every path gives the same bits
                    if name == "local 1 thread":
                        reference = out
                    elif name.endswith("at rest"):
                        pass
                    elif "congested" not in name:
                        assert np.array_equal(out.flows.view(np.uint32),
                                              reference.flows.view(np.uint32)), name
                        assert out.total_cost == reference.total_cost, name
                    elif name.endswith("2 iterations"):
                        if congested_reference is None:
                            congested_reference = out
                        assert np.array_equal(out.flows.view(np.uint32),
                                              congested_reference.flows.view(np.uint32)), name
                        assert out.convergence == congested_reference.convergence, name
                if config == (2, True) and measured_bytes is None:
                    measured_bytes = bytes_moved(cluster.client, uncongested, congested)
            finally:
                if cluster is not None:
                    cluster.close()
        loads.append(os.getloadavg()[0])
        print(f"round {r + 1} done, load average {loads[-1]:.2f}", flush=True)

    med = {name: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v))
           for name, v in results.items()}
    spread = max(max(w for w, _ in v) / min(w for w, _ in v) for v in results.values())

    def ratio(a, b):
        return f"wall {med[a][0] / med[b][0]:.3f}, CPU {med[a][1] / med[b][1]:.3f}"

    print("\nmedian seconds (wall, CPU):")
    for name, (w, c) in med.items():
        print(f"  {name:<42} {w:8.2f} {c:8.2f}")
    print("\ncluster over local at equal cores (target at 2 workers: under 1.10):")
    print(f"  1 worker  / 1 thread : {ratio('cluster 1 worker', 'local 1 thread')}")
    print(f"  2 workers / 2 threads: {ratio('cluster 2 workers', 'local 2 threads')}")
    print(f"  2 workers, profiler off / 2 threads: "
          f"{ratio('cluster 2 workers, profiler off', 'local 2 threads')}")
    rest = med["cluster 2 workers, at rest"][1] / med["cluster 2 workers, at rest"][0]
    busy_wall, busy_cpu = med["cluster 2 workers"]
    print(f"  the cluster at rest: {rest / 2:.1%} of 2 cores; 2 workers / 2 threads, less the "
          f"cluster's rest over the call's wall time: CPU "
          f"{(busy_cpu - rest * busy_wall) / med['local 2 threads'][1]:.3f}")
    print(f"  sums on the client / folds on the workers: "
          f"{ratio('cluster 2, sums on client', 'cluster 2 workers')}")

    def iteration(one, two):
        return med[two][0] - med[one][0], med[two][1] - med[one][1]

    lw, lc = iteration("congested local 2 threads, 1 iteration",
                       "congested local 2 threads, 2 iterations")
    cw, cc = iteration("congested cluster 2, 1 iteration", "congested cluster 2, 2 iterations")
    print(f"  one congested iteration, cluster / local: wall {cw / lw:.3f}, CPU {cc / lc:.3f}")

    print_bytes(net, demand, sizes, n_dst, measured_bytes)
    noisy = max(loads) > (os.cpu_count() or 1) or spread > 1.2
    print(f"load average {', '.join(f'{x:.2f}' for x in loads)} (start, after each round); "
          f"largest spread of a case's rounds {spread:.2f}"
          + ("; NOISY: prefer the CPU ratios, and rerun on a quiet machine" if noisy else ""))


def print_bytes(net, demand, sizes, n_dst, measured_bytes):
    m, z = net.n_arcs, demand.shape[0]
    per_call, (iteration, iteration_most), (peer_iteration, peer_most) = measured_bytes
    network_bytes = sum(a.nbytes for a in (net.tail, net.head, net.freq, net.cost, net.kind))
    n_blocks = len(sizes)
    arcs = m * 4 / 1e6
    # What the design sends, through the scheduler where the client sends
    # (client to scheduler to worker: twice on the loopback).
    print("\nbytes on 2 workers (loopback traffic of the whole call; the design's share):")
    print(f"  uncongested call: {per_call[0] / 1e6:.1f} MB with folds on the workers; the "
          f"network and demand to one worker and on to the other "
          f"{3 * (network_bytes + demand.nbytes) / 1e6:.1f} MB, the cost matrix back "
          f"{z * z * 4 / 1e6:.1f} MB, the running sums out and back "
          f"{3 * n_blocks * arcs:.1f} MB ({n_blocks} blocks); the workers sent "
          f"{per_call[2] / 1e6:.1f} MB (to each other and to the client); "
          f"{per_call[1] / 1e6:.1f} MB with sums on the client "
          f"(every destination's flows: {n_dst * arcs:.1f} MB)")
    print(f"  one congested iteration: {iteration / 1e6:.2f} MB (median), "
          f"{iteration_most / 1e6:.2f} MB at most; the effective frequencies to one worker and "
          f"on to the other {3 * arcs:.2f} MB, the running sums from the first worker's blocks "
          f"to the second's {arcs:.2f} MB, the total flows back {arcs:.2f} MB; the workers "
          f"sent {peer_iteration / 1e6:.2f} MB (median), {peer_most / 1e6:.2f} MB at most "
          f"(a block's averaged flows and labels, which stay on its worker, are "
          f"{sizes[0] * (m + net.n_nodes) * 4 / 1e6:.1f} MB for the first)")


def bytes_moved(client, uncongested, congested):
    """Loopback bytes of an uncongested call (folds on the workers, then sums
    on the client) and the median and most of a congested iteration's,
    between the progress calls of a six-iteration run."""
    p0, b0 = peer_bytes(client), loopback_bytes()
    uncongested(None, client)
    p1, b1 = peer_bytes(client), loopback_bytes()
    uncongested(None, client, "client")
    b2 = loopback_bytes()
    marks = []
    congested(6, client, lambda k, gap: marks.append((loopback_bytes(), peer_bytes(client))))
    steps = [(b[0] - a[0], b[1] - a[1]) for a, b in zip(marks, marks[1:])]
    lo, peer = [x for x, _ in steps], [y for _, y in steps]
    return ((b1 - b0, b2 - b1, p1 - p0), (statistics.median(lo), max(lo)),
            (statistics.median(peer), max(peer)))


if __name__ == "__main__":
    main()
