"""The agent's local web server: setup and pairing page, a downloadable file and the diagnostics API."""

import html
import json
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from .console import Console
from .diagnostics import Diagnostics
from .pairing import Pairing
from .readings import Spool, readings_csv

STYLE = """
body { background: #fdf6e3; color: #222; font: 16px sans-serif; margin: 2em; }
h1 { color: #7a3e00; font-size: 2em; margin-top: 0; }
.status { font-size: 1.2em; padding: .5em; background: #fff; border: 1px solid #e0c080; }
form { margin: 1em 0; }
li { margin: .3em 0; }
"""

MAX_FORM = 64 * 1024


def _page(title: str, body: str) -> bytes:
    return (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title>"
            f"<style>{STYLE}</style></head>\n<body>\n{body}\n</body></html>\n").encode()


def setup_page(paired: bool, latest: str) -> bytes:
    status = f"Paired — latest reading {latest}" if paired else "Waiting to be paired"
    return _page("Vantrel Agent setup", f"""<h1 id="heading">Vantrel Agent setup</h1>
<p class="status" id="status">{html.escape(status)}</p>
<form id="pair-form" method="post" action="/pair">
  <label for="code">Pairing code</label> <input id="code" name="code" autocomplete="off">
  <button id="pair-button" type="submit">Pair</button>
</form>
<form id="unpair-form" method="post" action="/unpair"><button id="unpair-button" type="submit">Unpair</button></form>
<ul>
  <li><a id="outside-link" href="https://vantrel.example/help">Help on the Vantrel site</a></li>
  <li><a id="about-link" href="/about">About this agent</a></li>
  <li><a id="other-port-link" href="http://localhost:8788/">Another local service</a></li>
  <li><a id="download-link" href="/files/readings.csv">Download recent readings</a></li>
</ul>""")


ABOUT_PAGE = _page("About the Vantrel Agent", """<h1 id="heading">About the Vantrel Agent</h1>
<p>This agent reads your solar and grid equipment and reports to Vantrel. Its readings here are simulated.</p>
<p><a id="back-link" href="/">Back to setup</a></p>""")


class SetupServer(ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port: int, console: Console, pairing: Pairing, spool: Spool, diagnostics: Diagnostics):
        self.console = console
        self.pairing = pairing
        self.spool = spool
        self.diagnostics = diagnostics
        super().__init__(("127.0.0.1", port), SetupHandler)

    def handle_error(self, request, client_address):
        # One line instead of a traceback: a client hanging up early is no news.
        self.console.line(f"vantrel-agent: a request from {client_address[0]} failed")


class SetupHandler(BaseHTTPRequestHandler):
    server: SetupServer
    server_version = "vantrel-agent"

    def do_GET(self):
        path = urlsplit(self.path).path
        if path == "/":
            latest = self.server.spool.recent(1)
            text = latest[0].status_line() if latest else "none yet"
            self._send(200, "text/html; charset=utf-8", setup_page(self.server.pairing.paired, text))
        elif path == "/about":
            self._send(200, "text/html; charset=utf-8", ABOUT_PAGE)
        elif path == "/files/readings.csv":
            body = readings_csv(self.server.spool.recent(20)).encode()
            self._send(200, "application/octet-stream", body,
                       {"Content-Disposition": 'attachment; filename="readings.csv"'})
        elif path == "/api/diagnostics/start":
            started = self.server.diagnostics.start()
            self._send(200, "application/json", json.dumps({"started": started}).encode())
        elif path == "/api/diagnostics/progress":
            self._send(200, *self.server.diagnostics.progress_answer())
        elif path == "/api/diagnostics/download":
            archive = self.server.diagnostics.archive()
            if archive is None:
                self._send(404, "application/zip", b"")
            else:
                self._send(200, "application/zip", archive)
        else:
            self._send(404, "text/plain; charset=utf-8", b"Not found\n")

    def do_POST(self):
        path = urlsplit(self.path).path
        if path == "/pair":
            length = min(int(self.headers.get("Content-Length") or 0), MAX_FORM)
            form = parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
            code = (form.get("code") or [""])[0].strip()
            if code:
                self.server.pairing.pair(code)
            else:
                self.server.console.line("vantrel-agent: pairing refused: no code given")
            self._see_setup_page()
        elif path == "/unpair":
            self.server.pairing.unpair()
            self._see_setup_page()
        else:
            self._send(404, "text/plain; charset=utf-8", b"Not found\n")

    def log_message(self, format, *args):
        # Every poll would otherwise put a line in the agent log.
        pass

    def _see_setup_page(self):
        self._send(303, "text/plain; charset=utf-8", b"", {"Location": "/"})

    def _send(self, status: int, content_type: str, body: bytes, headers=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
