#!/usr/bin/env python3
"""An independent ASCOM Alpaca client (python3's standard library only) that
checks a running focuser program over real sockets: every member, the error
cases, transaction ids and the rule for parameter names, the HTTP message
rules (a PUT without Content-Length, Host, Content-Length, 414/431, what the
Keep-Alive header says), discovery on 127.0.0.1 and ::1, and the sequence an
autofocus routine runs (connect, read maxstep, move out and back in steps of
maxstep/10 polling position and ismoving every 100 ms, clamped moves, halt
during a move, sent as curl -X PUT sends it: without Content-Length).

Against a running program:
    alpaca_client_test.py --url http://127.0.0.1:11111 --discovery-port 32227
        [--question-on-cmd CMD --question-off-cmd CMD]   (shell commands that
         open and close a question in the window, for the refusal check)
        [--local-network]   (the program answers on the local network: it is
         checked on 127.0.0.1 and ::1, its setup page must say so)
Against the fake host, started and driven by the script itself (and a second
one answering on the local network, talked to on 127.0.0.1 and ::1; and, in
a network namespace the script makes for itself where the system allows it,
a third one found through the IPv6 discovery group on a veth pair of that
namespace, never on a real interface):
    alpaca_client_test.py --spawn build/corvell-alpaca-fakehost
"""
import argparse
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from corvell_test import Checks, free_port  # noqa: E402

API = "/api/v1/focuser/0/"


class Client:
    """One kept-alive HTTP connection, reopened when the server closed it."""

    def __init__(self, host, port):
        self.host, self.port = host, port
        self.conn = None
        self.client_id = 4711
        self.transaction = 0
        self.last_server_id = 0

    def raw(self, method, path, body=None):
        headers = {}
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        for attempt in (1, 2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection(self.host, self.port, timeout=10)
            try:
                self.conn.request(method, path, body=body, headers=headers)
                r = self.conn.getresponse()
                return r.status, r.getheader("Content-Type", ""), r.read().decode("utf-8")
            except (http.client.HTTPException, ConnectionError, OSError):
                self.conn.close()
                self.conn = None
                if attempt == 2:
                    raise

    def get(self, member, extra=""):
        self.transaction += 1
        q = "ClientID=%d&ClientTransactionID=%d%s" % (self.client_id, self.transaction, extra)
        return self.raw("GET", API + member + "?" + q)

    def put(self, member, params=None):
        self.transaction += 1
        p = dict(params or {})
        p.update(ClientID=self.client_id, ClientTransactionID=self.transaction)
        return self.raw("PUT", API + member, urllib.parse.urlencode(p))

    def value(self, checks, method, member, params=None, error=0):
        """Calls a member, checks the reply fields and the error number, and
        returns the reply object."""
        sent = self.transaction + 1
        status, ctype, body = self.get(member) if method == "GET" else self.put(member, params)
        if not checks.check(status == 200, "%s %s: HTTP %d %s" % (method, member, status, body.strip())):
            return {}
        reply = json.loads(body)
        checks.check(ctype.startswith("application/json"), "%s %s: content type %s" % (method, member, ctype))
        checks.check(reply.get("ClientTransactionID") == sent, "%s %s: ClientTransactionID %r, sent %d"
                     % (method, member, reply.get("ClientTransactionID"), sent))
        sid = reply.get("ServerTransactionID", 0)
        checks.check(sid > self.last_server_id, "%s %s: ServerTransactionID %r not rising" % (method, member, sid))
        self.last_server_id = max(self.last_server_id, sid)
        checks.check(reply.get("ErrorNumber") == error, "%s %s: ErrorNumber %r (%r), expected %d"
                     % (method, member, reply.get("ErrorNumber"), reply.get("ErrorMessage"), error))
        checks.check((reply.get("ErrorMessage") == "") == (reply.get("ErrorNumber") == 0),
                     "%s %s: ErrorMessage %r" % (method, member, reply.get("ErrorMessage")))
        return reply


def event_stream_start(port, token):
    """The first event of the program's setup page, as its page reads it."""
    with socket.create_connection(("127.0.0.1", port), timeout=15) as s:
        s.sendall(("GET /setup/api/events?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (token, port)).encode())
        received = b""
        while b"\n\n" not in received.partition(b"data: ")[2]:
            more = s.recv(65536)
            if not more:
                break
            received += more
        return received.decode("utf-8", "replace")


def raw(host, port, data, family=socket.AF_INET, sock=None):
    """Sends `data` (on `sock`, or a connection of its own) and reads one
    answer: (status, {lower-case header name: value}, body text); status 0
    when the connection closed first."""
    s = sock
    if s is None:
        s = socket.socket(family, socket.SOCK_STREAM)
        s.settimeout(15)
        s.connect((host, port))
    try:
        s.sendall(data.encode("latin-1"))
        received = b""
        while b"\r\n\r\n" not in received:
            more = s.recv(4096)
            if not more:
                return 0, {}, ""
            received += more
        head, _, body = received.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = 0 if data.startswith("HEAD ") else int(headers.get("content-length", "0"))
        while len(body) < length:
            more = s.recv(4096)
            if not more:
                break
            body += more
        return int(lines[0].split()[1]), headers, body.decode("utf-8", "replace")
    except OSError:
        return 0, {}, ""
    finally:
        if sock is None:
            s.close()


def discover(address, port):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    try:
        s = socket.socket(family, socket.SOCK_DGRAM)
    except OSError:
        return None
    with s:
        s.settimeout(3)
        try:
            s.sendto(b"alpacadiscovery1", (address, port))
            data, _ = s.recvfrom(1024)
            return json.loads(data.decode())
        except (OSError, ValueError):
            return None


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def wait_still(client, checks, target, maxstep, log):
    """Polls ismoving and position every 100 ms until the move has ended;
    returns the final position."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        time.sleep(0.1)
        moving = client.value(checks, "GET", "ismoving").get("Value")
        position = client.value(checks, "GET", "position").get("Value")
        if position is not None:
            checks.check(0 <= position <= maxstep, "position %r outside 0..%d" % (position, maxstep))
            log.append(position)
        if moving is False:
            # The position read right after ismoving turned false is final.
            return client.value(checks, "GET", "position").get("Value")
    checks.check(False, "move to %d did not end within 120 s" % target)
    return None


def run(args, control):
    checks = Checks()
    url = urllib.parse.urlparse(args.url)
    client = Client(url.hostname, url.port or 80)

    # Management and setup.
    status, _, body = client.raw("GET", "/management/apiversions?ClientTransactionID=1")
    checks.check(status == 200 and json.loads(body)["Value"] == [1], "apiversions: %s" % body)
    status, _, body = client.raw("GET", "/management/v1/description")
    checks.check(status == 200 and "ServerName" in json.loads(body)["Value"], "description: %s" % body)
    status, _, body = client.raw("GET", "/management/v1/configureddevices")
    devices = json.loads(body)["Value"] if status == 200 else []
    checks.check(len(devices) == 1 and devices[0]["DeviceType"] == "Focuser" and devices[0]["DeviceNumber"] == 0
                 and devices[0]["UniqueID"], "configureddevices: %s" % body)
    for page in ("/setup", "/setup/v1/focuser/0/setup"):
        status, ctype, body = client.raw("GET", page)
        checks.check(status == 200 and ctype.startswith("text/html"), "%s: %d %s" % (page, status, ctype))

    # Discovery.
    for address in ["127.0.0.1"] + (["::1"] if has_ipv6_loopback() else []):
        answer = discover(address, args.discovery_port)
        checks.check(answer == {"AlpacaPort": client.port}, "discovery on %s: %r" % (address, answer))
    if not has_ipv6_loopback():
        print("skipped: discovery on ::1 (no IPv6 loopback on this host)")

    # The HTTP message rules, each on a connection of its own: a request
    # without Content-Length has an empty body and is answered at once (no
    # waiting for a body that never comes); every refusal says why in text.
    host, port = client.host, client.port
    h = " HTTP/1.1\r\nHost: %s:%d\r\n" % (host, port)
    for request, want in [("PUT " + API + "connected" + h + "\r\n", 400),   # Connected missing, said at once
                          ("POST " + API + "halt" + h + "\r\n", 400),
                          ("GET " + API + "name HTTP/1.1\r\n\r\n", 400),       # no Host
                          ("GET " + API + "name HTTP/1.0\r\n\r\n", 200),
                          ("GET " + API + "name" + h + "Host: other\r\n\r\n", 400),
                          # a web page's own name made to lead here (DNS rebinding)
                          ("GET " + API + "name HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403),
                          ("PUT " + API + "tempcomp" + h + "Content-Length: 14\r\nContent-Length: 15\r\n\r\n"
                           "TempComp=False", 400),
                          ("GET /" + "a" * 9000 + h + "\r\n", 414),
                          ("GET " + API + "name" + h + "X-Long: " + "b" * 9000 + "\r\n\r\n", 431),
                          ("HEAD " + API + "name" + h + "\r\n", 200)]:
        status, headers, body = raw(host, port, request)
        checks.check(status == want and (want < 400 or (headers.get("content-type", "").startswith("text/plain")
                                                         and body.strip())),
                     "%r: HTTP %d %r, expected %d%s" % (request[:70], status, body, want,
                                                        " with a text" if want >= 400 else ""))
    # What Keep-Alive says is what happens: the connection serves more
    # requests than any max it gives, and stays open while idle for less than
    # the time-out it gives (waited out only when short).
    with socket.create_connection((host, port), timeout=15) as s:
        get = "GET " + API + "name" + h + "\r\n"
        answers = [raw(host, port, get, sock=s) for _ in range(8)]
        said = answers[0][1].get("keep-alive", "")
        params = dict(item.strip().partition("=")[::2] for item in said.split(",") if item.strip())
        checks.check("timeout" in params and all(a[0] == 200 and a[1].get("keep-alive") == said for a in answers)
                     and ("max" not in params or int(params["max"]) >= 8),
                     "Keep-Alive %r over 8 requests: %r" % (said, [a[0] for a in answers]))
        if params.get("timeout", "99").isdigit() and int(params["timeout"]) <= 3:
            time.sleep(int(params["timeout"]) - 0.5)
            checks.check(raw(host, port, get, sock=s)[0] == 200, "idle for less than Keep-Alive's timeout")

    # One rule for parameter names: any case in a query string; in a PUT's
    # form body as the API writes them, a name in another case being a name
    # the member does not take (a 400 when it needs it, ignored when it can
    # do without: clienttransactionid=56 gives ClientTransactionID 0). A
    # ClientID or ClientTransactionID that is there must be a number.
    for method, member, text, want in [("PUT", "connected", "Connected=False&clienttransactionid=56", 0),
                                       ("PUT", "connected", "Connected=False&ClientTransactionID=56", 56),
                                       ("PUT", "connected", "Connected=False&clientid=x&ClientTransactionID=57", 57),
                                       ("GET", "name", "clienttransactionid=58&CLIENTID=1", 58)]:
        status, _, body = client.raw(method, API + member + ("?" + text if method == "GET" else ""),
                                     text if method == "PUT" else None)
        got = json.loads(body).get("ClientTransactionID") if status == 200 else None
        checks.check(got == want, "%s %s [%s]: HTTP %d, ClientTransactionID %r, expected %d"
                     % (method, member, text, status, got, want))
    for method, member, text in [("GET", "name", "ClientTransactionID=abc"), ("GET", "name", "ClientID=-1"),
                                 ("GET", "name", "ClientID="), ("PUT", "halt", "ClientTransactionID=qweqwe"),
                                 ("PUT", "connected", "Connected=False&ClientID=%20%20")]:
        status, ctype, body = client.raw(method, API + member + ("?" + text if method == "GET" else ""),
                                         text if method == "PUT" else None)
        checks.check(status == 400 and ctype.startswith("text/plain") and body.strip(),
                     "%s %s [%s]: HTTP %d %r, expected 400 with a reason" % (method, member, text, status, body))

    # Errors that are HTTP 400.
    bad = [("PUT", API + "connected", "connected=True"), ("PUT", API + "move", "position=10"),
           ("PUT", API + "move", ""), ("PUT", API + "move", "Position=ten"), ("GET", API + "bogus", None),
           ("GET", API + "Position", None), ("GET", "/api/v1/focuser/1/position", None),
           ("GET", "/api/v2/focuser/0/position", None), ("GET", "/api/v1/telescope/0/position", None),
           ("GET", API + "move", None)]
    for method, path, body in bad:
        status, ctype, text = client.raw(method, path, body)
        checks.check(status == 400 and ctype.startswith("text/plain") and text.strip(),
                     "%s %s [%s]: HTTP %d %r, expected 400 with a reason" % (method, path, body, status, text))

    # Not connected yet: members that need the module say so.
    client.value(checks, "PUT", "connected", {"Connected": "False"})
    client.value(checks, "GET", "position", error=0x407)
    client.value(checks, "PUT", "move", {"Position": 100}, error=0x407)
    # GET parameter names in any case.
    status, _, body = client.raw("GET", API + "name?clienttransactionid=99&CLIENTID=1")
    checks.check(status == 200 and json.loads(body)["ClientTransactionID"] == 99, "lower-case GET names: %s" % body)

    if control:
        control("silent on")
        reply = client.value(checks, "PUT", "connected", {"Connected": "True"}, error=0x500)
        checks.check("Not communicating" in reply.get("ErrorMessage", ""), "connect while silent: %r" % reply)
        control("silent off")

    # Every member.
    client.value(checks, "PUT", "connected", {"Connected": "True"})
    checks.check(client.value(checks, "GET", "connected").get("Value") is True, "connected after connecting")
    client.value(checks, "PUT", "connect")
    checks.check(client.value(checks, "GET", "connecting").get("Value") is False, "connecting")
    for member, kind in [("description", str), ("driverinfo", str), ("driverversion", str), ("name", str),
                         ("stepsize", (int, float))]:
        v = client.value(checks, "GET", member).get("Value")
        checks.check(isinstance(v, kind), "%s: %r" % (member, v))
    for member, want in [("interfaceversion", 4), ("supportedactions", []), ("absolute", True),
                         ("tempcompavailable", False), ("tempcomp", False), ("ismoving", False)]:
        v = client.value(checks, "GET", member).get("Value")
        checks.check(v == want, "%s: %r, expected %r" % (member, v, want))
    maxstep = client.value(checks, "GET", "maxstep").get("Value")
    checks.check(client.value(checks, "GET", "maxincrement").get("Value") == maxstep, "maxincrement == maxstep")
    client.value(checks, "GET", "temperature", error=0x400)
    client.value(checks, "PUT", "tempcomp", {"TempComp": "true"}, error=0x400)
    client.value(checks, "PUT", "tempcomp", {"TempComp": "false"})
    # No actions at all: Action is not implemented (0x400), not an unknown action (0x40C).
    client.value(checks, "PUT", "action", {"Action": "x", "Parameters": ""}, error=0x400)
    for member in ("commandblind", "commandbool", "commandstring"):
        client.value(checks, "PUT", member, {"Command": "x", "Raw": "true"}, error=0x400)
    state = client.value(checks, "GET", "devicestate").get("Value", [])
    names = [item.get("Name") for item in state]
    checks.check("IsMoving" in names and "TimeStamp" in names, "devicestate: %r" % state)

    # The autofocus routine.
    step = max(1, maxstep // 10)
    log = []
    client.value(checks, "PUT", "move", {"Position": 0})
    checks.check(wait_still(client, checks, 0, maxstep, log) == 0, "start at 0")
    targets = [min(maxstep, k * step) for k in range(1, 11)] + [max(0, maxstep - k * step) for k in range(1, 11)]
    for target in targets[:args.steps]:
        started = time.monotonic()
        client.value(checks, "PUT", "move", {"Position": target})
        final = wait_still(client, checks, target, maxstep, log)
        checks.check(final == target, "move to %d ended at %r" % (target, final))
        print("move to %5d: final %5d after %.1f s" % (target, final if final is not None else -1,
                                                          time.monotonic() - started), flush=True)
    # A client that polls without pause: the first ismoving that is false is
    # followed by the final position, never by the one before the move.
    for target in (step, 0):
        client.value(checks, "PUT", "move", {"Position": target})
        deadline = time.monotonic() + 120
        while client.value(checks, "GET", "ismoving").get("Value") is not False and time.monotonic() < deadline:
            pass
        final = client.value(checks, "GET", "position").get("Value")
        checks.check(final == target, "polled without pause, the move to %d ended at %r" % (target, final))
    for wanted, clamped in [(-10, 0), (maxstep + 10, maxstep)]:
        client.value(checks, "PUT", "move", {"Position": wanted})
        final = wait_still(client, checks, clamped, maxstep, log)
        checks.check(final == clamped, "move to %d clamped to %d, ended at %r" % (wanted, clamped, final))

    # Halt during a move (from maxstep, where the clamped move left it): as
    # soon as the focuser has left, it is stopped short of the target. A
    # program may go on answering the position it read before the move until
    # the move ends, so the focuser's own position (from the host's control
    # lines) says when it has left; without them, a short while after the
    # move began.
    def module_position():
        words = control("status").split()
        return int(words[words.index("position") + 1])

    client.value(checks, "PUT", "move", {"Position": 0})
    deadline = time.monotonic() + 30
    moving, began = None, None
    while time.monotonic() < deadline:
        time.sleep(0.02)
        moving = client.value(checks, "GET", "ismoving").get("Value")
        began = began or (time.monotonic() if moving else None)
        if moving and (module_position() < maxstep if control else time.monotonic() - began > 0.3):
            break
    checks.check(moving is True, "moving before halt")
    # The halt as curl -X PUT sends it: no Content-Length, no body.
    status, _, body = raw(host, port, "PUT " + API + "halt" + h + "\r\n")
    checks.check(status == 200 and json.loads(body).get("ErrorNumber") == 0, "halt without a body: %d %r"
                 % (status, body))
    final = wait_still(client, checks, 0, maxstep, log)
    checks.check(final is not None and 0 < final < maxstep, "halt stopped the move short of 0: %r" % final)
    if control:
        checks.check(" halts 1" in control("status"), "the focuser heard the halt once")
        checks.check(final == module_position(), "position after the halt %r is where the focuser stopped" % final)

    # A move while a question is open in the window is refused.
    if control or args.question_on_cmd:
        (control or (lambda _: subprocess.run(args.question_on_cmd, shell=True, check=False)))("question on")
        reply = client.value(checks, "PUT", "move", {"Position": 10}, error=0x40B)
        print("refused while a question is open:", reply.get("ErrorMessage"))
        (control or (lambda _: subprocess.run(args.question_off_cmd, shell=True, check=False)))("question off")
    else:
        print("skipped: move while a question is open (give --question-on-cmd and --question-off-cmd)")

    client.value(checks, "PUT", "disconnect")
    checks.check(client.value(checks, "GET", "connected").get("Value") is False, "disconnected")
    if args.local_network:
        local_network_checks(checks, port, args.discovery_port)
    return checks


def local_network_checks(checks, port, discovery_port):
    """A server answering on the local network (bound to the wildcard
    addresses), talked to on 127.0.0.1 and ::1 only."""
    status, _, body = raw("127.0.0.1", port, "GET /setup HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    token = re.search(r'name="corvell-token" content="([0-9a-f]+)"', body)
    if token:
        # The program's browser page: the mode is in the state its event stream sends.
        body = event_stream_start(port, token.group(1))
    checks.check(status == 200 and "every network" in body, "setup page of the local-network mode: %d" % status)
    for address in ["127.0.0.1"] + (["::1"] if has_ipv6_loopback() else []):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        status, _, body = raw(address, port, "GET " + API + "name HTTP/1.1\r\nHost: localhost\r\n\r\n", family)
        checks.check(status == 200, "local network mode on %s: HTTP %d %r" % (address, status, body))
        answer = discover(address, discovery_port)
        checks.check(answer == {"AlpacaPort": port}, "local network mode, discovery on %s: %r" % (address, answer))


# Run by `unshare -n`: a namespace with nothing but loopback, to which a veth
# pair of its own is added. Exit status 77: the namespace cannot be set up.
NAMESPACE_SETUP = """ip link set lo up || exit 77
sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0 || exit 77
ip link add cv0 type veth peer name cv1 || exit 77
ip link set cv0 up && ip link set cv1 up || exit 77
exec "$@"
"""


def multicast_check(checks, spawn):
    """The IPv6 discovery group ff12::a1:9aca, in a network namespace made
    for this check alone."""
    why = None
    if not shutil.which("unshare") or not shutil.which("ip"):
        why = "no unshare or ip"
    elif subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        why = "no network namespace may be made here"
    if not why:
        r = subprocess.run(["unshare", "-n", "sh", "-c", NAMESPACE_SETUP, "sh", sys.executable,
                            os.path.abspath(__file__), "--multicast-inside", spawn],
                           capture_output=True, text=True, timeout=120)
        if r.returncode == 77:
            why = "no veth pair in the namespace: " + r.stderr.strip()
        elif checks.check(r.returncode == 0, "discovery through the group ff12::a1:9aca: %s%s" % (r.stdout, r.stderr)):
            print(r.stdout.strip())
    if why:
        print("skipped: discovery through the IPv6 group (%s)" % why)


def multicast_inside(spawn):
    """Inside the namespace: a host on the local network, asked through the
    group on cv0 (its copy of the datagram loops back to the host, which
    joined the group on every interface that can multicast)."""
    with FakeHost(spawn, "--local-network", "1") as host:
        try:
            print("host in the namespace:", host.said)
            index = socket.if_nametoindex("cv0")
            with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
                s.settimeout(5)
                s.sendto(b"alpacadiscovery1", ("ff12::a1:9aca", host.discovery_port, 0, index))
                answer = json.loads(s.recvfrom(1024)[0].decode())
            print("answer through the group:", answer)
            return 0 if answer == {"AlpacaPort": host.port} else 1
        except (OSError, ValueError) as e:
            print("no answer through the group:", e)
            return 1


class FakeHost:
    """The fake host on free ports, driven by lines on its input; the end of
    its input ends it."""

    def __init__(self, path, *options):
        self.port, self.discovery_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        self.proc = subprocess.Popen([path, "--port", str(self.port), "--discovery-port", str(self.discovery_port),
                                      *options], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.said = self.proc.stdout.readline().strip()  # where it answers

    def control(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", default="http://127.0.0.1:11111")
    parser.add_argument("--discovery-port", type=int, default=32227)
    parser.add_argument("--spawn", help="start this fake host on free ports and drive it")
    parser.add_argument("--steps", type=int, default=20, help="moves of the autofocus sequence (at most 20)")
    parser.add_argument("--question-on-cmd")
    parser.add_argument("--question-off-cmd")
    parser.add_argument("--local-network", action="store_true")
    parser.add_argument("--multicast-inside", metavar="FAKEHOST", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.multicast_inside:
        return multicast_inside(args.multicast_inside)

    host = FakeHost(args.spawn, "--speed", "10000", "--keep-alive-ms", "2000") if args.spawn else None
    if host:
        print("host:", host.said, flush=True)
        args.url, args.discovery_port = "http://127.0.0.1:%d" % host.port, host.discovery_port
    try:
        checks = run(args, host.control if host else None)
        if args.spawn:
            # A second host, on the local network.
            with FakeHost(args.spawn, "--local-network", "1") as second:
                print("second host:", second.said, flush=True)
                local_network_checks(checks, second.port, second.discovery_port)
            multicast_check(checks, os.path.abspath(args.spawn))
    finally:
        if host:
            host.close()
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
