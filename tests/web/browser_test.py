#!/usr/bin/env python3
"""The setup page in a real browser (Debian's chromium, headless, driven
through the DevTools protocol) against the real program without a window
and corvell-sim: what a user at the telescope does with a phone or a
laptop, and what the module receives.

    python3 tests/web/browser_test.py --program build/corvell-focuser --sim build/corvell-sim
"""
import argparse
import http.client
import http.server
import json
import os
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devtools import Browser  # noqa: E402
from program import Program  # noqa: E402


class Checks:
    def __init__(self):
        self.failed = 0

    def check(self, condition, what):
        print(("ok: " if condition else "FAIL: ") + what, flush=True)
        if not condition:
            self.failed += 1


def until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)


def alpaca(prog, method, member, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", prog.port, timeout=10)
    try:
        headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
        conn.request(method, "/api/v1/focuser/0/" + member, body=body, headers=headers)
        return json.loads(conn.getresponse().read())
    finally:
        conn.close()


def dialog(page, selector, seconds=10):
    page.wait("(e => e && !e.hidden)(document.querySelector(%s))" % json.dumps(selector), seconds, selector + " shown")


def closed(page, selector, seconds=10):
    page.wait("(e => e && e.hidden)(document.querySelector(%s))" % json.dumps(selector), seconds, selector + " closed")


def setup_page(page, text):
    page.wait("document.getElementById('SetupText1').textContent.startsWith(%s) && "
              "!document.getElementById('SetupDialog').hidden" % json.dumps(text), 10, "the setup page " + text)


def choose(page, group, label):
    """Clicks the radio button of `group` whose label is `label`."""
    index = page.js("""Array.from(document.querySelectorAll('#%s label')).findIndex(l => l.textContent.trim() === %s)"""
                    % (group, json.dumps(label)))
    if index < 0:
        raise AssertionError("no choice " + label + " in " + group)
    page.click("#%s label:nth-of-type(%d) input" % (group, index + 1))


def position(page):
    return page.text("#PositionDisplay").strip()


def fits(checks, page, width):
    """Every page of the setup page within the screen's width: nothing to
    scroll sideways, nothing cut off."""
    for sheet in ("TabSheet3", "TabSheet2", "TabSheet4", "TabSheet7", "TabSheet1"):
        page.click("nav button[data-page=%s]" % sheet)
        wide = page.js("document.documentElement.scrollWidth")
        checks.check(wide <= width, "%s fits %d px (%d px wide)" % (sheet, width, wide))


def operate(checks, prog, page):
    """Move Out and Stop; a go-to; a step; a slot stored and gone to."""
    prog.sim_command("clear")
    page.click("#MoveOutButton")
    checks.check(until(lambda: prog.commands() == "o"), "Move Out sends 'o' (%r)" % prog.commands())
    page.wait("document.getElementById('ActivityDisplay').textContent.includes('Moving Out')")
    page.click("#StopButton")
    checks.check(until(lambda: prog.commands() == "os"), "then Stop sends 's' (%r)" % prog.commands())

    page.click("#GoToPosButton")
    dialog(page, "#GoToDialog")
    checks.check(page.js("document.activeElement.id") == "PositionEdit", "the Go To entry has the focus")
    checks.check(page.text("#PositionUnit") == "inches", "its unit beside it (%r)" % page.text("#PositionUnit"))
    page.type("#PositionEdit", "1.000")
    page.key("Enter")
    dialog(page, "#StopGoToDialog")
    checks.check(True, "the Go To In Progress panel shows while the go-to runs")
    checks.check(until(lambda: position(page) == '1.000"'), "the go-to ends at 1.000\" (%s)" % position(page))
    closed(page, "#StopGoToDialog")

    prog.sim_command("clear")
    page.click("#StepOutButton")
    checks.check(until(lambda: position(page) == '1.010"'), "Step Out by 0.010\" (%s)" % position(page))
    checks.check(prog.commands() == "g", "a step is a go-to on the line (%r)" % prog.commands())

    page.click("nav button[data-page=TabSheet3]")
    greyed = lambda: page.js("['GoTo1', 'Delete1', 'GoTo2', 'Delete2'].map(id => document.getElementById(id).disabled)")
    checks.check(greyed() == [True] * 4, "Go To and Delete greyed on empty slots (%s)" % greyed())
    page.click("#Store1")
    page.wait("!document.getElementById('Description1').readOnly && document.activeElement.id === 'Description1'",
              what="slot 1's description open and focused")
    page.type("#Description1", "Eyepiece focus")
    page.key("Enter")
    page.wait("document.getElementById('Description1').readOnly")
    checks.check(page.text("#Pos1") == '1.010"' and page.js("document.getElementById('Description1').value")
                 == "Eyepiece focus", "slot 1 holds 1.010\" and its description")
    checks.check(greyed() == [False, False, True, True], "and only the empty slot's greyed (%s)" % greyed())
    page.click("nav button[data-page=TabSheet1]")
    page.click("#GoToPosButton")
    dialog(page, "#GoToDialog")
    page.type("#PositionEdit", "0.2")
    page.click("#GoToOK")
    checks.check(until(lambda: position(page) == '0.200"'), "a go-to to 0.200\"")
    page.click("nav button[data-page=TabSheet3]")
    page.click("#GoTo1")
    page.click("#Store2")
    said = page.wait("(e => !e.hidden && e.textContent)(document.getElementById('StoreRefusal'))", what="a refusal")
    checks.check(said == "A Go To is in progress: Store Position not started", "Store refused on its page: " + said)
    checks.check(until(lambda: position(page) == '1.010"'), "Go To of slot 1 returns to 1.010\" (%s)" % position(page))
    closed(page, "#StoreRefusal")


def set_zero(checks, prog, page, other):
    """The question on two pages at once; the answer of one closes both."""
    page.click("nav button[data-page=TabSheet2]")
    prog.sim_command("clear")
    page.click("#SetZeroPosition")
    dialog(page, "#AreYouSureDialog")
    dialog(other, "#AreYouSureDialog")
    checks.check(page.text("#SureText") == "Are you sure you want to zero the position value?" ==
                 other.text("#SureText"), "both pages ask the set-zero question")
    other.click("#SureOK")
    closed(page, "#AreYouSureDialog")
    closed(other, "#AreYouSureDialog")
    checks.check(until(lambda: prog.commands() == "z"), "the answer on the other page sets zero ('z')")
    checks.check(until(lambda: position(page) == '0.000"' and position(other) == '0.000"'),
                 "both pages show 0.000\"")


def add_by_model(page, name):
    """Adds a focuser with the model tables, to the last page of the setup."""
    page.click("#AddFocuser")
    setup_page(page, "A Corvell Controller has been found.")
    page.click("#SetupOK")
    setup_page(page, "Enter a description")
    page.wait("document.activeElement.id === 'FocuserDescription'")
    page.type("#FocuserDescription", name)
    page.click("#SetupOK")
    setup_page(page, "Select the desired setup mode.")
    choose(page, "SetupModeSelect", "Tav Focuser Setup")
    setup_page(page, "Select the Tav Focuser model.")
    choose(page, "SetupModeSelect", "Mavrel 1 or 2")
    setup_page(page, "Select the focuser drawtube length.")
    choose(page, "SetupModeSelect", '3.00"')
    setup_page(page, "Select the encoder resolution")
    choose(page, "SetupModeSelect", "2160")
    setup_page(page, "Setup is now complete.")


def add_focuser(checks, prog, page):
    """A focuser added with the model tables, then the units changed."""
    add_by_model(page, "Refractor 80")
    checks.check(page.text("#SetupOK") == "Initialize now" and page.text("#SetupCancel") == "Initialize later",
                 "the last page's buttons say what they do")
    page.click("#SetupCancel")
    closed(page, "#SetupDialog")
    checks.check(until(lambda: "Refractor 80" in page.text("#FocuserList")), "the list holds the new focuser")
    checks.check(page.text("#FocuserType").strip() == "Refractor 80", "and it is the focuser in use")
    checks.check(page.text("#ReinitText").startswith("You must initialize"), "which asks to be initialized")
    before = position(page)
    page.click("#Units label:nth-of-type(2) input")
    checks.check(until(lambda: position(page).endswith("cm")), "units cm: %s, then %s" % (before, position(page)))
    checks.check(page.text("#EncoderLines").strip() == "Encoder Counts per cm:",
                 "the scale is per cm (%s)" % page.text("#EncoderLines"))


def no_focuser(checks, args, browser):
    """The focuser in use deleted: what is a focuser's own greyed, the position a count."""
    with Program(args.program, args.sim, {"focuser.dc1": b"0\0" b"0\0" b"0\0" b"0.01\0" b"2\0" b"1\0"}) as prog:
        page = browser.page(390, 844)
        page.open(prog.url + "/setup")
        page.wait("document.body.dataset.version")
        live = page.js("Array.from(document.querySelectorAll('#TabSheet2 .column button, #StoredPositions button, "
                       "#BacklashEnable input')).filter(b => !b.disabled).map(b => b.id || b.value)")
        checks.check(live == ["AddFocuser", "SetZeroPosition", "RestoreDefaults"], "no focuser: the rest greyed (%s)" % live)
        checks.check(page.text("#FocuserType") == "No focuser in use" and position(page) == "1200 counts",
                     "and the position a count (%s)" % position(page))


def alpaca_move(checks, prog, page):
    alpaca(prog, "PUT", "connected", "Connected=True")
    answer = alpaca(prog, "PUT", "move", "Position=3000")
    checks.check(answer["ErrorNumber"] == 0, "an Alpaca client moves the focuser: %s" % answer["ErrorMessage"])
    counts = page.wait("(t => t.includes('3000') && t)(document.getElementById('EncoderPosition').textContent)")
    checks.check("3000" in counts, "the page shows where the Alpaca move ended (%s)" % counts)


class Elsewhere(http.server.BaseHTTPRequestHandler):
    """Another site's page, as a page the user visits meanwhile: a form that
    posts itself to the focuser, and a script that tries the same."""
    target = ""

    def do_GET(self):
        body = ("""<!DOCTYPE html><html><body>
<form id="f" method="POST" action="%s/setup/api/action" enctype="text/plain">
<input name='{"action":"moveOut","x":"' value='"}'></form>
<script>
fetch('%s/setup/api/action', {method: 'POST', mode: 'no-cors', body: '{"action":"moveIn"}'})
  .finally(() => document.getElementById('f').submit());
</script></body></html>""" % (self.target, self.target)).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def cross_site(checks, prog, browser):
    Elsewhere.target = prog.url
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Elsewhere)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        prog.sim_command("clear")
        page = browser.page(800, 600)
        page.open("http://localhost:%d/" % server.server_address[1])
        page.wait("location.href.endsWith('/setup/api/action')", what="the form posted")
        said = page.wait("document.body && document.body.innerText")
        checks.check(said.startswith("Forbidden: this request is not the setup page's own"),
                     "another site's form post is refused: %s" % said.strip())
        time.sleep(0.5)
        checks.check(prog.commands() == "", "and nothing reaches the module (%r)" % prog.commands())
    finally:
        server.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args()
    checks = Checks()
    with Program(args.program, args.sim) as prog, Browser() as browser:
        page = browser.page(390, 844)
        page.call("Network.enable")
        page.open(prog.url + "/setup")
        page.wait("document.body.dataset.version", what="the first state")
        checks.check(position(page) == '0.327"', "the page shows the position (%s)" % position(page))
        laptop = browser.page(1280, 800)
        laptop.open(prog.url + "/setup/v1/focuser/0/setup")
        laptop.wait("document.body.dataset.version", what="the first state on the laptop")
        fits(checks, page, 390)
        fits(checks, laptop, 1280)
        operate(checks, prog, page)
        set_zero(checks, prog, laptop, page)
        add_focuser(checks, prog, laptop)
        alpaca_move(checks, prog, laptop)
        cross_site(checks, prog, browser)
        no_focuser(checks, args, browser)
        asked = sorted({e["params"]["request"]["url"].split("?")[0] for e in browser.events
                        if e.get("method") == "Network.requestWillBeSent" and e.get("sessionId") == page.session})
        outside = [u for u in asked if not u.startswith(prog.url + "/")]
        checks.check(asked and not outside, "the page asked only its own server: %s" % (outside or asked))
    print("%d failed" % checks.failed)
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
