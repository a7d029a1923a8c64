"""How busy the skim's chunks keep the workers, on the synthetic metropolitan network.

    python benchmarks/chunking.py [--sample 200] [--workers 16] [--scale 1.0]

A skim runs its destinations in chunks, with a barrier after each (the flows
are folded in destination order there). On a machine with fewer cores than
--workers this cannot be watched, so the script measures what decides it:

1. the CPU time of each of --sample destinations (one call each, less the
   time of a call without destinations), at one thread;
2. the share of worker time spent waiting at the barriers when these times,
   drawn again in destination order, run on --workers workers that each take
   the next destination of the chunk when free, for several chunk sizes
   (16: the memory budget's floor; 8 per worker: the skim's least chunk now);
3. the wall and CPU time of one whole skim at threads=1 and threads=2, here,
   and their speed-up and efficiency (one run each, interleaved, median of
   --rounds), with the load average.

Results do not depend on the chunk, so only time is at stake. Not a test.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def barrier_wait(times, workers, chunk):
    """Share of worker time idle at chunk barriers, list scheduling in order."""
    busy = sum(times)
    span = 0.0
    for c0 in range(0, len(times), chunk):
        free = [0.0] * workers
        for t in times[c0:c0 + chunk]:
            i = min(range(workers), key=free.__getitem__)
            free[i] += t
        span += max(free)
    return 1.0 - busy / (workers * span)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sample", type=int, default=200)
    ap.add_argument("--workers", type=int, default=16)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    import numpy as np

    import lumo.arrays as la
    sys.path.insert(0, str(HERE))
    import metro
    net, demand = metro.arrays_network(la, metro.generate(seed=7, scale=args.scale))
    z = demand.shape[0]
    print(f"load average {os.getloadavg()[0]:.2f}; network: {net.n_nodes} nodes, "
          f"{net.n_arcs} arcs, {z} zones")

    def cpu(dests, threads=1):
        start = time.process_time()
        la.assign(net, demand, dests, threads=threads)
        return time.process_time() - start

    empty = min(cpu([]) for _ in range(3))
    rng = np.random.default_rng(1)
    sample = rng.choice(z, size=min(args.sample, z), replace=False)
    times = [max(min(cpu([int(d)]) for _ in range(2)) - empty, 1e-6) for d in sample]
    print(f"per destination: median {statistics.median(times) * 1e3:.2f} ms, "
          f"largest / median {max(times) / statistics.median(times):.2f}")
    # a whole skim's destinations: the sample drawn again, in order
    order = [times[i] for i in rng.integers(len(times), size=z)]
    per_destination = net.n_nodes + net.n_arcs + 2 * z + 1
    budget = max((1 << 18) // per_destination, 16)
    sizes = sorted({16, budget, 4 * args.workers, 8 * args.workers, 16 * args.workers})
    for chunk in sizes:
        label = {16: "floor of the budget", budget: "budget",
                 8 * args.workers: "least now"}.get(chunk, "")
        mb = chunk * (net.n_nodes + net.n_arcs) * 4 / 2**20
        print(f"chunk {chunk:5}: waiting at barriers {barrier_wait(order, args.workers, chunk):6.1%}"
              f" of {args.workers} workers' time; chunk blocks {mb:6.1f} MB  {label}")

    dests = np.arange(0, z, max(1, z // 200))
    walls = {1: [], 2: []}
    cpus = {1: [], 2: []}
    for _ in range(args.rounds):
        for threads in (1, 2):
            start, start_cpu = time.perf_counter(), time.process_time()
            la.assign(net, demand, dests, threads=threads)
            walls[threads].append(time.perf_counter() - start)
            cpus[threads].append(time.process_time() - start_cpu)
    w1, w2 = statistics.median(walls[1]), statistics.median(walls[2])
    print(f"{dests.size} destinations: threads=2 speed-up {w1 / w2:.2f} (efficiency "
          f"{w1 / w2 / 2:.0%}), CPU time at 2 threads / at 1 "
          f"{statistics.median(cpus[2]) / statistics.median(cpus[1]):.2f}; load average "
          f"{os.getloadavg()[0]:.2f} (above 0.5 the speed-up is held down by other work)")


if __name__ == "__main__":
    main()
