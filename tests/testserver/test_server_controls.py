#!/usr/bin/env python3
"""The loopback test server's report store and faults, over real sockets:
the delivery tests trust these to tell a lost line from a doubled one."""

import http.client
import importlib.util
import json
import os
import socket
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location(
    "http_test_server", os.path.join(HERE, "..", "..", "tools", "testserver", "http_test_server.py"))
server_module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(server_module)

ID_A = "0123456789abcdef0123456789abcdef"
ID_B = "fedcba9876543210fedcba9876543210"


class ReportStoreAndFaults(unittest.TestCase):
    def setUp(self):
        self.state = server_module.State()
        self.servers = server_module.start(self.state)
        self.port = self.servers[0].server_address[1]
        self.state.set_script([{"body": '{"log": "first", "aid": "1"}'}, {"body": '{"log": "second"}'}])

    def tearDown(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()

    def post(self, report_id=None, body=b"lang=en&line=%41%00b", path="/rep/post.php", timeout=5):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if report_id is not None:
            headers["Tidemark-Report-Id"] = report_id
        try:
            connection.request("POST" if path == "/rep/post.php" else "GET", path, body=body, headers=headers)
            answer = connection.getresponse()
            return answer.status, answer.getheader("Retry-After"), answer.read().decode()
        finally:
            connection.close()

    def rows(self):
        return self.state.stored_rows()

    def test_a_stored_id_gets_the_first_answer_and_no_second_row(self):
        self.assertEqual(self.post(ID_A), (200, None, '{"log": "first", "aid": "1"}'))
        self.assertEqual(self.post(ID_A.upper()), (200, None, '{"log": "first", "aid": "1"}'))
        self.assertEqual(self.post(ID_B), (200, None, '{"log": "second"}'))
        self.assertEqual(self.post(None)[0], 200)
        self.assertEqual(self.post(None)[0], 200)
        self.assertEqual(self.post("not-hex")[0], 400)
        rows = self.rows()
        self.assertEqual([row["report_id"] for row in rows], [ID_A, ID_B, None, None])
        self.assertEqual(rows[0]["fields"], [{"name": "lang", "value_hex": "656e"},
                                             {"name": "line", "value_hex": "410062"}])
        self.assertEqual(len(self.state.records), 6)

    def test_refusals_carry_retry_after_and_store_nothing(self):
        self.state.set_faults([{"kind": "refuse", "status": 429, "retry_after": 2, "count": 2},
                               {"kind": "refuse", "status": 503, "retry_after": None}])
        self.assertEqual(self.post(ID_A)[:2], (429, "2"))
        self.assertEqual(self.post(ID_A)[:2], (429, "2"))
        self.assertEqual(self.post(None, path="/rep/get.php")[0], 200)  # faults are for report posts only
        self.assertEqual(self.post(ID_A)[:2], (503, None))
        self.assertEqual(self.rows(), [])
        self.assertEqual(self.post(ID_A), (200, None, '{"log": "second"}'))  # the GET took the first
        self.assertEqual(len(self.rows()), 1)

    def test_a_dropped_answer_still_stores_the_row_once(self):
        self.state.set_faults([{"kind": "drop"}])
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.post(ID_A)
        self.assertEqual(len(self.rows()), 1)
        self.assertEqual(self.post(ID_A)[2], '{"log": "first", "aid": "1"}')
        self.assertEqual(len(self.rows()), 1)

    def test_a_stalled_answer_comes_late_and_a_retry_meanwhile_finds_the_row(self):
        # The retry's timeout is far below the stall: it fails if the retry
        # waits on the stalled answer.
        self.state.set_faults([{"kind": "stall", "seconds": 5}])
        with self.assertRaises(socket.timeout):
            self.post(ID_A, timeout=0.3)
        self.assertEqual(self.post(ID_A, timeout=2.5), (200, None, '{"log": "first", "aid": "1"}'))
        self.state.set_faults([{"kind": "stall", "seconds": 0.3}])
        begun = time.monotonic()
        self.assertEqual(self.post(ID_B)[2], '{"log": "second"}')
        self.assertGreaterEqual(time.monotonic() - begun, 0.3)
        self.assertEqual([row["report_id"] for row in self.rows()], [ID_A, ID_B])

    def test_the_control_port_sets_faults_and_lists_rows(self):
        def control(command):
            with socket.create_connection(("127.0.0.1", self.servers[1].server_address[1]), timeout=5) as sock:
                sock.sendall(json.dumps(command).encode() + b"\n")
                return json.loads(sock.makefile().readline())
        self.assertEqual(control({"op": "faults", "faults": [{"kind": "refuse", "status": 503}]}), {"ok": True})
        self.assertEqual(self.post(ID_A)[0], 503)
        self.post(ID_A)
        rows = control({"op": "rows"})["rows"]
        self.assertEqual([(row["report_id"], row["body"]) for row in rows], [(ID_A, '{"log": "first", "aid": "1"}')])
        control({"op": "script", "answers": []})
        self.assertEqual(control({"op": "rows"}), {"rows": []})


if __name__ == "__main__":
    sys.exit(unittest.main())
