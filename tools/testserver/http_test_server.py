#!/usr/bin/env python3
"""A loopback HTTP/1.1 server for the tests of the HTTP client and the report
protocol: it records every raw request and answers from a script.

Two ports on 127.0.0.1:
  traffic port  what the client under test talks to. Each request is recorded
                (TCP connection number, request line, headers in order, body
                bytes) and answered by the next entry of the script.
  control port  one JSON line per TCP connection, answered by one JSON line:
                {"op": "script", "answers": [...], "default": {...}}
                    replaces the script, forgets the records, ends silent
                    connections; answers {"ok": true}
                {"op": "records"}  answers {"records": [...]}
                {"op": "faults", "faults": [...]}
                    queues faults for the next report posts (see below),
                    replacing those still queued; answers {"ok": true}
                {"op": "rows"}  answers {"rows": [...]}, the stored reports
                {"op": "away", "ms": N}
                    the traffic port stops listening and its open
                    connections close at once, as a server that went down
                    would; it listens again on the same port after N ms.
                    Answers {"ok": true} once it is down

A script entry (every key optional):
  "mode"      "answer" (default), "silent" (never answer, keep the connection
              open), "close" (close the connection without a byte)
  "status"    status code, 200 by default; "reason" its phrase
  "body_hex"  the body bytes in hexadecimal ("body" for text)
  "split"     sizes of the writes the body is sent in (the rest in one last
              write); the head goes in a write of its own
  "pause_ms"  pause before each body write, 0 by default
  "framing"   "length" (Content-Length, keep-alive; default) or "close"
              (no length, the connection closes after the body)
  "headers"   extra header lines of the answer, [[name, value], ...]
  "delay_ms"  pause before the answer's head, 0 by default
When the script is used up, "default" answers (200 with the body "{}" unless
set).

Report posts (POST /rep/post.php) are also stored as rows, as the bundled
report server stores reports, keyed by their `Tidemark-Report-Id` header:
  - a post whose id is already stored gets the stored row's answer again
    (same status, headers and body) and adds no row; it takes no script
    entry;
  - a post without the header is stored each time, as a server without ids
    would; a header that is not 32 hex digits gets 400 and is not stored;
  - a row is stored when its answer is a 200 "answer" (other statuses and the
    "silent" and "close" modes store nothing).
A row: {"index": n (from 0, in order of storing), "connection": n,
"report_id": the header's value or null, "body_hex": the body,
"fields": [{"name": text, "value_hex": the decoded bytes}, ...],
"status": the answer's status, "body": the answer's body as text}.

Faults take the next report posts in turn, before the id is looked up (a busy
server refuses a repeat too), each for "count" posts (1 by default):
  {"kind": "refuse", "status": 429 or 503 (or any), "retry_after": seconds
   (the Retry-After header; left out when null), "body": text}
      answered at once; nothing stored, no script entry taken
  {"kind": "drop"}
      the post is handled as usual (stored, script entry taken), then the
      connection closes without a byte of the answer: an answer lost on the
      way
  {"kind": "stall", "seconds": S}
      handled as usual, the answer sent S seconds later (a client that gave
      up meanwhile finds the row stored)
"script" forgets the rows and the queued faults along with the records.

Usage:
  http_test_server.py --run -- PROGRAM ARGS...
      starts the server, runs the program with TIDEMARK_TEST_HTTP_PORT and
      TIDEMARK_TEST_CONTROL_PORT in its environment, stops, exits with the
      program's exit code
  http_test_server.py [--script FILE] [--record FILE] [--port-file FILE]
      serves until killed; --record appends each request as a JSON line,
      --port-file receives "traffic_port control_port"
"""

import argparse
import json
import os
import re
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse

DEFAULT_ANSWER = {"status": 200, "body": "{}"}
REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 408: "Request Timeout",
           429: "Too Many Requests", 500: "Internal Server Error", 502: "Bad Gateway",
           503: "Service Unavailable", 504: "Gateway Timeout"}
REPORT_PATH = "/rep/post.php"
REPORT_ID_HEADER = "tidemark-report-id"
REPORT_ID = re.compile(r"[0-9a-fA-F]{32}")


class State:
    def __init__(self, record_path=None):
        self.lock = threading.Lock()
        self.answers = []
        self.default = dict(DEFAULT_ANSWER)
        self.records = []
        self.rows = []
        self.row_of_id = {}
        self.faults = []
        self.connections = 0
        self.generation = 0
        self.record_path = record_path
        self.open_sockets = set()
        self.traffic = None  # the traffic port's server while it listens

    def set_script(self, answers, default=None):
        with self.lock:
            self.answers = list(answers)
            self.default = dict(default) if default else dict(DEFAULT_ANSWER)
            self.records = []
            self.rows = []
            self.row_of_id = {}
            self.faults = []
            self.generation += 1

    def set_faults(self, faults):
        expanded = []
        for fault in faults:
            expanded += [dict(fault)] * max(0, int(fault.get("count", 1)))
        with self.lock:
            self.faults = expanded

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def record_and_take(self, record, body):
        """The answer to one request, and the script's generation."""
        with self.lock:
            self.records.append(record)
            if self.record_path:
                with open(self.record_path, "a", encoding="utf-8") as out:
                    out.write(json.dumps(record) + "\n")
            if not is_report_post(record):
                return self.take(), self.generation
            return self.report_answer(record, body), self.generation

    def take(self):
        if self.answers:
            return self.answers.pop(0)
        return self.default

    def report_answer(self, record, body):
        # Called with the lock held.
        fault = self.faults.pop(0) if self.faults else {}
        kind = fault.get("kind")
        if kind == "refuse":
            headers = []
            if fault.get("retry_after") is not None:
                headers.append(["Retry-After", str(fault["retry_after"])])
            return {"status": int(fault.get("status", 503)), "headers": headers,
                    "body": fault.get("body", "busy, try again later")}
        report_id = header_of(record, REPORT_ID_HEADER)
        if report_id is not None and not REPORT_ID.fullmatch(report_id):
            return {"status": 400, "body": "Tidemark-Report-Id is not 32 hex digits"}
        if report_id is not None and report_id.lower() in self.row_of_id:
            entry = dict(self.rows[self.row_of_id[report_id.lower()]]["entry"])
        else:
            entry = dict(self.take())
            if entry.get("mode", "answer") == "answer" and int(entry.get("status", 200)) == 200:
                if report_id is not None:
                    self.row_of_id[report_id.lower()] = len(self.rows)
                self.rows.append({"index": len(self.rows), "connection": record["connection"],
                                  "report_id": report_id, "body_hex": body.hex(),
                                  "fields": form_fields(body), "status": 200,
                                  "body": body_of(entry).decode("utf-8", "replace"),
                                  "entry": dict(entry)})
        if kind == "drop":
            entry = {"mode": "close"}
        elif kind == "stall":
            entry["delay_ms"] = float(fault.get("seconds", 0)) * 1000
        return entry

    def stored_rows(self):
        with self.lock:
            return [{name: value for name, value in row.items() if name != "entry"} for row in self.rows]


def is_report_post(record):
    method, _, rest = record["request_line"].partition(" ")
    target = rest.partition(" ")[0]
    return method == "POST" and target.partition("?")[0] == REPORT_PATH


def header_of(record, name):
    for header_name, value in record["headers"]:
        if header_name.strip().lower() == name:
            return value.strip()
    return None


def form_fields(body):
    fields = []
    for pair in body.split(b"&") if body else []:
        name, _, value = pair.partition(b"=")
        fields.append({"name": urllib.parse.unquote_to_bytes(name.replace(b"+", b" ")).decode("latin-1"),
                       "value_hex": urllib.parse.unquote_to_bytes(value.replace(b"+", b" ")).hex()})
    return fields


def body_of(entry):
    if "body_hex" in entry:
        return bytes.fromhex(entry["body_hex"])
    return entry.get("body", "").encode("utf-8")


def read_request(sock, pending):
    """One request from the socket: (head bytes, body bytes, rest) or None."""
    while b"\r\n\r\n" not in pending:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        pending += chunk
    head, rest = pending.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head, rest[:length], rest[length:]


class TrafficHandler(socketserver.BaseRequestHandler):
    def handle(self):
        state = self.server.state
        connection = state.next_connection()
        sock = self.request
        with state.lock:
            state.open_sockets.add(sock)
        try:
            self.serve(state, connection, sock)
        finally:
            with state.lock:
                state.open_sockets.discard(sock)

    def serve(self, state, connection, sock):
        # The head and the body of an answer go in separate writes; without
        # this, the body waits for the client's delayed acknowledgement of the
        # head (about 40 ms on loopback), which swamps any latency measured.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        while True:
            request = read_request(sock, pending)
            if request is None:
                return
            head, body, pending = request
            lines = head.decode("latin-1").split("\r\n")
            headers = []
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers.append([name, value[1:] if value.startswith(" ") else value])
            record = {
                "connection": connection,
                "request_line": lines[0],
                "headers": headers,
                "raw_head": head.decode("latin-1"),
                "body_hex": body.hex(),
            }
            entry, generation = state.record_and_take(record, body)
            if not self.answer(sock, entry, generation):
                return

    def answer(self, sock, entry, generation):
        """Sends one answer; False when the connection is to end."""
        state = self.server.state
        mode = entry.get("mode", "answer")
        if mode == "close":
            return False
        if mode == "silent":
            # Hold the connection without a byte until the client gives up
            # or the script is replaced.
            sock.settimeout(0.2)
            while state.generation == generation:
                try:
                    if not sock.recv(65536):
                        return False
                except socket.timeout:
                    continue
                except OSError:
                    return False
            return False
        status = int(entry.get("status", 200))
        reason = entry.get("reason", REASONS.get(status, "Status"))
        body = body_of(entry)
        framing = entry.get("framing", "length")
        head = f"HTTP/1.1 {status} {reason}\r\nContent-Type: application/json; charset=UTF-8\r\n"
        for name, value in entry.get("headers", []):
            head += f"{name}: {value}\r\n"
        if framing == "length":
            head += f"Content-Length: {len(body)}\r\nConnection: Keep-Alive\r\n"
        else:
            head += "Connection: close\r\n"
        head += "\r\n"
        pause = entry.get("pause_ms", 0) / 1000.0
        pieces = []
        offset = 0
        for size in entry.get("split", []):
            pieces.append(body[offset:offset + size])
            offset += size
        pieces.append(body[offset:])
        delay = entry.get("delay_ms", 0) / 1000.0
        try:
            if delay:
                time.sleep(delay)
            sock.sendall(head.encode("latin-1"))
            for piece in pieces:
                if pause:
                    time.sleep(pause)
                if piece:
                    sock.sendall(piece)
        except OSError:
            return False
        return framing == "length"


class ControlHandler(socketserver.StreamRequestHandler):
    def handle(self):
        state = self.server.state
        line = self.rfile.readline()
        try:
            command = json.loads(line)
        except ValueError:
            self.wfile.write(b'{"error": "not JSON"}\n')
            return
        if command.get("op") == "script":
            state.set_script(command.get("answers", []), command.get("default"))
            reply = {"ok": True}
        elif command.get("op") == "away":
            go_away(state, int(command.get("ms", 0)))
            reply = {"ok": True}
        elif command.get("op") == "faults":
            state.set_faults(command.get("faults", []))
            reply = {"ok": True}
        elif command.get("op") == "rows":
            reply = {"rows": state.stored_rows()}
        elif command.get("op") == "records":
            with state.lock:
                reply = {"records": list(state.records)}
        else:
            reply = {"error": "unknown op"}
        self.wfile.write(json.dumps(reply).encode("utf-8") + b"\n")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, handler, state, port=0):
        super().__init__(("127.0.0.1", port), handler)
        self.state = state


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def go_away(state, ms):
    """Stops listening and drops the open connections; back after ms."""
    with state.lock:
        traffic, state.traffic = state.traffic, None
        sockets = list(state.open_sockets)
    if traffic is None:
        return
    port = traffic.server_address[1]
    traffic.shutdown()
    traffic.server_close()
    for sock in sockets:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def come_back():
        time.sleep(ms / 1000.0)
        server = serve(Server(TrafficHandler, state, port))
        with state.lock:
            state.traffic = server

    threading.Thread(target=come_back, daemon=True).start()


def start(state):
    traffic = serve(Server(TrafficHandler, state))
    state.traffic = traffic
    return [traffic, serve(Server(ControlHandler, state))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--script", help="JSON file: a list of answers, or {answers, default}")
    parser.add_argument("--record", help="append every request as a JSON line to this file")
    parser.add_argument("--port-file", help="write 'traffic_port control_port' here")
    parser.add_argument("--run", action="store_true", help="run the program after --")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()

    state = State(args.record)
    if args.script:
        with open(args.script, encoding="utf-8") as source:
            script = json.load(source)
        if isinstance(script, list):
            state.set_script(script)
        else:
            state.set_script(script.get("answers", []), script.get("default"))
    traffic, control = start(state)
    ports = (traffic.server_address[1], control.server_address[1])
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write(f"{ports[0]} {ports[1]}\n")
        os.replace(args.port_file + ".tmp", args.port_file)

    if args.run:
        program = args.program[1:] if args.program[:1] == ["--"] else args.program
        # Wine's WinInet takes a proxy from the environment; loopback traffic
        # must reach this server directly.
        environment = {name: value for name, value in os.environ.items()
                       if name.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
        environment.update(TIDEMARK_TEST_HTTP_PORT=str(ports[0]),
                           TIDEMARK_TEST_CONTROL_PORT=str(ports[1]))
        result = subprocess.run(program, env=environment)
        sys.exit(result.returncode)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
