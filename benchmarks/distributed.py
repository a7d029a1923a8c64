"""The cluster path against local threads, at equal cores.

Usage: python benchmarks/distributed.py [--copies 10] [--zones 600] [--rounds 3]

A synthetic metropolitan network: ``--copies`` copies of the Kuopio network
side by side, joined by walking links (ten copies: ten times its stops, nodes
and arcs, so every destination costs ten times as much), its first
``--zones`` stops being the zones, with Kuopio's demand between them. On it, in interleaved rounds:

* local ``threads=1`` against a LocalCluster of one worker process with one
  thread, and local ``threads=2`` against two worker processes with one
  thread each: the cluster path's overhead, in wall time and in CPU time
  (client and workers together);
* the two ways of adding the blocks' flows in order: the chain of fold tasks
  on the workers, and every block's per-destination flows sent to the client;
* one congested iteration (a run of two iterations less a run of one).

It also prints the bytes each call moves: what is scattered to the workers,
what the workers send (as they count it: to each other, and to the client
through the scheduler) and what of it are results for the client. Ratios of medians measured in one run; on a shared machine the
load average says how far to trust them (prefer the CPU-time ratios).

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

import lumo.arrays as la  # noqa: E402
import lumo.distributed as ld  # noqa: E402

DATA = HERE.parent.parent / "shared" / "data" / "kuopio.json.gz"


def metropolitan(copies, zones):
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
    return net, demand


def cpu_of(client):
    """CPU seconds of this process and, with a client, of its workers."""
    own = time.process_time()
    if client is None:
        return own
    return own + sum(client.run(time.process_time).values())


def peer_bytes(client):
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total).values())


def timed(fn, client):
    c0, t0 = cpu_of(client), time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, cpu_of(client) - c0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--copies", type=int, default=10)
    ap.add_argument("--zones", type=int, default=600)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--capacity", type=float, default=30.0)
    args = ap.parse_args()
    if not DATA.exists():
        sys.exit(f"{DATA} not found")
    from distributed import Client, LocalCluster

    net, demand = metropolitan(args.copies, args.zones)
    n_dst = int(np.count_nonzero((demand != 0).sum(axis=0) - (np.diagonal(demand) != 0)))
    print(f"network: {args.copies} × Kuopio, {net.n_nodes} nodes, {net.n_arcs} arcs, "
          f"{args.zones} zones, {n_dst} destinations; {os.cpu_count()} cores")
    clusters = {w: LocalCluster(n_workers=w, threads_per_worker=1, processes=True,
                                dashboard_address=":0", silence_logs=logging.CRITICAL)
                for w in (1, 2)}
    clients = {w: Client(c) for w, c in clusters.items()}

    def uncongested(threads, client, sums="chain"):
        ld._SUMS = sums
        try:
            return la.assign(net, demand, threads=threads if client is None else None,
                             executor=client)
        finally:
            ld._SUMS = "chain"

    def congested(iters, client):
        return la.assign_congested(net, demand, args.capacity, tol=0.0, max_iters=iters,
                                   threads=2 if client is None else None, executor=client)

    cases = {
        "local 1 thread": lambda: timed(lambda: uncongested(1, None), None),
        "cluster 1 worker": lambda: timed(lambda: uncongested(1, clients[1]), clients[1]),
        "local 2 threads": lambda: timed(lambda: uncongested(2, None), None),
        "cluster 2 workers": lambda: timed(lambda: uncongested(2, clients[2]), clients[2]),
        "cluster 2, sums on client": lambda: timed(
            lambda: uncongested(2, clients[2], "client"), clients[2]),
        "congested local 2 threads, 1 iteration": lambda: timed(lambda: congested(1, None), None),
        "congested local 2 threads, 2 iterations": lambda: timed(lambda: congested(2, None), None),
        "congested cluster 2, 1 iteration": lambda: timed(lambda: congested(1, clients[2]),
                                                          clients[2]),
        "congested cluster 2, 2 iterations": lambda: timed(lambda: congested(2, clients[2]),
                                                           clients[2]),
    }
    results = {name: [] for name in cases}
    reference = None
    for r in range(args.rounds):
        for name, case in cases.items():
            wall, cpu, out = case()
            results[name].append((wall, cpu))
            if name == "local 1 thread":
                reference = out
            elif "congested" not in name:  # every path gives the same bits
                assert np.array_equal(out.flows.view(np.uint32), reference.flows.view(np.uint32))
                assert out.total_cost == reference.total_cost
        print(f"round {r + 1} done, load average {os.getloadavg()[0]:.2f}", flush=True)
    med = {name: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v))
           for name, v in results.items()}

    def ratio(a, b):
        return f"wall {med[a][0] / med[b][0]:.3f}, CPU {med[a][1] / med[b][1]:.3f}"

    print("\nmedian seconds (wall, CPU):")
    for name, (w, c) in med.items():
        print(f"  {name:<42} {w:8.2f} {c:8.2f}")
    print("\ncluster over local at equal cores (target at 2 workers: under 1.10):")
    print(f"  1 worker  / 1 thread : {ratio('cluster 1 worker', 'local 1 thread')}")
    print(f"  2 workers / 2 threads: {ratio('cluster 2 workers', 'local 2 threads')}")
    print(f"  sums on the client / chained sums: "
          f"{ratio('cluster 2, sums on client', 'cluster 2 workers')}")
    it_local = (med["congested local 2 threads, 2 iterations"][0]
                - med["congested local 2 threads, 1 iteration"][0])
    it_cluster = (med["congested cluster 2, 2 iterations"][0]
                  - med["congested cluster 2, 1 iteration"][0])
    print(f"  one congested iteration, cluster / local: wall {it_cluster / it_local:.3f}")

    # Bytes, on the two-worker cluster.
    c2 = clients[2]
    m, z = net.n_arcs, args.zones
    scattered = 2 * (sum(a.nbytes for a in (net.tail, net.head, net.freq, net.cost, net.kind))
                     + demand.nbytes)
    b0 = peer_bytes(c2)
    r = uncongested(2, c2)
    b1 = peer_bytes(c2)
    uncongested(2, c2, "client")
    b2 = peer_bytes(c2)
    # Per congested iteration, between the progress calls of a four-iteration run.
    marks = []
    la.assign_congested(net, demand, args.capacity, tol=0.0, max_iters=4, executor=c2,
                        progress=lambda k, gap: marks.append(peer_bytes(c2)))
    per_iteration = statistics.median(b - a for a, b in zip(marks, marks[1:]))
    to_client = r.cost.nbytes + r.flows.nbytes
    print("\nbytes per call on 2 workers:")
    print(f"  uncongested: scattered {scattered / 1e6:.1f} MB, sent by the workers "
          f"{(b1 - b0) / 1e6:.1f} MB, of which results {to_client / 1e6:.1f} MB "
          f"(sums on the client: {n_dst * m * 4 / 1e6:.1f} MB more to the client, "
          f"{(b2 - b1) / 1e6:.1f} MB sent by the workers)")
    iteration_peer = per_iteration
    print(f"  one congested iteration: effective frequencies {2 * m * 4 / 1e6:.2f} MB out, "
          f"sent by the workers {iteration_peer / 1e6:.2f} MB, of which to the client "
          f"{(m * 4 + 8) / 1e6:.2f} MB (cost matrix {z * z * 4 / 1e6:.1f} MB once, at the end)")
    print(f"load average at the end: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    logging.getLogger("distributed").setLevel(logging.CRITICAL)  # shutting down
    for c in clients.values():
        c.close()
    for c in clusters.values():
        c.close()


if __name__ == "__main__":
    main()
