"""lumo.arrays.assign against an open optimal-strategy assignment, side by side.

    python benchmarks/peer.py --install            # once: the peer into its own env
    python benchmarks/peer.py [--repeat 3] [--networks kuopio cairns metro] [--data DIR]
                              [--metro-every 1]

Runs with the project's environment (lumo, numpy). The peer, the PyPI package
aequilibrae (HyperpathGenerating), lives in a separate virtual environment
(--peer-env, default .peer-venv in the checkout) and runs in a subprocess of
its own on the same arrays. Both get the shared line networks expanded to
arcs, the same demand, every stop with demand towards it as a destination,
and 1 and then 2 threads. The peer's boarding frequencies are doubled: its
waiting time is a full headway where lumo's is half of one.

Printed per network and thread count, as ratios measured in this one run
(medians of --repeat interleaved rounds, one run of each per round; a spread
of the processor-time ratios above 15% is marked too noisy to quote): the peer's end-to-end time over lumo's (> 1:
lumo faster), the same for the processor time of all threads, the share of
lumo's call spent converting inputs and results, the agreement of the summed
arc flows (relative L1 distance, largest difference), at one thread
lumo's computing time over that of scipy's binary-heap Dijkstra from every
destination over the same reversed arcs, and, on the shared line networks,
the peer's processor time over that of the exact module's mat_linear_assign
on the network's own lists (one call in a fresh process of that many
threads, conversions included), with its spread. Then the reading of a 4.56 M float64
matrix by lumo.arrays against the list path of the exact module. Not
a test: timings on a shared machine are noisy, so compare ratios only.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NETWORKS = ["kuopio", "samtrans", "cairns", "sao_paulo", "metro"]


def worker(src: str, dst: str, threads: int, repeat: int) -> None:
    """Runs in the peer's environment: time its assignment, keep its flows."""
    import numpy as np
    import pandas as pd
    from aequilibrae.paths.public_transport import HyperpathGenerating

    arrays = np.load(src)
    n_nodes, zones = int(arrays["n_nodes"]), int(arrays["zones"])
    best, cpu, volume = float("inf"), float("inf"), None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        freq = np.where(np.isinf(arrays["freq"]), np.inf, 2.0 * arrays["freq"])
        edges = pd.DataFrame({"tail": arrays["tail"], "head": arrays["head"],
                              "trav_time": arrays["cost"].astype(np.float64), "freq": freq})
        ids = np.arange(zones, dtype=np.int64)
        hp = HyperpathGenerating(edges, o_vert_ids=ids, d_vert_ids=ids,
                                 nodes_to_indices=np.arange(n_nodes, dtype=np.int64))
        hp.assign(arrays["orig"], arrays["dest"], arrays["volume"], threads=threads)
        took = time.perf_counter() - start
        cpu = min(cpu, time.process_time() - start_cpu)
        if took < best:
            best, volume = took, hp._edges["volume"].to_numpy(dtype=np.float64, copy=True)
    np.savez(dst, seconds=best, cpu=cpu, volume=volume)


def dijkstra(src: str, dst: str, repeat: int) -> None:
    """Runs in the peer's environment, which has scipy: a plain binary-heap
    Dijkstra from every destination over the reversed arcs, for reference."""
    import numpy as np
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import dijkstra as sp_dijkstra

    arrays = np.load(src)
    n = int(arrays["n_nodes"])
    # reversed arcs, the cheapest of parallel ones, zero costs kept as edges
    order = np.lexsort((arrays["cost"], arrays["tail"], arrays["head"]))
    head, tail = arrays["head"][order], arrays["tail"][order]
    first = np.ones(order.size, bool)
    first[1:] = (head[1:] != head[:-1]) | (tail[1:] != tail[:-1])
    cost = np.maximum(arrays["cost"][order][first].astype(np.float64), 1e-9)
    graph = csr_matrix((cost, (head[first], tail[first])), shape=(n, n))
    dests = np.unique(arrays["dest"])
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for i in range(0, dests.size, 64):
            sp_dijkstra(graph, indices=dests[i:i + 64])
        best = min(best, time.perf_counter() - start)
    np.savez(dst, seconds=best)


def lists_worker(path: str, dst: str) -> None:
    """Runs in the project's environment, in a fresh process whose pool size
    RAYON_NUM_THREADS sets: one call of the exact module's line-form
    function on the network's own lists, the result kept until timed."""
    import warnings

    import numpy as np

    import lumo
    with gzip.open(path, "rt") as fh:
        data = json.load(fh)
    args = (data["alignments"], data["freqs"], data["travel_time_mat"], data["demands_mat"])
    del data
    warnings.simplefilter("ignore")  # demand towards stop 0 is reported, not assigned
    start, start_cpu = time.perf_counter(), time.process_time()
    result = lumo.mat_linear_assign(*args)
    took, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    del result
    np.savez(dst, seconds=took, cpu=cpu)


def install(env: Path) -> None:
    python = os.environ.get("PEER_PYTHON", sys.executable)
    subprocess.run([python, "-m", "venv", str(env)], check=True)
    subprocess.run([str(env / "bin" / "pip"), "install", "aequilibrae"], check=True)


def load(data: Path, name: str) -> dict:
    with gzip.open(data / f"{name}.json.gz", "rt") as fh:
        return json.load(fh)


def measure_lumo(la, net, demand, threads, repeat):
    from lumo import _arrays
    best, cpu = (float("inf"), 0.0, None), float("inf")
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        r = la.assign(net, demand, threads=threads)
        took = time.perf_counter() - start
        cpu = min(cpu, time.process_time() - start_cpu)
        if took < best[0]:
            best = (took, _arrays.timings()[1], r.flows)
    return best + (cpu,)


def conversion_ratios(la, repeat):
    """Reading a 2136 x 2136 (4.56 M) float64 demand matrix: lumo.arrays (its
    native reading alone, and its whole call less the core's computing time)
    against the exact module's list path (a call that computes next to nothing)."""
    import numpy as np

    import lumo
    from lumo import _arrays
    side = 2136
    rng = np.random.default_rng(1)
    mat = rng.random((side, side))
    net = la.Network([0], [1], [0.5], [1.0], n_nodes=side)
    flat = mat[:, 1].tolist() + [0.0] * (side * side - side)  # 4.56 M floats as a list
    t_read = t_arrays = t_lists = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        kept = la.assign(net, mat, [1])  # freed after the timing, like the lists below
        reading, computing = _arrays.timings()
        t_arrays = min(t_arrays, time.perf_counter() - start - computing)
        t_read = min(t_read, reading)
        del kept
        start = time.perf_counter()
        kept_lists = lumo.linear_assign([0], [1], [0.5], [1.0], flat, [1])
        t_lists = min(t_lists, time.perf_counter() - start)
        del kept_lists
    return t_read / t_lists, t_arrays / t_lists


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--install", action="store_true", help="install the peer into --peer-env")
    ap.add_argument("--peer-env", type=Path, default=ROOT / ".peer-venv")
    ap.add_argument("--data", type=Path, default=ROOT.parent / "shared" / "data")
    ap.add_argument("--networks", nargs="+", default=NETWORKS)
    ap.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--metro-every", type=int, default=1)
    ap.add_argument("--worker", nargs=4, metavar=("IN", "OUT", "THREADS", "REPEAT"),
                    help=argparse.SUPPRESS)
    ap.add_argument("--dijkstra-worker", nargs=3, metavar=("IN", "OUT", "REPEAT"),
                    help=argparse.SUPPRESS)
    ap.add_argument("--lists-worker", nargs=2, metavar=("NETWORK", "OUT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.lists_worker:
        lists_worker(*args.lists_worker)
        return
    if args.worker:
        worker(args.worker[0], args.worker[1], int(args.worker[2]), int(args.worker[3]))
        return
    if args.dijkstra_worker:
        dijkstra(args.dijkstra_worker[0], args.dijkstra_worker[1], int(args.dijkstra_worker[2]))
        return
    if args.install:
        install(args.peer_env)
        return
    peer_python = args.peer_env / "bin" / "python"
    if not peer_python.exists():
        sys.exit(f"no peer environment at {args.peer_env}: run with --install first")

    import numpy as np

    import lumo.arrays as la

    print(f"{'network':10} {'thr':>3} {'peer/lumo':>9} {'cpu ratio':>9} {'convert':>8} "
          f"{'flow L1':>9} {'max |diff|':>10} {'lumo/dijkstra':>13} {'spread':>7} "
          f"{'lists cpu':>9} {'spread':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.networks:
            if name == "metro":
                sys.path.insert(0, str(ROOT / "benchmarks"))
                import metro
                net, demand = metro.arrays_network(la, metro.generate(seed=7))
                demand = demand.astype(np.float64)
                if args.metro_every > 1:
                    keep = np.zeros(demand.shape[1], bool)
                    keep[::args.metro_every] = True
                    demand[:, ~keep] = 0.0
            else:
                data = load(args.data, name)
                net = la.Network.from_lines(data["alignments"], data["freqs"],
                                            np.asarray(data["travel_time_mat"]))
                demand = np.asarray(data["demands_mat"], dtype=np.float64)
            orig, dest = np.nonzero(demand)
            src = Path(tmp) / f"{name}.npz"
            np.savez(src, tail=net.tail, head=net.head, freq=net.freq, cost=net.cost,
                     n_nodes=net.n_nodes, zones=demand.shape[0], orig=orig.astype(np.uint32),
                     dest=dest.astype(np.uint32), volume=demand[orig, dest])
            print(f"load average {os.getloadavg()[0]:.2f}", flush=True)
            for threads in args.threads:
                # interleaved rounds, one run of each per round
                wall_r, cpu_r, lists_r = [], [], []
                for _ in range(args.repeat):
                    t_lumo, t_core, flows, cpu_lumo = measure_lumo(la, net, demand, threads, 1)
                    out = Path(tmp) / f"{name}-{threads}.npz"
                    subprocess.run([str(peer_python), __file__, "--worker", str(src), str(out),
                                    str(threads), "1"], check=True)
                    peer = np.load(out)
                    wall_r.append(float(peer["seconds"]) / t_lumo)
                    cpu_r.append(float(peer["cpu"]) / cpu_lumo)
                    if name != "metro":  # the line form: the exact module on lists
                        lists = Path(tmp) / f"{name}-{threads}-lists.npz"
                        subprocess.run([sys.executable, __file__, "--lists-worker",
                                        str(args.data / f"{name}.json.gz"), str(lists)],
                                       env=dict(os.environ, RAYON_NUM_THREADS=str(threads)),
                                       check=True)
                        lists_r.append(float(peer["cpu"]) / float(np.load(lists)["cpu"]))
                vol, ours = peer["volume"], flows.astype(np.float64)
                l1 = np.abs(vol - ours).sum() / max(np.abs(vol).sum(), 1e-30)
                versus = ""
                if threads == 1:  # the search itself against a plain Dijkstra
                    ref = Path(tmp) / f"{name}-dijkstra.npz"
                    subprocess.run([str(peer_python), __file__, "--dijkstra-worker", str(src),
                                    str(ref), str(args.repeat)], check=True)
                    versus = f"{t_core / float(np.load(ref)['seconds']):13.2f}"
                spread = max(cpu_r) / min(cpu_r) - 1.0
                noisy = spread > 0.15
                if not versus:
                    versus = " " * 13
                lists = f"{'-':>9} {'':7}"
                if lists_r:
                    lists_spread = max(lists_r) / min(lists_r) - 1.0
                    noisy = noisy or lists_spread > 0.15
                    lists = f"{statistics.median(lists_r):9.2f} {lists_spread:7.1%}"
                print(f"{name:10} {threads:3} {statistics.median(wall_r):9.2f} "
                      f"{statistics.median(cpu_r):9.2f} "
                      f"{(t_lumo - t_core) / t_lumo:8.1%} {l1:9.2e} "
                      f"{np.abs(vol - ours).max():10.3g} {versus} {spread:7.1%} {lists}"
                      f"{'  too noisy to quote' if noisy else ''}", flush=True)
    read, call = conversion_ratios(la, args.repeat)
    print(f"4.56 M float64 demand values: lumo.arrays reading / list path = {read:.3f}; "
          f"whole call less computing / list path = {call:.3f}")


if __name__ == "__main__":
    main()
