"""Uncongested and congested assignment of the Kuopio bus network (line form).

Usage: python examples/kuopio.py [path/to/kuopio.json.gz] [--plot out.png]

The file holds the weekday morning peak (07:00-09:00) of Kuopio's buses in
line form: alignments, departures per minute, travel times in minutes and a
synthetic demand in trips over the two hours.
"""

import argparse
import gzip
import json
import logging
import math
import os
import time
import warnings

import lumo

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "..", "..", "shared", "data", "kuopio.json.gz")

# Flows are trips in the 120-minute window and frequencies are per minute, so
# a boarding arc carries freq * capacity trips in the window when capacity is
# the vehicle's load times the window's length.
SEATS = 100
WINDOW_MIN = 120.0
CAPACITY = SEATS * WINDOW_MIN
# The weight of the newest assignment in the running average: a larger weight
# moves faster at first but levels off at a higher gap. With 0.1 the gap meets
# 0.003 after about 30 iterations; 0.002 takes about 50, 0.001 many more.
DECAY = 0.1
TOL = 0.003
MAX_ITERS = 200


def load(path):
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return json.load(f)


def segments(net):
    """(line label, from stop, to stop, arc index, line index) of every in-vehicle
    arc, in arc order."""
    out, base = [], 0
    for index, (line, stops) in enumerate(zip(net["lines"], net["alignments"])):
        label = line_label(line)
        for p in range(len(stops) - 1):
            # each line's run of arcs starts with a boarding arc; every segment
            # then begins with its in-vehicle arc, three arcs apart
            out.append((label, stops[p], stops[p + 1], base + 1 + 3 * p, index))
        base += 3 * len(stops) - 3
    return out


def line_label(line):
    # a route may run several stop sequences in one direction: they are separate lines
    return f"{line['route_short_name']} ({line['direction_id']})"


class Progress(logging.Handler):
    """Prints lumo's progress records and keeps the last one, which carries the
    outcome of the run (iterations, gap, tol, converged)."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.last = None

    def emit(self, record):
        self.last = record
        if hasattr(record, "iteration"):
            print(f"  iteration {record.iteration:3d}: gap {record.gap:.5f} ({record.seconds:.2f} s)",
                  flush=True)


def congested(net):
    """One congested run: (result, final progress record, seconds)."""
    logger, progress = logging.getLogger("lumo"), Progress()
    logger.addHandler(progress)
    logger.setLevel(logging.INFO)
    args = (net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"], CAPACITY)
    try:
        with warnings.catch_warnings():
            # the final record says whether it converged; no need for the warning too
            warnings.filterwarnings("ignore", "mat_linear_congested_assign: no convergence")
            t0 = time.perf_counter()
            result = lumo.mat_linear_congested_assign(*args, average_decay_factor=DECAY, tol=TOL,
                                                      max_iters=MAX_ITERS)
            seconds = time.perf_counter() - t0
    finally:
        logger.removeHandler(progress)
    return result, progress.last, seconds


def top_segments(net, flows, n=10):
    names = [s["name"] for s in net["stops"]]
    segs = sorted(segments(net), key=lambda s: flows[s[3]], reverse=True)[:n]
    return [(label, names[a], names[b], flows[arc]) for label, a, b, arc, _ in segs]


def print_table(title, rows):
    print(title)
    print(f"  {'line (dir)':<12} {'from stop':<26} {'to stop':<26} {'volume':>8}")
    for label, a, b, v in rows:
        print(f"  {label:<12} {a[:26]:<26} {b[:26]:<26} {v:8.1f}")
    print()


def plot(net, uncongested, congested_flows, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"(matplotlib is not installed: no plot written to {path})")
        return
    by_line = {}
    for _, _, _, arc, index in segments(net):
        by_line.setdefault(index, []).append(arc)
    busiest = sorted(by_line, key=lambda l: max(uncongested[a] for a in by_line[l]), reverse=True)[:4]
    fig, axes = plt.subplots(len(busiest), 1, figsize=(8, 2.4 * len(busiest)), squeeze=False)
    for ax, index in zip(axes[:, 0], busiest):
        arcs = by_line[index]
        ax.plot([uncongested[a] for a in arcs], label="uncongested")
        ax.plot([congested_flows[a] for a in arcs], label="congested")
        ax.axhline(net["freqs"][index] * CAPACITY, color="grey", linestyle="--", label="capacity")
        ax.set_title(f"line {line_label(net['lines'][index])}, {len(arcs) + 1} stops: load along the line")
        ax.set_xlabel("segment")
        ax.set_ylabel("trips")
        ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    print(f"plot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", nargs="?", default=DEFAULT_DATA)
    parser.add_argument("--plot", metavar="PNG", help="write loads along the busiest lines")
    opts = parser.parse_args()

    net = load(opts.data)
    n_stops = len(net["travel_time_mat"])
    positions = sum(len(s) for s in net["alignments"])
    n_arcs = sum(3 * len(s) - 3 for s in net["alignments"])
    demand = sum(sum(row) for row in net["demands_mat"])
    print(f"Kuopio buses, {net['meta']['window']}: {n_stops} stops, {len(net['alignments'])} lines, "
          f"{n_stops + positions} nodes, {n_arcs} arcs, {demand:.0f} trips")

    t0 = time.perf_counter()
    cost_mat, flows_u, total_u = lumo.mat_linear_assign(
        net["alignments"], net["freqs"], net["travel_time_mat"], net["demands_mat"])
    t_unc = time.perf_counter() - t0

    print(f"uncongested: total cost {total_u:,.0f} trip-minutes")
    print(f"congested ({SEATS} places per vehicle, decay {DECAY}, tol {TOL}):")
    (_, flows_c, total_c), outcome, t_con = congested(net)
    iters = max(outcome.iterations, 1)
    print(f"congested: total cost {total_c:,.0f} trip-minutes")
    if outcome.converged:
        print(f"  converged after {outcome.iterations} iterations (gap {outcome.gap:.5f} <= {TOL})")
    else:
        print(f"  did not converge within {outcome.iterations} iterations "
              f"(last gap {outcome.gap:.5f} > {TOL})")
    print(f"run time: uncongested {t_unc:.2f} s, congested {t_con:.2f} s; ratio {t_con / t_unc:.1f}, "
          f"one congested iteration = {t_con / t_unc / iters:.2f} uncongested runs")
    unreachable = sum(1 for row in cost_mat for v in row if math.isinf(v))
    print(f"stop pairs without a path (upper triangle): {unreachable}")
    print()
    print_table("Ten most loaded line segments, uncongested:", top_segments(net, flows_u))
    print_table("Ten most loaded line segments, congested:", top_segments(net, flows_c))
    if opts.plot:
        plot(net, flows_u, flows_c, opts.plot)


if __name__ == "__main__":
    main()
