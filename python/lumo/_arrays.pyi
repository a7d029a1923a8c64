# Private native half of lumo.arrays; its callers in lumo/arrays.py check every
# argument. Every argument is a keyword; results are dicts of fixed keys.
from collections.abc import Callable
from typing import Final, TypedDict

import numpy as np
import numpy.typing as npt

class Buffer:
    """A block of float32 results, shared with numpy without a copy."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

InputError: type[ValueError]
PanicException: type[BaseException]

BOARDING: Final[int]
IN_VEHICLE: Final[int]
ALIGHTING: Final[int]
WALK: Final[int]
ACCESS: Final[int]
EGRESS: Final[int]

class CongestedDefaults(TypedDict):
    decay: float
    beta: float
    tol: float
    max_iters: int
    step: str
    step_params: tuple[float, float]

CONGESTED_DEFAULTS: Final[CongestedDefaults]

_Indices = npt.NDArray[np.int64]
_Floats = npt.NDArray[np.float32]
_Demand = (npt.NDArray[np.float32] | npt.NDArray[np.float64]
           | tuple[_Indices, _Indices, npt.NDArray[np.float32]])  # matrix, or sparse triple

class Skim(TypedDict):
    flows: Buffer
    cost: Buffer
    total_cost: float
    labels: Buffer | None
    dest_flows: Buffer | None
    wait: Buffer | None
    ride: Buffer | None
    walk: Buffer | None
    boardings: Buffer | None

class AssignResult(Skim):
    # the destinations found, when none were given
    destinations: list[int] | None

class CongestedResult(Skim):
    iterations: int
    gaps: list[float]
    weights: list[float]
    effective_freq: Buffer
    converged: bool
    stopped: bool

def assign(*, tail: _Indices, head: _Indices, freq: _Floats, cost: _Floats,
           kind: npt.NDArray[np.int8] | None, n_nodes: int, demand: _Demand, n_zones: int,
           destinations: _Indices | None, per_destination: bool, components: bool,
           threads: int | None, chunk: int = 0, minutes: _Floats | None = None,
           progress: Callable[[int], object] | None = None,
           columns: bool = False) -> AssignResult: ...
def congested(*, tail: _Indices, head: _Indices, freq: _Floats, cost: _Floats,
              kind: npt.NDArray[np.int8] | None, n_nodes: int, demand: _Demand, n_zones: int,
              destinations: _Indices, capacity: _Floats, step: int, decay: float,
              step_param: float, step_param2: float, beta: float,
              tol: float, max_iters: int, progress: Callable[[int, float], object] | None,
              components: bool, threads: int | None,
              minutes: _Floats | None = None,
              columns: bool = False) -> CongestedResult: ...
def timings() -> tuple[float, float]: ...

# Blocks of destinations, for lumo.distributed.
class Prepared:
    """A network read and indexed for block tasks."""

class DemandCheck(TypedDict):
    destinations: list[int] | None

def prepare(*, tail: _Indices, head: _Indices, freq: _Floats, cost: _Floats,
            kind: npt.NDArray[np.int8] | None, n_nodes: int,
            minutes: _Floats | None) -> Prepared: ...
def check_demand(*, network: Prepared, demand: _Demand, n_zones: int,
                 destinations: _Indices | None) -> DemandCheck: ...
def assign_block(*, network: Prepared, freqs: _Floats | None, demand: _Demand, n_zones: int,
                 destinations: _Indices, per_destination: bool, components: bool,
                 threads: int | None) -> dict[str, Buffer | None]: ...
def congested_block(*, network: Prepared, demand: _Demand, n_zones: int,
                    destinations: _Indices, flows: _Floats | None, freqs: _Floats | None,
                    decay: float, msa: bool, done: int,
                    threads: int | None) -> dict[str, Buffer | None]: ...
def congested_finish(*, network: Prepared, demand: _Demand, n_zones: int,
                     destinations: _Indices, labels: _Floats) -> dict[str, Buffer]: ...
def fold(*, running: _Floats, blocks: _Floats) -> Buffer: ...
def step_weight(*, step: int, decay: float, step_param: float, step_param2: float,
                gaps: _Floats) -> float: ...
def fold_values(*, running: float, values: _Floats) -> float: ...
def ratio(*, numerator: float, denominator: float) -> float: ...
def effective_freqs(*, network: Prepared, total: _Floats, capacity: _Floats, beta: float,
                    loaded: bool) -> Buffer: ...
