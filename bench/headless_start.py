#!/usr/bin/env python3
"""A headless run's start-up and idle memory, for each build given: the time from start to the first
state line (median of 20 starts), its resident memory once idle, and whether any Qt library is mapped.

    bench/headless_start.py BUILD...   (e.g. the Qt-free build-bench and the full build)
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

STARTS = 20
SETTLE_SECONDS = 3


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(executable, home):
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
               XDG_CONFIG_HOME=f"{home}/config", XDG_RUNTIME_DIR=home, VANTREL_SIM_QUIET="1",
               VANTREL_SIM_PORT=str(free_port()))
    began = time.perf_counter()
    app = subprocess.Popen([executable, "--headless"], env=env, stdout=subprocess.PIPE)
    app.stdout.readline()
    return app, (time.perf_counter() - began) * 1000


def stop(app):
    app.send_signal(signal.SIGTERM)
    app.wait(10)


def measure(build):
    executable = os.path.join(build, "VantrelAgent", "bin", "VantrelAgent")
    with tempfile.TemporaryDirectory() as home:
        times = []
        for _ in range(STARTS):
            app, elapsed = start(executable, home)
            times.append(elapsed)
            stop(app)
        app, _ = start(executable, home)
        try:
            time.sleep(SETTLE_SECONDS)
            with open(f"/proc/{app.pid}/status") as status:
                rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024
            with open(f"/proc/{app.pid}/maps") as maps:
                qt = "yes" if "libQt" in maps.read() else "none"
        finally:
            stop(app)
    return statistics.median(times), rss, qt


def main():
    for build in sys.argv[1:]:
        first_line, rss, qt = measure(build)
        print(f"headless {build}: first state line {first_line:.1f} ms (median of {STARTS}, goal < 25); "
              f"idle RSS {rss:.1f} MB (goal < 12); Qt libraries mapped: {qt}")


if __name__ == "__main__":
    main()
