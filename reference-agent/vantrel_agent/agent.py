"""The agent's run: start-up, the periodic status line, the local server and the way out."""

import os
import select
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from typing import Iterable, List, Optional

from . import __version__
from .console import Console
from .diagnostics import Diagnostics, Evidence
from .pairing import Pairing
from .readings import SERIAL, Meter, Spool, readings_csv
from .settings import Settings, SettingsError
from .web import SetupServer

USAGE = "usage: python -m vantrel_agent run"
ENDLESS_CHUNK = 64 * 1024
CHILD_SECONDS = 30
SIM_PAIRING_CODE = "SIM-PAIRED"


def main(argv: List[str]) -> int:
    console = Console(sys.stdout.buffer)
    if argv != ["run"]:
        console.line(USAGE)
        return 2
    try:
        settings = Settings.from_env(os.environ)
    except SettingsError as error:
        console.line(f"vantrel-agent: {error}")
        return 2
    if settings.exit_status is not None:
        console.line(f"vantrel-agent: exiting at once with status {settings.exit_status}")
        return settings.exit_status
    if not settings.state_path or not settings.spool_path:
        console.line("vantrel-agent: AGENT_STATE and AGENT_SPOOL must both be set")
        return 2
    return Agent(settings, console).run()


class SignalWaiter:
    """Lets the main loop sleep until its next deadline or a signal, whichever comes first.

    The handlers do nothing in Python; the interpreter writes each signal's number to a pipe that the loop
    selects on, so no lock is ever taken inside a signal handler.
    """

    def __init__(self, signals: Iterable[int]):
        self._read, write = os.pipe()
        os.set_blocking(self._read, False)
        os.set_blocking(write, False)
        signal.set_wakeup_fd(write, warn_on_full_buffer=False)
        for number in signals:
            signal.signal(number, lambda *_: None)

    def wait(self, timeout: Optional[float]) -> List[int]:
        ready, _, _ = select.select([self._read], [], [], timeout)
        return list(os.read(self._read, 64)) if ready else []


class Agent:
    def __init__(self, settings: Settings, console: Console):
        self._settings = settings
        self._console = console
        self._quiet = settings.quiet or settings.endless_line > 0
        self._meter = Meter()

    def run(self) -> int:
        settings, console = self._settings, self._console
        signals = SignalWaiter((signal.SIGTERM, signal.SIGINT))
        if settings.endless_line:
            self._write_endless_line(settings.endless_line)
        api = settings.api or "(none)"
        console.line(f"vantrel-agent {__version__}: starting, type={settings.agent_type or '(none)'} api={api}")
        if settings.invalid_utf8:
            console.raw(b"\xff\xfe bad\n")
        if settings.child:
            self._start_child()
        try:
            spool = Spool(settings.spool_path)
        except sqlite3.Error as error:
            console.line(f"vantrel-agent: cannot open the spool {settings.spool_path}: {error}")
            return 1
        try:
            return self._loop(signals, spool)
        finally:
            spool.close()

    def _loop(self, signals: SignalWaiter, spool: Spool) -> int:
        settings, console = self._settings, self._console
        pairing = Pairing(settings.state_path, console)
        console.line(f"vantrel-agent: inverter {SERIAL} found on the local network (simulated)")
        if settings.paired and not pairing.paired:
            pairing.pair(SIM_PAIRING_CODE)
        diagnostics = Diagnostics(settings, lambda: self._evidence(pairing, spool), console.line)
        started = time.monotonic()
        listen_at = started + settings.listen_delay
        next_tick = started
        server = None
        try:
            while True:
                now = time.monotonic()
                if server is None and now >= listen_at:
                    server = self._listen(pairing, spool, diagnostics)
                    if server is None:
                        return 1
                    if self._quiet:
                        console.silence()
                if not self._quiet and now >= next_tick:
                    self._tick(pairing, spool)
                    next_tick += settings.interval
                    if next_tick <= now:
                        # After a stall (a stopped process, say) carry on from now instead of catching up.
                        next_tick = now + settings.interval
                deadlines = ([] if self._quiet else [next_tick]) + ([listen_at] if server is None else [])
                timeout = max(0.0, min(deadlines) - time.monotonic()) if deadlines else None
                for number in signals.wait(timeout):
                    if number == signal.SIGTERM and settings.ignore_term:
                        console.line("vantrel-agent: SIGTERM ignored")
                        continue
                    console.line(f"vantrel-agent: {signal.Signals(number).name} received, stopping")
                    return 0
        finally:
            if server is not None:
                server.server_close()
            console.line("vantrel-agent: goodbye")

    def _listen(self, pairing: Pairing, spool: Spool, diagnostics: Diagnostics) -> Optional[SetupServer]:
        port = self._settings.port
        try:
            server = SetupServer(port, self._console, pairing, spool, diagnostics)
        except OSError as error:
            self._console.line(f"vantrel-agent: cannot listen on 127.0.0.1:{port}: {error}")
            return None
        # The serving thread ends with the process, so it needs no shutdown poll, and a long one keeps an idle
        # agent from waking up.
        threading.Thread(target=server.serve_forever, args=(3600,), name="setup-server", daemon=True).start()
        self._console.line(f"vantrel-agent: setup page at http://127.0.0.1:{port}/")
        return server

    def _tick(self, pairing: Pairing, spool: Spool) -> None:
        if not pairing.paired:
            self._console.line("Waiting to be paired")
            return
        reading = self._meter.read()
        spool.add(reading)
        self._console.line(reading.status_line())

    def _evidence(self, pairing: Pairing, spool: Spool) -> Evidence:
        readings = spool.recent(Spool.KEEP)
        lines = self._console.recent()
        summary = {
            "agent": "vantrel-agent",
            "version": __version__,
            "agentType": self._settings.agent_type,
            "api": self._settings.api,
            "paired": pairing.paired,
            "readings": len(readings),
            "logLines": len(lines),
            "created": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        }
        return Evidence(lines, readings_csv(readings), summary, [pairing.code or "", SERIAL])

    def _write_endless_line(self, size: int) -> None:
        pattern = b"endless output without a line feed; " * (ENDLESS_CHUNK // 37 + 1)
        while size > 0:
            chunk = pattern[:min(size, ENDLESS_CHUNK)]
            self._console.raw(chunk)
            size -= len(chunk)
        self._console.silence()

    def _start_child(self) -> None:
        # The helper inherits our standard output and keeps it open after we are gone.
        try:
            child = subprocess.Popen(["sleep", str(CHILD_SECONDS)])
        except OSError as error:
            self._console.line(f"vantrel-agent: could not start the helper process: {error}")
            return
        self._console.line(f"vantrel-agent: helper process {child.pid} started")
