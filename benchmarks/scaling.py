"""Timing ratios on a real line network: thread scaling and the cost of one
congested iteration relative to one uncongested assignment.

Usage: python benchmarks/scaling.py [path/to/network.json.gz]

Reports ratios measured in one run; absolute times on a shared machine are noise.
"""
import gzip
import json
import os
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT = os.path.join(HERE, "..", "..", "shared", "data", "kuopio.json.gz")


def best_of(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def measure(path):
    import lumo
    with gzip.open(path, "rt") as f:
        net = json.load(f)
    args = (net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"])
    warnings.simplefilter("ignore", RuntimeWarning)
    unc = best_of(lambda: lumo.mat_linear_assign(*args))
    # tol = 0 never stops on the gap, so each call runs exactly max_iters iterations
    one = best_of(lambda: lumo.mat_linear_congested_assign(*args, 7200.0, tol=0.0, max_iters=1))
    six = best_of(lambda: lumo.mat_linear_congested_assign(*args, 7200.0, tol=0.0, max_iters=6))
    return {"uncongested": unc, "iteration": (six - one) / 5}


def main():
    path = sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("--") else DEFAULT
    if "--child" in sys.argv:
        print(json.dumps(measure(path)))
        return
    results = {}
    cpus = os.cpu_count() or 1
    for threads in sorted({1, 2, cpus}):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, path, "--child"], env=env,
                             capture_output=True, text=True, check=True).stdout
        results[threads] = json.loads(out)
    base = results[1]
    print(f"network: {os.path.basename(path)}")
    for threads, r in results.items():
        print(f"threads {threads:>2}: uncongested speed-up {base['uncongested'] / r['uncongested']:.2f}, "
              f"congested-iteration speed-up {base['iteration'] / r['iteration']:.2f}, "
              f"one congested iteration = {r['iteration'] / r['uncongested']:.2f} uncongested calls")


if __name__ == "__main__":
    main()
