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
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import corvell_test  # noqa: E402

EMULATOR = []  # the command the programs are started through (--emulator), or none
WAIT = 60  # seconds any single wait may take on a loaded machine before it gives up


class Driver:
    """One driver process; every vector it sends is kept in arrival order."""

    def __init__(self, path, env, device="Corvell Focuser", args=()):
        self.proc = subprocess.Popen(EMULATOR + [path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.device = device
        self.devices = set()  # every device named in what it sent
        self.messages = []
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
        self.devices.add(el.get("device"))
        if el.get("message"):
            self.messages.append(el.get("message"))
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
        self.send("<new%sVector device='%s' name='%s'>%s</new%sVector>\n" % (kind, self.device, name, body, kind))

    def close(self):
        self.proc.stdin.close()  # the end of its input ends it, as when indiserver lets it go
        return corvell_test.wait_or_kill(self.proc, WAIT)


def start_sim(path, link):
    """corvell-sim on `link`, started as the driver is (through the emulator, if any)."""
    return corvell_test.Sim(path, link, 1000, EMULATOR, close_wait=WAIT)


def move(d, sim, name, value, motion=None):
    """A move asked for and its end: (the end's element, the states before it, the go-tos the module heard)."""
    sim.line("clear")
    if motion:
        d.new("Switch", "FOCUS_MOTION", {motion: "On"})
    member = "FOCUS_ABSOLUTE_POSITION" if name.startswith("ABS") else "FOCUS_RELATIVE_POSITION"
    d.new("Number", name, {member: value})
    el, seen = d.wait_state(name, ("Ok", "Alert"))
    if name.startswith("REL"):  # a relative move ends on ABS too
        d.wait_state("ABS_FOCUS_POSITION", ("Ok", "Alert"))
    return el, seen, [a for c, a in sim.commands() if c == "g"]


def wait_moving(sim):
    corvell_test.until(lambda: sim.line("status", answer=True).split()[3] == "yes", WAIT, pause=0.02)


def connect(d):
    d.send("<getProperties version='1.7'/>\n")
    d.wait("the connection", lambda el: el.get("name") == "DEVICE_AUTO_SEARCH")
    d.new("Switch", "CONNECTION", {"CONNECT": "On"})
    return d.wait_state("CONNECTION", ("Ok", "Alert"))[0]


def run(args, folder, checks):
    link = os.path.join(folder, "com1")
    data = os.path.join(folder, "data")
    env = dict(os.environ, HOME=os.path.join(folder, "home"), CORVELL_DATA_DIR=data, CORVELL_COM1=link)
    os.mkdir(env["HOME"])
    os.mkdir(data)  # a focuser in use, as the window leaves one
    with open(os.path.join(data, "fc00001.df1"), "wb") as f:
        f.write(b"Focuser 00001\0")
    with open(os.path.join(data, "focuser.dc1"), "wb") as f:
        f.write(b"0\0" b"0\0" b"0\0" b"0.01\0" b"2\0" b"1\0")
    env.pop("CORVELL_TRACE", None)
    # Under AddressSanitizer (scripts/sanitize): libindi has no frame pointers,
    # so a leak report reaches the libindi function that leaked (suppressed by
    # name in scripts/lsan.supp) only with the slow unwinder.
    if env.get("ASAN_OPTIONS"):
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    for n in range(2, 6):
        env["CORVELL_COM%d" % n] = os.path.join(folder, "absent-com%d" % n)
    sim = start_sim(args.sim, link)
    # indiserver hands a driver the name it was asked for in INDIDEV.
    d = Driver(args.driver, dict(env, INDIDEV="Corvell Focuser 2"), device="Corvell Focuser 2")
    other = None
    try:
        # getProperties: the connection and its port, speed and search.
        d.send("<getProperties version='1.7'/>\n")
        d.wait("the port list", lambda el: el.tag == "defSwitchVector" and el.get("name") == "SYSTEM_PORTS")
        p = d.props
        checks.check(d.devices == {"Corvell Focuser 2"}, "the device is named as INDIDEV says: %r" % d.devices)
        checks.check(p["CONNECTION"]["values"] == {"CONNECT": "Off", "DISCONNECT": "On"}, "CONNECTION starts off")
        checks.check(p["DRIVER_INFO"]["values"].get("DRIVER_INTERFACE") == "8", "DRIVER_INFO names a focuser")
        checks.check(p["DRIVER_INFO"]["values"].get("DRIVER_VERSION") == args.version,
                     "DRIVER_VERSION is the package's: %r" % p["DRIVER_INFO"]["values"])
        checks.check(p["DEVICE_PORT"]["values"] == {"PORT": link}, "DEVICE_PORT is COM1's device %r" % p["DEVICE_PORT"])
        checks.check(sorted(p["DEVICE_BAUD_RATE"]["values"]) == ["2400", "9600"], "two speeds only")
        checks.check(link in p.get("SYSTEM_PORTS", {}).get("values", {}), "SYSTEM_PORTS lists COM1's device")
        checks.check(p.get("POLLING_PERIOD", {}).get("max") == {"PERIOD_MS": 1500} and
                     p["POLLING_PERIOD"]["values"] == {"PERIOD_MS": 1500}, "POLLING_PERIOD is the 1500 ms idle poll")
        # A port that appears is listed after a scan, and choosing it sets DEVICE_PORT.
        open(env["CORVELL_COM5"], "w").close()
        d.new("Switch", "DEVICE_PORT_SCAN", {"SCAN_PORT": "On"})
        d.wait_state("DEVICE_PORT_SCAN", ("Ok", "Alert"))
        checks.check(env["CORVELL_COM5"] in p["SYSTEM_PORTS"]["values"], "the scan lists %r" % p["SYSTEM_PORTS"])
        d.new("Switch", "SYSTEM_PORTS", {env["CORVELL_COM5"]: "On"})
        d.wait_state("DEVICE_PORT", ("Ok",))
        checks.check(p["DEVICE_PORT"]["values"] == {"PORT": env["CORVELL_COM5"]}, "a listed port chosen")
        os.remove(env["CORVELL_COM5"])

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

        # Moves: the command the module hears, the states and the end. DEBUG
        # switches the byte trace, sent as the driver's debug messages.
        d.new("Switch", "DEBUG", {"ENABLE": "On", "DISABLE": "Off"})
        d.wait("the debug levels", lambda el: el.get("name") == "DEBUG_LEVEL")
        d.new("Switch", "DEBUG_LEVEL", {"DBG_DEBUG": "On"})
        for kind, name, value, motion, argument in [
            ("absolute", "ABS_FOCUS_POSITION", 2000, None, 2000),
            ("relative in", "REL_FOCUS_POSITION", 500, "FOCUS_INWARD", 1500),
            ("relative out", "REL_FOCUS_POSITION", 300, "FOCUS_OUTWARD", 1800),
        ]:
            el, seen, goes = move(d, sim, name, value, motion)
            checks.check(el.get("state") == "Ok" and "Busy" in seen, "%s move Busy then Ok: %r" % (kind, seen))
            checks.check(goes == [argument], "%s move sends g %d: %r" % (kind, argument, goes))
            checks.check(p["ABS_FOCUS_POSITION"]["values"]["FOCUS_ABSOLUTE_POSITION"] == argument,
                         "%s move ends at %d" % (kind, argument))
            if kind == "absolute":
                checks.check(any("trace -> 67 07 d0" in m for m in d.messages), "DEBUG traces the go-to's bytes")
                d.new("Switch", "DEBUG", {"ENABLE": "Off", "DISABLE": "On"})
                d.wait_state("DEBUG", ("Ok",))
                del d.messages[:]
        checks.check(not any("trace" in m for m in d.messages), "no trace once DEBUG is off: %r" % d.messages)

        # A second request while a go-to runs is refused in a message: the
        # move stays Busy and ends Ok. A refused REL says why on REL.
        sim.line("clear")
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 4000})
        d.wait_state("ABS_FOCUS_POSITION", ("Busy",))
        wait_moving(sim)
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 100})
        el = d.wait("the refusal", lambda el: el.get("name") == "ABS_FOCUS_POSITION" and el.get("message"))
        checks.check(el.get("message") == "A Go To is in progress" and el.get("state") == "Busy",
                     "refused while busy, the move still Busy: %r" % el.attrib)
        d.new("Number", "REL_FOCUS_POSITION", {"FOCUS_RELATIVE_POSITION": 10})
        el, _ = d.wait_state("REL_FOCUS_POSITION", ("Alert",))
        checks.check(el.get("message") == "A Go To is in progress", "REL refused on REL: %r" % el.attrib)
        el, seen = d.wait_state("ABS_FOCUS_POSITION", ("Ok", "Alert", "Idle"))
        checks.check(el.get("state") == "Ok" and set(seen[:-1]) == {"Busy"}, "the move ends Ok: %r" % seen)
        # Abort during a REL move: the module hears s, REL and ABS are Idle.
        sim.line("clear")
        d.new("Switch", "FOCUS_MOTION", {"FOCUS_INWARD": "On"})
        d.new("Number", "REL_FOCUS_POSITION", {"FOCUS_RELATIVE_POSITION": 3000})
        d.wait_state("REL_FOCUS_POSITION", ("Busy",))
        wait_moving(sim)
        d.new("Switch", "FOCUS_ABORT_MOTION", {"ABORT": "On"})
        el, seen = d.wait_state("FOCUS_ABORT_MOTION", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok", "abort ends Ok: %r" % seen)
        status = sim.line("status", answer=True).split()
        commands = [c for c, _ in sim.commands()]
        checks.check("s" in commands[commands.index("g"):], "the module heard s after g: %r" % commands)
        checks.check(status[3] == "no" and int(status[1]) > 1000, "stopped short of 1000: %r" % status)
        checks.check(p["REL_FOCUS_POSITION"]["state"] == p["ABS_FOCUS_POSITION"]["state"] == "Idle",
                     "REL and ABS Idle after the abort")

        # Maximum, sync, backlash: each Busy then Ok, or Alert with the reason.
        for name, member, value, state, letter, message in [
            ("FOCUS_MAX", "FOCUS_MAX_VALUE", 6500, "Ok", ("w", 6500), ""),
            ("FOCUS_SYNC", "FOCUS_SYNC_VALUE", 5, "Alert", None, "can only be set to 0"),
            ("FOCUS_SYNC", "FOCUS_SYNC_VALUE", 0, "Ok", ("z", None), ""),
            ("FOCUS_BACKLASH_STEPS", "FOCUS_BACKLASH_VALUE", 250, "Ok", None, ""),
            ("REL_FOCUS_POSITION", "FOCUS_RELATIVE_POSITION", -100, "Alert", None, "A step must be 0 to 65535"),
            ("POLLING_PERIOD", "PERIOD_MS", 50, "Alert", None, "must be 100 to 1500 ms"),
            ("POLLING_PERIOD", "PERIOD_MS", 500, "Ok", None, ""),
        ]:
            sim.line("clear")
            d.new("Number", name, {member: value})
            el, seen = d.wait_state(name, ("Ok", "Alert"))
            checks.check(el.get("state") == state and message in el.get("message", ""),
                         "%s %s: %s %r" % (name, value, state, el.attrib))
            checks.check(state == "Alert" or "Busy" in seen or name == "POLLING_PERIOD",
                         "%s Busy first: %r" % (name, seen))
            sent = [c for c in sim.commands() if c[0] not in "ptb"]  # not the reads that end every command
            checks.check(letter in sent if letter else state == "Ok" or not sent, "%s %s sends %r" % (name, value, sent))
        checks.check(sim.line("status", answer=True).split()[5] == "6500", "the module's maximum travel is 6500")
        # The position after the sync may have come during the waits above.
        if p["ABS_FOCUS_POSITION"]["values"]["FOCUS_ABSOLUTE_POSITION"] != 0:
            d.wait("the position after the sync", lambda el: el.get("name") == "ABS_FOCUS_POSITION" and
                   float(el.find("oneNumber").text) == 0)
        d.new("Switch", "FOCUS_BACKLASH_TOGGLE", {"INDI_ENABLED": "On", "INDI_DISABLED": "Off"})
        el, seen = d.wait_state("FOCUS_BACKLASH_TOGGLE", ("Ok", "Alert"))
        checks.check(el.get("state") == "Ok" and p["FOCUS_BACKLASH_TOGGLE"]["values"]["INDI_ENABLED"] == "On",
                     "backlash on: %r" % seen)
        # With it on, every move ends moving outward: from 250 below, the
        # overshoot stopping at the zero stop; Busy until the last leg ends.
        for kind, name, value, motion, legs in [
            ("out by more than the distance", "ABS_FOCUS_POSITION", 600, None, [600]),
            ("inward", "REL_FOCUS_POSITION", 100, "FOCUS_INWARD", [250, 500]),
            ("out by less than the distance", "REL_FOCUS_POSITION", 100, "FOCUS_OUTWARD", [350, 600]),
            ("inward near zero", "ABS_FOCUS_POSITION", 100, None, [0, 100]),
        ]:
            el, seen, goes = move(d, sim, name, value, motion)
            checks.check(el.get("state") == "Ok" and set(seen[:-1]) == {"Busy"} and goes == legs,
                         "backlash, %s: %r, g %r" % (kind, seen, goes))
        # Abort in the overshoot: neither leg goes on.
        move(d, sim, "ABS_FOCUS_POSITION", 2500)
        sim.line("clear")
        d.new("Number", "ABS_FOCUS_POSITION", {"FOCUS_ABSOLUTE_POSITION": 1000})
        d.wait_state("ABS_FOCUS_POSITION", ("Busy",))
        wait_moving(sim)
        d.new("Switch", "FOCUS_ABORT_MOTION", {"ABORT": "On"})
        el, _ = d.wait_state("ABS_FOCUS_POSITION", ("Idle", "Ok", "Alert"))
        d.wait_state("FOCUS_ABORT_MOTION", ("Ok", "Alert"))
        goes = [c for c in sim.commands() if c[0] in "gs"]
        checks.check(el.get("state") == "Idle" and goes == [("g", 750), ("s", None)], "abort ends both legs: %r" % goes)

        # INDI's configuration: CONFIG_LOAD brings back what CONFIG_SAVE
        # wrote, CONFIG_DEFAULT the first configuration saved.
        for switch, period in [("CONFIG_SAVE", 500), (None, 1000), ("CONFIG_LOAD", 500), ("CONFIG_DEFAULT", 1500)]:
            if switch:
                d.new("Switch", "CONFIG_PROCESS", {switch: "On"})
                el, _ = d.wait_state("CONFIG_PROCESS", ("Ok", "Alert"))
                checks.check(el.get("state") == "Ok", "%s: %r" % (switch, el.attrib))
            else:
                d.new("Number", "POLLING_PERIOD", {"PERIOD_MS": period})
                d.wait_state("POLLING_PERIOD", ("Ok", "Alert"))
            checks.check(p["POLLING_PERIOD"]["values"] == {"PERIOD_MS": period},
                         "POLLING_PERIOD after %s: %r" % (switch, p["POLLING_PERIOD"]))

        # Another program on the same data folder is refused, naming the holder.
        other = Driver(args.driver, env, device="Corvell Focuser 3", args=("-n", "Corvell Focuser 3"))
        el = connect(other)
        checks.check(el.get("state") == "Alert" and "in use by indi_corvell_focuser, device Corvell Focuser 2 (process %d)"
                     % d.proc.pid in el.get("message", ""), "a second driver is refused: %r" % el.attrib)

        # Unplugged: Alert with the reason; found again on a new module at the same link.
        sim.line("hangup")
        el, _ = d.wait_state("CONNECTION", ("Alert",))
        checks.check("went away" in el.get("message", ""), "unplug reported: %r" % el.get("message"))
        sim.close()
        sim = start_sim(args.sim, link)
        el, _ = d.wait_state("CONNECTION", ("Ok",))
        checks.check(p["CONNECTION"]["values"]["CONNECT"] == "On", "found again: %r" % el.get("message"))
        el, _, _ = move(d, sim, "ABS_FOCUS_POSITION", 1000)
        checks.check(el.get("state") == "Ok", "a move after the replug: %r" % el.attrib)
        # The maximum set last is saved on its own.
        d.new("Number", "FOCUS_MAX", {"FOCUS_MAX_VALUE": 6400})
        d.wait_state("FOCUS_MAX", ("Ok", "Alert"))

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
                     p["FOCUS_MAX"]["values"]["FOCUS_MAX_VALUE"] == 6400, "backlash and maximum kept in the profile")
        checks.check(d.close() == 0, "the driver ends with status 0 at the end of its input")

        # Killed with the port open, a driver leaves the port to the next one;
        # one that lives keeps it, and a third is told which program holds it.
        killed = Driver(args.driver, env)
        checks.check(connect(killed).get("state") == "Ok", "a driver connected")
        killed.proc.kill()
        killed.proc.wait()
        d = Driver(args.driver, env)
        el = connect(d)
        checks.check(el.get("state") == "Ok", "the next driver has the port: %r" % el.attrib)
        other.close()
        other = Driver(args.driver, dict(env, CORVELL_DATA_DIR=os.path.join(folder, "other")))
        el = connect(other)
        # The holder by the kernel's name of its process (15 bytes at most): the emulator's, when run through one.
        holder = os.path.basename(EMULATOR[0])[:15] if EMULATOR else "indi_corvell_fo"
        checks.check(el.get("state") == "Alert" and "%s, process %d" % (holder, d.proc.pid) in el.get("message", ""),
                     "the port's holder is named: %r" % el.attrib)
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
    parser.add_argument("--version", required=True, help="the package's version, which DRIVER_VERSION shows")
    args = parser.parse_args()
    if args.emulator:
        EMULATOR.append(args.emulator)
    checks = corvell_test.Checks()
    with corvell_test.scratch_folder("corvell-indi-") as folder:
        try:
            run(args, folder, checks)
        except RuntimeError as e:
            checks.check(False, str(e))
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
