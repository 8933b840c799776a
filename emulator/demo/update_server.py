#!/usr/bin/env python3
"""The local update server of the demonstration, the tests and the benchmarks: serves ROOT on two
free ports of 127.0.0.1, both over TLS with --tls CERTFILE KEYFILE (PEM files), prints "PORT
<first> <second>", then "REQUEST <method> <path>" as each request comes, before answering. Faults
by query: delay=MS, redirect=URL, status=N, nolength=1, cut=N (close after N body bytes), slow=MS
(pause after each block=N bytes), endless=1 (the file over and over, no length); ok=N serves the
file with success status N. A manifest's query reaches its signature too, where sig=none answers
404, sig=bad changes one byte of the signature, and sig=NAME serves FILE.NAME.minisig instead of
FILE.minisig (a signature by another key, say, or an older one)."""

import argparse
import os
import socket
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit


def report(line):
    # One short write to a pipe is atomic, so lines of parallel requests never mix.
    os.write(1, (line + "\n").encode())


class FaultyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in two writes; with Nagle's algorithm the body then waits for the
    # client's delayed acknowledgement of the headers, 40 ms on every reused connection.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        report("REQUEST %s %s" % (self.command, self.path))
        parts = urlsplit(self.path)
        query = {key: values[-1] for key, values in parse_qs(parts.query).items()}
        if "delay" in query:
            time.sleep(int(query["delay"]) / 1000.0)
        path = os.path.join(self.root, unquote(parts.path).lstrip("/"))
        if path.endswith(".minisig") and query.get("sig", "bad") != "bad":
            path = "" if query["sig"] == "none" else "%s.%s.minisig" % (path[:-8], query["sig"])
        if "redirect" in query:
            self.send_response(302)
            self.send_header("Location", query["redirect"])
            self.send_header("Content-Length", "0")
            return self.end_headers()
        if "status" in query or not os.path.isfile(path):
            return self.send_error(int(query.get("status", 404)))

        if path.endswith(".minisig") and query.get("sig") == "bad":
            return self.send_altered_signature(path)
        self.send_response(int(query.get("ok", 200)))
        if "nolength" in query or "endless" in query:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(os.path.getsize(path)))
        self.end_headers()
        if self.command == "GET":
            with open(path, "rb") as body:
                self.send_body(body, query)

    do_HEAD = do_GET

    def send_altered_signature(self, path):
        with open(path, "rb") as signature:
            lines = signature.read().split(b"\n")
        # A letter in the middle of the signature line: still base64, no longer the signature.
        middle = len(lines[1]) // 2
        lines[1] = lines[1][:middle] + (b"B" if lines[1][middle:middle + 1] == b"A" else b"A") + lines[1][middle + 1:]
        body = b"\n".join(lines)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command == "GET":
            self.wfile.write(body)

    def send_body(self, body, query):
        if "endless" in query:
            data = body.read()
            try:
                while True:
                    self.wfile.write(data)
            except OSError:  # the client gave up
                self.close_connection = True
                return
        if "cut" not in query and "slow" not in query:
            self.wfile.flush()
            return self.connection.sendfile(body)
        left = int(query.get("cut", -1))
        block = int(query.get("block", 4096))
        while left != 0:
            data = body.read(block if left < 0 else min(block, left))
            if not data:
                break
            self.wfile.write(data)
            self.wfile.flush()
            left -= len(data)
            time.sleep(int(query.get("slow", 0)) / 1000.0)
        if "cut" in query:
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root", metavar="ROOT")
    parser.add_argument("--tls", nargs=2, metavar=("CERTFILE", "KEYFILE"))
    options = parser.parse_args()
    FaultyHandler.root = options.root
    servers = [ThreadingHTTPServer(("127.0.0.1", 0), FaultyHandler) for _ in range(2)]
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*options.tls)
        # The handshake runs in accept(); one that fails, as for a client that does not
        # trust the certificate, drops only that connection.
        for server in servers:
            server.socket = context.wrap_socket(server.socket, server_side=True)
    for server in servers:
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
    report("PORT %d %d" % (servers[0].server_address[1], servers[1].server_address[1]))
    # A test that crashes cannot stop its server; the server then stops itself.
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)


if __name__ == "__main__":
    main()
