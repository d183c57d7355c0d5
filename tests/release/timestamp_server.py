#!/usr/bin/python3
"""An RFC 3161 time-stamp server for the release checks, on 127.0.0.1 only.

usage: timestamp_server.py CONFIG PORT_FILE [--requests N] [--seconds T]

Answers each POST of a time-stamp query with `openssl ts -reply` under the
[tsa] section of CONFIG (signer, key and chain named there). It writes the
port it listens on to PORT_FILE once it listens, and stops by itself after
N answered requests or T seconds, whichever comes first.
"""
import argparse
import http.server
import subprocess
import sys
import tempfile
import threading
import os


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("config")
    parser.add_argument("port_file")
    parser.add_argument("--requests", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=300)
    options = parser.parse_args()
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
    port_file = options.port_file
    with open(port_file + ".tmp", "w", encoding="ascii") as out:
        out.write(f"{server.server_address[1]}\n")
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()
    timer.cancel()


if __name__ == "__main__":
    main()
