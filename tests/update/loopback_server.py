#!/usr/bin/env python3
"""Loopback HTTP for the update tests on 127.0.0.1 at $VANTREL_SIM_PORT. GETs are answered from
the routes file $ROUTES, read afresh each time: {path: {"status", "body", "file", "delay",
"location", "endless"}}; other paths get 404. Each request is logged to $LOG as a JSON line before
it is answered; an endless body logs how much got out."""
import json
import os
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def log(entry):
    with open(os.environ["LOG"], "a", encoding="utf-8") as out:
        out.write(json.dumps(entry) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        target = self.requestline.split(" ")[1]  # as sent: self.path squashes a leading "//"
        log({"path": target, "headers": dict(self.headers)})
        with open(os.environ["ROUTES"], encoding="utf-8") as routes:
            route = json.load(routes).get(target, {"status": 404})
        time.sleep(route.get("delay", 0))
        self.send_response(route.get("status", 200))
        if route.get("location"):
            self.send_header("Location", route["location"])
        if route.get("endless"):
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            sent = 0
            try:
                while True:
                    sent += self.wfile.write(b" " * 65536)
            except OSError:
                log({"path": target, "sent": sent})
            return
        body = route.get("body", "").encode()
        if route.get("file"):
            with open(route["file"], "rb") as file:
                body = file.read()
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *_):
        pass


server = ThreadingHTTPServer(("127.0.0.1", int(os.environ["VANTREL_SIM_PORT"])), Handler)
server.daemon_threads = True
server.serve_forever()
