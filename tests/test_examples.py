"""The demos print what they claim: the published figures of the four-line network."""
import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
sys.path.insert(0, EXAMPLES)
import spiess_florian  # noqa: E402


def test_four_line_network_matches_published_figures():
    time_ab, volumes = spiess_florian.assign(100.0)
    assert time_ab == pytest.approx(27.75, abs=1e-4)
    got = {(line, a, b): v for line, a, b, v in volumes}
    published = {("1", "A", "B"): 50.0, ("2", "A", "X"): 50.0, ("2", "X", "Y"): 50.0,
                 ("3", "X", "Y"): 0.0, ("3", "Y", "B"): 25 / 3, ("4", "Y", "B"): 125 / 3}
    assert got.keys() == published.keys()
    for key, want in published.items():
        assert got[key] == pytest.approx(want, abs=1e-3), key


def test_four_line_demo_prints_its_table():
    out = subprocess.run([sys.executable, os.path.join(EXAMPLES, "spiess_florian.py")],
                         capture_output=True, text=True, check=True).stdout
    assert "expected travel time from A: 27.75 min" in out
    assert "4  Y->B       41.67" in out


def test_kuopio_segments_follow_the_arc_order():
    # in-vehicle arcs of a line of L stops sit at offsets 1, 4, ..., 3L - 5 of its run
    import kuopio
    net = {"lines": [{"route_short_name": "a", "direction_id": "0"},
                     {"route_short_name": "b", "direction_id": "1"}],
           "alignments": [[0, 1, 2], [2, 0]]}
    assert [s[3] for s in kuopio.segments(net)] == [1, 4, 7]
    assert [(s[1], s[2]) for s in kuopio.segments(net)] == [(0, 1), (1, 2), (2, 0)]


def test_kuopio_demo_reads_the_run_from_the_progress_records(capsys):
    import kuopio
    stops = [[0.0, 3.0, 7.0], [3.0, 0.0, 4.0], [7.0, 4.0, 0.0]]
    # an express line 0 -> 2 beside a local one, both crowded: a few dozen iterations
    net = {"alignments": [[0, 1, 2], [2, 1, 0], [0, 2]], "freqs": [0.1, 0.2, 0.1],
           "travel_time_mat": stops,
           "demands_mat": [[0.0, 900.0, 3000.0], [0.0, 0.0, 500.0], [0.0, 700.0, 0.0]]}
    (_, flows, _), outcome, seconds = kuopio.congested(net)
    printed = capsys.readouterr().out.splitlines()
    assert outcome.function == "mat_linear_congested_assign" and outcome.converged
    assert outcome.gap <= kuopio.TOL and 10 < outcome.iterations < kuopio.MAX_ITERS
    assert len(printed) == outcome.iterations and printed[-1].startswith(f"  iteration {outcome.iterations:3d}: gap ")
    assert len(flows) == 15
