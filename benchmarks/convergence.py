"""Congested convergence per step rule: for each network and rule, the
iteration at which the relative gap first reaches 1e-2, 1e-3 and 1e-4, and
the processor time to get there as a ratio to one uncongested assignment of
the same network (measured in the same run).

Usage: python benchmarks/convergence.py [--max-iters 150] [--msa-iters 1500]
       [--networks kuopio,...] [--rules msa,0.1,...] [--threads 1]

MSA runs up to --msa-iters, long enough to reach 1e-4, so that every other
rule's iterations can be compared with its own.

Networks: the four line-form networks of ../shared/data (capacity 100 places
per vehicle over their 120-minute window, beta 0.2) and the Kuopio GTFS feed
(City of Kuopio, CC BY 4.0) loaded by lumo.gtfs for 07:00-09:00 with its
stops as zones and a gravity demand. "-" : not reached within --max-iters.
Not a test; on a shared machine prefer the iteration counts, which do not
depend on the load.
"""
import argparse
import gzip
import json
import os
import time

import numpy as np

import lumo.arrays as la

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data")
RULES = {"msa": "msa", "0.1": 0.1, "mswa2": ("mswa", 2.0), "mswa4": ("mswa", 4.0),
         "sra": ("sra", 1.7, 0.3), "restarts": ("restarts", 0.1)}
TARGETS = (1e-2, 1e-3, 1e-4)


def line_network(name):
    with gzip.open(os.path.join(DATA, f"{name}.json.gz"), "rt", encoding="utf-8") as f:
        data = json.load(f)
    net = la.Network.from_lines(data["alignments"], data["freqs"],
                                np.asarray(data["travel_time_mat"], np.float32))
    demand = np.asarray(data["demands_mat"], np.float32)
    return net, demand, range(1, demand.shape[0]), 120.0


def gtfs_network():
    from lumo import gtfs
    net = gtfs.load(os.path.join(DATA, "gtfs", "kuopio.zip"), "2017-03-14", "07:00", "09:00")
    demand = gtfs.gravity_demand(net, total=20000.0)
    return net, np.asarray(demand, np.float32), None, None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-iters", type=int, default=150)
    ap.add_argument("--msa-iters", type=int, default=1500)
    ap.add_argument("--networks", default="kuopio,cairns,samtrans,sao_paulo,gtfs_kuopio")
    ap.add_argument("--rules", default=",".join(RULES))
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    print(f"max_iters {args.max_iters} (msa {args.msa_iters}), threads {args.threads}, load average "
          f"{os.getloadavg()[0]:.2f}")
    for name in args.networks.split(","):
        if name == "gtfs_kuopio":
            if not os.path.exists(os.path.join(DATA, "gtfs", "kuopio.zip")):
                print(f"{name}: feed not found, skipped")
                continue
            net, demand, dsts, period = gtfs_network()
        else:
            if not os.path.exists(os.path.join(DATA, f"{name}.json.gz")):
                print(f"{name}: not found, skipped")
                continue
            net, demand, dsts, period = line_network(name)
        times = []
        for _ in range(3):
            t0 = time.process_time()
            la.assign(net, demand, dsts, threads=args.threads)
            times.append(time.process_time() - t0)
        one = sorted(times)[1]
        print(f"\n{name}: {net.n_nodes} nodes, {net.n_arcs} arcs (one uncongested "
              f"assignment: median of 3; load average {os.getloadavg()[0]:.2f})")
        print(f"{'rule':<10}" + "".join(f"{'gap ' + format(t, '.0e'):>20}" for t in TARGETS)
              + f"{'last gap':>12}")
        for rule in args.rules.split(","):
            stamps = []
            start = time.process_time()

            def progress(k, gap, stamps=stamps, start=start):
                stamps.append((gap, time.process_time() - start))

            la.assign_congested(net, demand, 100.0, period=period, decay=RULES[rule],
                                tol=min(TARGETS), destinations=dsts, threads=args.threads,
                                max_iters=args.msa_iters if rule == "msa" else args.max_iters,
                                progress=progress)
            cells = []
            for target in TARGETS:
                hit = next((k for k, (g, _) in enumerate(stamps, 1) if g <= target), None)
                cells.append("-" if hit is None else f"{hit} ({stamps[hit - 1][1] / one:.0f}x)")
            print(f"{rule:<10}" + "".join(f"{c:>20}" for c in cells)
                  + f"{stamps[-1][0]:>12.2e}  ({len(stamps)} iterations, load "
                  f"{os.getloadavg()[0]:.2f})", flush=True)


if __name__ == "__main__":
    main()
