"""Bit-for-bit comparison of the results of two installs of lumo.

Usage: python tools/compare_results.py DIR_A DIR_B [network.json.gz ...] [--iters N]

DIR_A and DIR_B each hold a `lumo` package folder (copy one out of
site-packages before rebuilding). For every network (by default the four
shared ones) each install computes, in its own process: the exact module's
line-form assignment and congested assignment, and lumo.arrays' assignment
(with components) and congested assignment (with components) on the same
network. Every float result is compared by its bits: flows, costs, total costs,
components and the gaps of each iteration. Exits 1 on any difference.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data")
DEFAULT = [os.path.join(DATA, f"{name}.json.gz")
           for name in ("cairns", "kuopio", "samtrans", "sao_paulo")]

CHILD = r"""
import gzip, json, sys, warnings
import numpy as np
sys.path.insert(0, sys.argv[1])
import lumo
from lumo import arrays
assert lumo.__file__.startswith(sys.argv[1]), lumo.__file__
warnings.simplefilter("ignore")
with gzip.open(sys.argv[2], "rt") as f:
    data = json.load(f)
iters = int(sys.argv[4])
args = (data["alignments"], data["freqs"], data["travel_time_mat"], data["demands_mat"])
out = {}
def keep(prefix, **values):
    for k, v in values.items():
        if v is not None:
            out[f"{prefix}.{k}"] = np.asarray(v, dtype=np.float32)
cost, flows, total = lumo.mat_linear_assign(*args)[:3]
keep("exact", cost=cost, flows=flows, total=[total])
capacity = 20.0
cost, flows, total = lumo.mat_linear_congested_assign(*args, capacity, max_iters=iters)[:3]
keep("exact_congested", cost=cost, flows=flows, total=[total])
net = arrays.Network.from_lines(data["alignments"], data["freqs"],
                                np.asarray(data["travel_time_mat"], np.float32))
demand = np.asarray(data["demands_mat"], np.float32)
r = arrays.assign(net, demand, components=True)
keep("arrays", flows=r.flows, cost=r.cost, total=[r.total_cost], wait=r.wait, ride=r.ride,
     walk=r.walk, boardings=r.boardings)
c = arrays.assign_congested(net, demand, capacity, max_iters=iters, components=True)
keep("arrays_congested", flows=c.flows, cost=c.cost, total=[c.total_cost], wait=c.wait,
     ride=c.ride, walk=c.walk, boardings=c.boardings, gaps=c.convergence.gaps)
np.savez(sys.argv[3], **out)
"""


def dump(site, path, target, iters):
    subprocess.run([sys.executable, "-c", CHILD, os.path.abspath(site), path, target, str(iters)],
                   check=True)
    return np.load(target)


def main():
    argv = sys.argv[1:]
    iters = 10
    if "--iters" in argv:
        i = argv.index("--iters")
        iters = int(argv[i + 1])
        del argv[i:i + 2]
    if len(argv) < 2:
        sys.exit(__doc__)
    a, b = argv[:2]
    paths = argv[2:] or DEFAULT
    differ = 0
    with tempfile.TemporaryDirectory() as tmp:
        for path in paths:
            name = os.path.basename(path).split(".")[0]
            ra = dump(a, path, os.path.join(tmp, f"{name}.a.npz"), iters)
            rb = dump(b, path, os.path.join(tmp, f"{name}.b.npz"), iters)
            keys = sorted(set(ra.files) | set(rb.files))
            bad = [k for k in keys if k not in ra.files or k not in rb.files
                   or ra[k].shape != rb[k].shape
                   or not np.array_equal(ra[k].view(np.uint32), rb[k].view(np.uint32))]
            differ += len(bad)
            values = sum(ra[k].size for k in ra.files)
            print(f"{name}: {len(keys)} results, {values} values, "
                  + ("bit-identical" if not bad else "DIFFER: " + ", ".join(bad)))
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
