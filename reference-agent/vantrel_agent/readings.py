"""Simulated equipment and the spool of its readings."""

import math
import random
import sqlite3
import threading
import time
from dataclasses import dataclass
from typing import Iterable, List, Optional

# The serial number of the simulated inverter; the agent prints it, and diagnostics removes it.
SERIAL = "VX-2024-00417"


@dataclass(frozen=True)
class Reading:
    time: float
    pv: float  # kW produced
    grid: float  # kW, positive while importing, negative while exporting

    def status_line(self) -> str:
        return f"pv={self.pv:.2f}kW grid={self.grid:.3f}kW"


class Meter:
    """Production and household load on two slow waves, so the grid flow swings between import and export."""

    def __init__(self, rng: Optional[random.Random] = None):
        self._rng = rng or random.Random()
        self._step = 0

    def read(self) -> Reading:
        step = self._step
        self._step += 1
        pv = max(0.0, 2.5 + 0.6 * math.sin(step / 7) + self._rng.uniform(-0.05, 0.05))
        load = 2.5 + 1.5 * math.sin(step / 5 + 1) + self._rng.uniform(-0.05, 0.05)
        return Reading(time.time(), pv, load - pv)


def readings_csv(readings: Iterable[Reading]) -> str:
    rows = ["time,pv_kw,grid_kw"]
    for reading in readings:
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(reading.time))
        rows.append(f"{stamp},{reading.pv:.2f},{reading.grid:.3f}")
    return "\n".join(rows) + "\n"


class Spool:
    """The last readings, kept in a small SQLite file so they outlive a restart."""

    KEEP = 500

    def __init__(self, path: str):
        self._lock = threading.Lock()
        # Shared by the main loop and the web server's threads, hence one connection behind a lock.
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._db.execute("CREATE TABLE IF NOT EXISTS readings (time REAL NOT NULL, pv REAL NOT NULL, grid REAL NOT NULL)")

    def add(self, reading: Reading) -> None:
        with self._lock:
            self._db.execute("INSERT INTO readings VALUES (?, ?, ?)", (reading.time, reading.pv, reading.grid))
            self._db.execute(
                "DELETE FROM readings WHERE rowid <= (SELECT MAX(rowid) FROM readings) - ?", (self.KEEP,))

    def recent(self, limit: int) -> List[Reading]:
        """The newest readings, oldest first."""
        with self._lock:
            rows = self._db.execute(
                "SELECT time, pv, grid FROM readings ORDER BY rowid DESC LIMIT ?", (limit,)).fetchall()
        return [Reading(*row) for row in reversed(rows)]

    def close(self) -> None:
        with self._lock:
            self._db.close()
