"""From a GTFS feed to a frequency-based network, and from an assignment to tables.

`load` reads a GTFS feed (a zip file or a folder) and builds a
`lumo.arrays.Network` of the services that run on one day in one time window:

- a *line* per distinct (route, direction, stop sequence) whose trips leave
  their first stop in the window; its frequency is the number of departures
  in the window divided by the window's length (departures per minute);
- per line and segment, the median in-vehicle time over the line's trips
  (minutes);
- walking arcs between stops closer than `walk_distance`, so that riders can
  change to the stop across the street;
- optionally, zones with access and egress arcs to the stops around them.

The tables `stops`, `lines` and `arcs` describe the network in the feed's own
ids; `segment_loads`, `stop_boardings`, `line_summary` and `skims` turn an
assignment of that network into tables keyed by the same ids.

Needs pandas, numpy and scipy: ``pip install 'lumo-transit[gtfs]'``.
"""

try:
    import numpy  # noqa: F401
    import pandas  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    import scipy.spatial  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"lumo.gtfs needs numpy, pandas and scipy ({exc}): "
                      "pip install 'lumo-transit[gtfs]'") from exc
del numpy, pandas, scipy

from ._demand import gravity_demand
from ._errors import FeedError
from ._load import load
from ._network import TransitNetwork
from ._tables import (DEFAULT_CAPACITY, line_summary, segment_loads, skims, stop_boardings,
                      vehicle_capacity)

__all__ = [
    "FeedError",
    "TransitNetwork",
    "load",
    "gravity_demand",
    "segment_loads",
    "stop_boardings",
    "line_summary",
    "skims",
    "vehicle_capacity",
    "DEFAULT_CAPACITY",
]

# The public names are the package's, wherever they are defined.
for _name in __all__:
    if _name != "DEFAULT_CAPACITY":
        globals()[_name].__module__ = __name__
del _name
