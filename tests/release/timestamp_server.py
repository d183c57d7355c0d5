#!/usr/bin/python3
"""An RFC 3161 time-stamp server for the release checks, on 127.0.0.1 only.

usage: timestamp_server.py CONFIG PORT_FILE [--requests N] [--seconds T] [--never-answer]

Answers each POST of a time-stamp query with `openssl ts -reply` under the
[tsa] section of CONFIG (signer, key and chain named there). It writes the
port it listens on to PORT_FILE once it listens, and stops by itself after
N answered requests or T seconds, whichever comes first. With
--never-answer it takes every connection and reads what comes, but sends
nothing back, for T seconds (CONFIG is not read then).
"""
import argparse
import http.server
import socket
import subprocess
import sys
import tempfile
import threading
import time
import os


def write_port(port_file, port):
    with open(port_file + ".tmp", "w", encoding="ascii") as out:
        out.write(f"{port}\n")
    os.replace(port_file + ".tmp", port_file)


def never_answer(port_file, seconds):
    """Takes connections and keeps them open, silent, until the time is up."""
    deadline = time.monotonic() + seconds
    held = []
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        write_port(port_file, listener.getsockname()[1])
        while (left := deadline - time.monotonic()) > 0:
            listener.settimeout(min(left, 0.5))
            try:
                connection, _ = listener.accept()
                held.append(connection)
            except socket.timeout:
                pass
            for connection in held:
                connection.setblocking(False)
                try:
                    connection.recv(65536)
                except (BlockingIOError, OSError):
                    pass
    for connection in held:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("config")
    parser.add_argument("port_file")
    parser.add_argument("--requests", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--never-answer", action="store_true")
    options = parser.parse_args()
    if options.never_answer:
        never_answer(options.port_file, options.seconds)
        return
    answered = 0

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            nonlocal answered
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.NamedTemporaryFile() as query_file:
                query_file.write(query)
                query_file.flush()
                reply = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", options.config,
                     "-queryfile", query_file.name],
                    capture_output=True, check=False)
            if reply.returncode != 0 or not reply.stdout:
                sys.stderr.write(reply.stderr.decode(errors="replace"))
                self.send_error(500, "openssl ts -reply failed")
            else:
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply.stdout)))
                self.end_headers()
                self.wfile.write(reply.stdout)
            answered += 1
            if answered >= options.requests:
                threading.Thread(target=server.shutdown, daemon=True).start()

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    timer = threading.Timer(options.seconds, server.shutdown)
    timer.daemon = True
    timer.start()
    write_port(options.port_file, server.server_address[1])
    server.serve_forever()
    timer.cancel()


if __name__ == "__main__":
    main()
