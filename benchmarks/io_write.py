"""Writing a modeller's files on Kuopio, as ratios of the assignment's time.

Kuopio feed (City of Kuopio, CC BY 4.0), 07:00-09:00 on 2017-03-14, zones =
stops. Per round, interleaved: the assignment with components, write_omx,
write_layers, network.save and Network.load. Prints the medians (wall and
CPU time), each as a ratio of the assignment's, the file sizes and the load
average.

    .venv/bin/python benchmarks/io_write.py [path/to/kuopio.zip] [--rounds 5]
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from collections.abc import Callable

from lumo import arrays, gtfs, io


def timed(fn: Callable[[], object]) -> tuple[float, float]:
    w, c = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - w, time.process_time() - c


def main() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "shared", "data", "gtfs", "kuopio.zip")
    ap = argparse.ArgumentParser()
    ap.add_argument("feed", nargs="?", default=default)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    net = gtfs.load(args.feed, "2017-03-14", "07:00", "09:00")
    demand = gtfs.gravity_demand(net)
    capacity = 100 * net.window_minutes
    result = arrays.assign(net, demand, components=True)
    with tempfile.TemporaryDirectory() as d:
        paths = {"omx": os.path.join(d, "skims.omx"), "gpkg": os.path.join(d, "net.gpkg"),
                 "npz": os.path.join(d, "net.npz")}
        steps: dict[str, Callable[[], object]] = {
            "assign (components)": lambda: arrays.assign(net, demand, components=True),
            "write_omx": lambda: io.write_omx(paths["omx"], net, result),
            "write_layers": lambda: io.write_layers(paths["gpkg"], net, result,
                                                    capacity=capacity, demand=demand),
            "network.save": lambda: net.save(paths["npz"]),
            "Network.load": lambda: arrays.Network.load(paths["npz"]),
        }
        times: dict[str, list[tuple[float, float]]] = {k: [] for k in steps}
        for _ in range(args.rounds):
            for name, fn in steps.items():
                times[name].append(timed(fn))
        sizes = {k: os.path.getsize(p) for k, p in paths.items()}
    base_w = statistics.median(t[0] for t in times["assign (components)"])
    base_c = statistics.median(t[1] for t in times["assign (components)"])
    print(f"Kuopio: {net.n_stops} zones, {net.n_arcs} arcs; median of {args.rounds} "
          f"interleaved rounds; load average {os.getloadavg()[0]:.2f}")
    print(f"{'step':22} {'wall s':>8} {'CPU s':>8} {'wall ratio':>11} {'CPU ratio':>10}")
    for name, ts in times.items():
        w = statistics.median(t[0] for t in ts)
        c = statistics.median(t[1] for t in ts)
        print(f"{name:22} {w:8.3f} {c:8.3f} {w / base_w:11.2f} {c / base_c:10.2f}")
    for k, v in sizes.items():
        print(f"file {k}: {v / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
