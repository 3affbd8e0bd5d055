"""The HTML report of `vashlet explain --report`, rendered by a headless Chromium."""

import shutil
import subprocess
from html.parser import HTMLParser

import pytest

import vashlet
from test_cli import run, write_events

pa = pytest.importorskip("pyarrow")

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(
    BROWSER is None, reason="no headless browser: install the distribution's chromium package"
)

EVENTS = pa.table({
    "partition": ["a", "a", "a", "b", "b", "c", "d", "d", "e", "e", "e", "e"],
    "ts": [0, 10, 20, 0, 10, 0, 0, 900, 0, 5, 9, 12],
    "type": ["login", "view", "purchase", "login", "view", "login", "login", "view", "login",
             "view", "logout", "purchase"],
    "user": ["a", "a", "a", "b", "b", "c", "d", "d", "e", "e", "e", "e"],
})
THREE_STEPS = "login[user as $u] -[<=300]-> view[user == $u] -[no logout]-> purchase[user == $u]"


def browse(page, *flags):
    """Run the browser on a file, returning its standard output and error."""
    done = subprocess.run(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={page.parent / 'profile'}",
         "--enable-logging=stderr", "--v=0", *flags, page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


class Steps(HTMLParser):
    def __init__(self):
        super().__init__()
        self.steps, self.tags = [], set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.add(tag)
        if attrs.get("class") == "funnel-step":
            self.steps.append((attrs["data-event-type"], int(attrs["data-reached"]), int(attrs["data-completed"])))


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    page = folder / "report.html"
    result = run("explain", THREE_STEPS, write_events(folder / "e.parquet", EVENTS), "--report", page)
    assert result.returncode == 0, result.stderr
    return page


def test_report_renders_one_bar_per_step_with_the_funnel_counts(report):
    dom, log = browse(report, "--dump-dom")
    # No script, nothing fetched, nothing the console complains about.
    assert "CONSOLE" not in log and "Failed to load" not in log
    parsed = Steps()
    parsed.feed(dom)
    assert "script" not in parsed.tags
    funnel = vashlet.funnel(THREE_STEPS, EVENTS)
    assert parsed.steps == [(s.event_type, s.reached, s.completed) for s in funnel.steps]
    assert parsed.steps == [("login", 5, 5), ("view", 5, 3), ("purchase", 3, 1)]
    # One example per reason: c and d stop at view, b and e at purchase.
    examples = {row for row in (3, 5, 6, 8) if f'data-start-row="{row}"' in dom}
    assert examples == {3, 5, 6, 8}
    assert "absence_blocked" in dom and "window_exceeded" in dom


def test_report_screenshot(report):
    shot = report.parent / "report.png"
    browse(report, f"--screenshot={shot}", "--window-size=1000,1200")
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert shot.stat().st_size > 10_000
