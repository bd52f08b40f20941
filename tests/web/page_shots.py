#!/usr/bin/env python3
"""Pictures of the setup page: every page, question, entry and setup page,
the panels of a running go-to and initialization, and the three themes, at
390x844 (a phone) and 1280x800 (a laptop), taken by the browser itself.

    python3 tests/web/page_shots.py --program build/corvell-focuser --sim build/corvell-sim --out build/screenshots/page
"""
import argparse
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import add_by_model, choose, closed, dialog, setup_page  # noqa: E402
from devtools import Browser  # noqa: E402
from program import Program  # noqa: E402

SIZES = {"phone": (390, 844), "laptop": (1280, 800)}


def theme(page, name):
    page.js("(t => { t.value = '%s'; t.dispatchEvent(new Event('change')); })(document.getElementById('Theme'))" % name)


def tab(page, sheet):
    page.click("nav button[data-page=%s]" % sheet)


def add_focuser(page, name):
    tab(page, "TabSheet2")
    add_by_model(page, name)
    page.click("#SetupCancel")
    closed(page, "#SetupDialog")


def shots(prog, page, out, size):
    def shot(name):
        time.sleep(0.15)  # the last change drawn
        page.screenshot(os.path.join(out, "%s-%s.png" % (size, name)))

    theme(page, "dark")
    shot("operate")
    for sheet, name in (("TabSheet3", "store"), ("TabSheet2", "configure"), ("TabSheet4", "settings"),
                        ("TabSheet7", "help")):
        tab(page, sheet)
        shot(name)
    tab(page, "TabSheet2")
    page.click("#SetZeroPosition")
    dialog(page, "#AreYouSureDialog")
    shot("question")
    page.click("#SureCancel")
    closed(page, "#AreYouSureDialog")

    page.click("#ChangeDescription")
    dialog(page, "#TextEntryDialog")
    page.type("#EnterText", "Refractor \u2605")
    page.click("#TextOK")
    page.wait("!document.getElementById('EnterTextHint').hidden")
    shot("rename-refused")
    page.click("#TextCancel")
    closed(page, "#TextEntryDialog")
    time.sleep(0.3)  # the rename ends at the program's next pass

    page.click("#AddFocuser")
    setup_page(page, "A Corvell Controller has been found.")
    page.click("#SetupOK")
    setup_page(page, "Enter a description")
    page.click("#SetupOK")
    setup_page(page, "Select the desired setup mode.")
    shot("setup-mode")
    choose(page, "SetupModeSelect", "Specify Focuser Parameters")
    setup_page(page, "Enter the desired values")
    page.type("#FocuserDescription", "12")
    page.key("Enter")
    page.wait("!document.getElementById('SetupRefusal').hidden")
    shot("setup-parameters-refused")
    page.click("#SetupBack")
    setup_page(page, "Select the desired setup mode.")
    choose(page, "SetupModeSelect", "Manual Setup Procedure")
    setup_page(page, "Verify that the Motor Direction Switch")
    prog.sim_command("out down")
    time.sleep(0.4)
    prog.sim_command("out up")
    page.wait("Number(document.getElementById('SetupPosition').textContent) > 1300", what="the live encoder count")
    shot("setup-manual")
    page.click("#SetupCancel")
    closed(page, "#SetupDialog")

    tab(page, "TabSheet1")
    page.click("#GoToPosButton")
    dialog(page, "#GoToDialog")
    page.type("#PositionEdit", "9")
    page.click("#GoToOK")
    page.wait("document.getElementById('GoToLabel').textContent.includes('travel limit')")
    shot("goto-refused")
    here = page.text("#PositionDisplay").strip()
    page.type("#PositionEdit", "1.2" if float(here.rstrip('"')) < 0.9 else "0.2")  # long enough for a Store refused
    page.click("#GoToOK")
    dialog(page, "#StopGoToDialog")
    theme(page, "red")
    shot("moving-red")
    page.js("document.querySelector('nav [data-page=TabSheet3]').click(); document.getElementById('Store3').click()")
    dialog(page, "#StoreRefusal")
    shot("store-refused-red")
    page.js("document.querySelector('nav [data-page=TabSheet2]').click(); document.getElementById('SetZeroPosition').click()")
    dialog(page, "#ConfigureRefusal")
    shot("configure-refused-red")
    tab(page, "TabSheet1")
    closed(page, "#StopGoToDialog")
    page.type("#StepEdit", "abc")
    page.key("Enter")
    dialog(page, "#InvalidNumberMessage")
    shot("invalid-number-red")
    page.click("#InvalidOK")
    theme(page, "day")
    shot("operate-day")
    theme(page, "red")
    tab(page, "TabSheet2")
    page.click("#ReinitializeFocuser")
    dialog(page, "#AreYouSureDialog")
    page.click("#SureOK")
    dialog(page, "#StopInitDialog", 20)
    shot("initializing-red")
    page.click("#StopInitDialog button")
    closed(page, "#StopInitDialog", 20)
    page.click("#AutoDetect")
    dialog(page, "#AutoDetectDialog", 60)
    shot("autodetect-red")
    page.click("#AutoDetectOK")
    closed(page, "#AutoDetectDialog")
    theme(page, "dark")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with Program(args.program, args.sim) as prog, Browser() as browser:
        for size, (width, height) in SIZES.items():
            page = browser.page(width, height)
            page.open(prog.url + "/setup")
            page.wait("document.body.dataset.version")
            if size == "phone":
                add_focuser(page, "Refractor 80")
                add_focuser(page, "Newtonian 200 with a long description")
                tab(page, "TabSheet3")
                for n, text in ((1, "Eyepiece"), (2, "Camera with filter wheel")):
                    page.click("#Store%d" % n)
                    page.wait("!document.getElementById('Description%d').readOnly" % n)
                    page.type("#Description%d" % n, text)
                    page.key("Enter")
                    page.wait("document.getElementById('Description%d').readOnly" % n)
                tab(page, "TabSheet1")
            try:
                shots(prog, page, args.out, size)
            except AssertionError:
                page.screenshot(os.path.join(args.out, "failed-%s.png" % size))
                print(page.text("#ActivityDisplay"))
                raise
            page.call("Page.close")
    print("pictures in", args.out)


if __name__ == "__main__":
    main()
