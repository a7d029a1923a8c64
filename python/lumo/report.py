"""report.html: one page that shows an assignment of a feed's network.

A map of the segment loads (width by load, colour by load over capacity, the
two directions side by side, hover for line, headway and load) over the
stops and zones, the load profiles of the busiest lines along their stops,
the convergence curve of a congested run, the run's totals and its settings.

The page is one file that opens without a server or a connection: the
plotting library's script and the data are inside it. The same inputs give
the same bytes (fixed element ids, no clock). Needs the `plot` extra
(plotly): ``pip install 'lumo-transit[plot]'``.
"""

from __future__ import annotations

import html
import math
from typing import Any

import numpy as np

try:
    import plotly.graph_objects as go  # type: ignore[import-untyped, unused-ignore]
    import plotly.io as pio  # type: ignore[import-untyped, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"the report needs plotly ({exc}): pip install 'lumo-transit[plot]'"
                      ) from exc

__all__ = ["totals", "write_report", "report_html"]

#: Load over capacity: the colour classes' upper bounds and colours.
_RATIO_CLASSES = ((0.25, "#2c7bb6"), (0.5, "#abd9e9"), (0.75, "#fdae61"), (1.0, "#f46d43"),
                  (math.inf, "#a50026"))
_WIDTHS = (1.0, 2.5, 4.5, 7.0, 10.0)  # px, by load class (quantiles of the loaded segments)
_OFFSET_KM = 0.02  # directions drawn this far to the right of their way
_CONFIG = {"displaylogo": False, "responsive": True}


def totals(result: Any, demand: Any, *, wait_factor: float = 1.0) -> dict[str, float]:
    """The run's totals over the pairs with a path: trips, passenger-minutes
    of the (perceived) cost and of each component, boardings, and the demand
    without a path. Sums in double precision over the matrices."""
    cost = np.asarray(result.cost, dtype=np.float64)
    z = cost.shape[0]
    dem = np.asarray(demand, dtype=np.float64)[:z, :z].copy()
    np.fill_diagonal(dem, 0.0)
    assigned = ~np.isnan(cost)
    ok = assigned & np.isfinite(cost)
    out = {
        "trips": float(dem[assigned].sum()),
        "trips without a path": float(dem[assigned & ~ok].sum()),
        "perceived cost (passenger-minutes)": float((dem[ok] * cost[ok]).sum()),
    }
    for name, label in (("wait", "waiting (passenger-minutes)"),
                        ("ride", "riding (passenger-minutes)"),
                        ("walk", "walking (passenger-minutes)"),
                        ("boardings", "boardings")):
        part = getattr(result, name, None)
        if part is not None:
            out[label] = float((dem[ok] * np.asarray(part, dtype=np.float64)[ok]).sum())
    if "boardings" in out and out["trips"] - out["trips without a path"] > 0:
        out["boardings per trip"] = out["boardings"] / (out["trips"] - out["trips without a path"])
    if wait_factor != 1.0:
        out["wait factor"] = wait_factor
    return out


def _xy(lat: np.ndarray, lon: np.ndarray, lat0: float, lon0: float
        ) -> tuple[np.ndarray, np.ndarray]:
    """km east and north of (lat0, lon0): flat enough for a city."""
    return (lon - lon0) * 111.32 * math.cos(math.radians(lat0)), (lat - lat0) * 110.57


def _classes(values: np.ndarray, bounds: np.ndarray) -> np.ndarray:
    return np.searchsorted(bounds, values, side="left")


def _map(net: Any, seg: Any) -> go.Figure:
    stops = net.stops
    lat = stops["lat"].to_numpy(dtype=np.float64)
    lon = stops["lon"].to_numpy(dtype=np.float64)
    lat0 = float(np.nanmean(lat)) if len(lat) else 0.0
    lon0 = float(np.nanmean(lon)) if len(lon) else 0.0
    x, y = _xy(lat, lon, lat0, lon0)
    node = {sid: i for i, sid in enumerate(stops["stop_id"].to_numpy())}
    a = np.array([node[s] for s in seg["from_stop_id"]], dtype=np.int64)
    b = np.array([node[s] for s in seg["to_stop_id"]], dtype=np.int64)
    x0, y0, x1, y1 = x[a], y[a], x[b], y[b]
    # each direction to the right of its way, so that A→B and B→A stand apart
    dx, dy = x1 - x0, y1 - y0
    length = np.hypot(dx, dy)
    length[length == 0] = 1.0
    ox, oy = dy / length * _OFFSET_KM, -dx / length * _OFFSET_KM
    x0, x1, y0, y1 = x0 + ox, x1 + ox, y0 + oy, y1 + oy
    load = seg["load"].to_numpy(dtype=np.float64)
    ratio = (seg["load_ratio"].to_numpy(dtype=np.float64) if "load_ratio" in seg
             else np.zeros(len(seg)))
    loaded = load > 0
    if loaded.any():
        bounds = np.quantile(load[loaded], [0.5, 0.75, 0.9, 0.97])
    else:
        bounds = np.zeros(4)
    width_class = np.where(loaded, _classes(load, bounds), -1)
    ratio_class = _classes(ratio, np.array([c[0] for c in _RATIO_CLASSES[:-1]]))

    fig = go.Figure()
    is_zone = stops["is_zone"].to_numpy(dtype=bool)
    names = stops["stop_name"].astype(str).to_numpy()
    ids = stops["stop_id"].astype(str).to_numpy()
    for which, label, style in ((~is_zone, "stops", dict(size=4, color="#9a9a9a")),
                                (is_zone, "zones", dict(size=8, color="#5e3c99", symbol="square"))):
        if which.any():
            fig.add_trace(go.Scatter(
                x=x[which], y=y[which], mode="markers", name=label, marker=style,
                text=[f"{n} ({i})" for n, i in zip(names[which], ids[which])],
                hovertemplate="%{text}<extra></extra>"))
    unloaded = ~loaded
    if unloaded.any():
        fig.add_trace(_segments(x0[unloaded], y0[unloaded], x1[unloaded], y1[unloaded],
                                "no load", "#d0d0d0", 0.8))
    for w in range(len(_WIDTHS)):
        for r, (upper, colour) in enumerate(_RATIO_CLASSES):
            pick = (width_class == w) & (ratio_class == r)
            if pick.any():
                lower = 0.0 if r == 0 else _RATIO_CLASSES[r - 1][0]
                label = (f"load/capacity < {upper:g}" if r == 0 else
                         f"load/capacity ≥ {lower:g}")
                fig.add_trace(_segments(x0[pick], y0[pick], x1[pick], y1[pick], label, colour,
                                        _WIDTHS[w], legendgroup=f"ratio{r}",
                                        showlegend=not any(t.legendgroup == f"ratio{r}"
                                                           for t in fig.data)))
    # hover: one point at the middle of every segment
    freq = net.lines["freq"].to_numpy(dtype=np.float64)[seg["line"].to_numpy()]
    with np.errstate(divide="ignore"):
        headway = 1.0 / freq
    custom = np.column_stack([
        seg["route_short_name"].astype(str).to_numpy(),
        seg["from_stop_name"].astype(str).to_numpy(),
        seg["to_stop_name"].astype(str).to_numpy(),
        np.round(headway, 1),
        np.round(load, 1), np.round(ratio, 2)])
    fig.add_trace(go.Scatter(
        x=(x0 + x1) / 2, y=(y0 + y1) / 2, mode="markers", name="segments",
        marker=dict(size=6, color="rgba(0,0,0,0)"), customdata=custom, showlegend=False,
        hovertemplate=("line %{customdata[0]}: %{customdata[1]} → %{customdata[2]}<br>"
                       "headway %{customdata[3]} min<br>load %{customdata[4]}"
                       " (%{customdata[5]} of capacity)<extra></extra>")))
    fig.update_layout(title="Segment loads (width: load; colour: load over capacity)",
                      height=700, margin=dict(l=40, r=20, t=50, b=40),
                      plot_bgcolor="white", hovermode="closest",
                      legend=dict(itemsizing="constant"))
    fig.update_xaxes(title="km east", showgrid=False, zeroline=False)
    fig.update_yaxes(title="km north", showgrid=False, zeroline=False, scaleanchor="x",
                     scaleratio=1)
    return fig


def _segments(x0: np.ndarray, y0: np.ndarray, x1: np.ndarray, y1: np.ndarray, name: str,
              colour: str, width: float, **kw: Any) -> go.Scatter:
    """Many segments as one trace: the pieces apart by gaps (None)."""
    n = len(x0)
    xs = np.empty(3 * n, dtype=object)
    ys = np.empty(3 * n, dtype=object)
    xs[0::3], xs[1::3], xs[2::3] = x0, x1, None
    ys[0::3], ys[1::3], ys[2::3] = y0, y1, None
    return go.Scatter(x=xs, y=ys, mode="lines", name=name, hoverinfo="skip",
                      line=dict(color=colour, width=width), **kw)


def _profiles(net: Any, seg: Any, n_lines: int) -> go.Figure | None:
    if not len(seg):
        return None
    busiest = (seg.assign(pmin=seg["load"] * seg["time"]).groupby("line")["pmin"].sum()
               .sort_values(ascending=False, kind="stable"))
    busiest = busiest[busiest > 0].head(n_lines)
    if not len(busiest):
        return None
    fig = go.Figure()
    for k, line in enumerate(busiest.index):
        s = seg[seg["line"] == line].sort_values("sequence")
        label = str(s["route_short_name"].iloc[0])
        direction = int(s["direction_id"].iloc[0])
        # stops named with their place in the line: a line may pass a stop twice
        stops = [f"{i + 1}. {n}" for i, n in enumerate(s["from_stop_name"].astype(str))]
        fig.add_trace(go.Bar(x=stops, y=s["load"].to_numpy(), name=f"line {label}"
                             + (f" (direction {direction})" if direction >= 0 else ""),
                             visible=k == 0,
                             hovertemplate="from %{x}<br>load %{y:.1f}<extra></extra>"))
        if "capacity" in s:
            fig.add_trace(go.Scatter(x=stops, y=s["capacity"].to_numpy(), mode="lines",
                                     name="capacity", visible=k == 0,
                                     line=dict(color="#a50026", dash="dot")))
    per = 2 if "capacity" in seg else 1
    buttons = []
    for k, line in enumerate(busiest.index):
        vis = [i // per == k for i in range(per * len(busiest))]
        buttons.append(dict(label=fig.data[k * per].name, method="update",
                            args=[{"visible": vis}]))
    fig.update_layout(title="Load profiles of the busiest lines (passenger-minutes)",
                      height=480, margin=dict(l=50, r=20, t=80, b=160),
                      updatemenus=[dict(buttons=buttons, x=0, y=1.18, xanchor="left")],
                      yaxis_title="load (trips in the window)")
    fig.update_xaxes(tickangle=-60, automargin=True)
    return fig


def _convergence(gaps: list[float]) -> go.Figure:
    fig = go.Figure(go.Scatter(x=np.arange(1, len(gaps) + 1), y=gaps, mode="lines+markers",
                               name="gap"))
    fig.update_layout(title="Convergence of the congested run", height=380,
                      xaxis_title="iteration", yaxis_title="relative gap",
                      margin=dict(l=60, r=20, t=50, b=50))
    fig.update_yaxes(type="log")
    return fig


def _table(rows: dict[str, float]) -> str:
    def fmt(v: float) -> str:
        return f"{v:,.0f}" if abs(v) >= 100 else f"{v:,.3g}"
    body = "".join(f"<tr><th>{html.escape(k)}</th><td>{fmt(v)}</td></tr>" for k, v in rows.items())
    return f"<table class='totals'>{body}</table>"


def report_html(net: Any, result: Any, demand: Any, *, segments: Any,
                settings: dict[str, Any] | None = None, settings_text: str = "",
                demand_text: str = "", title: str = "lumo assignment",
                busiest: int = 8) -> str:
    """The page as text; see `write_report`."""
    parts = []
    first = True

    def figure(fig: go.Figure, div_id: str) -> str:
        nonlocal first
        out = pio.to_html(fig, full_html=False, include_plotlyjs=first, div_id=div_id,
                          config=_CONFIG, validate=False)
        first = False
        return str(out)

    parts.append(figure(_map(net, segments), "map"))
    prof = _profiles(net, segments, busiest)
    parts.append(figure(prof, "profiles") if prof is not None
                 else "<p>No line carries any load.</p>")
    conv = getattr(result, "convergence", None)
    if conv is not None and conv.gaps:
        parts.append(figure(_convergence(list(conv.gaps)), "convergence"))
        state = ("converged" if conv.converged else "stopped before converging")
        parts.append(f"<p>{conv.iterations} iterations, {state}; last gap {conv.gaps[-1]:.4g}."
                     "</p>")
    else:
        parts.append("<p>Uncongested run: one assignment, no iterations.</p>")
    sums = totals(result, demand, wait_factor=float(getattr(net, "wait_factor", 1.0)))
    demand_note = f"<p class='demand'>Demand: {html.escape(demand_text)}.</p>" if demand_text else ""
    window = getattr(net, "window", None)
    subtitle = ""
    if window is not None:
        subtitle = (f"{getattr(net, 'date', '')}, {int(window[0]) // 60:02d}:"
                    f"{int(window[0]) % 60:02d}–{int(window[1]) // 60:02d}:"
                    f"{int(window[1]) % 60:02d}; {len(net.lines)} lines, "
                    f"{net.n_stops} stops, {net.n_zones} zones")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 1.5em auto; max-width: 1200px; color: #222; }}
table.totals th {{ text-align: left; font-weight: normal; padding-right: 2em; }}
table.totals td {{ text-align: right; font-variant-numeric: tabular-nums; }}
pre {{ background: #f6f6f6; padding: 1em; overflow-x: auto; }}
</style></head><body>
<h1>{html.escape(title)}</h1>
<p>{html.escape(subtitle)}</p>
{demand_note}
<h2>Totals</h2>
{_table(sums)}
<h2>Map</h2>
{parts[0]}
<h2>Busiest lines</h2>
{parts[1]}
<h2>Convergence</h2>
{"".join(parts[2:])}
<h2>Settings</h2>
<pre>{html.escape(settings_text)}</pre>
</body></html>
"""


def write_report(path: str, net: Any, result: Any, demand: Any, *, segments: Any,
                 settings: dict[str, Any] | None = None, demand_text: str = "",
                 title: str = "lumo assignment") -> None:
    """Writes report.html for an assignment `result` of a `lumo.gtfs`
    network `net` with `demand`; `segments` is `gtfs.segment_loads` of it
    (with a capacity, for the colours), `settings` the run's settings (shown
    as TOML), `demand_text` where the demand came from."""
    text = ""
    if settings is not None:
        import tomli_w  # type: ignore[import-not-found, unused-ignore]
        text = tomli_w.dumps(settings)
    page = report_html(net, result, demand, segments=segments, settings_text=text,
                       demand_text=demand_text, title=title)
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
