"""How building a network from GTFS grows with the feed, and what it costs next to an assignment.

Usage: python benchmarks/gtfs_load.py [path/to/kuopio.zip] [--copies 1 4 16]

Writes feeds that hold the Kuopio feed k times over (each copy its own
stops, further east, and its own trips) and times `lumo.gtfs.load`
on each against the single feed, then times one uncongested assignment of
the single feed. Prints ratios of one run, never absolute claims: the
network build should grow about in proportion to the feed, and take a small
part of an assignment.
"""

import argparse
import io
import os
import tempfile
import time
import zipfile

import pandas as pd

from lumo import arrays, gtfs

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_FEED = os.path.join(HERE, "..", "..", "shared", "data", "gtfs", "kuopio.zip")
ARGS = ("2017-03-14", "07:00", "09:00")

# the id columns of each file that must differ between copies
IDS = {
    "stops.txt": ["stop_id", "parent_station"],
    "routes.txt": ["route_id"],
    "trips.txt": ["route_id", "trip_id"],
    "stop_times.txt": ["trip_id", "stop_id"],
    "frequencies.txt": ["trip_id"],
}


def replicate(src, copies, folder):
    path = os.path.join(folder, f"feed_x{copies}.zip")
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
        for name in zin.namelist():
            df = pd.read_csv(io.BytesIO(zin.read(name)), dtype=str, keep_default_na=False)
            if name not in IDS:
                zout.writestr(name, df.to_csv(index=False))
                continue
            parts = []
            for k in range(copies):
                part = df.copy()
                for col in IDS[name]:
                    if col in part:
                        part[col] = part[col].where(part[col] == "", part[col] + f"~{k}")
                if name == "stops.txt":
                    part["stop_lon"] = (part["stop_lon"].astype(float) + 2.0 * k).map("{:.6f}".format)
                parts.append(part)
            zout.writestr(name, pd.concat(parts).to_csv(index=False))
    return path


def timed(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("feed", nargs="?", default=DEFAULT_FEED)
    parser.add_argument("--copies", type=int, nargs="+", default=[1, 4, 16])
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = None
        for k in opts.copies:
            path = replicate(opts.feed, k, folder)
            seconds, net = timed(lambda: gtfs.load(path, *ARGS))
            if base is None:
                base, base_k, base_net = seconds, k, net
            print(f"x{k:<3} {net.n_nodes:7d} nodes {net.n_arcs:7d} arcs: load takes "
                  f"{seconds / base:5.2f} x the x{base_k} feed's (feed {k / base_k:.0f} x as large)")
    demand = gtfs.gravity_demand(base_net)
    seconds, _ = timed(lambda: arrays.assign(base_net, demand, threads=1), repeat=1)
    print(f"x{base_k}: load = {base / seconds:.2f} x one uncongested assignment on one thread")


if __name__ == "__main__":
    main()
