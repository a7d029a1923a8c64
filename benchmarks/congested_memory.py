"""Peak memory of one congested run on the synthetic metropolitan network
(benchmarks/metro.py), for two installs of lumo measured in the same run, each
in a fresh process; and whether both give the same bits.

    python benchmarks/congested_memory.py BEFORE_SITE_DIR [AFTER_SITE_DIR] [--scale 1.0]

BEFORE_SITE_DIR / AFTER_SITE_DIR: folders holding a `lumo` package (e.g. a copy
of site-packages/lumo taken before a rebuild, and .venv's site-packages).
Prints each run's peak resident memory less that of the process before the run,
and their ratio. Not a test.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import hashlib, json, resource, sys
sys.path.insert(0, sys.argv[1])
sys.path.insert(1, sys.argv[2])
import numpy as np
import lumo.arrays as la
import metro
g = metro.generate(7, float(sys.argv[3]))
net, demand = metro.arrays_network(la, g)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = la.assign_congested(net, demand, 100.0, decay=0.5, max_iters=2, tol=0.0)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
digest = hashlib.sha256(np.asarray(r.flows).tobytes() + np.asarray(r.cost).tobytes()).hexdigest()
print(json.dumps({"mb": (peak - base) / 1024, "digest": digest, "gaps": r.convergence.gaps,
                  "zones": int(demand.shape[0]), "arcs": int(net.n_arcs),
                  "nodes": int(net.n_nodes)}))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("before")
    ap.add_argument("after", nargs="?", default=None)
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    after = args.after or os.path.dirname(os.path.dirname(__import__("lumo").__file__))
    out = {}
    for name, site in (("before", args.before), ("after", after)):
        p = subprocess.run([sys.executable, "-c", CHILD, site, HERE, str(args.scale)],
                           capture_output=True, text=True, check=True)
        out[name] = json.loads(p.stdout.strip().splitlines()[-1])
    b, a = out["before"], out["after"]
    print(f"metro scale {args.scale}: {b['zones']} zones, {b['nodes']} nodes, {b['arcs']} arcs; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"peak memory of the run: before {b['mb']:.0f} MB, after {a['mb']:.0f} MB, "
          f"ratio {a['mb'] / b['mb']:.2f}")
    print("same bits:", b["digest"] == a["digest"] and b["gaps"] == a["gaps"])


if __name__ == "__main__":
    main()
