"""Runs tarvo_wine_bench.exe under Wine on pseudo-terminals and writes its
results as JSON; the native bench target calls it.

usage: run_wine_bench.py EXE OUT_JSON [EXE_OPTION VALUE]...

Makes two pty pairs, maps COM5 (Tarvo's port) and COM6 (the raw handle) to
their slaves in HKLM\\Software\\Wine\\Ports of a prefix of its own
(wineprefix-bench in the exe's build tree), restarts that prefix's
wineserver so the mount manager picks the mapping up, and serves the
masters while the program runs: an echo peer on both, and on request a fill
of the input queue or a stream. Without wine or the exe it says so, removes
OUT_JSON and exits 0.
"""
import datetime
import fcntl
import json
import os
import platform
import queue
import select
import shutil
import subprocess
import sys
import threading
import time
import tty

COMS = (5, 6)
PATTERN = bytes(ord("A") + i % 26 for i in range(64 * 1024))  # no 0x00: nothing to strip


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def build_tree(path):
    d = os.path.dirname(os.path.abspath(path))
    while d != "/" and not os.path.exists(os.path.join(d, "CMakeCache.txt")):
        d = os.path.dirname(d)
    return d if d != "/" else os.path.dirname(os.path.abspath(path))


def dll_directory(exe):
    here = os.path.dirname(os.path.abspath(exe))
    for d in (here, os.path.dirname(here)):
        if os.path.exists(os.path.join(d, "Tarvo.dll")):
            return d
    sys.exit("run_wine_bench.py: Tarvo.dll is neither beside %s nor one folder up" % exe)


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY="")
    env.pop("WAYLAND_DISPLAY", None)
    # No offers to install Mono or Gecko while the prefix is made.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    return env


def run(argv, env, timeout=300):
    subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)


def echo(masters, stop):
    """Answers every byte a slave sends with the same bytes."""
    poller = select.poll()
    for m in masters:
        poller.register(m, select.POLLIN)
    while not stop.is_set():
        for fd, _ in poller.poll(100):
            try:
                data = os.read(fd, 4096)
            except OSError:  # EIO: nobody has the slave open right now
                time.sleep(0.001)
                continue
            write_all(fd, data)


def streamer(requests):
    while True:
        item = requests.get()
        if item is None:
            return
        master, total = item
        while total > 0:
            n = min(total, len(PATTERN))
            write_all(master, PATTERN[:n])
            total -= n


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    exe, out = sys.argv[1], sys.argv[2]
    options = sys.argv[3:]
    if os.path.exists(out):
        os.remove(out)
    if not os.path.exists(exe):
        print("Wine bench skipped: no %s (build the win32 preset first: cmake --build --preset win32)" % exe)
        return
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        print("Wine bench skipped: wine is not installed")
        return

    prefix = os.path.join(build_tree(exe), "wineprefix-bench")
    env = wine_env(prefix)
    # Remapping ports restarts the prefix's server: one user of the prefix at a time.
    lock = open(prefix + ".lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        print("Creating the Wine prefix %s (once)" % prefix, flush=True)
        run(["wineboot", "-i"], env)
        run(["wineserver", "-w"], env)

    ptys = {}
    for com in COMS:
        master, slave = os.openpty()
        tty.setraw(slave)  # raw 8-bit line before Wine sets its own
        ptys[com] = (master, slave, os.ttyname(slave))
    for com, (_, _, name) in ptys.items():
        run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM%d" % com, "/t", "REG_SZ",
             "/d", name, "/f"], env)
    run(["wineserver", "-k"], env, 30)
    run(["wineserver", "-w"], env, 30)

    load = os.getloadavg()
    date = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    stop = threading.Event()
    echo_thread = threading.Thread(target=echo, args=([m for m, _, _ in ptys.values()], stop), daemon=True)
    echo_thread.start()
    requests = queue.Queue()
    stream_thread = threading.Thread(target=streamer, args=(requests,), daemon=True)
    stream_thread.start()

    version = subprocess.run(["wine", "--version"], capture_output=True, text=True, env=env).stdout.strip()
    started = time.monotonic()
    proc = subprocess.Popen(["wine", os.path.abspath(exe)] + options, cwd=dll_directory(exe), env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    results = []
    for line in proc.stdout:
        line = line.rstrip("\r\n")
        if line.startswith("@fill "):
            _, com, count = line.split()
            write_all(ptys[int(com)][0], PATTERN[:int(count)])
        elif line.startswith("@stream "):
            _, com, count = line.split()
            requests.put((ptys[int(com)][0], int(count)))
        elif line.startswith("@result "):
            results.append(json.loads(line[len("@result "):]))
            print("  %s done" % results[-1]["case"], flush=True)
        else:
            print(line, flush=True)
    status = proc.wait()
    seconds = time.monotonic() - started
    stop.set()
    requests.put(None)
    run(["wineserver", "-k"], env, 30)  # no server left holding the ptys
    if status != 0:
        sys.exit("tarvo_wine_bench.exe failed (exit status %d)" % status)

    with open(out, "w") as f:
        json.dump({"context": {"date": date, "host_name": platform.node(), "num_cpus": os.cpu_count(),
                               "load_avg": load, "wine": version, "options": options,
                               "seconds": round(seconds, 1)},
                   "results": results}, f, indent=1)
    print("Wine bench: %d cases in %.0f s, %s" % (len(results), seconds, out))


if __name__ == "__main__":
    main()
