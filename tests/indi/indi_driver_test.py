#!/usr/bin/env python3
"""Talks to indi_corvell_focuser over its standard streams as indiserver
would (INDI's XML, python3's standard library only), against the simulated
module corvell-sim on a pseudo-terminal linked at <tmp>/com1. The
simulator's console lists the bytes the driver sent ("received") and plays
an unplugged adapter ("hangup").

    indi_driver_test.py --driver build/indi_corvell_focuser --sim build/corvell-sim

Both programs of another architecture's build run through an emulator:
    indi_driver_test.py --emulator qemu-aarch64-static \
        --driver build-arm64/indi_corvell_focuser --sim build-arm64/corvell-sim
"""
import argparse
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

DEVICE = "Corvell Focuser"
EMULATOR = []  # the command the programs are started through (--emulator), or none
WAIT = 60  # seconds any single wait may take on a loaded machine before it gives up
ARGUMENT_BYTES = {ord(c): 2 for c in "gwdef"}  # command letters followed by a 16-bit argument


class Checks:
    passed = failed = 0

    def check(self, cond, what):
        if cond:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL:", what, flush=True)
        return cond


class Driver:
    """One driver process; every vector it sends is kept in arrival order."""

    def __init__(self, path, env):
        self.proc = subprocess.Popen(EMULATOR + [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.events = queue.Queue()
        self.props = {}  # name -> {"kind", "state", "values", "message", "min", "max"}
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        parser = ET.XMLPullParser(events=("start", "end"))
        parser.feed(b"<stream>")
        depth = 0
        while True:
            line = self.proc.stdout.readline()
            if not line:
                self.events.put(None)
                return
            if line.startswith(b"<?xml"):  # libindi starts every element with a declaration
                continue
            parser.feed(line)
            for event, el in parser.read_events():
                depth += 1 if event == "start" else -1
                if event == "end" and depth == 1:
                    self.events.put(el)

    def _take(self, el):
        name, tag = el.get("name"), el.tag
        if tag.startswith("del"):
            self.props.pop(name, None) if name else self.props.clear()
            return
        if not tag.startswith(("def", "set")) or name is None:
            return
        p = self.props.setdefault(name, {"values": {}, "min": {}, "max": {}})
        p["kind"] = tag[3:]
        p["state"] = el.get("state", p.get("state"))
        p["message"] = el.get("message", "")
        for member in el:
            key = member.get("name")
            text = (member.text or "").strip()
            p["values"][key] = float(text) if "Number" in tag else text
            for bound in ("min", "max"):
                if member.get(bound) is not None:
                    p[bound][key] = float(member.get(bound))

    def wait(self, what, cond, seconds=WAIT):
        """Takes the driver's output until cond(element) holds; returns that element."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                el = self.events.get(timeout=0.2)
            except queue.Empty:
                continue
            if el is None:
                raise RuntimeError("the driver ended while waiting for " + what)
            self._take(el)
            if cond(el):
                return el
        raise RuntimeError("gave up waiting for " + what)

    def wait_state(self, name, states, seconds=WAIT):
        """The next vector `name` in one of `states`; the states it passed through are returned with it."""
        seen = []

        def match(el):
            if el.get("name") != name or not el.tag.startswith(("set", "def")):
                return False
            seen.append(el.get("state"))
            return el.get("state") in states

        el = self.wait("%s to be %s" % (name, "/".join(states)), match, seconds)
        return el, seen

    def settle_state(self, name, state, quiet=2.5):
        """Vector `name` in `state` once the driver has said nothing new of it for `quiet` seconds
        (an exchange still on the line may yet time out and change it)."""
        end = time.monotonic() + quiet
        while time.monotonic() < end:
            try:
                el = self.events.get(timeout=0.1)
            except queue.Empty:
                continue
            if el is None:
                raise RuntimeError("the driver ended while waiting for %s to settle" % name)
            self._take(el)
            if el.get("name") == name and el.get("state") != state:
                self.wait_state(name, (state,))
                end = time.monotonic() + quiet
        if self.props.get(name, {}).get("state") != state:
            self.wait_state(name, (state,))

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def new(self, kind, name, members):
        tag = {"Number": "oneNumber", "Switch": "oneSwitch", "Text": "oneText"}[kind]
        body = "".join("<%s name='%s'>%s</%s>" % (tag, k, v, tag) for k, v in members.items())
        self.send("<new%sVector device='%s' name='%s'>%s</new%sVector>\n" % (kind, DEVICE, name, body, kind))

    def close(self):
        self.proc.stdin.close()  # the end of its input ends it, as when indiserver lets it go
        try:
            return self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


class Sim:
    def __init__(self, path, link):
        command = EMULATOR + [path, "--link", link, "--speed", "1000", "--length", "7000", "--position", "1200"]
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.proc.stdout.readline()

    def line(self, text, answer=False):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip() if answer else ""

    def commands(self):
        """The commands the driver sent since the last clear: (letter, argument or None)."""
        data = [int(b, 16) for b in self.line("received", answer=True).split()[1:]]
        out, i = [], 0
        while i < len(data):
            n = ARGUMENT_BYTES.get(data[i], 0)
            out.append((chr(data[i]), data[i + 1] * 256 + data[i + 2] if n and i + 2 < len(data) else None))
            i += 1 + n
        return out

    def close(self):
        if self.proc.poll() is None:
            self.line("quit")
            self.proc.wait(timeout=WAIT)


def run(args, folder, checks):
    link = os.path.join(folder, "com1")
    data = os.path.join(folder, "data")
    env = dict(os.environ, HOME=os.path.join(folder, "home"), CORVELL_DATA_DIR=data, CORVELL_COM1=link)
    os.mkdir(env["HOME"])
    env.pop("CORVELL_TRACE", None)
    # Under AddressSanitizer (scripts/sanitize): libindi has no frame pointers,
    # so a leak report reaches the libindi function that leaked (suppressed by
    # name in scripts/lsan.supp) only with the slow unwinder.
    if env.get("ASAN_OPTIONS"):
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    for n in range(2, 6):
        env["CORVELL_COM%d" % n] = os.path.join(folder, "absent-com%d" % n)
    sim = Sim(args.sim, link)
    d = Driver(args.driver, env)
    other = None
    try:
        # getProperties: the connection and its port, speed and search.
        d.send("<getProperties version='1.7'/>\n")
        d.wait("the port's definition", lambda el: el.tag == "defSwitchVector" and el.get("name") == "DEVICE_AUTO_SEARCH")
        p = d.props
        checks.check(p["CONNECTION"]["values"] == {"CONNECT": "Off", "DISCONNECT": "On"}, "CONNECTION starts off")
        checks.check(p["DRIVER_INFO"]["values"].get("DRIVER_INTERFACE") == "8", "DRIVER_INFO names a focuser")
        checks.check(p["DEVICE_PORT"]["values"] == {"PORT": link}, "DEVICE_PORT is COM1's device %r" % p["DEVICE_PORT"])
        checks.check(sorted(p["DEVICE_BAUD_RATE"]["values"]) == ["2400", "9600"], "two speeds only")

        # A port with no module: Alert with the reason, the folder let go.
        d.new("Text", "DEVICE_PORT", {"PORT": os.path.join(folder, "nothing-here")})
        d.new("Switch", "CONNECTION", {"CONNECT": "On"})
        el, _ = d.wait_state("CONNECTION", ("Alert",))
        checks.check("nothing-here" in el.get("message", ""), "a missing port is named: %r" % el.get("message"))
        # With the search on, the program's port search finds the module on COM1.
        d.new("Switch", "DEVICE_AUTO_SEARCH", {"INDI_ENABLED": "On", "INDI_DISABLED": "Off"})
        d.new("Switch", "CONNECTION", {"CONNECT": "On"})
        el, seen = d.wait_state("CONNECTION", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok" and "Busy" in seen, "connected after the search: %r" % el.attrib)
        d.wait("the focuser's properties", lambda el: el.get("name") == "CORVELL_STORED_GOTO")
        checks.check(p["DEVICE_PORT"]["values"] == {"PORT": link}, "DEVICE_PORT shows where it was found")
        checks.check(p["ABS_FOCUS_POSITION"]["values"]["FOCUS_ABSOLUTE_POSITION"] == 1200, "position read")
        stored = p["CORVELL_STORED_POSITIONS"]["values"]
        checks.check(len(stored) == 20 and set(stored.values()) == {-1}, "20 stored positions, all empty")

        # Moves: the command the module hears, the states and the end.
        for kind, name, value, motion, argument in [
            ("absolute", "ABS_FOCUS_POSITION", 2000, None, 2000),
            ("relative in", "REL_FOCUS_POSITION", 500, "FOCUS_INWARD", 1500),
            ("relative out", "REL_FOCUS_POSITION", 300, "FOCUS_OUTWARD", 1800),
        ]:
            sim.line("clear")
            if motion:
                d.new("Switch", "FOCUS_MOTION", {motion: "On"})
            member = "FOCUS_ABSOLUTE_POSITION" if name.startswith("ABS") else "FOCUS_RELATIVE_POSITION"
            d.new("Number", name, {member: value})
            el, seen = d.wait_state(name, ("Ok", "Alert"))
            checks.check(el.get("state") == "Ok" and "Busy" in seen, "%s move Busy then Ok: %r" % (kind, seen))
            checks.check(("g", argument) in sim.commands(), "%s move sends g %d" % (kind, argument))
            checks.check(p["ABS_FOCUS_POSITION"]["values"]["FOCUS_ABSOLUTE_POSITION"] == argument,
                         "%s move ends at %d" % (kind, argument))

        # A request while a go-to runs is refused; abort stops it on the module.
        sim.line("clear")
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 6000})
        d.wait_state("ABS_FOCUS_POSITION", ("Busy",))
        deadline = time.monotonic() + WAIT
        while sim.line("status", answer=True).split()[3] != "yes" and time.monotonic() < deadline:
            time.sleep(0.05)
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 100})
        el, _ = d.wait_state("ABS_FOCUS_POSITION", ("Alert",))
        checks.check(el.get("message") == "A Go To is in progress", "refused while busy: %r" % el.get("message"))
        d.new("Switch", "FOCUS_ABORT_MOTION", {"ABORT": "On"})
        el, seen = d.wait_state("FOCUS_ABORT_MOTION", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok", "abort ends Ok: %r" % seen)
        status = sim.line("status", answer=True).split()
        commands = [c for c, _ in sim.commands()]
        checks.check("s" in commands[commands.index("g"):], "the module heard s after g: %r" % commands)
        checks.check(status[3] == "no" and int(status[1]) < 6000, "stopped short of 6000: %r" % status)

        # Maximum, sync, backlash: each Busy then Ok, or Alert with the reason.
        for name, member, value, state, letter, message in [
            ("FOCUS_MAX", "FOCUS_MAX_VALUE", 6500, "Ok", ("w", 6500), ""),
            ("FOCUS_SYNC", "FOCUS_SYNC_VALUE", 5, "Alert", None, "can only be set to 0"),
            ("FOCUS_SYNC", "FOCUS_SYNC_VALUE", 0, "Ok", ("z", None), ""),
            ("FOCUS_BACKLASH_STEPS", "FOCUS_BACKLASH_VALUE", 250, "Ok", None, ""),
        ]:
            sim.line("clear")
            d.new("Number", name, {member: value})
            el, seen = d.wait_state(name, ("Ok", "Alert"))
            checks.check(el.get("state") == state and message in el.get("message", ""),
                         "%s %s: %s %r" % (name, value, state, el.attrib))
            checks.check(state == "Alert" or "Busy" in seen, "%s Busy first: %r" % (name, seen))
            if letter:
                checks.check(letter in sim.commands(), "%s %s sends %r" % (name, value, letter))
        checks.check(sim.line("status", answer=True).split()[5] == "6500", "the module's maximum travel is 6500")
        d.wait("the position after the sync", lambda el: el.get("name") == "ABS_FOCUS_POSITION" and
               float(el.find("oneNumber").text) == 0)
        d.new("Switch", "FOCUS_BACKLASH_TOGGLE", {"INDI_ENABLED": "On", "INDI_DISABLED": "Off"})
        el, seen = d.wait_state("FOCUS_BACKLASH_TOGGLE", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok" and p["FOCUS_BACKLASH_TOGGLE"]["values"]["INDI_ENABLED"] == "On",
                     "backlash on: %r" % seen)

        # Another program on the same data folder is refused with the reason.
        other = Driver(args.driver, env)
        other.send("<getProperties version='1.7'/>\n")
        other.wait("the second driver", lambda el: el.get("name") == "DEVICE_AUTO_SEARCH")
        other.new("Switch", "CONNECTION", {"CONNECT": "On"})
        el, _ = other.wait_state("CONNECTION", ("Alert", "Ok"))
        checks.check(el.get("state") == "Alert" and "in use by" in el.get("message", ""),
                     "a second driver is refused: %r" % el.attrib)

        # Unplugged: Alert with the reason; found again on a new module at the same link.
        sim.line("hangup")
        el, _ = d.wait_state("CONNECTION", ("Alert",))
        checks.check("went away" in el.get("message", ""), "unplug reported: %r" % el.get("message"))
        sim.close()
        sim = Sim(args.sim, link)
        el, _ = d.wait_state("CONNECTION", ("Ok",))
        checks.check(p["CONNECTION"]["values"]["CONNECT"] == "On", "found again: %r" % el.get("message"))
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 1000})
        el, _ = d.wait_state("ABS_FOCUS_POSITION", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok", "a move after the replug: %r" % el.attrib)

        # A move the module rejects or meets silent is not made: Alert with the
        # reason, never Ok. (Rejecting, a read on the line may time out first.)
        silent = "The move to %d was not made: no answer from the control module on COM1: %s at 9600 baud"
        for fault, target, refused in [("reject", 2000, "the control module refused the Go To (Command error)"),
                                       ("silent", 2500, None)]:
            sim.line(fault + " on")
            sim.line("status", answer=True)  # the console answers in order: the fault is on
            d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": target})
            el, seen = d.wait_state("ABS_FOCUS_POSITION", ("Ok", "Alert"))
            reasons = (silent % (target, link), "The move to %d was not made: %s" % (target, refused))
            checks.check(el.get("state") == "Alert" and el.get("message") in reasons,
                         "a move to %d with the module %s: %r %r" % (target, fault, seen, el.get("message")))
            sim.line(fault + " off")
            # Rejecting, the reads after the move may or may not have timed out
            # (the connection Alert, then Ok again): either way it ends Ok.
            d.settle_state("CONNECTION", "Ok")

        # Disconnected and connected again: the settings written are the program's own.
        d.new("Switch", "CONNECTION", {"DISCONNECT": "On"})
        d.wait_state("CONNECTION", ("Idle",))
        d.wait("the focuser's properties deleted", lambda el: el.tag == "delProperty" and
               el.get("name") == "CORVELL_STORED_GOTO")
        checks.check("ABS_FOCUS_POSITION" not in p, "focuser properties deleted on disconnect")
        d.new("Switch", "CONNECTION", {"CONNECT": "On"})
        d.wait_state("CONNECTION", ("Ok",))
        d.wait("the backlash steps", lambda el: el.get("name") == "FOCUS_BACKLASH_STEPS")
        checks.check(p["FOCUS_BACKLASH_STEPS"]["values"]["FOCUS_BACKLASH_VALUE"] == 250 and
                     p["FOCUS_MAX"]["values"]["FOCUS_MAX_VALUE"] == 6500, "backlash and maximum kept in the profile")
        checks.check(d.close() == 0, "the driver ends with status 0 at the end of its input")
    finally:
        for proc in (d, other):
            if proc and proc.proc.poll() is None:
                proc.proc.kill()
                proc.proc.wait()
        sim.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--emulator", help="start both programs through this command")
    args = parser.parse_args()
    if args.emulator:
        EMULATOR.append(args.emulator)
    folder = tempfile.mkdtemp(prefix="corvell-indi-")
    checks = Checks()
    try:
        run(args, folder, checks)
    except RuntimeError as e:
        checks.check(False, str(e))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
