"""Peak memory of a Kuopio skim: the exact module's lists against lumo.arrays.

    python benchmarks/memory.py [path/to/kuopio.json.gz]

Each variant runs in a fresh interpreter, which reports its peak resident
size after loading the network (the baseline) and after the call:

- lists: `lumo.linear_assign` on the expanded arc form, every destination's
  labels and flows returned as lists;
- arrays, per destination: `lumo.arrays.assign(..., per_destination=True)`,
  the same labels and flows as float32 arrays;
- arrays, sums only: `lumo.arrays.assign(...)`, arc flows and the cost matrix.

Printed: the growth of the peak over the baseline, and its ratio to the lists
variant. Not a test.
"""
import subprocess
import sys
from pathlib import Path

DEFAULT = Path(__file__).resolve().parents[2] / "shared" / "data" / "kuopio.json.gz"

CHILD = """
import gzip, json, resource, sys
import numpy as np
import lumo, lumo.arrays as la
data = json.load(gzip.open(sys.argv[1], "rt"))
net = la.Network.from_lines(data["alignments"], data["freqs"], np.asarray(data["travel_time_mat"]))
demand = np.asarray(data["demands_mat"])
s = demand.shape[0]
variant = sys.argv[2]
if variant == "lists":
    n = net.n_nodes
    flat = np.zeros((s - 1, n))
    flat[:, :s] = demand[:, 1:].T
    flat[np.arange(s - 1), np.arange(1, s)] = 0.0
    args = (net.tail.tolist(), net.head.tolist(), net.freq.tolist(), net.cost.tolist(),
            flat.ravel().tolist(), list(range(1, s)))
    del flat
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
base = peak()
if variant == "lists":
    result = lumo.linear_assign(*args)
else:
    result = la.assign(net, demand, range(1, s), per_destination=variant == "per_destination")
print(base, peak())
"""


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(DEFAULT)
    growth = {}
    for variant in ("lists", "per_destination", "sums"):
        out = subprocess.run([sys.executable, "-c", CHILD, path, variant], check=True,
                             capture_output=True, text=True).stdout.split()
        growth[variant] = int(out[1]) - int(out[0])
    for variant, grew in growth.items():
        print(f"{variant:16} peak growth {grew / 1024:8.1f} MB, / lists = "
              f"{grew / growth['lists']:.3f}")


if __name__ == "__main__":
    main()
