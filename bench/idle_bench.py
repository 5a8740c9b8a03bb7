#!/usr/bin/env python3
"""Idle cost of the headless application: its own wake-ups per second and its memory.

The agent is the bundle's reference agent told to stay quiet, so every wake-up counted here is the
application's. A plain `sleep` process is measured the same way as the baseline.
"""
import glob
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SETTLE_SECONDS = 3
SAMPLE_SECONDS = 10


def switches(pid):
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as file:
                for line in file:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def wakeups_per_second(pid):
    before = switches(pid)
    time.sleep(SAMPLE_SECONDS)
    return (switches(pid) - before) / SAMPLE_SECONDS


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    executable = os.path.join(sys.argv[1], "VantrelAgent", "bin", "VantrelAgent")
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
                   XDG_CONFIG_HOME=f"{home}/config", XDG_RUNTIME_DIR=home, VANTREL_SIM_QUIET="1",
                   VANTREL_SIM_PORT=str(free_port()))
        app = subprocess.Popen([executable, "--headless"], env=env, stdout=subprocess.DEVNULL)
        baseline = subprocess.Popen(["sleep", "60"])
        try:
            time.sleep(SETTLE_SECONDS)
            app_rate = wakeups_per_second(app.pid)
            base_rate = wakeups_per_second(baseline.pid)
            print(f"idle: application {app_rate:.2f} wake-ups/s (baseline sleep {base_rate:.2f}, "
                  f"goal 0); RSS {rss_mb(app.pid):.1f} MB headless (goal < 12)")
        finally:
            app.send_signal(signal.SIGTERM)
            app.wait(10)
            baseline.kill()


if __name__ == "__main__":
    main()
