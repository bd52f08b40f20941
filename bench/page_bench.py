#!/usr/bin/env python3
"""The setup page's costs, measured on loopback against the real program
without a window (with --trace) and corvell-sim, in Debian's chromium:

- page load: from the navigation's start to the first state shown, with the
  browser's cache off, and the bytes it took;
- a module reply to the page showing it: the position set on the simulated
  module, read by the next poll; the reply's time is the trace's, the time
  the window would show it is the log's position line (written as the
  engine renders), the page's is a MutationObserver's on its position;
- idle CPU of the program with no page and with three pages open.

    python3 bench/page_bench.py --program build/corvell-focuser --sim build/corvell-sim [--idle-seconds 60]
"""
import argparse
import datetime
import os
import re
import statistics
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
from devtools import Browser  # noqa: E402
from program import Program  # noqa: E402


def stats(values, unit="ms"):
    values = sorted(values)
    p95 = values[min(len(values) - 1, int(round(0.95 * (len(values) - 1))))]
    return "median %.1f %s, 95th percentile %.1f %s, worst %.1f %s (%d runs)" % (
        statistics.median(values), unit, p95, unit, values[-1], unit, len(values))


def page_load(prog, browser, runs):
    page = browser.page(1280, 800)
    page.call("Network.enable")
    page.call("Network.setCacheDisabled", {"cacheDisabled": True})
    times, sizes = [], []
    for _ in range(runs):
        start = len(browser.events)
        page.open(prog.url + "/setup")
        page.wait("performance.getEntriesByName('corvell-first-state').length > 0")
        times.append(page.js("performance.getEntriesByName('corvell-first-state')[0].startTime"))
        sizes.append(sum(e["params"]["encodedDataLength"] for e in browser.events[start:]
                         if e.get("method") == "Network.loadingFinished" and e.get("sessionId") == page.session))
    page.call("Page.close")
    print("page load to the first state shown: " + stats(times))
    print("bytes fetched by a load (head and body, the event stream's first event included): %d" % max(sizes))


def log_times(text, pattern):
    """Epoch seconds of the log lines matching `pattern` (local time, ms)."""
    found = []
    for line in text.splitlines():
        m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (.*)", line)
        if m and re.search(pattern, m.group(2)):
            found.append(datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp())
    return found


def reply_to_page(prog, browser, runs):
    page = browser.page(390, 844)
    page.open(prog.url + "/setup")
    page.wait("document.body.dataset.version")
    page.js("""window.changes = []; new MutationObserver(() => window.changes.push(
        [performance.timeOrigin + performance.now(), document.getElementById('PositionDisplay').textContent]))
        .observe(document.getElementById('PositionDisplay'), {subtree: true, childList: true, characterData: true})""")
    to_page, to_window = [], []
    for k in range(runs):
        count = 2000 + 37 * k
        prog.sim_command("position %d" % count)
        seen = page.wait("window.changes.find(c => c[1] !== '') && window.changes.length >= %d && "
                         "window.changes[window.changes.length - 1]" % (k + 1), 5)
        time.sleep(0.1)  # its log lines written
        log = prog.log_text()
        reply = log_times(log, r"trace <- 70 %02x %02x " % (count >> 8, count & 0xFF))
        shown = log_times(log, r"^Position: .*\(%d counts\)" % count)
        if reply and shown:
            to_page.append(seen[0] - reply[-1] * 1000)
            to_window.append(seen[0] - shown[-1] * 1000)
    page.call("Page.close")
    print("module reply -> page showing it: " + stats(to_page))
    print("window's moment (the engine's render) -> page showing it: " + stats(to_window))


def cpu_ns(pid):
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0  # a process that ended
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended
    return total


def descendants(pid):
    """`pid` and every process below it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    tree, grew = {pid}, True
    while grew:
        grew = False
        for child, parent in parents.items():
            if parent in tree and child not in tree:
                tree.add(child)
                grew = True
    return tree


def idle(prog, browser, seconds):
    def measure(what):
        time.sleep(3)  # settled
        tree = descendants(browser.process.pid)
        c0, b0, t0 = cpu_ns(prog.process.pid), sum(cpu_ns(p) for p in tree), time.monotonic()
        time.sleep(seconds)
        c1, b1, t1 = cpu_ns(prog.process.pid), sum(cpu_ns(p) for p in tree), time.monotonic()
        print("idle CPU of the program, %s: %.3f%% of one core (%.1f ms in %.0f s); the browser's, all its "
              "processes: %.3f%%" % (what, 100 * (c1 - c0) / 1e9 / (t1 - t0), (c1 - c0) / 1e6, t1 - t0,
                                     100 * (b1 - b0) / 1e9 / (t1 - t0)))

    measure("no page open")
    pages = []
    for _ in range(3):
        page = browser.page(390, 844)
        page.open(prog.url + "/setup")
        page.wait("document.body.dataset.version")
        pages.append(page)
    measure("three pages open")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--idle-seconds", type=int, default=60)
    args = parser.parse_args()
    with Program(args.program, args.sim, arguments=["--trace"]) as prog, Browser() as browser:
        page_load(prog, browser, args.runs)
        reply_to_page(prog, browser, args.runs)
    with Program(args.program, args.sim) as prog, Browser() as browser:
        idle(prog, browser, args.idle_seconds)


if __name__ == "__main__":
    main()
