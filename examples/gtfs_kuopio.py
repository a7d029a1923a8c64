"""From a GTFS feed to loads and skims: Kuopio's buses, Tuesday 2017-03-14, 07:00-09:00.

Usage: python examples/gtfs_kuopio.py [path/to/kuopio.zip] [--report loads.html] [--threads N]

Reads the feed, builds the network with and without walking transfers, puts
a synthetic gravity demand of 20,000 trips between the stops, assigns it
uncongested and congested, and prints the network's size, the demand without
a path, the passenger-minutes split into waiting, riding and walking, the
most loaded segments and the run times. Needs the gtfs extra (numpy, pandas,
scipy: pip install '.[gtfs]' in a checkout, 'lumo-transit[gtfs]' from an index);
--report (the congested loads on a map, the busiest lines, the convergence)
also needs the plot extra (plotly).

Feed: City of Kuopio, CC BY 4.0.
"""

import argparse
import os
import time

import numpy as np

from lumo import arrays, gtfs

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_FEED = os.path.join(HERE, "..", "..", "shared", "data", "gtfs", "kuopio.zip")
DATE, START, END = "2017-03-14", "07:00", "09:00"
SEATS = 100  # places per bus
TOL = 0.01   # relative gap of the congested run
MAX_ITERS = 100


def unreached_share(assignment, demand):
    return float(demand[np.isinf(assignment.cost)].sum() / demand.sum())


def split(assignment, demand):
    """Passenger-minutes of waiting, riding and walking over the pairs with a path."""
    reached = np.isfinite(assignment.cost)
    return {name: float((demand * np.where(reached, getattr(assignment, name), 0)).sum())
            for name in ("wait", "ride", "walk")}


def print_split(title, assignment, demand):
    parts = split(assignment, demand)
    total = assignment.total_cost
    print(f"{title}: {total:,.0f} passenger-minutes = "
          + " + ".join(f"{name} {v:,.0f} ({v / total:.0%})" for name, v in parts.items()))


def print_segments(title, table, n=8):
    print(title)
    print(f"  {'line':<6} {'dir':>3}  {'from stop':<22} {'to stop':<22} {'load':>7} {'/ capacity':>10}")
    for r in table.nlargest(n, "load").itertuples():
        print(f"  {r.route_short_name:<6} {r.direction_id:>3}  {r.from_stop_name[:22]:<22} "
              f"{r.to_stop_name[:22]:<22} {r.load:7.1f} {r.load_ratio:10.2f}")


def report(net, crowded, demand, loads, path):
    try:
        from lumo.report import write_report
    except ImportError:
        print(f"(plotly is not installed: pip install '.[plot]'; no page written to {path})")
        return
    write_report(path, net, crowded, demand, segments=loads,
                 title="Kuopio buses, 2017-03-14 07:00-09:00 (GTFS: City of Kuopio, CC BY 4.0)",
                 demand_text="a gravity demand of 20,000 trips between the stops")
    print(f"report page written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("feed", nargs="?", default=DEFAULT_FEED)
    parser.add_argument("--report", metavar="HTML", help="write the congested run's report page")
    parser.add_argument("--threads", type=int, default=None)
    opts = parser.parse_args()
    t_start = time.perf_counter()

    t0 = time.perf_counter()
    net = gtfs.load(opts.feed, DATE, START, END)
    t_load = time.perf_counter() - t0
    bare = gtfs.load(opts.feed, DATE, START, END, walk_distance=0)
    demand = gtfs.gravity_demand(net, total=20_000.0)
    kinds = net.arcs["kind"].value_counts()
    print(f"Kuopio buses, {DATE} {START}-{END}: {net.n_stops} stops, {len(net.lines)} lines "
          f"({net.lines.n_trips.sum():.0f} departures), {net.n_nodes} nodes, {net.n_arcs} arcs "
          f"({kinds['walk']} walking); {demand.sum():,.0f} trips")
    print("GTFS feed: City of Kuopio, CC BY 4.0")
    print(f"feed read and network built in {t_load:.2f} s")

    t0 = time.perf_counter()
    free = arrays.assign(net, demand, components=True, threads=opts.threads)
    t_free = time.perf_counter() - t0
    without = arrays.assign(bare, demand, threads=opts.threads)
    print(f"demand without a path: {unreached_share(without, demand):.2%} without walking "
          f"transfers, {unreached_share(free, demand):.2%} with them (walks under 250 m)")
    print_split("uncongested", free, demand)

    capacity = SEATS  # places per vehicle; the window is the period of the demand
    t0 = time.perf_counter()
    crowded = arrays.assign_congested(net, demand, capacity, decay="msa", tol=TOL,
                                      max_iters=MAX_ITERS, components=True, threads=opts.threads)
    t_crowded = time.perf_counter() - t0
    conv = crowded.convergence
    state = "converged" if conv.converged else "stopped"
    print_split(f"congested ({SEATS} places a bus, {state} after {conv.iterations} iterations, "
                f"gap {conv.gaps[-1]:.4f})", crowded, demand)
    print()
    loads_free = gtfs.segment_loads(net, free, capacity)
    loads = gtfs.segment_loads(net, crowded, capacity)
    print_segments("Most loaded segments, uncongested:", loads_free)
    print_segments("Most loaded segments, congested:", loads)
    busiest = (gtfs.stop_boardings(net, crowded).groupby(["stop_id", "stop_name"]).boardings.sum()
               .nlargest(5))
    print("Busiest stops (boardings, congested): "
          + ", ".join(f"{name} {v:.0f}" for (_, name), v in busiest.items()))
    if opts.report:
        report(net, crowded, demand, loads, opts.report)
    total = time.perf_counter() - t_start
    print(f"run times: network {t_load:.2f} s, uncongested assignment {t_free:.2f} s, "
          f"congested {t_crowded:.2f} s, whole demo {total:.2f} s "
          f"(network = {t_load / total:.1%} of the demo)")


if __name__ == "__main__":
    main()
