"""A headless Chromium driven through the DevTools protocol over its pipe
(--remote-debugging-pipe: JSON messages ending in a zero byte on file
descriptors 3 and 4), with python3's standard library only.

    with Browser() as browser:
        page = browser.page(390, 844)
        page.open("http://127.0.0.1:11111/setup")
        page.wait("document.body.dataset.version")
        page.click("#MoveOutButton")
        page.screenshot("phone.png")
"""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = os.environ.get("CORVELL_CHROMIUM", "/usr/bin/chromium")
# A browser in a closed network: nothing of its own goes out, nothing of
# its own is downloaded.
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--disable-default-apps", "--hide-scrollbars", "--mute-audio",
         "--remote-debugging-pipe"]


class DevToolsError(RuntimeError):
    pass


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="corvell-chromium-")
        to_browser, self._out = os.pipe()
        self._in, from_browser = os.pipe()

        def descriptors():
            a, b = os.dup(to_browser), os.dup(from_browser)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.process = subprocess.Popen([CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
                                        preexec_fn=descriptors, close_fds=False, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer = b""
        self._next = 0
        self.events = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process.poll() is None:
            try:
                self.call("Browser.close", timeout=5)
            except (DevToolsError, OSError):
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in (self._out, self._in):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def call(self, method, params=None, session=None, timeout=30):
        self._next += 1
        ident = self._next
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            for m in self._take():
                if m.get("id") == ident:
                    if "error" in m:
                        raise DevToolsError("%s: %s" % (method, m["error"]))
                    return m.get("result", {})
                self.events.append(m)
            left = deadline - time.monotonic()
            if left <= 0:
                raise DevToolsError("no answer to " + method)
            ready, _, _ = select.select([self._in], [], [], left)
            if ready:
                chunk = os.read(self._in, 1 << 20)
                if not chunk:
                    raise DevToolsError("the browser closed its pipe")
                self._buffer += chunk

    def _take(self):
        messages = []
        while b"\0" in self._buffer:
            raw, self._buffer = self._buffer.split(b"\0", 1)
            messages.append(json.loads(raw))
        return messages

    def page(self, width, height):
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        return Page(self, session, width, height)


class Page:
    def __init__(self, browser, session, width, height):
        self.browser = browser
        self.session = session
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.size(width, height)

    def call(self, method, params=None, timeout=30):
        return self.browser.call(method, params, self.session, timeout)

    def size(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def open(self, url):
        """Loads `url` and waits until the page has loaded."""
        self.call("Page.navigate", {"url": url})
        self.wait("document.readyState === 'complete' && location.href !== 'about:blank'", what="the page to load")

    def js(self, expression):
        """The value of a JavaScript expression (awaited when a promise)."""
        r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in r:
            raise DevToolsError("%s: %s" % (expression, r["exceptionDetails"].get("exception", {}).get(
                "description", r["exceptionDetails"].get("text"))))
        return r["result"].get("value")

    def wait(self, expression, seconds=10, what=None):
        """Waits until the expression is true; returns its value."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                value = self.js(expression)
            except DevToolsError:  # not there yet (a page still loading)
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError("gave up waiting for " + (what or expression))
            time.sleep(0.02)

    def text(self, selector):
        return self.js("document.querySelector(%s).innerText" % json.dumps(selector))

    def click(self, selector):
        """A mouse click in the middle of the element, as a user's."""
        box = self.js("""(e => { e.scrollIntoView({block: 'center'}); const r = e.getBoundingClientRect();
                          return [r.x + r.width / 2, r.y + r.height / 2, r.width]; })(document.querySelector(%s))"""
                      % json.dumps(selector))
        if not box or box[2] == 0:
            raise AssertionError(selector + " is not on the page")
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", {"type": kind, "x": box[0], "y": box[1], "button": "left",
                                                   "clickCount": 1})

    def type(self, selector, text, replace=True):
        self.js("(e => { e.focus(); %s })(document.querySelector(%s))"
                % ("e.select();" if replace else "", json.dumps(selector)))
        self.call("Input.insertText", {"text": text})

    def key(self, name):
        codes = {"Enter": 13, "Escape": 27, "Tab": 9}
        for kind in ("keyDown", "keyUp"):
            params = {"type": kind, "key": name, "code": name, "windowsVirtualKeyCode": codes[name]}
            if name == "Enter" and kind == "keyDown":
                params["text"] = "\r"
            self.call("Input.dispatchKeyEvent", params)

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"})["data"]))
