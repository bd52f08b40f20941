#!/usr/bin/env python3
"""Runs the independent Alpaca client (alpaca_client_test.py) against the real
program: corvell-focuser with its Alpaca server switched on by --alpaca and
answering on the local network (bound to the wildcard addresses, talked to on
127.0.0.1 and ::1 only), on free ports, talking to corvell-sim (a simulated module
with a real serial line's timing) through --com1. The simulator's console
makes the module silent and reports the bytes the program sent (the halt must
reach the module as 's'); xdotool opens and closes a question in the real
window (Configure page, "Set Focuser Zero Position", Alt+Z), so a network
move meets the window's own busy rules.

Needs an X display and xdotool (ctest runs it under xvfb-run):
    xvfb-run -a python3 tests/network/program_client_test.py \\
        --program build/corvell-focuser --sim build/corvell-sim
"""
import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import alpaca_client_test as client_test  # noqa: E402
import corvell_test  # noqa: E402

API = "/api/v1/focuser/0/"


def request(port, method, member, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        headers = {"Content-Type": "application/x-www-form-urlencoded"} if body is not None else {}
        conn.request(method, API + member, body=body, headers=headers)
        return json.loads(conn.getresponse().read().decode())
    finally:
        conn.close()


def wait_for(what, condition, seconds):
    """Waits out a condition asked over HTTP: a refused or broken request is a no."""
    corvell_test.wait_for(what, condition, seconds, ignore=(OSError, http.client.HTTPException, ValueError))


def connect_error(port):
    """0 when a client may connect now (it disconnects again), else the error."""
    error = request(port, "PUT", "connected", "Connected=True")["ErrorNumber"]
    if error == 0:
        request(port, "PUT", "connected", "Connected=False")
    return error


class Program:
    """The simulator and the program on a scratch data folder."""

    def __init__(self, args, folder):
        self.folder = folder
        self.port = corvell_test.free_port(socket.SOCK_STREAM)
        self.discovery_port = corvell_test.free_port(socket.SOCK_DGRAM)
        link = os.path.join(folder, "com1")
        self.sim = corvell_test.Sim(args.sim, link, 3000, close_wait=10)
        print("simulated module on", self.sim.slave, flush=True)
        data = os.path.join(folder, "data")
        os.mkdir(data)
        # The discovery port and the local network are settings of the data
        # folder; --alpaca sets the HTTP port and switches the server on.
        with open(os.path.join(data, "alpaca.cfg"), "w") as f:
            f.write("discovery_port=%d\nanswer_on=local-network\n" % self.discovery_port)
        command = [args.program, "--data-dir", data, "--alpaca", str(self.port), "--com1", link]
        for n in range(2, 6):
            command += ["--com%d" % n, os.path.join(folder, "absent-com%d" % n)]
        env = dict(os.environ, QT_QPA_PLATFORM="xcb")
        # Under AddressSanitizer (scripts/sanitize): the X keyboard library
        # strndup()s key names that have no NUL within their buffer, which
        # strndup may do (it reads at most n bytes) but the strict string
        # check objects to. That check only is switched off, for this program.
        if "strict_string_checks=1" in env.get("ASAN_OPTIONS", ""):
            env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace("strict_string_checks=1", "strict_string_checks=0")
        self.program = subprocess.Popen(command, env=env)
        self.question = None
        try:
            self.start_up()
        except BaseException:
            self.close()
            raise

    def start_up(self):
        wait_for("the server", lambda: connect_error(self.port) in (0, 0x500), 20)
        wait_for("the module", lambda: connect_error(self.port) == 0, 20)
        self.window = self.xdotool("search", "--sync", "--onlyvisible", "--name", "^Tav Corvell$").split()[0]

    def xdotool(self, *words):
        return subprocess.run(["xdotool"] + list(words), check=True, capture_output=True, text=True,
                              timeout=20).stdout

    def halts_heard(self):
        return [letter for letter, _ in self.sim.commands()].count("s")

    def control(self, line):
        """The control lines alpaca_client_test.py gives its fake host."""
        if line == "silent on":
            self.sim.line(line)
            wait_for("the program to miss the module", lambda: connect_error(self.port) == 0x500, 20)
        elif line == "silent off":
            self.sim.line(line)
            wait_for("the program to find the module again", lambda: connect_error(self.port) == 0, 20)
        elif line == "status":
            return "%s halts %d" % (self.sim.line("status", answer=True), self.halts_heard())
        elif line == "question on":
            # Configure page (two pages on), then Set Focuser Zero Position.
            self.xdotool("windowfocus", "--sync", self.window)
            self.xdotool("key", "ctrl+Tab", "ctrl+Tab", "alt+z")
            self.question = self.xdotool("search", "--sync", "--onlyvisible", "--name", "^Are You Sure").split()[0]
        elif line == "question off":
            self.xdotool("windowfocus", "--sync", self.question, "key", "Escape")
            wait_for("the question to close", lambda: subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--name", "^Are You Sure"], capture_output=True).returncode != 0, 10)
        return ""

    def close(self):
        """Ends the program as SIGTERM does and returns its exit status."""
        status = self.program.poll()
        if status is None:
            self.program.send_signal(signal.SIGTERM)
            status = corvell_test.wait_or_kill(self.program, 20)
        self.sim.close()
        return status


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--steps", type=int, default=20)
    args = parser.parse_args()
    if not os.environ.get("DISPLAY") or not shutil.which("xdotool"):
        print("needs an X display and xdotool (run it under xvfb-run; scripts/deps installs xdotool)")
        return 1

    with corvell_test.scratch_folder("corvell-alpaca-") as folder:
        program = Program(args, folder)
        try:
            args.url = "http://127.0.0.1:%d" % program.port
            args.discovery_port = program.discovery_port
            args.question_on_cmd = args.question_off_cmd = None
            args.local_network = True
            checks = client_test.run(args, program.control)
        finally:
            status = program.close()
        checks.check(status == 0, "the program closed on SIGTERM with status %r" % status)
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
