"""Bit-for-bit comparison of the results of two installs of lumo.

Usage: python benchmarks/compare_results.py DIR_A DIR_B [--data DIR] [--quick]

DIR_A and DIR_B each hold a `lumo` package folder (copy one out of
site-packages before rebuilding). Each install computes, in fresh processes at
1 and at 2 threads, on the shared line networks, on the seeded synthetic
metropolitan network and on seeded random arc networks full of cost ties:

- the four list functions (labels, flows, cost matrices, totals; the
  congested ones for a few iterations);
- lumo.arrays.assign with and without per-destination blocks and components,
  and lumo.arrays.assign_congested (gaps included).

Every float array is compared by its bytes, so -0.0 and NaN payloads count.
Prints the first differing value of each result that differs and exits 1 if
any does. Not a test: it needs the data folder and two installs.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

CHILD = r"""
import gzip, json, os, sys, warnings
sys.path.insert(0, sys.argv[1])
import numpy as np
import lumo, lumo.arrays as la
assert lumo.__file__.startswith(sys.argv[1]), lumo.__file__
sys.path.insert(0, sys.argv[4])
import metro
warnings.simplefilter("ignore")
data, out, quick = sys.argv[2], sys.argv[3], sys.argv[5] == "1"
threads = int(os.environ["RAYON_NUM_THREADS"])
res = {}

def keep(name, value):
    res[name] = np.asarray(value, dtype=np.float32)

def arrays_runs(tag, net, demand, dests):
    for t in sorted({1, threads}):
        a = la.assign(net, demand, threads=t)
        keep(f"{tag}/assign/t{t}/flows", a.flows); keep(f"{tag}/assign/t{t}/cost", a.cost)
        keep(f"{tag}/assign/t{t}/total", a.total_cost)
    a = la.assign(net, demand, dests, per_destination=True, components=True, threads=threads)
    for k in ("flows", "cost", "labels", "dest_flows", "wait", "ride", "walk", "boardings"):
        keep(f"{tag}/assign_full/{k}", getattr(a, k))
    keep(f"{tag}/assign_full/total", a.total_cost)
    c = la.assign_congested(net, demand, 40.0, tol=0.0, max_iters=3, destinations=dests,
                            components=True, threads=threads)
    for k in ("flows", "cost", "wait", "ride", "walk", "boardings"):
        keep(f"{tag}/congested/{k}", getattr(c, k))
    keep(f"{tag}/congested/total", c.total_cost); keep(f"{tag}/congested/gaps", c.convergence.gaps)

names = ["cairns", "sao_paulo"] if quick else ["kuopio", "samtrans", "cairns", "sao_paulo"]
for name in names:
    with gzip.open(os.path.join(data, name + ".json.gz"), "rt") as fh:
        d = json.load(fh)
    args = (d["alignments"], d["freqs"], d["travel_time_mat"], d["demands_mat"])
    cost, flows, total = lumo.mat_linear_assign(*args)
    keep(f"{name}/mat/cost", cost); keep(f"{name}/mat/flows", flows); keep(f"{name}/mat/total", total)
    cost, flows, total = lumo.mat_linear_congested_assign(*args, 40.0, tol=0.0, max_iters=3)
    keep(f"{name}/matc/cost", cost); keep(f"{name}/matc/flows", flows); keep(f"{name}/matc/total", total)
    net = la.Network.from_lines(d["alignments"], d["freqs"], np.asarray(d["travel_time_mat"]))
    demand = np.asarray(d["demands_mat"])
    s = demand.shape[0]
    dests = np.arange(1, s, max(1, s // 40))
    # the list form over the same arcs, a few destinations
    n = net.n_nodes
    flat = np.zeros((dests.size, n))
    flat[:, :s] = demand[:, dests].T
    flat[np.arange(dests.size), dests] = 0.0
    la_args = (net.tail.tolist(), net.head.tolist(), net.freq.tolist(), net.cost.tolist(),
               flat.ravel().tolist(), dests.tolist())
    labels, fl = lumo.linear_assign(*la_args)
    keep(f"{name}/lin/labels", labels); keep(f"{name}/lin/flows", fl)
    labels, fl = lumo.linear_congested_assign(*la_args, 40.0, tol=0.0, max_iters=3)
    keep(f"{name}/linc/labels", labels); keep(f"{name}/linc/flows", fl)
    arrays_runs(name, net, demand, dests)

scale = 0.25 if quick else 1.0
net_m, demand_m = metro.arrays_network(la, metro.generate(seed=7, scale=scale))
a = la.assign(net_m, demand_m, np.arange(0, demand_m.shape[0], 25), components=True,
              threads=threads)
for k in ("flows", "cost", "wait", "ride", "walk", "boardings"):
    keep(f"metro/assign/{k}", getattr(a, k))
keep("metro/assign/total", a.total_cost)

# Random arc networks with many equal costs and zero-cost arcs: ties decide.
rng = np.random.default_rng(16)
for r in range(40 if quick else 120):
    nn = int(rng.integers(3, 40)); m = int(rng.integers(1, 6 * nn))
    tail = rng.integers(0, nn, m); head = rng.integers(0, nn, m)
    cost = rng.integers(0, 4, m).astype(np.float32) * np.float32(0.5)
    freq = np.where(rng.random(m) < 0.5, np.inf, rng.integers(0, 5, m) / 4.0).astype(np.float32)
    z = int(rng.integers(1, nn + 1))
    demand = np.where(rng.random((z, z)) < 0.5, rng.integers(0, 9, (z, z)), 0).astype(np.float32)
    net = la.Network(tail, head, freq, cost, n_nodes=nn)
    a = la.assign(net, demand, np.arange(z), per_destination=True, components=True,
                  threads=threads)
    for k in ("flows", "cost", "labels", "dest_flows", "wait", "ride", "walk", "boardings"):
        keep(f"random{r}/{k}", getattr(a, k))
    dsts = rng.integers(0, nn, int(rng.integers(1, 5))).tolist()
    used = int(max(tail.max(), head.max())) + 1  # the list form's node count
    dsts = [v % used for v in dsts]
    dem = rng.integers(0, 5, len(dsts) * used).astype(float).tolist()
    labels, fl = lumo.linear_assign(tail.tolist(), head.tolist(), freq.tolist(), cost.tolist(),
                                    dem, dsts)
    keep(f"random{r}/lin/labels", labels); keep(f"random{r}/lin/flows", fl)
np.savez(out, **res)
"""


def run(site: str, data: str, threads: int, out: str, quick: bool) -> None:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", CHILD, os.path.abspath(site), data, out,
                           str(ROOT / "benchmarks"), "1" if quick else "0"], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{site} at {threads} threads failed:\n{done.stderr[-2000:]}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--data", default=str(ROOT.parent / "shared" / "data"))
    ap.add_argument("--quick", action="store_true", help="the two small networks only")
    args = ap.parse_args()

    import numpy as np

    differing = compared = 0
    with tempfile.TemporaryDirectory() as tmp:
        for threads in (1, 2):
            files = []
            for tag, site in (("a", args.a), ("b", args.b)):
                path = os.path.join(tmp, f"{tag}{threads}.npz")
                run(site, args.data, threads, path, args.quick)
                files.append(np.load(path))
            ra, rb = files
            missing = sorted(set(ra.files) ^ set(rb.files))
            if missing:
                print(f"threads {threads}: results only one install gives: {missing[:5]}")
                differing += len(missing)
            for key in sorted(set(ra.files) & set(rb.files)):
                x, y = ra[key], rb[key]
                compared += 1
                if x.shape != y.shape or x.tobytes() != y.tobytes():
                    differing += 1
                    if x.shape != y.shape:
                        print(f"threads {threads}: {key}: shapes {x.shape} and {y.shape}")
                        continue
                    xb, yb = x.ravel().view(np.uint32), y.ravel().view(np.uint32)
                    i = int(np.flatnonzero(xb != yb)[0])
                    print(f"threads {threads}: {key}[{i}]: {x.ravel()[i]!r} and {y.ravel()[i]!r} "
                          f"({int((xb != yb).sum())} of {x.size} differ)")
    print(f"{compared} results compared at 1 and 2 threads, {differing} differ")
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
