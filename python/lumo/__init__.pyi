"""Frequency-based transit assignment by optimal strategies (exact module).

The four functions take and return Python lists; lumo.arrays offers the same
computations with numpy arrays.
"""
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

__all__ = ["linear_assign", "mat_linear_assign", "linear_congested_assign",
           "mat_linear_congested_assign"]

def linear_assign(
    from_: Sequence[SupportsIndex], /, to: Sequence[SupportsIndex],
    arc_freqs: Sequence[SupportsFloat], costs: Sequence[SupportsFloat],
    demands: Sequence[SupportsFloat], dsts: Sequence[SupportsIndex],
) -> tuple[list[float], list[float]]:
    """Labels (D × N) and arc flows (D × M) per destination, destination-major."""

def mat_linear_assign(
    alignments: Sequence[Sequence[SupportsIndex]], freqs: Sequence[SupportsFloat],
    travel_time_mat: Sequence[Sequence[SupportsFloat]],
    demands_mat: Sequence[Sequence[SupportsFloat]],
) -> tuple[list[list[float]], list[float], float]:
    """(cost matrix, arc flows, total cost) of a line network."""

def linear_congested_assign(
    from_: Sequence[SupportsIndex], /, to: Sequence[SupportsIndex],
    arc_freqs: Sequence[SupportsFloat], costs: Sequence[SupportsFloat],
    demands: Sequence[SupportsFloat], dsts: Sequence[SupportsIndex],
    capacity: SupportsFloat, average_decay_factor: SupportsFloat = 0.01,
    beta: SupportsFloat = 0.2, tol: SupportsFloat = 0.001, max_iters: SupportsIndex = 1000,
) -> tuple[list[float], list[float]]:
    """Labels of the last assignment and averaged arc flows, destination-major."""

def mat_linear_congested_assign(
    alignments: Sequence[Sequence[SupportsIndex]], freqs: Sequence[SupportsFloat],
    travel_time_mat: Sequence[Sequence[SupportsFloat]],
    demands_mat: Sequence[Sequence[SupportsFloat]], capacity: SupportsFloat,
    average_decay_factor: SupportsFloat = 0.01, beta: SupportsFloat = 0.2,
    tol: SupportsFloat = 0.001, max_iters: SupportsIndex = 1000,
) -> tuple[list[list[float]], list[float], float]:
    """(cost matrix, arc flows, total cost) of a congested line network."""
