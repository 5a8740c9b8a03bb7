#!/usr/bin/env python3
"""The headless application's CPU per byte of agent output beside cat's, and what a state change
costs on its way from the agent's line to the application's standard output.

The application runs as users start it, `VantrelAgent --headless` from a copy of the built bundle
whose agent is a stand-in that writes the capture bench's mix (lines of 23 to 200 bytes, a status
line every 100 lines, each status line a new state) in 64 KiB writes, then waits. cat copies the
same bytes, written the same way, into a file. The application's CPU is that of all its threads
(nanoseconds from /proc) from the moment the stand-in begins until its last line is on standard
output, which this script reads throughout. The rounds interleave cat and the application (the
order turning each round), so that a machine whose speed drifts moves both alike; each figure is
given as the median and the least of its rounds, beside cat's from the same rounds. The files
written (cat's copy, the application's log) are where users' logs are, on the disk (/var/tmp's),
and again in memory where /dev/shm is; the rounds start with the written data synced, so that no
round pays for writing back an earlier one's. The application keeps only two logs' worth: the
pages of each rotated log are freed as it runs, which cat's copy's are not; so cat is given a
second time with the CPU that removing its copy takes, in the share the rotation frees. In
memory that freeing is dearest.

A state change's cost is measured twice: in the stream, as the extra CPU of the mix over the same
bytes with every status line replaced by an ordinary line of the same length, per state change
(the rounds' median, and from the least of each, since what else runs only adds CPU time);
and alone, with the stand-in writing one changed status line only once the previous one has been
read from standard output, as the application's CPU per line.

Runs itself in a network namespace of its own (the agent's port is fixed).

    python3 bench/headless_throughput.py [BUILD_DIR] [MB] [ROUNDS]   (defaults: build-bench, 500, 7)
"""
import glob
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MARKER = "VANTREL_HEADLESS_THROUGHPUT_INSIDE"
ALONE = 5000
LOG_LIMIT = 5_000_000  # the agent log's size past which it is rotated
FINAL_LINE = b"pv=9.99 grid=0\n"
FINAL_LABEL = b"Solar 9.99 kW \xc2\xb7 importing 0.00 kW\n"

# The stand-in agent: waits for the go-ahead (the fifo's writer closing), then either writes the
# sample file's bytes in 64 KiB writes, repeated, or, for each byte on the fifo, one status line.
STAND_IN = r"""import os, signal
go = os.open(os.environ["VANTREL_BENCH_GO"], os.O_RDONLY)
mode = os.environ["VANTREL_BENCH_MODE"]
if mode == "stream":
    os.read(go, 1)
    with open(os.environ["VANTREL_BENCH_SAMPLE"], "rb") as sample:
        data = sample.read()
    view = memoryview(data)
    for _ in range(int(os.environ["VANTREL_BENCH_REPEAT"])):
        for start in range(0, len(data), 65536):
            os.write(1, view[start:start + 65536])
    os.write(1, b"pv=9.99 grid=0\n")
else:
    i = 0
    while os.read(go, 1):
        i += 1
        os.write(1, b"pv=%d grid=0\n" % i)
signal.pause()
"""


def sample_lines(plain):
    """The capture bench's 10,000 lines; with plain, each status line is an ordinary one."""
    lines, seed = [], 12345
    for line in range(10000):
        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
        if line % 100 == 99:
            status = f"pv=2.{line % 10}kW grid=-1.2{line % 7}kW"
            lines.append(("x" * len(status) if plain else status) + "\n")
            continue
        text = f"2026-12-06 12:00:00,123 INFO modbus: read {line}"
        length = 23 + (seed >> 8) % 178
        lines.append((text[:length - 1].ljust(length - 1, ".")) + "\n")
    return "".join(lines).encode()


def cpu_ns(pid):
    """CPU time of all the process's threads so far."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as file:
                total += int(file.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


class App:
    """The bundle's headless application with the stand-in agent, its standard output read."""

    def __init__(self, bundle, home, env):
        self.process = subprocess.Popen([os.path.join(bundle, "bin/VantrelAgent"), "--headless"],
                                        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.process.stdout.readline()  # the first state, before the agent runs
        self.go = os.open(env["VANTREL_BENCH_GO"], os.O_WRONLY)  # once the stand-in waits

    def stop(self):
        os.close(self.go)
        self.process.send_signal(signal.SIGTERM)
        self.process.stdout.read()
        self.process.wait(30)


def environment(work, sample, mode, repeat=0):
    home = os.path.join(work, "home")
    shutil.rmtree(home, ignore_errors=True)
    go = os.path.join(work, "go")
    if not os.path.exists(go):
        os.mkfifo(go)
    return dict(os.environ, HOME=home, XDG_CONFIG_HOME=f"{home}/config",
                XDG_DATA_HOME=f"{home}/share", XDG_STATE_HOME=f"{home}/state",
                XDG_CACHE_HOME=f"{home}/cache", XDG_RUNTIME_DIR=work, VANTREL_BENCH_GO=go,
                VANTREL_BENCH_MODE=mode, VANTREL_BENCH_SAMPLE=sample,
                VANTREL_BENCH_REPEAT=str(repeat), VANTREL_DIST="http://127.0.0.1:9/")


def stream(bundle, work, sample, repeat):
    """The application's CPU seconds and the state lines it printed for the stream."""
    app = App(bundle, work, environment(work, sample, "stream", repeat))
    lines = []
    try:
        before = cpu_ns(app.process.pid)
        os.write(app.go, b"x")
        for line in app.process.stdout:
            lines.append(line)
            if line == FINAL_LABEL:
                break
        return (cpu_ns(app.process.pid) - before) / 1e9, len(lines)
    finally:
        app.stop()


def cat_copy(work, sample, repeat):
    """cat's own CPU seconds for copying the same writes into a file, and the CPU seconds that
    removing the copy then takes (freeing its memory, as the log's rotation frees a rotated log's)."""
    env = environment(work, sample, "stream", repeat)
    python = sys.executable
    writer = subprocess.Popen([python, "-c", STAND_IN], env=env, stdout=subprocess.PIPE)
    with open(env["VANTREL_BENCH_GO"], "wb", buffering=0) as go:
        with open(os.path.join(work, "cat.out"), "wb") as target:
            cat = subprocess.Popen(["cat"], stdin=writer.stdout, stdout=target)
            writer.stdout.close()
            go.write(b"x")
            while os.path.getsize(os.path.join(work, "cat.out")) < repeat * os.path.getsize(sample):
                time.sleep(0.01)
            writer.terminate()
            _, _, usage = os.wait4(cat.pid, 0)
    writer.wait()
    began = time.thread_time()
    os.remove(os.path.join(work, "cat.out"))
    return usage.ru_utime + usage.ru_stime, time.thread_time() - began


def alone(bundle, work):
    """The application's CPU per state change, and the round trip, with one change at a time."""
    app = App(bundle, work, environment(work, "", "alone"))
    try:
        os.write(app.go, b"x")  # past any state the agent's start printed
        while not app.process.stdout.readline().startswith(b"Solar 1 kW"):
            pass
        before, began = cpu_ns(app.process.pid), time.perf_counter()
        for _ in range(ALONE):
            os.write(app.go, b"x")
            app.process.stdout.readline()
        elapsed = time.perf_counter() - began
        return (cpu_ns(app.process.pid) - before) / 1e3 / ALONE, elapsed * 1e6 / ALONE
    finally:
        app.stop()


def interleaved(rounds, *measures):
    """Each measure's figures over the rounds; every round runs each once, the order turning."""
    figures = [[] for _ in measures]
    for round in range(rounds):
        for index in range(len(measures)):
            turn = (round + index) % len(measures)
            os.sync()
            figures[turn].append(measures[turn]())
    return figures


def place_of(folder):
    """The file system type of the folder, from the mount that holds it."""
    best, kind = "", "?"
    with open("/proc/self/mounts") as mounts:
        for entry in mounts:
            _, point, fstype = entry.split()[:3]
            inside = folder == point or folder.startswith(point.rstrip("/") + "/")
            if inside and len(point) > len(best):
                best, kind = point, fstype
    return kind


def streams(bundle, place, megabytes, rounds):
    """The stream's figures with the log, cat's copy and the sample in a folder of place."""
    with tempfile.TemporaryDirectory(prefix="headless-throughput-", dir=place) as work:
        samples = {}
        for name, plain in (("mix", False), ("plain", True)):
            samples[name] = os.path.join(work, name)
            with open(samples[name], "wb") as file:
                file.write(sample_lines(plain))
        size = os.path.getsize(samples["mix"])
        repeat = max(1, megabytes * 1_000_000 // size)
        printed = []

        def mix():
            cpu, lines = stream(bundle, work, samples["mix"], repeat)
            printed.append(lines)
            return cpu

        copies, mixes, plains = interleaved(
            rounds, lambda: cat_copy(work, samples["mix"], repeat), mix,
            lambda: stream(bundle, work, samples["plain"], repeat)[0])
        return repeat * size, repeat * 100, copies, mixes, plains, printed


def report(where, goal, total, changes, copies, mixes, plains, printed):
    cats = [cat for cat, _ in copies]
    # The application frees all its log but the last two files' worth as it rotates.
    freed = max(0, total - 2 * LOG_LIMIT) / total
    freeing = [cat + free * freed for cat, free in copies]
    ratios = [m / c for m, c in zip(mixes, cats)]
    per_change = [(m - p) / changes * 1e6 for m, p in zip(mixes, plains)]
    rate = lambda values: (f"{statistics.median(values) / total * 1e9:.2f} "
                           f"(least {min(values) / total * 1e9:.2f})")
    print(f"  {where}:")
    print(f"    application {rate(mixes)}, cat {rate(cats)}; without status lines {rate(plains)}")
    print(f"    ratio to cat{' (goal <= 1.15)' if goal else ''}: of the medians "
          f"{statistics.median(mixes) / statistics.median(cats):.2f}, of the least "
          f"{min(mixes) / min(cats):.2f}, per round {min(ratios):.2f}–{max(ratios):.2f}")
    print(f"    cat with its copy then freed as far as the log's rotation frees its own "
          f"{rate(freeing)}; ratio of the medians "
          f"{statistics.median(mixes) / statistics.median(freeing):.2f}, of the least "
          f"{min(mixes) / min(freeing):.2f}")
    print(f"    a state change in the stream (goal < 1): {statistics.median(per_change):.2f} µs "
          f"of CPU, median of the rounds ({min(per_change):.2f}–{max(per_change):.2f}); "
          f"{(min(mixes) - min(plains)) / changes * 1e6:.2f} µs from the least of each; "
          f"{changes} changes, {min(printed)}–{max(printed)} lines printed")


def run(build, megabytes, rounds):
    source = os.path.join(os.path.abspath(build), "VantrelAgent")
    # Users' logs are on the disk that holds their home; /var/tmp stands for it. In memory, where
    # /dev/shm is, freeing a rotated log's pages costs the most.
    places = [("log on disk", "/var/tmp", True)]
    if os.access("/dev/shm", os.W_OK):
        places.append(("log in memory", "/dev/shm", False))
    with tempfile.TemporaryDirectory(prefix="headless-throughput-", dir="/var/tmp") as programs:
        bundle = os.path.join(programs, "VantrelAgent")
        shutil.copytree(source, bundle, symlinks=True)
        with open(os.path.join(bundle, "Resources/lib/vantrel_agent/__main__.py"), "w") as agent:
            agent.write(STAND_IN)
        figures = [(f"{name} ({place_of(place)}, {place})", goal,
                    streams(bundle, place, megabytes, rounds)) for name, place, goal in places]
        print(f"headless application, {figures[0][2][0] / 1e6:.0f} MB of the mix in 64 KiB writes, "
              f"{rounds} rounds interleaved with cat; s/GB, median (least):")
        for where, goal, measured in figures:
            report(where, goal, *measured)
        cpu, trip = alone(bundle, programs)
        print(f"  a state change alone ({ALONE} in turn): {cpu:.1f} µs of the application's CPU, "
              f"{trip:.0f} µs from the agent's write to the line read")


def main():
    arguments = sys.argv[1:] or ["build-bench"]
    if os.environ.get(MARKER) != "1":
        inner = " ".join(["exec", sys.executable, os.path.abspath(__file__),
                          os.path.abspath(arguments[0]), *arguments[1:]])
        prefix = [] if os.geteuid() == 0 else ["-r"]
        sys.exit(subprocess.call(["unshare", *prefix, "-n", "sh", "-c", f"ip link set lo up && {inner}"],
                                 env=dict(os.environ, **{MARKER: "1"})))
    run(arguments[0], int(arguments[1]) if len(arguments) > 1 else 500,
        int(arguments[2]) if len(arguments) > 2 else 7)


if __name__ == "__main__":
    main()
