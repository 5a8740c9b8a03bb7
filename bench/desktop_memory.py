#!/usr/bin/env python3
"""Idle memory of the desktop application under X11 (Xvfb) and under Wayland (headless sway),
each beside a minimal Qt program with a tray icon and a window (bench/minimal_tray.cpp), the floor.

Both programs run without a tray host, so the application shows its status window; the agent is
the bundle's reference agent told to stay quiet. The script runs itself in a network namespace of
its own under Xvfb; sway refuses root, so as root the Wayland session and both programs there run
as uid 65534.

    python3 bench/desktop_memory.py [BUILD_DIR]      (default: build)
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from window_memory import reexec_isolated, status_field

MARKER = "VANTREL_DESKTOP_MEMORY_INSIDE"
SETTLE_SECONDS = 6
USER = 65534


def as_user(command):
    if os.geteuid() != 0:
        return command
    return ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups", "--", *command]


def hand_over(folder):
    if os.geteuid() != 0:
        return
    for root, dirs, files in os.walk(folder):
        for name in [root, *(os.path.join(root, entry) for entry in dirs + files)]:
            os.lchown(name, USER, USER)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def idle_rss(command, env, user):
    """The resident memory in MB of `command` once it has settled."""
    process = subprocess.Popen(as_user(command) if user else command, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(SETTLE_SECONDS)
        return status_field(process.pid, "VmRSS") / 1024
    finally:
        process.terminate()
        process.wait()


def both(build, env, user):
    with tempfile.TemporaryDirectory() as home:
        app_env = dict(env, HOME=home, XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
                       XDG_CONFIG_HOME=f"{home}/config", VANTREL_SIM_QUIET="1",
                       VANTREL_SIM_PORT=str(free_port()))
        hand_over(home)
        app = idle_rss([os.path.join(build, "VantrelAgent", "bin", "VantrelAgent"), "--login-item"],
                       app_env, user)
        floor = idle_rss([os.path.join(build, "bench", "minimal_tray")], env, user)
    return app, floor


def wayland(build):
    session = tempfile.mkdtemp()
    os.chmod(session, 0o755)
    runtime = os.path.join(session, "runtime")
    os.mkdir(runtime, 0o700)
    with open(os.path.join(session, "sway.conf"), "w") as config:
        config.write("output HEADLESS-1 resolution 1280x800\nxwayland disable\n")
    hand_over(session)
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM")}
    env.update(XDG_RUNTIME_DIR=runtime, HOME=session)
    sway = subprocess.Popen(as_user(["sway", "-c", os.path.join(session, "sway.conf")]),
                            env=dict(env, WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                                     WLR_RENDERER="pixman"),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            sockets = [name for name in os.listdir(runtime)
                       if name.startswith("wayland-") and not name.endswith(".lock")]
            if sockets:
                break
            time.sleep(0.1)
        env["WAYLAND_DISPLAY"] = sockets[0]
        return both(build, env, user=True)
    finally:
        sway.terminate()
        sway.wait()
        shutil.rmtree(session, ignore_errors=True)


def run(build):
    x11_app, x11_floor = both(build, dict(os.environ, QT_QPA_PLATFORM="xcb"), user=False)
    print(f"desktop idle RSS, X11 (Xvfb):      application {x11_app:5.1f} MB, "
          f"minimal Qt tray program {x11_floor:5.1f} MB ({x11_app - x11_floor:+.1f})")
    if not shutil.which("sway"):
        print("desktop idle RSS, Wayland: skipped (no sway)")
        return 0
    wl_app, wl_floor = wayland(build)
    print(f"desktop idle RSS, Wayland (sway):  application {wl_app:5.1f} MB, "
          f"minimal Qt tray program {wl_floor:5.1f} MB ({wl_app - wl_floor:+.1f})")
    print(f"Wayland minus X11: application {wl_app - x11_app:+.1f} MB (goal within 15), "
          f"minimal program {wl_floor - x11_floor:+.1f} MB")
    return 0


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    if os.environ.get(MARKER):
        return run(build)
    return reexec_isolated(__file__, [build], MARKER)


if __name__ == "__main__":
    sys.exit(main())
