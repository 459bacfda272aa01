#!/usr/bin/env python3
"""The soak: the game simulator, the bundled report server behind a
fault-injecting proxy, and Tidemark.exe under Wine, for N minutes, with
faults at random moments drawn from a seed. Everything that happened goes to
RUN/events.jsonl; at the end the server's database is copied to
RUN/reports.sqlite3 and check.py compares the two.

Started by run-soak.sh, which builds the programs and picks the folders;
see README.md beside this file.
"""

import argparse
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lines as soaklines  # noqa: E402

WINE = "/usr/lib/wine/wine64"
CLIENT_TIMEOUT_S = 10  # WinInet step timeout built into Tidemark
EDGE_S = 0.5
LANG_LEAD_S = 3.0
AWAIT_NEW_GAME_S = 15.0
ARMED_FOR_S = 10.0  # a per-report fault waits this long for a report to fall on


class Events:
    """Append-only record of the run; times are seconds since the start."""

    def __init__(self, path):
        self.t0 = time.time()
        self.lock = threading.Lock()
        self.file = open(path, "a", buffering=1)

    def now(self):
        return time.time() - self.t0

    def log(self, _event, **fields):
        fields["ev"] = _event
        fields.setdefault("t", round(self.now(), 3))
        with self.lock:
            self.file.write(json.dumps(fields, ensure_ascii=True) + "\n")
        return fields["t"]


def say(*parts):
    print("[soak]", *parts, flush=True)


# --- the fault-injecting proxy ------------------------------------------------------

STATUS_FAULTS = [
    ("http429", 429, False), ("http429-retry-after", 429, True),
    ("http503", 503, False), ("http503-retry-after", 503, True),
    ("http502", 502, False), ("http502-retry-after", 502, True),
    ("http504", 504, False), ("http504-retry-after", 504, True),
]
REPORT_FAULTS = [name for name, _, _ in STATUS_FAULTS] + [
    "answer-lost-after-store", "answer-slower-than-timeout", "text200", "text200-after-store"]
REASONS = {200: "OK", 429: "Too Many Requests", 500: "Internal Server Error", 502: "Bad Gateway",
           503: "Service Unavailable", 504: "Gateway Timeout"}


def read_request(conn, buf):
    """One HTTP/1.1 request from `conn`; (method, target, headers, body, rest) or None."""
    while b"\r\n\r\n" not in buf:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        buf += chunk
    head, _, buf = buf.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    method, target, _ = lines[0].decode("latin-1").split(" ", 2)
    headers = {}
    for line in lines[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0") or 0)
    while len(buf) < length:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        buf += chunk
    return method, target, headers, buf[:length], buf[length:]


def form_fields(body):
    fields = {}
    for pair in body.split(b"&"):
        name, _, value = pair.partition(b"=")
        fields[urllib.parse.unquote_to_bytes(name).decode("latin-1")] = urllib.parse.unquote_to_bytes(value)
    return fields


class FaultProxy:
    def __init__(self, port, upstream_port, events, rng):
        self.port = port
        self.upstream_port = upstream_port
        self.ev = events
        self.rng = rng
        self.lock = threading.Lock()
        self.armed = []
        self.outage_until = 0.0
        self.stall_until = 0.0
        self.stopping = False
        self.conns = set()
        self.last_post = 0.0
        self.pattern_fetches = []  # (time, lang, status)
        self.listener = None
        self.thread = None

    def listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(64)
        s.settimeout(0.2)
        self.listener = s

    def start(self):
        self.listen()
        self.thread = threading.Thread(target=self.accept_loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopping = True
        self.thread.join(5)
        self.close_all()

    def close_all(self):
        with self.lock:
            conns = list(self.conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def begin_outage(self, seconds):
        with self.lock:
            self.outage_until = max(self.outage_until, time.time() + seconds)

    def begin_stall(self, seconds):
        with self.lock:
            self.stall_until = max(self.stall_until, time.time() + seconds)

    def end_faults(self):
        with self.lock:
            self.outage_until = 0.0
            self.stall_until = 0.0
            self.armed.clear()

    def arm(self, kind):
        with self.lock:
            self.armed.append((kind, time.time()))

    def accept_loop(self):
        while not self.stopping:
            if time.time() < self.outage_until:
                # Down as a server that went away: nothing listens, open
                # connections are cut.
                self.listener.close()
                self.close_all()
                while time.time() < self.outage_until and not self.stopping:
                    time.sleep(0.05)
                if self.stopping:
                    return
                self.listen()
                continue
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                time.sleep(0.05)
                continue
            with self.lock:
                self.conns.add(conn)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()
        self.listener.close()

    def serve(self, conn):
        buf = b""
        try:
            while not self.stopping:
                request = read_request(conn, buf)
                if request is None:
                    return
                method, target, headers, body, buf = request
                while time.time() < self.stall_until and not self.stopping:
                    time.sleep(0.05)
                if not self.answer(conn, method, target, headers, body):
                    return
        except OSError:
            return
        finally:
            with self.lock:
                self.conns.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    def forward(self, method, target, headers, body):
        upstream = http.client.HTTPConnection("127.0.0.1", self.upstream_port, timeout=30)
        try:
            sent = {k: v for k, v in headers.items()
                    if k in ("content-type", "tidemark-report-id", "accept", "user-agent")}
            upstream.request(method, target, body=body if method == "POST" else None, headers=sent)
            answer = upstream.getresponse()
            data = answer.read()
            kept = [(k, v) for k, v in answer.getheaders() if k.lower() in ("content-type", "retry-after")]
            return answer.status, kept, data
        finally:
            upstream.close()

    @staticmethod
    def send(conn, status, headers, body):
        head = "HTTP/1.1 %d %s\r\n" % (status, REASONS.get(status, "Status"))
        for k, v in headers:
            head += "%s: %s\r\n" % (k, v)
        head += "Content-Length: %d\r\n\r\n" % len(body)
        conn.sendall(head.encode("latin-1") + body)

    def answer(self, conn, method, target, headers, body):
        """Answers one request; False when the connection is to be closed."""
        if not (method == "POST" and target.startswith("/rep/post.php")):
            status, kept, data = self.forward(method, target, headers, body)
            self.ev.log("request", method=method, target=target[:200], status=status)
            # Tidemark percent-encodes every byte of a query.
            query = form_fields(urllib.parse.urlsplit(target).query.encode("latin-1"))
            if query.get("get") == b"pattern":
                lang = query.get("lang", b"").decode("latin-1")
                self.pattern_fetches.append((time.time(), lang, status))
                self.ev.log("pattern-fetch", lang=lang, status=status)
            self.send(conn, status, kept, data)
            return True
        fields = form_fields(body)
        line = fields.get("log", b"")
        seq = soaklines.seq_of(line)
        rid = headers.get("tidemark-report-id", "")
        record = {"seq": seq, "rid": rid, "present": fields.get("present", b"").decode("latin-1"),
                  "lang": fields.get("lang", b"").decode("latin-1")}
        self.last_post = time.time()
        if soaklines.REFUSE_MARK in line:
            self.send(conn, 500, [("Content-Type", "text/plain")], b"The soak refuses this report every time.")
            self.ev.log("post", fault="refused-every-time", forwarded=False, answered=500, **record)
            return True
        fault = None
        with self.lock:
            # A fault meant for a moment when no report came goes unused.
            while self.armed and time.time() - self.armed[0][1] > ARMED_FOR_S:
                self.ev.log("fault-unused", fault=self.armed.pop(0)[0])
            if self.armed:
                fault = self.armed.pop(0)[0]
        if fault is None:
            status, kept, data = self.forward("POST", target, headers, body)
            self.ev.log("post", fault=None, forwarded=True, answered=status, **record)
            self.send(conn, status, kept, data)
            return True
        for name, status, retry_after in STATUS_FAULTS:
            if fault == name:
                extra = [("Retry-After", str(self.rng.randint(1, 5)))] if retry_after else []
                self.send(conn, status, [("Content-Type", "text/plain")] + extra, b"The soak says: busy.")
                self.ev.log("post", fault=fault, forwarded=False, answered=status, **record)
                return True
        if fault == "text200":
            self.send(conn, 200, [("Content-Type", "text/plain")], b"The soak's server says this in plain text.")
            self.ev.log("post", fault=fault, forwarded=False, answered=200, **record)
            return True
        status, kept, data = self.forward("POST", target, headers, body)
        if fault == "text200-after-store":
            self.send(conn, 200, [("Content-Type", "text/plain")], b"Stored; the soak's server answers in plain text.")
            self.ev.log("post", fault=fault, forwarded=True, stored_status=status, answered=200, **record)
            return True
        if fault == "answer-lost-after-store":
            self.ev.log("post", fault=fault, forwarded=True, stored_status=status, answered=None, **record)
            return False
        if fault == "answer-slower-than-timeout":
            self.ev.log("post", fault=fault, forwarded=True, stored_status=status, answered="late", **record)
            deadline = time.time() + CLIENT_TIMEOUT_S + 3
            while time.time() < deadline and not self.stopping:
                time.sleep(0.1)
            try:
                self.send(conn, status, kept, data)
            except OSError:
                return False
            return True
        raise ValueError(fault)


# --- the report server ----------------------------------------------------------------

class Server:
    def __init__(self, binary, port, run_dir, data_dir):
        self.binary, self.port, self.run_dir, self.data_dir = binary, port, run_dir, data_dir
        self.proc = None
        self.database = os.path.join(run_dir, "server", "reports.sqlite3")

    def start(self):
        os.makedirs(os.path.dirname(self.database), exist_ok=True)
        self.log = open(os.path.join(self.run_dir, "server.log"), "ab")
        self.proc = subprocess.Popen(
            [self.binary, "--address", "127.0.0.1", "--port", str(self.port), "--database", self.database,
             "--data", self.data_dir], stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.1)
        raise RuntimeError("the report server did not start; see server.log")

    def marker(self):
        with open(os.path.join(self.run_dir, "server.log"), encoding="utf-8", errors="replace") as f:
            m = re.search(r'en \(marker "([^"]*)"\)', f.read())
        return m.group(1) if m else None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# --- Wine programs --------------------------------------------------------------------

def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Wine:
    def __init__(self, prefix, display):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY=display,
                        LANG="en_US.UTF-8", LC_ALL="en_US.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")

    def popen(self, args, cwd, log_path):
        log = open(log_path, "ab")
        return subprocess.Popen([WINE] + args, cwd=cwd, env=self.env, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)

    def run(self, args, timeout=20):
        try:
            out = subprocess.run([WINE] + args, env=self.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout)
            return out.returncode, out.stdout.decode("utf-8", "replace").replace("\r", "")
        except subprocess.TimeoutExpired:
            return -1, ""


class Game:
    """One simulated game client after another, each with its own control folder."""

    def __init__(self, wine, exe_dir, run_dir, marker, events, extra_args, variants):
        self.wine, self.exe_dir, self.run_dir = wine, exe_dir, run_dir
        self.marker, self.ev, self.extra = marker, events, extra_args
        # The simulator's ways of laying out a block's memory, one per start in turn.
        self.variants = [[]] + [v.split() for v in variants]
        self.instance = 0
        self.proc = None
        self.lock = threading.Lock()
        self.alive = False
        self.count = 0
        self.commands = 0

    def state(self):
        path = os.path.join(self.control, "state.txt")
        try:
            with open(path) as f:
                pairs = dict(line.split(" ", 1) for line in f.read().splitlines() if " " in line)
            return {k: v.strip() for k, v in pairs.items()}
        except (OSError, ValueError):
            return None

    def wait_handled(self, commands, timeout=10.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            state = self.state()
            if state and int(state.get("commands", "0")) >= commands:
                return state
            if self.proc.poll() is not None:
                return None
            time.sleep(0.01)
        return None

    def start(self):
        with self.lock:
            self.instance += 1
            self.control = os.path.join(self.run_dir, "game-%d" % self.instance)
            os.makedirs(self.control, exist_ok=True)
            open(os.path.join(self.control, "commands.txt"), "w").close()
            self.commands = 0
            args = ["ffxiv_dx11.exe", "--control", windows_path(self.control), "--marker", self.marker,
                    "--history", "3"] + self.extra + self.variants[(self.instance - 1) % len(self.variants)]
            self.proc = self.wine.popen(args, self.exe_dir, os.path.join(self.run_dir, "game.log"))
            deadline = time.time() + 60
            state = None
            while time.time() < deadline:
                state = self.state()
                if state and "entries" in state:
                    break
                if self.proc.poll() is not None:
                    raise RuntimeError("the game simulator ended at start (code %s)" % self.proc.returncode)
                time.sleep(0.05)
            if not state:
                raise RuntimeError("the game simulator wrote no state")
            self.count = int(state["entries"])
            self.alive = True
            self.ev.log("game-start", instance=self.instance, entries=self.count,
                        block_base=int(state.get("block_base", "0")), args=args[1:])

    def _append(self, commands):
        with open(os.path.join(self.control, "commands.txt"), "a") as f:
            f.write("".join(c + "\n" for c in commands))
        self.commands += len(commands)

    def _index_of_next(self):
        # A full block first gets the next block's marker line.
        if self.count % 1000 == 0:
            self.count += 1
        index = self.count
        self.count += 1
        return index

    def add(self, lines):
        """Writes (seq, code, bytes) lines at once; logs each with its entry index."""
        with self.lock:
            if not self.alive:
                return False
            commands, indices = [], []
            for seq, code, data in lines:
                commands.append("add %d %s" % (code, data.hex()))
                indices.append(self._index_of_next())
            self._append(commands)
            state = self.wait_handled(self.commands)
            t = self.ev.now()
            if state is None:
                self.ev.log("game-unresponsive", instance=self.instance)
                return False
            if int(state["entries"]) != self.count:
                self.ev.log("count-mismatch", instance=self.instance, expected=self.count,
                            state=int(state["entries"]))
                self.count = int(state["entries"])
            for (seq, code, data), index in zip(lines, indices):
                self.ev.log("line", t=round(t, 3), seq=seq, code=code, hex=data.hex(), game=self.instance,
                            index=index)
            return True

    def filler(self, n):
        """n lines that match no pattern, to move the count towards a block change."""
        with self.lock:
            if not self.alive or n <= 0:
                return
            for _ in range(n):
                self._index_of_next()
            self._append(["burst %d 10" % n])
            state = self.wait_handled(self.commands)
            if state:
                self.count = int(state["entries"])
            self.ev.log("filler", n=n, game=self.instance, entries=self.count)

    def exit(self):
        with self.lock:
            if not self.alive:
                return
            self.alive = False
            self._append(["exit"])
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.ev.log("game-exit", instance=self.instance, code=self.proc.returncode)


class Tidemark:
    def __init__(self, wine, program_dir, uidriver, events):
        self.wine, self.dir, self.uidriver, self.ev = wine, program_dir, uidriver, events
        self.proc = None
        self.runs = 0

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self):
        self.runs += 1
        self.proc = self.wine.popen(["Tidemark.exe"], self.dir, os.path.join(os.path.dirname(self.dir),
                                                                               "tidemark.log"))
        comm = ""
        for _ in range(50):
            try:
                with open("/proc/%d/comm" % self.proc.pid) as f:
                    comm = f.read().strip()
            except OSError:
                break
            if comm.lower() == "tidemark.exe":
                break
            time.sleep(0.1)
        self.ev.log("tm-start", run=self.runs, pid=self.proc.pid, comm=comm)

    def dump(self):
        rc, out = self.wine.run([self.uidriver, "dump"], timeout=10)
        if rc != 0:
            return None
        values = {}
        for line in out.splitlines():
            key, _, value = line.partition("=")
            values.setdefault(key, value)
        return values

    def close(self):
        """As the user closes the window; killed when it has not ended after 20 s."""
        self.wine.run([self.uidriver, "syscommand", "0xF060"], timeout=10)
        try:
            self.proc.wait(20)
            self.ev.log("tm-closed", run=self.runs, code=self.proc.returncode)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.ev.log("tm-close-timeout", run=self.runs)

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        self.ev.log("tm-killed", run=self.runs)

    def set_language(self, index):
        # The Config tab's combo lists the server's languages in order (en, ja).
        self.wine.run([self.uidriver, "tab", "1"])
        rc, _ = self.wine.run([self.uidriver, "select", "1028", str(index)])
        self.wine.run([self.uidriver, "tab", "0"])
        return rc == 0


# --- the run --------------------------------------------------------------------------

WATCHING = re.compile(r"^(Monitoring your logs|Loading your logs|\d+ reports waiting to be sent)")


class Soak:
    def __init__(self, args):
        self.args = args
        self.run_dir = args.run_dir
        self.ev = Events(os.path.join(self.run_dir, "events.jsonl"))
        self.rng = random.Random(args.seed)
        self.stop_flag = threading.Event()
        self.watch_stop = threading.Event()
        self.feeding = threading.Event()
        self.neutral_only = False
        self.language = "en"
        self.seq = 0
        self.watching = False
        self.await_unwatched = 0.0  # until then, a watching status may still be the old game's
        self.lang_pending = None
        self.last_log = ""
        self.state_lock = threading.Lock()
        self.seq_lock = threading.Lock()
        self.tm_down = False

    # The watch: what Tidemark's status line says, once a second.
    def watch_loop(self):
        last_status = None
        no_window_since = None
        while not self.watch_stop.is_set():
            with self.state_lock:
                down = self.tm_down
            if not down and not self.tm.running():
                # Ended on its own (a crash, or after a message box).
                self.keep_tidemark_log()
                self.unwatch("tidemark-ended")
                self.ev.log("tm-ended-by-itself", run=self.tm.runs, code=self.tm.proc.returncode)
                self.tm.start()
                with self.state_lock:
                    self.await_unwatched = 0.0
            if self.tm.running():
                values = self.tm.dump()
                if values is None:
                    no_window_since = no_window_since or time.time()
                    if time.time() - no_window_since > 20:
                        rc, out = self.tm.wine.run([self.tm.uidriver, "message-box", "2000"])
                        self.ev.log("tm-no-window", message_box=out if rc == 0 else None)
                        no_window_since = None
                else:
                    no_window_since = None
                if values is not None:
                    status = values.get("status", "")
                    log = values.get("log", "")
                    if log:
                        self.last_log = log
                    if status != last_status:
                        self.ev.log("status", text=status)
                        last_status = status
                    self.consider_status(status)
            time.sleep(1.0)

    def consider_status(self, status):
        watching = bool(WATCHING.match(status))
        with self.state_lock:
            if self.tm_down:
                return
            if self.await_unwatched:
                # The status of the game that went away may stand until
                # Tidemark has found the new one; a status poll may also miss
                # the short wait between, so the wait for it is bounded.
                if watching and time.time() < self.await_unwatched:
                    return
                self.await_unwatched = 0.0
                if not watching:
                    return
            if self.lang_pending is not None:
                lang, since = self.lang_pending
                fetched = any(t >= since and l == lang and s == 200 for t, l, s in self.proxy.pattern_fetches)
                if fetched and watching:
                    self.lang_pending = None
                    self.neutral_only = False
                    self.ev.log("lang-settled", lang=lang)
                return
            if watching and not self.watching:
                self.watching = True
                state = self.game.state() or {}
                self.ev.log("watch-start", run=self.tm.runs, game=self.game.instance,
                            block_base=int(state.get("block_base", "-1")), entries=int(state.get("entries", "-1")))

    def unwatch(self, reason):
        with self.state_lock:
            was = self.watching
            self.watching = False
            t = self.ev.log("watch-end", reason=reason, was_watching=was)
        return t

    def keep_tidemark_log(self):
        # The Log tab of the run that ends: what it said about lines passed over.
        values = self.tm.dump() if self.tm.running() else None
        log = (values or {}).get("log", "") or self.last_log
        self.ev.log("tm-log", run=self.tm.runs, text=log)
        self.last_log = ""

    # The game's lines.
    def next_line(self, neutral):
        with self.seq_lock:
            self.seq += 1
            return soaklines.make_line(self.rng, self.seq, neutral)

    def feed_loop(self):
        burst_at = time.time() + self.rng.uniform(30, 60)
        while not self.stop_flag.is_set():
            time.sleep(self.rng.uniform(0.3, 1.5))
            if not self.feeding.is_set():
                continue
            if time.time() >= burst_at:
                n = self.rng.randint(10, 40)
                burst_at = time.time() + self.rng.uniform(30, 60)
            else:
                n = 1
            batch = [self.next_line(self.neutral_only) for _ in range(n)]
            self.game.add(batch)

    def write_refused_line(self):
        with self.seq_lock:
            self.seq += 1
            line = soaklines.refused_line(self.seq)
        for _ in range(60):
            if self.game.add([line]):
                self.ev.log("refused-line", seq=line[0])
                return
            time.sleep(1)

    # The faults.
    def plan(self):
        """The whole run's faults from the seed, before anything runs."""
        rng = random.Random(self.args.seed * 7919 + 1)
        end = self.args.minutes * 60.0
        majors_kinds = ["outage", "stall-block-change", "game-restart", "language", "tidemark-close",
                        "tidemark-kill"]
        plan = []
        t = rng.uniform(10, 20)
        round_kinds = []
        while t < end - 20:
            if not round_kinds:
                round_kinds = majors_kinds[:]
                rng.shuffle(round_kinds)
            kind = round_kinds.pop()
            params = {}
            if kind == "outage":
                params["seconds"] = round(rng.uniform(2, 12) if rng.random() < 0.7 else rng.uniform(20, 60), 1)
            elif kind == "stall-block-change":
                params["seconds"] = round(rng.uniform(6, 20), 1)
                params["lines"] = rng.randint(30, 60)
            elif kind == "language":
                params["hold"] = round(rng.uniform(15, 40), 1)
            elif kind in ("tidemark-close", "tidemark-kill", "game-restart"):
                params["down"] = round(rng.uniform(1, 8), 1)
            plan.append({"t": round(t, 1), "kind": kind, **params})
            t += rng.uniform(15, 35)
        t = rng.uniform(5, 10)
        while t < end - 10:
            plan.append({"t": round(t, 1), "kind": "report-fault", "fault": rng.choice(REPORT_FAULTS)})
            t += rng.uniform(2, 7)
        if not self.args.no_refuse:
            plan.append({"t": round(end * rng.uniform(0.4, 0.7), 1), "kind": "refused-line"})
        plan.sort(key=lambda p: p["t"])
        return plan

    def fault_loop(self, plan, start):
        majors = [p for p in plan if p["kind"] not in ("report-fault", "refused-line")]
        minors = [p for p in plan if p["kind"] in ("report-fault", "refused-line")]
        minor_thread = threading.Thread(target=self.minor_loop, args=(minors, start), daemon=True)
        minor_thread.start()
        for p in majors:
            while time.time() < start + p["t"]:
                if self.stop_flag.wait(0.1):
                    return
            self.ev.log("fault-begin", **{k: v for k, v in p.items() if k != "t"}, planned=p["t"])
            getattr(self, "do_" + p["kind"].replace("-", "_"))(p)
            self.ev.log("fault-end", kind=p["kind"])
            if self.stop_flag.is_set():
                return

    def minor_loop(self, minors, start):
        for p in minors:
            while time.time() < start + p["t"]:
                if self.stop_flag.wait(0.1):
                    return
            if p["kind"] == "refused-line":
                self.write_refused_line()
            else:
                self.proxy.arm(p["fault"])
                self.ev.log("armed", fault=p["fault"])

    def do_outage(self, p):
        self.proxy.begin_outage(p["seconds"])
        self.ev.log("outage", seconds=p["seconds"])

    def do_stall_block_change(self, p):
        """The server holds every answer while the game's count passes a multiple of 1000."""
        self.proxy.begin_stall(p["seconds"])
        self.ev.log("stall", seconds=p["seconds"])
        time.sleep(min(2.0, p["seconds"] / 4))
        half = p["lines"] // 2
        with self.game.lock:
            count = self.game.count
        to_boundary = (1000 - count % 1000) % 1000
        self.game.filler(max(0, to_boundary - half))
        for _ in range(p["lines"]):
            self.game.add([self.next_line(self.neutral_only)])
            time.sleep(0.1)

    def do_game_restart(self, p):
        self.feeding.clear()
        with self.state_lock:
            self.await_unwatched = float("inf")  # no game to watch until the new one starts
        self.unwatch("game-exit")
        self.game.exit()
        time.sleep(p["down"])
        self.game.start()
        with self.state_lock:
            self.await_unwatched = time.time() + AWAIT_NEW_GAME_S
        self.feeding.set()

    def restart_tidemark(self, p, how):
        with self.state_lock:
            self.tm_down = True
        self.keep_tidemark_log()
        self.unwatch("tidemark-" + how)
        if how == "kill":
            self.tm.kill()
        else:
            self.tm.close()
        time.sleep(p["down"])
        # Tidemark needs the server at its start (else a message box, and no
        # window): the player starts it again once the server answers.
        self.wait_server_back()
        self.tm.start()
        with self.state_lock:
            self.tm_down = False
            self.await_unwatched = 0.0

    def wait_server_back(self, bound=90):
        deadline = time.time() + bound
        while time.time() < max(self.proxy.stall_until, self.proxy.outage_until) and time.time() < deadline:
            time.sleep(0.2)

    def do_tidemark_close(self, p):
        self.restart_tidemark(p, "close")

    def do_tidemark_kill(self, p):
        self.restart_tidemark(p, "kill")

    def change_language(self, lang):
        # Lines written just before the change may be read after it: only
        # lines both languages take alike are written from a little before.
        with self.state_lock:
            self.neutral_only = True
        self.ev.log("lang-lead-in", lang=lang)
        time.sleep(LANG_LEAD_S)
        with self.state_lock:
            self.lang_pending = (lang, time.time())
        self.ev.log("lang-change", lang=lang)
        if not self.tm.set_language(0 if lang == "en" else 1):
            self.ev.log("lang-change-failed", lang=lang)
        self.language = lang
        deadline = time.time() + 120
        while time.time() < deadline:
            with self.state_lock:
                if self.lang_pending is None:
                    return True
            time.sleep(0.2)
        self.ev.log("lang-not-settled", lang=lang)
        with self.state_lock:
            self.lang_pending = None
            self.neutral_only = False
        return False

    def do_language(self, p):
        # Not while the server stalls: a reading held up by it would take
        # lines of one language under the other's patterns.
        self.wait_server_back()
        # A Tidemark in Japanese cannot find an English game's log after a
        # restart: the language goes back to English before anything else.
        self.change_language("ja")
        time.sleep(p["hold"])
        self.change_language("en")

    # Start, run, drain, stop.
    def wait_watching(self, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self.state_lock:
                if self.watching:
                    return True
            time.sleep(0.2)
        return False

    def drain(self, bound):
        """Until no report has been posted for 10 s while the status says nothing waits."""
        deadline = time.time() + bound
        quiet_since = None
        while time.time() < deadline:
            values = self.tm.dump() if self.tm.running() else None
            status = (values or {}).get("status", "")
            if status.startswith("Monitoring your logs") and time.time() - self.proxy.last_post > 10:
                quiet_since = quiet_since or time.time()
                if time.time() - quiet_since > 5:
                    self.ev.log("drained", status=status)
                    return True
            else:
                quiet_since = None
            time.sleep(1)
        self.ev.log("drain-timeout", status=status)
        return False

    def run(self):
        a = self.args
        self.ev.log("soak", seed=a.seed, minutes=a.minutes, game_args=a.game_args)
        self.server = Server(a.server, a.server_port, self.run_dir, a.data)
        self.server.start()
        marker = self.server.marker()
        if not marker:
            raise RuntimeError("the server names no English marker")
        self.proxy = FaultProxy(a.proxy_port, a.server_port, self.ev, random.Random(a.seed + 17))
        self.proxy.start()
        wine = Wine(a.prefix, a.display)
        subprocess.run(["wineserver", "-p"], env=wine.env)
        self.game = Game(wine, a.game_dir, self.run_dir, marker, self.ev, a.game_args.split(),
                         [v for v in a.game_variants.split(";") if v.strip()])
        self.tm = Tidemark(wine, a.program_dir, a.uidriver, self.ev)
        plan = self.plan()
        with open(os.path.join(self.run_dir, "plan.json"), "w") as f:
            json.dump(plan, f, indent=0)
        kinds = {}
        for p in plan:
            k = p.get("fault", p["kind"])
            kinds[k] = kinds.get(k, 0) + 1
        say("seed %d: %d planned faults over %g minutes: %s" % (a.seed, len(plan), a.minutes,
                                                                 ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
        try:
            self.game.start()
            self.tm.start()
            threading.Thread(target=self.watch_loop, daemon=True).start()
            if not self.wait_watching(180):
                raise RuntimeError("Tidemark did not start monitoring within 180 s (see events.jsonl)")
            say("Tidemark is monitoring; feeding lines and injecting faults for %g minutes" % a.minutes)
            self.feeding.set()
            feeder = threading.Thread(target=self.feed_loop, daemon=True)
            feeder.start()
            start = time.time()
            faults = threading.Thread(target=self.fault_loop, args=(plan, start), daemon=True)
            faults.start()
            next_note = start + 60
            while time.time() < start + a.minutes * 60:
                time.sleep(1)
                if time.time() >= next_note:
                    say("%d min: %d lines written" % (round((time.time() - start) / 60), self.seq))
                    next_note += 60
            self.ev.log("feeding-ends")
            self.feeding.clear()
            self.stop_flag.set()
            faults.join(120)
            feeder.join(10)
            self.proxy.end_faults()
            self.wait_server_back()
            with self.state_lock:
                self.tm_down = False
            self.wait_watching(120)
            if self.lang_pending or self.language != "en":
                self.change_language("en")
            say("faults off; waiting for the reports still waiting (at most %d s)" % a.drain)
            self.drain(a.drain)
            with self.state_lock:
                self.tm_down = True
            self.keep_tidemark_log()
            self.unwatch("end")
            self.tm.close()
            self.game.exit()
        finally:
            self.stop_flag.set()
            self.watch_stop.set()
            if self.tm.running():
                self.tm.kill()
            if self.game.proc and self.game.proc.poll() is None:
                self.game.proc.kill()
            self.proxy.stop()
            self.server.stop()
            subprocess.run(["wineserver", "-k"], env=wine.env, timeout=30)
            self.ev.log("end")
        shutil.copy(self.server.database, os.path.join(self.run_dir, "reports.sqlite3"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--minutes", type=float, required=True)
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--run-dir", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--server-port", type=int, required=True)
    p.add_argument("--proxy-port", type=int, required=True)
    p.add_argument("--prefix", required=True)
    p.add_argument("--display", required=True)
    p.add_argument("--program-dir", required=True)
    p.add_argument("--game-dir", required=True)
    p.add_argument("--uidriver", required=True)
    p.add_argument("--game-args", default="")
    p.add_argument("--game-variants", default="")
    p.add_argument("--drain", type=int, default=150)
    p.add_argument("--no-refuse", action="store_true")
    args = p.parse_args()
    # A stopped soak still ends what it started (the run's finally).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    Soak(args).run()


if __name__ == "__main__":
    main()
