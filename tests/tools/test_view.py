#!/usr/bin/env python3
"""kelmo view's server as a page meets it: the token on every request, the
hello, the state and the frames over the WebSocket, the trigger, a new
configuration, a read-only server, a slow page and a source that vanishes.

    test_view.py KELMO_PROGRAM
"""

import base64
import json
import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from genwaves import genwaves

KELMO = sys.argv[1]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


runs = 0


class View:
    """kelmo view running with arguments of its own, in a namespace of its own."""

    def __init__(self, *args, preexec_fn=None, **env):
        global runs
        runs += 1
        self.env = dict(os.environ, KELMO_SHM_NAMESPACE=f"kelmo-view-test-{os.getpid()}-{runs}", **env)
        self.proc = subprocess.Popen([KELMO, "view", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=self.env, preexec_fn=preexec_fn)
        line = self.proc.stdout.readline()
        assert line.startswith("kelmo view: http://"), line + self.proc.stderr.read()
        self.url = line.split(": ", 1)[1].strip()
        hostport = self.url.split("//", 1)[1].split("/", 1)[0]
        self.host, self.port = hostport.rsplit(":", 1)
        self.port = int(self.port)
        self.token = self.url.split("token=", 1)[1]

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = None
        # genwave, which the library started, goes too (only ours: other
        # runs may have theirs)
        for pid in genwaves(self.env["KELMO_SHM_NAMESPACE"]):
            os.kill(pid, signal.SIGTERM)
        return code


    def alive(self):
        return self.proc.poll() is None

    def rss(self):
        """Resident memory in bytes."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))

    def cpu(self):
        """Processor time used so far, in seconds."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))


def status_of(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


class Page:
    """A WebSocket client as small as the test needs (RFC 6455, unfragmented)."""

    def __init__(self, view, token=None, small=False):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if small:  # a page that takes little at a time: its server meets a full socket soon
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.s.settimeout(10)
        self.s.connect((view.host, view.port))
        key = base64.b64encode(os.urandom(16)).decode()
        self.s.sendall((f"GET /ws?token={view.token if token is None else token} HTTP/1.1\r\nHost: {view.host}\r\n"
                        f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                        "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.s.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.status = int(head.split(b" ")[1]) if head else 0
        self.hello = None
        self.state = None

    def _recv(self, n):
        while len(self.buf) < n:
            chunk = self.s.recv(1 << 16)
            if not chunk:
                raise EOFError
            self.buf += chunk
        r, self.buf = self.buf[:n], self.buf[n:]
        return r

    def message(self):
        b0, b1 = self._recv(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self._recv(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self._recv(8))[0]
        op, data = b0 & 0x0F, self._recv(n)
        if op == 1:
            m = json.loads(data)
            if m["type"] == "hello":
                self.hello = m
            elif m["type"] == "state":
                self.state = m
            return m
        if op == 2:
            h = dict(zip(("magic", "kind", "channels", "seq", "columns", "rate", "first", "per", "flags", "trigger"),
                         struct.unpack("<IHHIIdQIId", data[:48])))
            floats = struct.unpack(f"<{(len(data) - 48) // 4}f", data[48:])
            h["data"] = floats
            self.send({"type": "drawn", "seq": h["seq"]})
            return h
        return {"op": op}

    def send(self, obj):
        data = json.dumps(obj).encode()
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else bytes([0x80 | 126]) + struct.pack(">H", n))
        self.s.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def until(self, what, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            m = self.message()
            if what(m):
                return m
        return None


def scope(m):
    return m.get("kind") == 1


def running(config=None):
    return lambda m: m.get("type") == "state" and m["state"] == "running" and (
        config is None or all(m["config"][k] == v for k, v in config.items()))


view = View("-c", "2", "-r", "10k")
try:
    base = f"http://{view.host}:{view.port}"
    check(status_of(base + "/") == 403, "a request without the token is refused (403)")
    check(status_of(base + "/?token=" + "0" * len(view.token)) == 403, "a request with another token is refused")
    check(status_of(base + "/../../etc/passwd?token=" + view.token) == 404, "no path outside the page's files")
    check(Page(view, token="wrong").status == 403, "a WebSocket without the token is refused")

    page = Page(view)
    check(page.status == 101, "the WebSocket with the token is accepted")
    page.send({"type": "view", "columns": 500, "seconds": 0.1})
    first = page.message()
    check(first["type"] == "hello" and any(c["type"] == 123 for c in first["cards"])
          and any(c["type"] == 800 for c in first["cards"]), "the hello comes first and offers the cards")
    check(page.until(running()) is not None, "the acquisition runs")
    frame = page.until(lambda m: scope(m) and m["columns"] == 500)
    ok = frame is not None and frame["magic"] == 0x3157564B and frame["channels"] == 2 and frame["per"] == 2
    check(ok, "scope frames: 2 channels of 500 columns of 2 samples (0.1 s at 10 kHz)")
    if ok:
        lo, hi = frame["data"][:500], frame["data"][500:1000]
        check(all(a <= b for a, b in zip(lo, hi)) and 2950 < max(hi) <= 3000.5 and -3000.5 <= min(lo) < -2950,
              "channel 0 is the source's cosine of 3000, minima below maxima")
    state = page.until(lambda m: m.get("type") == "state" and m["dominant"])
    check(state is not None and abs(state["dominant"][0]["hz"] - 50) < 10000 / 1024
          and abs(state["dominant"][0]["db"] - 20 * __import__("math").log10(3000 / 5000)) < 0.5,
          "the dominant frequency of channel 0 is 50 Hz, at -4.4 dB of full scale")

    # A rising edge through 0 on channel 0, a quarter of the screen before it.
    page.send({"type": "view", "columns": 1000, "seconds": 0.1,
               "trigger": {"slope": "rising", "channel": 0, "level": 0, "pre": 0.25}})
    t = page.until(lambda m: scope(m) and m["flags"] == 1 and m["columns"] == 1000)
    ok = t is not None and t["trigger"] - t["first"] == 250
    check(ok, "a triggered frame has its crossing at the pre-trigger position")
    if ok:
        x = t["data"][:1000]  # per = 1: the samples themselves
        check(x[249] < 0 <= x[250] and x[260] > x[240], "the samples cross 0 upwards there")
    page.send({"type": "view", "trigger": {"slope": "off"}})

    # A new configuration restarts the acquisition with it.
    page.send({"type": "config", "rate": 20000, "channels": [1, 3]})
    check(page.until(running({"rate": 20000, "channels": [1, 3]})) is not None,
          "a new rate and channels restart the acquisition")
    f2 = page.until(lambda m: scope(m) and m["rate"] == 20000)
    check(f2 is not None and f2["channels"] == 2 and page.state["gaps"] == 0, "frames follow at the new rate")

    # What the card lacks is refused with its reason; the acquisition runs on as it was.
    for config, what in (({"channels": [0, 255]}, "channel 255"), ({"channels": [32]}, "channel 32"),
                         ({"gain": 3}, "gain 3"), ({"rate": 2e6}, "2e+06 Hz"), ({"card": 999}, "card type 999")):
        page.send({"type": "config", **config})
        st = page.until(lambda m: m.get("type") == "state" and m.get("notice"), 5)
        check(st is not None and what in (st.get("notice") or "") and st["state"] == "running"
              and st["config"]["rate"] == 20000 and st["config"]["channels"] == [1, 3],
              f"{config} is refused: " + (st["notice"] if st else "no notice"))
    page.send({"type": "config", "rate": 20000, "channels": [1, 3]})
    check(page.until(lambda m: m.get("type") == "state" and not m.get("notice"), 5) is not None,
          "a configuration the card runs clears the notice")

    # A slow page: frames are dropped, the acquisition goes on, and the
    # other page keeps getting its frames.
    slow = Page(view, small=True)
    slow.send({"type": "view", "columns": 4000, "seconds": 1})
    time.sleep(3)
    st = slow.until(lambda m: m.get("type") == "state" and m["dropped"] > 0, 20)
    check(st is not None and st["gaps"] == 0, "a page that reads nothing for 3 s loses frames, not samples")
    check(page.until(lambda m: scope(m) and m["rate"] == 20000) is not None, "the other page still gets its frames")
    slow.s.close()

    # The signal source killed: the reason shows; the acquisition comes back.
    page.send({"type": "config", "rate": 10000, "channels": [0]})
    page.until(running({"rate": 10000}))
    for pid in genwaves(view.env["KELMO_SHM_NAMESPACE"]):
        os.kill(pid, signal.SIGKILL)
    failed = page.until(lambda m: m.get("type") == "state" and m["state"] == "failed", 10)
    check(failed is not None and "genwave" in failed["reason"], "a vanished source shows the library's reason: "
          + (failed["reason"] if failed else "no failure seen"))
    check(page.until(running(), 15) is not None, "and the acquisition comes back (Checkcard starts genwave)")
finally:
    code = view.stop()
check(code == 0, "Ctrl-C ends kelmo view with 0")

ro = View("--read-only")
try:
    page = Page(ro)
    page.until(running())
    page.send({"type": "config", "rate": 20000})
    time.sleep(1.5)
    st = page.until(lambda m: m.get("type") == "state")
    check(page.hello["readOnly"] and st["config"]["rate"] == 10000, "a read-only server keeps its configuration")
finally:
    ro.stop()

# The sound card without a sound system: the page is told why, at its rate.
sound = View("-t", "800", "-r", "44100", ALSA_CONFIG_PATH="/dev/null")
try:
    page = Page(sound)
    st = page.until(lambda m: m.get("type") == "state" and m["state"] == "failed")
    check(st is not None and st["reason"].startswith("card type 800 cannot be used: ")
          and st["config"]["rate"] == 44100, "a sound card that is not there is a failure with its reason")
finally:
    sound.stop()

# A reason with a byte that is not UTF-8 (the device's folder names it)
# reaches the page as UTF-8, and the server goes on.
odd = View("-c", "1", KELMO_DEVICE_DIR=os.path.join(tempfile.gettempdir(), os.fsdecode(b"kelmo-view-\xff")))
try:
    page = Page(odd)
    page.until(running())
    page.send({"type": "config", "card": 602, "rate": 10000, "channels": [0], "gain": 1})
    try:
        st = page.until(lambda m: m.get("type") == "state" and m["state"] == "failed", 15)
    except (EOFError, OSError):
        st = None
    check(st is not None and "kelmo-view-\ufffd" in st["reason"] and odd.alive(),
          "a folder's byte that is not UTF-8 is U+FFFD in the reason: " + (st["reason"] if st else "the server ended"))
finally:
    odd.stop()

# 32 channels at 1 MHz: the ring is bounded, and a screen longer than it
# holds is a notice, not silence. With too little memory for the ring, the
# page is told why.
big = View("-c", "1")
try:
    page = Page(big)
    page.until(running())
    before = big.rss()
    page.send({"type": "config", "rate": 1000000, "channels": list(range(32))})
    st = page.until(running({"rate": 1000000}), 20)
    grown = big.rss() - before if big.alive() else None
    check(st is not None and 1 <= st.get("kept", 0) <= 4 and grown is not None and grown < 400 << 20,
          f"32 channels at 1 MHz run, keeping {st.get('kept') if st else '?'} s in {grown} bytes more")
    page.send({"type": "view", "columns": 500, "seconds": 10})
    st = big.alive() and page.until(lambda m: m.get("type") == "state" and "kept" in (m.get("notice") or ""), 10)
    check(st is not None, "a screen longer than what is kept is a notice: " + (st["notice"] if st else "none"))
    if not big.alive():
        raise EOFError("kelmo view ended: " + big.proc.stderr.read()[-300:])
    page.send({"type": "config", "rate": 10000, "channels": [0]})
    page.until(running({"rate": 10000}))
    with open(f"/proc/{big.proc.pid}/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.prlimit(big.proc.pid, resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
    page.send({"type": "config", "rate": 1000000, "channels": list(range(32))})
    try:
        st = page.until(lambda m: m.get("type") == "state" and m["state"] == "failed", 20)
    except (EOFError, OSError):
        st = None
    check(st is not None and "memory" in st["reason"] and big.alive(),
          "too little memory for the ring is a reason on the page: " + (st["reason"] if st else "the server ended"))
    resource.prlimit(big.proc.pid, resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    if big.alive():
        page.send({"type": "config", "rate": 10000, "channels": [0]})
        check(page.until(running({"rate": 10000}), 20) is not None, "and a smaller configuration runs again")
finally:
    big.stop()

# A trigger at 1 s/div (10 s screens) keeps finding its crossings once the
# acquisition has run longer than three screens' worth of the old ring.
slow = View("-c", "1", "-r", "10k")
try:
    page = Page(slow)
    page.until(running())
    page.send({"type": "view", "columns": 500, "seconds": 10,
               "trigger": {"slope": "rising", "channel": 0, "level": 0, "pre": 0.1}})
    page.until(lambda m: m.get("type") == "state" and m["samples"] > 130000, 40)
    t = page.until(lambda m: scope(m) and m["flags"] == 1 and m["first"] + 100000 > 130000, 15)
    check(t is not None and t["per"] == 200, "triggered 10 s screens still come after 13 s")
    page.send({"type": "view", "seconds": 0.1, "trigger": {"slope": "rising", "level": 1e6}})
    st = page.until(lambda m: m.get("type") == "state" and "waiting for the trigger" in (m.get("notice") or ""), 30)
    check(st is not None, "a trigger that finds no crossing says so: " + (st["notice"] if st else "nothing said"))
finally:
    slow.stop()


def connect(view):
    s = socket.create_connection((view.host, view.port), timeout=10)
    return s


# Connections without the token: a few are kept, bodies are not read, and
# when descriptors run out the server waits instead of spinning.
guarded = View("-c", "1")
try:
    Page(guarded).until(running())
    base = guarded.descriptors()
    idle = [connect(guarded) for _ in range(60)]
    time.sleep(1)
    check(guarded.descriptors() - base <= 20, f"60 idle connections without the token hold "
          f"{guarded.descriptors() - base} descriptors of the server")
    for c in idle:
        c.close()

    before = guarded.rss()
    held, body = [], b"x" * 999000
    for _ in range(200):
        c = connect(guarded)
        try:
            c.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n" + body)
        except OSError:
            pass  # refused before the body was sent
        held.append(c)
    time.sleep(1)
    grown = guarded.rss() - before
    check(grown < 40 << 20, f"200 connections sending bodies without the token: the server grew by {grown >> 20} MB")
    for c in held:
        c.close()
    check(status_of(f"http://{guarded.host}:{guarded.port}/?token={guarded.token}") == 200,
          "the page is still served to who has the token")
finally:
    guarded.stop()

# (Fewer descriptors than the connections without the token it keeps.)
few = View("-c", "1", preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24)))
try:
    Page(few).until(running())
    idle = []
    for _ in range(60):
        idle.append(connect(few))
    end = time.time() + 20
    while few.descriptors() < 23 and time.time() < end:
        time.sleep(0.1)
    check(few.descriptors() >= 23, f"the server's descriptors run out ({few.descriptors()} of 24)")
    cpu, wall = few.cpu(), time.time()
    time.sleep(3)
    used, spent = few.cpu() - cpu, time.time() - wall
    check(used < 0.3 * spent, f"without descriptors the server waits: {used:.2f} s of processor in {spent:.1f} s")
    for c in idle:
        c.close()
    end, code = time.time() + 30, None
    while code != 200 and time.time() < end:
        try:
            code = status_of(f"http://{few.host}:{few.port}/?token={few.token}")
        except OSError:
            time.sleep(0.5)
    check(code == 200, "once they are back, the page is served again")
finally:
    few.stop()

# A source a view started again while it was being stopped.
for pid in genwaves(f"kelmo-view-test-{os.getpid()}-", prefix=True):
    os.kill(pid, signal.SIGTERM)
print(f"{len(failures)} failed")
sys.exit(1 if failures else 0)
