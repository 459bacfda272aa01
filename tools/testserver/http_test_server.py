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
When the script is used up, "default" answers (200 with the body "{}" unless
set).

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
import socket
import socketserver
import subprocess
import sys
import threading
import time

DEFAULT_ANSWER = {"status": 200, "body": "{}"}
REASONS = {200: "OK", 404: "Not Found", 500: "Internal Server Error"}


class State:
    def __init__(self, record_path=None):
        self.lock = threading.Lock()
        self.answers = []
        self.default = dict(DEFAULT_ANSWER)
        self.records = []
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
            self.generation += 1

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def record_and_take(self, record):
        with self.lock:
            self.records.append(record)
            if self.record_path:
                with open(self.record_path, "a", encoding="utf-8") as out:
                    out.write(json.dumps(record) + "\n")
            if self.answers:
                return self.answers.pop(0), self.generation
            return self.default, self.generation


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
            entry, generation = state.record_and_take(record)
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
        try:
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
