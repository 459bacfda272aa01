"""A report server for the window tests: answers Tidemark's three exchanges
by what is asked (language list, pattern set, page token, line report), on
the fixed loopback port the program under test was built for, and records
every request with its decoded fields.

Each answer can be switched to "silent" (accept, read the request, never
answer) to hold the program in the middle of an exchange.
"""

import json
import socket
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LANGUAGES = [{"code": "en", "name2": "English"}, {"code": "ja", "name2": "日本語"}]


def decode_fields(text):
    """Percent-decoded (name, value) pairs of a query or an urlencoded body."""
    pairs = []
    for part in text.split("&") if text else []:
        name, _, value = part.partition("=")
        pairs.append((urllib.parse.unquote_to_bytes(name).decode("utf-8", "replace"),
                      urllib.parse.unquote_to_bytes(value)))
    return pairs


class Slow:
    """An answer that takes its time: the head after `head_after` seconds,
    the body `body_after` seconds later, each within the client's step
    timeout, so that the whole exchange outlasts one step."""

    def __init__(self, body, head_after, body_after):
        self.body = body
        self.head_after = head_after
        self.body_after = body_after


class Request:
    def __init__(self, method, path, fields):
        self.method = method
        self.path = path
        self.fields = fields

    def field(self, name):
        for key, value in self.fields:
            if key == name:
                return value.decode("utf-8", "replace")
        return None

    def __repr__(self):
        return f"{self.method} {self.path} {self.fields}"


class ReportDouble:
    """Answers, per kind of request, with a text, a callable taking the
    Request, or the string "silent"."""

    def __init__(self, port, patterns=None):
        self.port = port
        self.lock = threading.Lock()
        self.requests = []
        self.answered = []
        self.language_list = json.dumps(LANGUAGES)
        self.patterns = patterns or "{}"
        self.token = json.dumps({"token": "page/abc"})
        self.report = self._numbered_report
        self.reports = 0
        self.held = []
        self._stop = threading.Event()
        double = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                double._serve(self, Request("GET", url.path, decode_fields(url.query)))

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode("latin-1")
                double._serve(self, Request("POST", self.path, decode_fields(body)))

        ThreadingHTTPServer.allow_reuse_address = True
        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self._stop.set()
        self.server.shutdown()
        self.server.server_close()

    def _numbered_report(self, request):
        with self.lock:
            self.reports += 1
            number = self.reports
        return json.dumps({"log": f"reported line {number}"})

    def _answer_for(self, request):
        if request.path == "/rep/post.php":
            return self.report
        kind = request.field("get")
        if kind == "lang":
            return self.language_list
        if kind == "pattern":
            return self.patterns
        if kind == "token":
            return self.token
        return ""

    def _serve(self, handler, request):
        with self.lock:
            self.requests.append(request)
        answer = self._answer_for(request)
        if callable(answer):
            answer = answer(request)
        if answer == "silent":
            # Hold the exchange open until the test ends.
            self._stop.wait(600)
            return
        slow = answer if isinstance(answer, Slow) else None
        body = (slow.body if slow else answer).encode("utf-8")
        if slow and self._stop.wait(slow.head_after):
            return
        handler.send_response(200)
        handler.send_header("Content-Type", "text/html; charset=UTF-8")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.flush()
        if slow and self._stop.wait(slow.body_after):
            return
        handler.wfile.write(body)
        with self.lock:
            self.answered.append(request)

    def requests_of(self, kind):
        """Recorded requests: "lang", "pattern", "token" or "post"."""
        with self.lock:
            if kind == "post":
                return [r for r in self.requests if r.path == "/rep/post.php"]
            return [r for r in self.requests if r.method == "GET" and r.field("get") == kind]

    def wait_for(self, kind, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.requests_of(kind)
            if len(found) >= count:
                return found
            time.sleep(0.05)
        return self.requests_of(kind)


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False
