#!/usr/bin/env python3
"""Memory and quit time of the desktop application under a quiet and a runaway agent.

The runaway agent is a copy of the bundle whose agent writes a changing status line at full speed,
so every line is a new state for the supervisor to deliver. For each agent the script samples the
application's resident memory every 0.1 s, then sends SIGTERM and times the exit.

Runs itself in a network namespace of its own, under Xvfb and a private session bus, like
window_memory.py.

    python3 bench/desktop_runaway.py [BUILD_DIR] [RUNAWAY_SECONDS]      (defaults: build, 30)
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from window_memory import reexec_isolated, status_field

MARKER = "VANTREL_DESKTOP_RUNAWAY_INSIDE"
RUNAWAY_AGENT = """import sys
write = sys.stdout.write
i = 0
while True:
    i += 1
    write('pv=%d\\n' % (i % 100000))
"""


def run(bundle_source, kind, seconds):
    with tempfile.TemporaryDirectory(prefix="desktop-runaway-") as work:
        bundle = os.path.join(work, "VantrelAgent")
        shutil.copytree(bundle_source, bundle, symlinks=True)
        if kind == "runaway":
            with open(os.path.join(bundle, "Resources/lib/vantrel_agent/__main__.py"), "w") as agent:
                agent.write(RUNAWAY_AGENT)
        home = os.path.join(work, "home")
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=f"{home}/config",
                   XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
                   XDG_CACHE_HOME=f"{home}/cache", VANTREL_SIM_QUIET="1")
        app = subprocess.Popen([os.path.join(bundle, "bin/VantrelAgent")], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        samples = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            samples.append(status_field(app.pid, "VmRSS") / 1024)
            time.sleep(0.1)
        start = time.monotonic()
        app.send_signal(signal.SIGTERM)
        code = app.wait(60)
        quit_seconds = time.monotonic() - start
        log = subprocess.run(["du", "-sh", home], capture_output=True, text=True).stdout.split()[0]
        print(f"desktop, {kind} agent, {seconds} s: RSS after a third {samples[len(samples) // 3]:.1f} MB, "
              f"peak {max(samples):.1f} MB (goal within 20 MB of the quiet figure), SIGTERM to exit "
              f"{quit_seconds:.3f} s (goal under 1 s), exit {code}, files written {log}", flush=True)


def main():
    arguments = sys.argv[1:] or ["build"]
    if os.environ.get(MARKER) != "1":
        sys.exit(reexec_isolated(__file__, arguments, MARKER))
    bundle = os.path.join(os.path.abspath(arguments[0]), "VantrelAgent")
    run(bundle, "quiet", 10)
    run(bundle, "runaway", int(arguments[1]) if len(arguments) > 1 else 30)


if __name__ == "__main__":
    main()
