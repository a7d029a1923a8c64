"""CPU-time ratio of two installs of lumo on one uncongested line-form assignment,
measured in interleaved rounds on a single thread.

Usage: python benchmarks/compare_installs.py DIR_A DIR_B [path/to/network.json.gz] [--rounds N]

DIR_A and DIR_B each hold a `lumo` package folder (copy one out of site-packages
before rebuilding). Each round times both in fresh processes, A then B; the
script prints B/A per round and their median. CPU time of one thread is far
less disturbed by other load than wall time; run the script with A and B the
same install once to see the noise of the machine.
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
lumo.mat_linear_assign(*args)  # warm-up
best = float("inf")
for _ in range(3):
    t = time.process_time()
    lumo.mat_linear_assign(*args)
    best = min(best, time.process_time() - t)
print(best)
"""


def cpu_time(site, path):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-S", "-c", CHILD, os.path.abspath(site), path], env=env,
                         capture_output=True, text=True, check=True)
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
    a, b = argv[:2]
    path = argv[2] if len(argv) > 2 else DEFAULT
    ratios = []
    for _ in range(rounds):
        ta, tb = cpu_time(a, path), cpu_time(b, path)
        ratios.append(tb / ta)
    print(f"network: {os.path.basename(path)}, one thread, CPU time of B / A")
    print("per round: " + ", ".join(f"{r:.3f}" for r in ratios))
    print(f"median: {statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
