"""Runs the agent as a real child process on a free loopback port and talks to it over HTTP."""

import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

# Only stops a hang: nothing here measures how long real waiting took.
PATIENCE = 60.0

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class AgentRun:
    """One agent process; its whole output is gathered as bytes while it runs."""

    def __init__(self, folder: str = None, **knobs: str):
        self._temporary = None if folder else tempfile.TemporaryDirectory()
        self.folder = folder or self._temporary.name
        self.state_path = os.path.join(self.folder, "agent.json")
        self.port = int(knobs.pop("VANTREL_SIM_PORT", 0)) or free_port()
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": PACKAGE_ROOT,
               "PYTHONDONTWRITEBYTECODE": "1", "PYTHONUNBUFFERED": "1", "VANTREL_AGENT_TYPE": "test",
               "AGENT_STATE": self.state_path, "AGENT_SPOOL": os.path.join(self.folder, "spool.db"),
               "VANTREL_SIM_PORT": str(self.port), "VANTREL_SIM_INTERVAL": "0.1", "VANTREL_SIM_DIAG_SECONDS": "0.5"}
        self.process = subprocess.Popen([sys.executable, "-m", "vantrel_agent", "run"], env={**env, **knobs},
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.output = b""
        self.closed = False
        self._changed = threading.Condition()
        threading.Thread(target=self._gather, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        if self._temporary:
            self._temporary.cleanup()

    def _gather(self):
        while chunk := os.read(self.process.stdout.fileno(), 65536):
            with self._changed:
                self.output += chunk
                self._changed.notify_all()
        with self._changed:
            self.closed = True
            self._changed.notify_all()

    def wait_until(self, condition, timeout=PATIENCE):
        """Waits until condition(output so far) is true and returns its value."""
        with self._changed:
            if self._changed.wait_for(lambda: condition(self.output) or self.closed, timeout):
                if result := condition(self.output):
                    return result
        raise AssertionError(f"not seen within {timeout} s; output: {self.output[-2000:]!r}")

    def wait_for(self, pattern: bytes, start: int = 0):
        """The first match of the regular expression (lines anchored) at or after byte offset start."""
        return self.wait_until(lambda out: re.compile(pattern, re.MULTILINE).search(out, start))

    def wait_listening(self):
        self.wait_for(rb"^vantrel-agent: setup page at ")

    def wait_closed(self, timeout: float) -> bool:
        with self._changed:
            return self._changed.wait_for(lambda: self.closed, timeout)

    def terminate(self) -> int:
        self.process.terminate()
        return self.process.wait(PATIENCE)

    def request(self, method: str, path: str, form: dict = None):
        """(status, headers with lower-case names, body) of one request."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=PATIENCE)
        try:
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if form is not None else {}
            connection.request(method, path, urllib.parse.urlencode(form or {}) if form is not None else None, headers)
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def get_json(self, path: str):
        return json.loads(self.request("GET", path)[2])
