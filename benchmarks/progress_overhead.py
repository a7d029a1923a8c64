"""What the progress bars cost on a Kuopio run (City of Kuopio GTFS, CC BY 4.0).

One round: build the network from the feed and assign the gravity demand
(with the components, as the lumo command does), once with bars drawn (tqdm,
as on a terminal, its output thrown away) and once with progress=False, the
order alternating between rounds. Prints the median wall and CPU seconds of
each and their ratios, and the load average before and after: a ratio within
a few per cent of 1 is noise on a shared machine.

    python benchmarks/progress_overhead.py [ROUNDS]
"""

from __future__ import annotations

import contextlib
import os
import statistics
import sys
import time

from lumo import _progress, arrays, gtfs

FEED = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "gtfs", "kuopio.zip")


def one_run(show: bool) -> tuple[float, float]:
    w0, c0 = time.perf_counter(), time.process_time()
    net = gtfs.load(FEED, "2017-03-14", "07:00", "09:00", progress=show)
    demand = gtfs.gravity_demand(net)
    arrays.assign(net, demand, components=True, progress=show)
    return time.perf_counter() - w0, time.process_time() - c0


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    _progress._terminal = lambda: True  # draw the bars as on a terminal
    results: dict[bool, list[tuple[float, float]]] = {True: [], False: []}
    load_before = os.getloadavg()
    with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
        one_run(False)  # warm the caches and the pool
        for k in range(rounds):
            for show in ((True, False) if k % 2 == 0 else (False, True)):
                results[show].append(one_run(show))
    load_after = os.getloadavg()
    med = {s: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v))
           for s, v in results.items()}
    print(f"{rounds} interleaved rounds, load average {load_before[0]:.2f} -> {load_after[0]:.2f}"
          f" ({os.cpu_count()} processors)")
    for show, label in ((True, "bars"), (False, "progress=False")):
        print(f"  {label:15s} wall {med[show][0]:.3f} s  cpu {med[show][1]:.3f} s")
    print(f"  ratio bars / none: wall {med[True][0] / med[False][0]:.3f}  "
          f"cpu {med[True][1] / med[False][1]:.3f}")


if __name__ == "__main__":
    main()
