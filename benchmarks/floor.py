"""The search against the floor of a label-setting search on the same graph.

    python benchmarks/floor.py [--rounds 5] [--networks kuopio cairns metro]
                               [--metro-every 10] [--data DIR]

For each network, at one thread: lumo.arrays.assign towards every zone with
demand towards it, against a plain binary-heap Dijkstra in float32 with lazy
deletion over the same reversed arcs from the same destinations
(benchmarks/floor_dijkstra.cpp, built here with g++ -O3) and against scipy's
csgraph Dijkstra (float64; parallel arcs reduced to the cheapest, costs of 0
raised to 1e-9 so that they stay edges). `metro` is the seeded synthetic
metropolitan network of benchmarks/metro.py, towards every --metro-every-th
zone (all three on the same destinations).

Printed per network: the CPU time of lumo's call over each floor's CPU time,
and the core's computing time (wall, from lumo._arrays.timings: on a loaded
machine it grows with the load, CPU time much less) over the C++ floor's CPU
time, as medians of interleaved rounds, with the spread of the CPU rounds; and
the machine's load average. A run whose rounds spread by more than 15% is marked too noisy
to quote. Not a test.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
NETWORKS = ["kuopio", "samtrans", "cairns", "sao_paulo", "metro"]


def build_floor(tmp: Path) -> Path:
    exe = tmp / "floor_dijkstra"
    cxx = os.environ.get("CXX", "g++")
    if shutil.which(cxx) is None:
        sys.exit(f"no C++ compiler {cxx!r} (set CXX)")
    subprocess.run([cxx, "-std=c++20", "-O3", "-o", str(exe), str(HERE / "floor_dijkstra.cpp")],
                   check=True)
    return exe


def load(args, name):
    import numpy as np

    import lumo.arrays as la
    if name == "metro":
        sys.path.insert(0, str(HERE))
        import metro
        net, demand = metro.arrays_network(la, metro.generate(seed=7))
        dests = np.arange(0, demand.shape[0], args.metro_every)
        return net, demand, dests
    with gzip.open(args.data / f"{name}.json.gz", "rt") as fh:
        d = json.load(fh)
    net = la.Network.from_lines(d["alignments"], d["freqs"], np.asarray(d["travel_time_mat"]))
    demand = np.asarray(d["demands_mat"], dtype=np.float32)
    nonzero = demand != 0
    np.fill_diagonal(nonzero, False)
    return net, demand, np.flatnonzero(nonzero.any(axis=0))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--networks", nargs="+", default=NETWORKS)
    ap.add_argument("--metro-every", type=int, default=10)
    ap.add_argument("--data", type=Path, default=HERE.parents[1] / "shared" / "data")
    args = ap.parse_args()

    import numpy as np

    import lumo.arrays as la
    from lumo import _arrays
    try:
        from scipy.sparse import csr_matrix
        from scipy.sparse.csgraph import dijkstra as sp_dijkstra
    except ImportError:
        sp_dijkstra = None
        print("scipy not installed: its Dijkstra is left out")

    print(f"load average {os.getloadavg()[0]:.2f} at the start")
    print(f"{'network':10} {'nodes':>6} {'arcs':>7} {'dests':>5} {'cpu/C++':>8} {'cpu/scipy':>9} "
          f"{'core wall/C++':>13} {'spread':>7}")
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = Path(tmpdir)
        exe = build_floor(tmp)
        for name in args.networks:
            net, demand, dests = load(args, name)
            src = tmp / f"{name}.bin"
            with open(src, "wb") as fh:
                np.array([net.n_arcs, net.n_nodes, dests.size], np.uint64).tofile(fh)
                net.tail.astype(np.uint32).tofile(fh)
                net.head.astype(np.uint32).tofile(fh)
                net.cost.astype(np.float32).tofile(fh)
                dests.astype(np.uint32).tofile(fh)
            graph = None
            if sp_dijkstra is not None:
                order = np.lexsort((net.cost, net.tail, net.head))
                head, tail = net.head[order], net.tail[order]
                first = np.ones(order.size, bool)
                first[1:] = (head[1:] != head[:-1]) | (tail[1:] != tail[:-1])
                cost = np.maximum(net.cost[order][first].astype(np.float64), 1e-9)
                graph = csr_matrix((cost, (head[first], tail[first])),
                                   shape=(net.n_nodes, net.n_nodes))
            la.assign(net, demand, dests, threads=1)  # warm-up
            core_r, call_r, sp_r = [], [], []
            for _ in range(args.rounds):
                start = time.process_time()
                la.assign(net, demand, dests, threads=1)
                call = time.process_time() - start
                core = _arrays.timings()[1]
                out = subprocess.run([str(exe), str(src), "1"], check=True, capture_output=True,
                                     text=True).stdout.split()
                floor = float(out[0])
                core_r.append(core / floor)
                call_r.append(call / floor)
                if graph is not None:
                    start = time.process_time()
                    for i in range(0, dests.size, 64):
                        sp_dijkstra(graph, indices=dests[i:i + 64])
                    sp_r.append(call / (time.process_time() - start))
            spread = max(call_r) / min(call_r) - 1.0
            scipy_text = f"{statistics.median(sp_r):9.2f}" if sp_r else f"{'-':>9}"
            noisy = "  too noisy to quote" if spread > 0.15 else ""
            print(f"{name:10} {net.n_nodes:6} {net.n_arcs:7} {dests.size:5} "
                  f"{statistics.median(call_r):8.2f} {scipy_text} "
                  f"{statistics.median(core_r):13.2f} {spread:7.1%}{noisy}", flush=True)
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
