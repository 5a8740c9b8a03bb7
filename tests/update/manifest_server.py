#!/usr/bin/env python3
"""A loopback HTTP server for the update tests.

It answers GET requests from a routes file (read afresh at every request), a JSON object that maps a
path to {"status": int, "body": str, "delay": seconds, "location": str, "endless": bool}; any other
path gets 404. An endless route sends spaces until the client hangs up, then logs {"sent": bytes}.
Each request is appended to the log file as one JSON line with its path and headers, before the
answer, so that a request that is never answered is seen too. The chosen port is written to the
port file once the server listens.
"""

import argparse
import json
import os
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--routes", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            # The target as sent: self.path has a leading "//" squashed.
            target = self.requestline.split(" ")[1]
            with open(args.log, "a", encoding="utf-8") as log:
                log.write(json.dumps({"path": target, "headers": dict(self.headers)}) + "\n")
            with open(args.routes, encoding="utf-8") as routes:
                route = json.load(routes).get(target, {"status": 404, "body": "no such route"})
            time.sleep(route.get("delay", 0))
            if route.get("endless"):
                self.send_endless(target)
                return
            status = route.get("status", 200)
            # These statuses never carry a body, whatever the route says.
            body = b"" if status in (204, 304) else route.get("body", "").encode("utf-8")
            self.send_response(status)
            if "location" in route:
                self.send_header("Location", route["location"])
            self.send_header("Content-Type", "application/json")
            if status not in (204, 304):
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def send_endless(self, target):
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            sent, chunk = 0, b" " * 65536
            try:
                while True:
                    self.wfile.write(chunk)
                    sent += len(chunk)
            except OSError:
                pass
            self.close_connection = True
            with open(args.log, "a", encoding="utf-8") as log:
                log.write(json.dumps({"path": target, "sent": sent}) + "\n")

        def log_message(self, *_):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    partial = args.port_file + ".partial"
    with open(partial, "w", encoding="utf-8") as port_file:
        port_file.write(str(server.server_address[1]))
    os.rename(partial, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
