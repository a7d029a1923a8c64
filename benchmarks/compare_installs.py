"""CPU-time ratio of two installs of lumo on one uncongested line-form assignment,
measured in interleaved rounds on a single thread.

Usage: python benchmarks/compare_installs.py DIR_A DIR_B [path/to/network.json.gz]
           [--rounds N] [--arrays]

DIR_A and DIR_B each hold a `lumo` package folder (copy one out of site-packages
before rebuilding). Each round times both in fresh processes, A then B; the
script prints B/A per round and their median. CPU time of one thread is far
less disturbed by other load than wall time; run the script with A and B the
same install once to see the noise of the machine. With --arrays the call
timed is lumo.arrays.assign on the same network (no list conversion: mostly
the search itself).
"""
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT = os.path.join(HERE, "..", "..", "shared", "data", "kuopio.json.gz")

CHILD = r"""
import gzip, json, sys, time, warnings
sys.path.insert(0, sys.argv[1])
import lumo
assert lumo.__file__.startswith(sys.argv[1]), lumo.__file__
warnings.simplefilter("ignore")
with gzip.open(sys.argv[2], "rt") as f:
    net = json.load(f)
args = (net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"])
call = lambda: lumo.mat_linear_assign(*args)
if sys.argv[3] == "arrays":
    import numpy as np
    import lumo.arrays as la
    network = la.Network.from_lines(args[0], args[1], np.asarray(args[2]))
    demand = np.asarray(args[3])
    call = lambda: la.assign(network, demand, threads=1)
call()  # warm-up
best = float("inf")
for _ in range(3):
    t = time.process_time()
    call()
    best = min(best, time.process_time() - t)
print(best)
"""


def cpu_time(site, path, mode):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    flags = ["-S"] if mode == "lists" else []  # lumo.arrays needs numpy from site-packages
    out = subprocess.run([sys.executable, *flags, "-c", CHILD, os.path.abspath(site), path, mode],
                         env=env, capture_output=True, text=True, check=True)
    return float(out.stdout)


def main():
    argv = sys.argv[1:]
    rounds = 6
    if "--rounds" in argv:
        i = argv.index("--rounds")
        rounds = int(argv[i + 1])
        del argv[i:i + 2]
    if len(argv) < 2:
        sys.exit(__doc__)
    mode = "lists"
    if "--arrays" in argv:
        argv.remove("--arrays")
        mode = "arrays"
    a, b = argv[:2]
    path = argv[2] if len(argv) > 2 else DEFAULT
    ratios = []
    load_before = os.getloadavg()[0]
    for _ in range(rounds):
        ta, tb = cpu_time(a, path, mode), cpu_time(b, path, mode)
        ratios.append(tb / ta)
    call = "lumo.arrays.assign" if mode == "arrays" else "mat_linear_assign"
    print(f"network: {os.path.basename(path)}, {call}, one thread, CPU time of B / A "
          f"(load average {load_before:.2f} before, {os.getloadavg()[0]:.2f} after)")
    print("per round: " + ", ".join(f"{r:.3f}" for r in ratios))
    print(f"median: {statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
