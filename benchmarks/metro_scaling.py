"""Per-destination time against network size, and peak memory, on the
synthetic metropolitan network (benchmarks/metro.py) at a quarter, half and
the full size.

    python benchmarks/metro_scaling.py [--dests 100] [--rounds 3]

Each size runs in a fresh process at one thread: lumo.arrays.assign towards
--dests zones spread over the network, the least CPU time of --rounds calls,
divided by the destinations; then the growth of the process's peak resident
size over one whole skim (every zone with demand, sums only) after the network
and demand were built, measured before any other call. Printed: the time per destination and its ratio to the
quarter size's, beside the ratio of the arcs, and the peak growth, with the
load average. Not a test.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, resource, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import metro
import lumo.arrays as la
scale, n_dests, rounds = float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
if sys.argv[5] == "generate":  # in a process of its own: its temporaries would raise the peak
    np.savez(sys.argv[6], **metro.generate(seed=7, scale=scale))
    sys.exit()
g = dict(np.load(sys.argv[6]))
net, demand = metro.arrays_network(la, g)
del g
z = demand.shape[0]
dests = np.linspace(0, z - 1, min(n_dests, z)).astype(np.int64)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
la.assign(net, demand)  # the whole skim first: nothing before it has raised the peak
grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
best = float("inf")
for _ in range(rounds):
    t = time.process_time()
    la.assign(net, demand, dests, threads=1)
    best = min(best, time.process_time() - t)
print(json.dumps({"per_dest": best / dests.size, "arcs": int(net.n_arcs),
                  "nodes": int(net.n_nodes), "zones": z, "peak_growth_kb": grew}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dests", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} at the start")
    rows = {}
    with tempfile.TemporaryDirectory() as tmp:
        for scale in (0.25, 0.5, 1.0):
            env = dict(os.environ, RAYON_NUM_THREADS="1")
            saved = os.path.join(tmp, f"metro-{scale}.npz")
            outs = [subprocess.run([sys.executable, "-c", CHILD, str(HERE), str(scale),
                                    str(args.dests), str(args.rounds), step, saved], env=env,
                                   check=True, capture_output=True, text=True).stdout
                    for step in ("generate", "measure")]
            rows[scale] = json.loads(outs[1])
    q = rows[0.25]
    print(f"{'size':>7} {'nodes':>6} {'arcs':>7} {'zones':>5} {'ms/dest':>8} {'÷ quarter':>9} "
          f"{'arcs ÷ quarter':>14} {'peak growth MB':>14}")
    for scale, r in rows.items():
        print(f"{scale:7.2f} {r['nodes']:6} {r['arcs']:7} {r['zones']:5} "
              f"{r['per_dest'] * 1e3:8.2f} {r['per_dest'] / q['per_dest']:9.2f} "
              f"{r['arcs'] / q['arcs']:14.2f} {r['peak_growth_kb'] / 1024:14.1f}")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
