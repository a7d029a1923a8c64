"""How much of the interpreter lock lumo.arrays leaves to other Python threads.

A ticker thread sleeps 10 ms at a time and counts its wake-ups, first alone,
then while 8 threads call lumo.arrays.assign on Kuopio (feed: City of Kuopio,
CC BY 4.0) without pause. Rounds alternate, and the share printed is the
median over rounds of ticks-under-calls / ticks-alone: 1.00 means the calls
never kept the ticker waiting. Also printed: the part of one call spent
outside the lock-free native computation (checking, converting, building the
result), from lumo._arrays.timings().

Usage: python benchmarks/lock_share.py [path/to/kuopio.zip] [--seconds 5] [--rounds 3]
"""
import argparse
import os
import statistics
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_FEED = os.path.join(HERE, "..", "..", "shared", "data", "gtfs", "kuopio.zip")


def ticks(seconds, stop_at=None):
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.01)
        n += 1
    return n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("feed", nargs="?", default=DEFAULT_FEED)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--threads", type=int, default=8)
    a = ap.parse_args()
    import numpy as np
    import lumo.arrays as la
    import lumo.gtfs as gtfs
    from lumo import _arrays
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        net = gtfs.load(a.feed, "2017-03-14", "07:00", "09:00")
    demand = np.ones((net.n_stops, net.n_stops), np.float32)

    # one call: wall time against the native part's
    t0 = time.perf_counter()
    la.assign(net, demand)
    wall = time.perf_counter() - t0
    reading, computing = _arrays.timings()
    print(f"one call: {wall * 1e3:.1f} ms wall, {computing * 1e3:.1f} ms computing without "
          f"the lock, {reading * 1e3:.2f} ms reading the inputs, "
          f"{(wall - computing - reading) * 1e3:.1f} ms checking and building the result")

    shares, calls = [], []
    for _ in range(a.rounds):
        alone = ticks(a.seconds)
        stop = threading.Event()
        done = [0]

        def work():
            while not stop.is_set():
                la.assign(net, demand)
                done[0] += 1

        workers = [threading.Thread(target=work) for _ in range(a.threads)]
        c0 = time.process_time()
        for w in workers:
            w.start()
        busy = ticks(a.seconds)
        stop.set()
        for w in workers:
            w.join()
        shares.append(busy / alone)
        calls.append((done[0], time.process_time() - c0))
    load = os.getloadavg()[0]
    print(f"ticker share under {a.threads} calling threads: median {statistics.median(shares):.3f} "
          f"(rounds: {', '.join(f'{s:.3f}' for s in shares)}); calls per round "
          f"{[c for c, _ in calls]}, CPU s per round {[round(t, 1) for _, t in calls]}; "
          f"load average {load:.1f} on {os.cpu_count()} processors")


if __name__ == "__main__":
    main()
