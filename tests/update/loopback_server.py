"""Loopback HTTP on 127.0.0.1 at $VANTREL_SIM_PORT: GETs answered from the routes file $ROUTES, read
afresh each time, each logged to $LOG as a JSON line first; an endless body logs what got out."""
import json, os, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def log(entry):
    with open(os.environ["LOG"], "a", encoding="utf-8") as out:
        out.write(json.dumps(entry) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    log_message = lambda *_: None

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
            self.close_connection, sent = True, 0
            try:
                while True:
                    sent += self.wfile.write(b" " * 65536)
            except OSError:
                return log({"path": target, "sent": sent})
        body = open(route["file"], "rb").read() if route.get("file") else route.get("body", "").encode()
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


ThreadingHTTPServer(("127.0.0.1", int(os.environ["VANTREL_SIM_PORT"])), Handler).serve_forever()
