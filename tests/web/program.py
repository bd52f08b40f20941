"""The real program without a window (corvell-focuser --headless) on a
scratch data folder, talking to corvell-sim (a simulated module with a real
serial line's timing) through --com1, its server on a free port."""
import os
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    def __init__(self, program, sim, files=None, arguments=(), sim_arguments=()):
        """`files`: name -> bytes, put in the data folder before the start;
        by default a focuser in use, as the window leaves one."""
        if files is None:
            files = {"fc00001.df1": b"Focuser 00001\0", "focuser.dc1": b"0\0" b"0\0" b"0\0" b"0.01\0" b"2\0"}
        self.folder = tempfile.mkdtemp(prefix="corvell-web-")
        self.data = os.path.join(self.folder, "data")
        os.mkdir(self.data)
        for name, content in (files or {}).items():
            with open(os.path.join(self.data, name), "wb") as f:
                f.write(content)
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        link = os.path.join(self.folder, "com1")
        self.sim = subprocess.Popen([sim, "--link", link, "--speed", "3000", "--length", "7000", "--position", "1200",
                                     *sim_arguments],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.sim.stdout.readline()  # the slave's path: the link is there
        with open(os.path.join(self.data, "alpaca.cfg"), "a") as f:
            f.write("discovery_port=%d\n" % free_port())
        self.log = open(os.path.join(self.folder, "log"), "w+")
        self.process = subprocess.Popen([program, "--headless", "--data-dir", self.data, "--alpaca", str(self.port),
                                         "--com1", link, *arguments], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while "Connection: Communicating" not in self.log_text():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the program did not start talking to the module:\n" + self.log_text())
            time.sleep(0.05)

    def log_text(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()

    def sim_command(self, line):
        """A control line to the simulator; its answer when it prints one."""
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()
        if line in ("received", "status"):
            return self.sim.stdout.readline().strip()
        return ""

    def received(self):
        """The bytes the program sent the module since the last 'clear'."""
        return bytes.fromhex(self.sim_command("received")[len("received"):].replace(" ", ""))

    def commands(self):
        """The command letters sent since the last 'clear' besides the polls
        (position, status, identify); a go-to's and a setting's two argument
        bytes are left out."""
        letters, sent, i = "", self.received(), 0
        while i < len(sent):
            letter = chr(sent[i])
            i += 3 if letter in "gwdef" else 1
            if letter not in "ptb":
                letters += letter
        return letters

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.sim.poll() is None:
            try:
                self.sim_command("quit")
                self.sim.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.sim.kill()
                self.sim.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
