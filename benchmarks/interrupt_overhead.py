"""What watching for Ctrl-C costs: the same calls made from the main thread (where
lumo computes on a helper thread and the caller polls for signals) and from another
thread (where it computes on the calling thread, as before), interleaved.

Usage: python benchmarks/interrupt_overhead.py [path/to/network.json.gz]

Prints main-thread time / other-thread time per pool size; 1.00 means no cost.
"""
import gzip
import json
import os
import subprocess
import sys
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT = os.path.join(HERE, "..", "..", "shared", "data", "kuopio.json.gz")


def timed(fn, repeat):
    t0 = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - t0) / repeat


def in_thread(fn, repeat):
    out = []
    worker = threading.Thread(target=lambda: out.append(timed(fn, repeat)))
    worker.start()
    worker.join()
    return out[0]


def measure(path):
    import lumo
    with gzip.open(path, "rt") as f:
        net = json.load(f)
    args = (net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"])
    warnings.simplefilter("ignore", RuntimeWarning)
    calls = {
        "uncongested": (lambda: lumo.mat_linear_assign(*args), 1),
        "congested, 3 iterations": (
            lambda: lumo.mat_linear_congested_assign(*args, 7200.0, tol=0.0, max_iters=3), 1),
        "tiny call": (lambda: lumo.linear_assign([0, 1], [1, 2], [1.0, 1.0], [1.0, 1.0],
                                                 [1.0, 0.0, 0.0], [2]), 20000),
    }
    ratios = {}
    for name, (fn, repeat) in calls.items():
        main, other = [], []
        for _ in range(3):
            main.append(timed(fn, repeat))
            other.append(in_thread(fn, repeat))
        ratios[name] = min(main) / min(other)
    return ratios


def main():
    path = sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("--") else DEFAULT
    if "--child" in sys.argv:
        print(json.dumps(measure(path)))
        return
    print(f"network: {os.path.basename(path)}; main-thread time / other-thread time")
    for threads in sorted({1, 2, os.cpu_count() or 1}):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, path, "--child"], env=env,
                             capture_output=True, text=True, check=True).stdout
        ratios = json.loads(out)
        print(f"threads {threads:>2}: " + ", ".join(f"{k} {v:.2f}" for k, v in ratios.items()))


if __name__ == "__main__":
    main()
