#!/usr/bin/env python3
"""Memory and wake-ups of the desktop application around the setup window.

Starts the bundle's desktop application as a login item (no window) under Xvfb with the reference
agent told to stay quiet, then measures three moments: before the setup window was ever opened,
with it open on the agent's page, and 10 s after it was closed. Each moment gives the resident
(RSS) and unique (USS: private pages) memory of the application and of every helper process under
it (the setup window's own process and its web-engine processes), and the application's own
wake-ups per second (context switches of its threads).

The agent's page is on the fixed port 8787, so the script runs itself inside a network namespace
of its own (with its own loopback), a virtual display and a private session bus.

    python3 bench/window_memory.py [BUILD_DIR]      (default: build)
"""
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

MARKER = "VANTREL_WINDOW_MEMORY_INSIDE"
SETTLE_SECONDS = 5
AFTER_CLOSE_SECONDS = 10
SAMPLE_SECONDS = 10
HELPERS = ("vantrel-setup-window", "QtWebEngineProcess")


def reexec_isolated(script, arguments, marker):
    """Runs `script` again with `arguments` in a new network namespace, under Xvfb and a private
    bus, with the environment variable `marker` set so that it knows it is inside."""
    inner = " ".join(["exec", sys.executable, os.path.abspath(script), *arguments])
    command = ("ip link set lo up && exec xvfb-run -a -s '-screen 0 1280x1024x24' "
               f"dbus-run-session -- sh -c '{inner}'")
    env = dict(os.environ, **{marker: "1"})
    prefix = [] if os.geteuid() == 0 else ["-r"]
    return subprocess.call(["unshare", *prefix, "-n", "sh", "-c", command], env=env)


def status_field(pid, name):
    try:
        with open(f"/proc/{pid}/status") as file:
            for line in file:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0


def unique_kb(pid):
    total = 0
    try:
        with open(f"/proc/{pid}/smaps_rollup") as file:
            for line in file:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    total += int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return total


def switches(pid):
    """Context switches so far, by thread."""
    counts = {}
    for path in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(path) as file:
                for line in file:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        counts[path] = counts.get(path, 0) + int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return counts


def descendants(pid):
    children = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        children.setdefault(int(fields[1]), []).append(int(stat.split("/")[2]))
    found, queue = [], [pid]
    while queue:
        for child in children.get(queue.pop(), []):
            found.append(child)
            queue.append(child)
    return found


def helpers(pid):
    result = []
    for child in descendants(pid):
        try:
            if os.path.basename(os.readlink(f"/proc/{child}/exe")) in HELPERS:
                result.append(child)
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            pass
    return result


def maps_web_engine(pid):
    with open(f"/proc/{pid}/maps") as file:
        return "libQt6WebEngine" in file.read()


def measure(label, app):
    before = switches(app)
    time.sleep(SAMPLE_SECONDS)
    after = switches(app)
    # A thread that ended during the sample takes its switches with it; a new one counts whole.
    wakeups = sum(count - before.get(thread, 0) for thread, count in after.items()) / SAMPLE_SECONDS
    found = helpers(app)
    helper_rss = sum(status_field(pid, "VmRSS") for pid in found) / 1024
    helper_uss = sum(unique_kb(pid) for pid in found) / 1024
    app_rss = status_field(app, "VmRSS") / 1024
    app_uss = unique_kb(app) / 1024
    print(f"{label:<22} app RSS {app_rss:6.1f} MB  USS {app_uss:6.1f} MB | "
          f"{len(found)} helpers RSS {helper_rss:6.1f} MB  USS {helper_uss:6.1f} MB | "
          f"app wake-ups {wakeups:5.2f}/s | app maps the web engine: "
          f"{'yes' if maps_web_engine(app) else 'no'}", flush=True)
    return app_rss, app_uss, len(found), wakeups


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return False


def port_answers(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def setup_window(app):
    """The visible setup window, in the setup window's own process under the application."""
    for pid in helpers(app):
        found = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid),
                                "--name", "^Vantrel Agent$"], capture_output=True, text=True)
        if found.stdout.split():
            return found.stdout.split()[0]
    return None


def run(build):
    executable = os.path.join(build, "VantrelAgent", "bin", "VantrelAgent")
    home = tempfile.mkdtemp(prefix="window-memory-")
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
               XDG_CONFIG_HOME=f"{home}/config", XDG_RUNTIME_DIR=home, VANTREL_SIM_QUIET="1")
    if os.geteuid() == 0:
        env.setdefault("QTWEBENGINE_DISABLE_SANDBOX", "1")  # the engine's sandbox refuses root
    app = subprocess.Popen([executable, "--login-item"], env=env, stdout=subprocess.DEVNULL)
    try:
        if not wait_until(lambda: port_answers(8787), 30):
            sys.exit("the agent never listened on 8787")
        time.sleep(SETTLE_SECONDS)
        before = measure("before the first open", app.pid)

        subprocess.run([executable], env=env, check=True, timeout=30)
        if not wait_until(lambda: setup_window(app.pid), 30):
            sys.exit("the setup window never appeared")
        time.sleep(SETTLE_SECONDS)
        measure("open", app.pid)

        subprocess.run(["xdotool", "windowfocus", "--sync", setup_window(app.pid), "key", "ctrl+w"],
                       check=True, timeout=30)
        if not wait_until(lambda: setup_window(app.pid) is None, 30):
            sys.exit("the setup window did not close")
        time.sleep(AFTER_CLOSE_SECONDS)
        after = measure("10 s after closing", app.pid)
        print(f"after closing: RSS {after[0] - before[0]:+.1f} MB against before (goal within 15), "
              f"{after[2]} helpers left (goal 0), {after[3]:.2f} wake-ups/s (goal 0)")
    finally:
        app.terminate()
        app.wait(15)
        shutil.rmtree(home, ignore_errors=True)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    if os.environ.get(MARKER) != "1":
        sys.exit(reexec_isolated(__file__, [os.path.abspath(build)], MARKER))
    run(build)


if __name__ == "__main__":
    main()
