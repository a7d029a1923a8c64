"""The line form's expansion into arcs, shared by lumo.arrays and lumo.gtfs."""
from .arrays import _line_arcs as line_arcs
from .arrays import _per_line as per_line

__all__ = ["line_arcs", "per_line"]
