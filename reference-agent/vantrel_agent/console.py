"""The agent's output: one stream of lines that the supervisor reads and logs."""

import threading
from collections import deque
from typing import BinaryIO, List


class Console:
    """Writes whole lines at once, so that lines from the web server's threads never interleave.

    Each write goes straight to the stream (no buffering), because the supervisor reacts to each line as it
    arrives. Recent lines are kept for the diagnostics archive.
    """

    def __init__(self, stream: BinaryIO, keep: int = 500):
        self._stream = stream
        self._lock = threading.Lock()
        self._recent = deque(maxlen=keep)
        self._silent = False
        self._broken = False

    def line(self, text: str) -> None:
        with self._lock:
            if self._silent:
                return
            self._recent.append(text)
            self._write((text + "\n").encode("utf-8", "replace"))

    def raw(self, data: bytes) -> None:
        """Bytes exactly as given, outside the line discipline (not kept for diagnostics)."""
        with self._lock:
            if not self._silent:
                self._write(data)

    def silence(self) -> None:
        """From now on nothing at all is written."""
        with self._lock:
            self._silent = True

    def recent(self) -> List[str]:
        with self._lock:
            return list(self._recent)

    def _write(self, data: bytes) -> None:
        if self._broken:
            return
        view = memoryview(data)
        try:
            while view:
                written = self._stream.write(view)
                # An unbuffered stream may take only part of the bytes, e.g. when a signal interrupts it.
                view = view[written if written is not None else len(view):]
            self._stream.flush()
        except (OSError, ValueError):
            # Nobody reads us any more; keep serving the setup page rather than dying on output.
            self._broken = True
