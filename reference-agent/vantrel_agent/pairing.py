"""Whether this agent is paired, kept in the state file across restarts."""

import json
import os
import tempfile
import threading
import time
from typing import Optional

from .console import Console


class Pairing:
    def __init__(self, path: str, console: Console):
        self._path = path
        self._console = console
        self._lock = threading.Lock()
        self._code: Optional[str] = None
        self._load()

    @property
    def paired(self) -> bool:
        with self._lock:
            return self._code is not None

    @property
    def code(self) -> Optional[str]:
        with self._lock:
            return self._code

    def pair(self, code: str) -> None:
        with self._lock:
            self._code = code
            self._save({"paired": True, "code": code, "pairedAt": time.strftime("%Y-%m-%dT%H:%M:%S%z")})
        # The real agent logs its pairing exchange like this; diagnostics must take the code out again.
        self._console.line(f"vantrel-agent: paired with code {code}")

    def unpair(self) -> None:
        with self._lock:
            self._code = None
            self._save({"paired": False})
        self._console.line("vantrel-agent: unpaired")

    def _load(self) -> None:
        try:
            with open(self._path, encoding="utf-8") as file:
                document = json.load(file)
        except FileNotFoundError:
            return
        except (OSError, ValueError) as error:
            self._console.line(f"vantrel-agent: ignoring unreadable state file: {error}")
            return
        if isinstance(document, dict) and document.get("paired") is True and isinstance(document.get("code"), str):
            self._code = document["code"]

    def _save(self, document: dict) -> None:
        # Written whole under a temporary name and renamed, so a crash never leaves half a file.
        folder = os.path.dirname(os.path.abspath(self._path))
        try:
            descriptor, temporary = tempfile.mkstemp(prefix=".agent-", suffix=".json", dir=folder)
            try:
                with os.fdopen(descriptor, "w", encoding="utf-8") as file:
                    json.dump(document, file)
                    file.write("\n")
                os.replace(temporary, self._path)
            except BaseException:
                os.unlink(temporary)
                raise
        except OSError as error:
            self._console.line(f"vantrel-agent: could not save the state file: {error}")
