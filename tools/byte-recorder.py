#!/usr/bin/env python3
"""Relays TCP connections from a loopback port to another and appends every
byte the clients send to a file, so that a test can tell whether anything
went out in the clear.
usage: byte-recorder.py LISTEN_PORT TARGET_PORT FILE   (prints "ready")"""
import socket
import sys
import threading

listen_port, target_port, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
lock = threading.Lock()


def pump(source, sink, record):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            if record:
                with lock, open(path, "ab") as out:
                    out.write(data)
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client):
    try:
        upstream = socket.create_connection(("127.0.0.1", target_port), timeout=5)
        upstream.settimeout(None)
    except OSError:
        client.close()
        return
    threading.Thread(target=pump, args=(client, upstream, True), daemon=True).start()
    threading.Thread(target=pump, args=(upstream, client, False), daemon=True).start()


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", listen_port))
listener.listen(64)
open(path, "wb").close()
print("ready", flush=True)
while True:
    connection, _ = listener.accept()
    serve(connection)
