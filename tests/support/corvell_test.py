"""What the python test scripts share (python3's standard library only): the
pass/fail count, waits with a deadline, free ports, a scratch folder, ending
a process, and the simulated module corvell-sim driven through its console.

A script imports it by its own folder:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    import corvell_test
"""
import contextlib
import shutil
import socket
import subprocess
import tempfile
import time

# Command letters the program sends followed by a 16-bit argument (two bytes).
ARGUMENT_BYTES = {ord(c): 2 for c in "gwdef"}


class Checks:
    """Counts the checks that held and prints each one that did not."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, cond, what):
        if cond:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL:", what, flush=True)
        return cond

    def summary(self):
        """Prints the count and returns the script's exit status."""
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def until(condition, seconds, pause=0.1, ignore=()):
    """Asks `condition` every `pause` seconds until it gives a true value or
    `seconds` have passed; returns its last value (an exception of `ignore`
    counts as a false one)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = condition()
        except ignore:
            value = None
        if value or time.monotonic() > deadline:
            return value
        time.sleep(pause)


def wait_for(what, condition, seconds, pause=0.1, ignore=()):
    """As until(), but a condition that never held is a RuntimeError naming `what`."""
    value = until(condition, seconds, pause, ignore)
    if not value:
        raise RuntimeError("gave up waiting: " + what)
    return value


def free_port(kind=socket.SOCK_STREAM):
    """A port on 127.0.0.1 free at the moment (TCP, or UDP for SOCK_DGRAM)."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def scratch_folder(prefix):
    """A temporary folder, removed with all it holds at the end."""
    folder = tempfile.mkdtemp(prefix=prefix)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def wait_or_kill(proc, seconds):
    """The exit status of `proc` once it ends within `seconds`; else it is
    killed and None is returned."""
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


class Sim:
    """corvell-sim on a pseudo-terminal linked at `link`: a 7000-count focuser
    at 1200. Its console lists the bytes it received ("received"), reports
    its state ("status") and plays faults ("silent on", "hangup"...)."""

    def __init__(self, path, link, speed, emulator=(), close_wait=60):
        command = [*emulator, path, "--link", link, "--speed", str(speed), "--length", "7000", "--position", "1200"]
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.slave = self.proc.stdout.readline().strip()  # the slave's path: the link is there
        self.close_wait = close_wait

    def line(self, text, answer=False):
        """A console line, carried out when this returns; the answer's line
        when it prints one. A line without an answer is followed by "status",
        whose answer shows that the simulator has read it: the console and
        the serial line are served apart, so otherwise a "clear" could land
        after the command it was meant to precede."""
        if answer or text == "quit":
            self.proc.stdin.write(text + "\n")
            self.proc.stdin.flush()
            return self.proc.stdout.readline().strip() if answer else ""
        self.proc.stdin.write(text + "\nstatus\n")
        self.proc.stdin.flush()
        while True:
            reply = self.proc.stdout.readline()
            if not reply:
                raise RuntimeError("corvell-sim ended after %r" % text)
            if reply.startswith("position "):
                return ""

    def commands(self):
        """The commands the module heard since the last clear: (letter, argument or None)."""
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
            self.proc.wait(timeout=self.close_wait)
