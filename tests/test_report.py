"""report.html in a real headless browser: the map and the charts are drawn
(a screenshot that is not blank, SVG in every plot), no console error, and
nothing fetched from outside the file."""

import html
import json
import os
import re
import shutil
import subprocess

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("plotly")

from test_gtfs import DAY, KUOPIO, write_feed  # noqa: E402

KUOPIO_ZIP = os.path.join(KUOPIO, "gtfs", "kuopio.zip")
CHROMIUM = next((p for p in (shutil.which(n) for n in ("chromium", "chromium-browser",
                                                       "google-chrome")) if p), None)
needs_browser = pytest.mark.skipif(CHROMIUM is None, reason="no chromium binary on PATH "
                                   "(apt-get install chromium): the page is not rendered")

# Collects errors and what the page drew, into an element read back from the DOM.
PROBE = """<script>
window.__errors = [];
window.addEventListener('error', e => __errors.push('error: ' + e.message));
const __ce = console.error;
console.error = (...a) => { __errors.push('console: ' + a.join(' ')); __ce(...a); };
new PerformanceObserver(l => l.getEntries().forEach(e => __errors.push('fetched: ' + e.name)))
  .observe({type: 'resource', buffered: true});
window.addEventListener('load', () => setTimeout(() => {
  const plots = [...document.querySelectorAll('.js-plotly-plot')].map(d => ({
    id: d.id, paths: d.querySelectorAll('path').length,
    points: d.querySelectorAll('.point').length,
    width: d.getBoundingClientRect().width}));
  const out = document.createElement('pre');
  out.id = '__probe';
  out.textContent = JSON.stringify({errors: __errors, plots: plots});
  document.body.appendChild(out);
}, 300));
</script>"""


def browse(page, tmp_path):
    """(what the probe saw, the screenshot's path)."""
    text = page.read_text(encoding="utf-8")
    probed = tmp_path / "probed.html"
    probed.write_text(text.replace("<head>", "<head>" + PROBE, 1), encoding="utf-8")
    shot = tmp_path / "shot.png"
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
            "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}",
            "--window-size=1280,2400", "--virtual-time-budget=3000", f"--screenshot={shot}",
            "--dump-dom", probed.as_uri()]
    dom = subprocess.run(args, capture_output=True, text=True, timeout=120).stdout
    found = re.search(r'<pre id="__probe">(.*?)</pre>', dom, re.S)
    assert found, "the page never finished loading"
    return json.loads(html.unescape(found.group(1))), shot


def drawn_fraction(shot):
    from PIL import Image
    img = np.asarray(Image.open(shot).convert("RGB")).astype(np.int16)
    return float((np.abs(img - 255).sum(axis=2) > 30).mean()), len(np.unique(
        img.reshape(-1, 3)[::7], axis=0))


def check_page(page, tmp_path, expect):
    seen, shot = browse(page, tmp_path)
    assert seen["errors"] == []
    plots = {p["id"]: p for p in seen["plots"]}
    assert set(expect) <= set(plots)
    for pid in expect:
        assert plots[pid]["paths"] > 5 and plots[pid]["width"] > 300, plots[pid]
    ink, colours = drawn_fraction(shot)
    assert ink > 0.03 and colours > 20  # not a blank (or one-colour) page
    return plots


@needs_browser
@pytest.mark.skipif(not os.path.exists(KUOPIO_ZIP),
                    reason="the shared Kuopio data is not beside the checkout")
def test_kuopio_report_in_the_browser(tmp_path):
    # City of Kuopio GTFS, CC BY 4.0
    from lumo import arrays, gtfs
    from lumo.report import write_report
    net = gtfs.load(KUOPIO_ZIP, "2017-03-14", "07:00", "09:00", progress=False)
    demand = gtfs.gravity_demand(net)
    result = arrays.assign(net, demand, components=True, progress=False)
    seg = gtfs.segment_loads(net, result, 100 * net.window_minutes)
    page = tmp_path / "report.html"
    write_report(str(page), net, result, demand, segments=seg, settings={"feed": "kuopio.zip"})
    plots = check_page(page, tmp_path, ["map", "profiles"])
    # the map: stops and one hover point per segment, drawn as SVG points
    assert plots["map"]["points"] >= net.n_stops


@needs_browser
def test_congested_report_in_the_browser(tmp_path):
    from click.testing import CliRunner

    from lumo.cli import main
    feed = write_feed(str(tmp_path))
    out = tmp_path / "out"
    r = CliRunner().invoke(main, ["assign", feed, "--date", DAY, "--congested", "--capacity",
                                  "2", "--max-iters", "6", "--out", str(out), "-q"])
    assert r.exit_code == 0, r.output
    check_page(out / "report.html", tmp_path, ["map", "profiles", "convergence"])
