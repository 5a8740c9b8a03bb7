"""Diagnostics collection: a background run that ends in a zip archive, followed through a progress document."""

import io
import itertools
import json
import threading
import time
import zipfile
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .settings import Settings

STEPS = (
    "Reading the agent log…",
    "Reading the recorded readings…",
    "Listening to the equipment…",
    "Removing the pairing code and serial numbers…",
    "Writing the archive…",
)
# With an injected error the run fails while listening, as a real run does when the equipment stops answering.
FAILING_STEP = 2
REMOVED = "[removed]"


@dataclass(frozen=True)
class Evidence:
    lines: List[str]
    readings_csv: str
    summary: Dict[str, object]
    secrets: List[str]


def redact(text: str, secrets: Sequence[str]) -> str:
    for secret in secrets:
        if secret:
            text = text.replace(secret, REMOVED)
    return text


def build_archive(evidence: Evidence) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        log = "".join(line + "\n" for line in evidence.lines)
        archive.writestr("agent-log.txt", redact(log, evidence.secrets))
        archive.writestr("readings.csv", evidence.readings_csv)
        summary = json.dumps(evidence.summary, indent=2, sort_keys=True) + "\n"
        archive.writestr("summary.json", redact(summary, evidence.secrets))
    return buffer.getvalue()


class Diagnostics:
    def __init__(self, settings: Settings, gather: Callable[[], Evidence], log: Callable[[str], None]):
        self._settings = settings
        self._gather = gather
        self._log = log
        self._lock = threading.Lock()
        self._running = False
        self._fraction = 0.0
        self._message = ""
        self._error = ""
        self._name = ""
        self._archive: Optional[bytes] = None
        self._answers = itertools.count()

    def start(self) -> bool:
        """Begins a run unless one is going on; says whether it began."""
        with self._lock:
            if self._running:
                return False
            self._running, self._fraction, self._message = True, 0.0, "Starting…"
            self._error, self._name, self._archive = "", "", None
        self._log("vantrel-agent: collecting diagnostics")
        threading.Thread(target=self._run, name="diagnostics", daemon=True).start()
        return True

    def progress(self) -> Dict[str, object]:
        with self._lock:
            return {"running": self._running, "fraction": self._fraction, "message": self._message,
                    "error": self._error, "name": self._name}

    def progress_answer(self) -> Tuple[str, bytes]:
        """The content type and body of one answer to a progress request."""
        if self._settings.diag_malformed:
            # Every other answer is broken, alternating between text that is no JSON and a JSON array.
            turn = next(self._answers) % 4
            if turn == 0:
                return "text/plain; charset=utf-8", b"progress: busy <not json>"
            if turn == 2:
                return "application/json", b"[true, 0.5, \"not an object\"]"
        return "application/json", json.dumps(self.progress()).encode()

    def archive(self) -> Optional[bytes]:
        with self._lock:
            return self._archive

    def _run(self) -> None:
        pause = self._settings.diag_seconds / len(STEPS)
        for index, message in enumerate(STEPS):
            with self._lock:
                self._fraction, self._message = index / len(STEPS), message
            time.sleep(pause)
            if self._settings.diag_error and index == FAILING_STEP:
                self._finish(error=self._settings.diag_error)
                return
        try:
            data = b"" if self._settings.diag_empty else build_archive(self._gather())
        except Exception as error:  # the run must end with a reason, whatever broke
            self._finish(error=f"could not write the archive: {error}")
            return
        name = time.strftime("vantrel-diagnostics-%Y%m%d-%H%M%S.zip")
        self._finish(name=name, archive=data)

    def _finish(self, error: str = "", name: str = "", archive: Optional[bytes] = None) -> None:
        with self._lock:
            self._running, self._error, self._name, self._archive = False, error, name, archive
            if not error:
                self._fraction, self._message = 1.0, "Done"
        self._log(f"vantrel-agent: diagnostics failed: {error}" if error else f"vantrel-agent: diagnostics ready: {name}")
