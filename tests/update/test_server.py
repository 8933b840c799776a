#!/usr/bin/env python3
"""HTTP server for the update tests and the download benchmark.

Serves the files of ROOT on 127.0.0.1 at a free port, prints "PORT <n>" when it is
ready and "REQUEST <method> <path>" as each request arrives (before answering it).
Faults are chosen per request by query parameters, which may be combined:

  status=N     answer with status N and a short body
  redirect=U   answer 302 with Location U (relative or absolute; "self" loops)
  delay=MS     wait before answering
  hang=1       accept the request and never answer
  nolength=1   no Content-Length; the body ends when the connection closes
  chunked=1    send the body with chunked transfer encoding
  cut=N        stop after N body bytes and close the connection
  stall=N      send N body bytes, then nothing more while keeping the connection
  slow=MS      pause MS between blocks of block=N bytes (default 4096)
"""

import os
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit


OUTPUT_LOCK = threading.Lock()


def report(line):
    # One write per line, so that lines of parallel requests never interleave.
    with OUTPUT_LOCK:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def exit_with_parent():
    # A test that crashes cannot stop its server; the server then stops itself.
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def wait_forever():
    while True:
        time.sleep(3600)


class FaultyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.answer(with_body=True)

    def do_HEAD(self):
        self.answer(with_body=False)

    def answer(self, with_body):
        report("REQUEST %s %s" % (self.command, self.path))
        parts = urlsplit(self.path)
        query = {key: values[-1] for key, values in parse_qs(parts.query).items()}

        if "delay" in query:
            time.sleep(int(query["delay"]) / 1000.0)
        if "hang" in query:
            wait_forever()
        if "redirect" in query:
            target = self.path if query["redirect"] == "self" else query["redirect"]
            self.send_simple(302, b"moved\n", with_body, {"Location": target})
            return
        if "status" in query:
            self.send_simple(int(query["status"]), b"status page\n", with_body, {})
            return

        path = os.path.join(self.root, unquote(parts.path).lstrip("/"))
        if not os.path.isfile(path):
            self.send_simple(404, b"no such file\n", with_body, {})
            return
        size = os.path.getsize(path)
        chunked = "chunked" in query

        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif "nolength" in query:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(size))
        self.end_headers()
        if not with_body:
            return

        with open(path, "rb") as body:
            if not chunked and not any(key in query for key in ("cut", "stall", "slow")):
                self.wfile.flush()
                self.connection.sendfile(body)
                return
            self.send_body(body, query, chunked)

    def send_body(self, body, query, chunked):
        limit = int(query.get("cut", query.get("stall", -1)))
        pause = int(query.get("slow", 0)) / 1000.0
        block = int(query.get("block", 4096))
        sent = 0
        while limit < 0 or sent < limit:
            wanted = block if limit < 0 else min(block, limit - sent)
            data = body.read(wanted)
            if not data:
                break
            self.write_block(data, chunked)
            sent += len(data)
            if pause:
                time.sleep(pause)
        if "stall" in query:
            wait_forever()
        if "cut" in query:
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def write_block(self, data, chunked):
        if chunked:
            self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
        else:
            self.wfile.write(data)
        self.wfile.flush()

    def send_simple(self, status, body, with_body, headers):
        if status < 200 or status in (204, 304):
            body = b""
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if with_body:
            self.wfile.write(body)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: test_server.py ROOT")
    FaultyHandler.root = sys.argv[1]
    server = ThreadingHTTPServer(("127.0.0.1", 0), FaultyHandler)
    server.daemon_threads = True
    threading.Thread(target=exit_with_parent, daemon=True).start()
    report("PORT %d" % server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
