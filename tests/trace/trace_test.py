#!/usr/bin/env python3
"""The trace of unmodified programs, checked against what they did.

    trace_test.py linux  --program EXCHANGE --tool TARVO --python-dir DIR --work DIR
    trace_test.py wine   --program EXCHANGE.EXE --trace-dll DLL --runner RUN-UNDER-WINE --work DIR [--tool TARVO]
    trace_test.py view   --tool TARVO --work DIR

A pty plays the instrument: it answers each "Q<n>?\\r" with "A<n>:xyz\\r\\n".
The program (exchange.c) runs once untraced and once traced; both must print
the same results, and the log must hold exactly the calls it printed, with
their data and the bytes each purge discarded. `tarvo trace` must find the
exchanges, latencies and discarded bytes the program arranged.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import threading
import tty

LINE = re.compile(r"^(\d+) \+(\d+) t(\d+) p(\d+) (\w+\(.*?\)) = (-?\d+)(?: (ERR_\w+))?((?: ; .*)?)$")
WAITS_MS = (30, 60, 90)
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)
        print("FAIL:", text)


class Instrument:
    """The far end of a pty: answers every request until stopped."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.slave = slave  # kept open, so the pty outlives the programs' closes
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        pending = b""
        while self.running:
            try:
                pending += os.read(self.master, 256)
            except OSError:
                return
            while b"\r" in pending:
                request, pending = pending.split(b"\r", 1)
                match = re.search(rb"Q(\d+)\?$", request)
                if match:
                    os.write(self.master, b"A" + match.group(1) + b":xyz\r\n")

    def stop(self):
        self.running = False
        os.close(self.master)
        os.close(self.slave)


def parse(log_text):
    """The log's call lines as tuples; every line must be a note or a call."""
    lines = []
    for raw in log_text.splitlines():
        if raw.startswith("#"):
            continue
        match = LINE.match(raw)
        check(match is not None, f"not a whole trace line: {raw!r}")
        if match:
            lines.append(match)
    return lines


def printed_calls(output):
    return [line for line in output.splitlines() if not line.startswith("  ")]


def results(output):
    """The program's results, repeated looks at a queue still filling counted once."""
    kept = []
    for line in printed_calls(output):
        if kept and line == kept[-1] and line.startswith("sio_iqueue("):
            continue
        kept.append(line)
    return [line for line in kept if not re.match(r"sio_iqueue\(\d+\) = [0-7]$", line)]


def check_exchange_log(log_text, output, port, missing, target_words):
    """The log of one exchange run: exactly the printed calls, then their facts."""
    lines = parse(log_text)
    calls = [f"{m.group(5)} = {m.group(6)}" for m in lines]
    check(calls == printed_calls(output), f"the log's calls differ from the program's:\n{calls}\n{printed_calls(output)}")
    if calls != printed_calls(output) or len(lines) < 17:
        return
    named = lambda name: [m for m in lines if m.group(5).startswith(name + "(")]
    check(all(m.group(4) == str(port) for m in lines[:-1]), "a line of the exchange names another port")
    check(lines[0].group(8).startswith(" ; target ") and all(w in lines[0].group(8) for w in target_words),
          f"the open names no target {target_words}: {lines[0].group(0)}")
    writes, reads = named("sio_write"), named("sio_read")
    check(len(writes) == 3 and len(reads) == 3, "not three writes and three reads")
    for n, (write, read) in enumerate(zip(writes, reads)):
        request = f"Q{n + 1}?\r".encode()
        hex_text = " ".join(f"{b:02x}" for b in request)
        discarded = 0 if n == 0 else 3
        check(write.group(8) == f" ; discarded {discarded} unread ; wrote 4: {hex_text} |Q{n + 1}?.|",
              f"write {n + 1}: {write.group(0)}")
        answer = f"A{n + 1}:xy".encode()
        check(read.group(8) == f" ; read 5: {' '.join(f'{b:02x}' for b in answer)} |A{n + 1}:xy|",
              f"read {n + 1}: {read.group(0)}")
    check(named("sio_flush")[0].group(8) == " ; discarded 3 unread", "the flush discarded no 3 bytes")
    check(named("sio_getch")[0].group(7) == "ERR_NO_DATA", "the getch found something")
    check(lines[-2].group(7) == "ERR_NOT_OPEN", f"the closed port: {lines[-2].group(0)}")
    failed_open = lines[-1]
    check(failed_open.group(7) == "ERR_OPEN_FAILED" and failed_open.group(4) == str(missing)
          and " ; CreateFileA failed: error " in failed_open.group(8),
          f"the failed open says no why: {failed_open.group(0)}")


def check_view(tool, log_path, port):
    """The view finds the three exchanges, their latencies, the discarded bytes.
    A latency is from the end of the request's write to the end of the read
    that took the answer's last byte: exactly what the log's lines give, and
    at least the time the program waited."""
    report = subprocess.run([tool, "trace", log_path], capture_output=True, text=True, check=True).stdout
    print(report)
    with open(log_path, newline="") as log:
        lines = parse(log.read())
    end = lambda m: int(m.group(1)) + int(m.group(2))
    writes = [m for m in lines if m.group(5).startswith("sio_write(")]
    reads = [m for m in lines if m.group(5).startswith("sio_read(")]
    exchanges = re.findall(rf'exchange (\d) at [\d.]+ ms: sent 4 "Q\d\?\\r", answer 5 "A\d:xy" after ([\d.]+) ms',
                           report)
    check(len(exchanges) == 3 and len(writes) == 3 and len(reads) == 3, "the view shows no three answered exchanges")
    for (number, latency), wait, write, read in zip(exchanges, WAITS_MS, writes, reads):
        us = end(read) - end(write)
        check(latency == f"{us // 1000}.{us % 1000:03d}", f"exchange {number}: latency {latency} ms, the log says {us} us")
        check(float(latency) >= wait, f"exchange {number}: latency {latency} ms, the program waited {wait} ms")
    check(report.count("discarded 3 bytes unread") == 3, "the view misses discarded bytes")
    check("by the sio_write of exchange 2" in report and "by the sio_write of exchange 3" in report
          and f"by sio_flush({port}, 0)" in report, "the view names no write that discarded")
    check(re.search(r"summary: 3 exchanges, 0 without answer; latency min ", report) is not None, "no summary")
    check("ERR_OPEN_FAILED" in report, "the view shows no failed open")


def run(command, env=None, cwd=None):
    # Under an emulated machine a Wine start with a new COM mapping takes minutes.
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd, timeout=600)
    return done.returncode, done.stdout, done.stderr


def linux(args):
    os.makedirs(args.work, exist_ok=True)
    instrument = Instrument()
    env = dict(os.environ, TARVO_COM7=instrument.path, TARVO_COM8="/nonexistent/tty")
    env.pop("TARVO_TRACE", None)
    command = [args.program, "7", "8"]
    plain = run(command, env)
    check(plain[0] == 0, f"untraced run failed: {plain}")

    log_path = os.path.join(args.work, "exchange.log")
    if os.path.exists(log_path):
        os.remove(log_path)
    traced = run(command, dict(env, TARVO_TRACE=log_path))
    check(traced[0] == plain[0] and results(traced[1]) == results(plain[1]), f"traced results differ:\n{traced[1]}\n{plain[1]}")
    with open(log_path) as log:
        check_exchange_log(log.read(), traced[1], 7, 8, ["COM7", instrument.path])
    check_view(args.tool, log_path, 7)

    on_stderr = run(command, dict(env, TARVO_TRACE="stderr"))
    check(results(on_stderr[1]) == results(plain[1]), "results differ tracing to stderr")
    check_exchange_log(on_stderr[2], on_stderr[1], 7, 8, ["COM7"])

    # A log that cannot be written (a full device) or opened (no such folder
    # that anyone could create): the same results, and the user is told.
    full = run(command, dict(env, TARVO_TRACE="/dev/full"))
    check(full[0] == 0 and results(full[1]) == results(plain[1]), "results differ when the log's device is full")
    unwritable = run(command, dict(env, TARVO_TRACE="/proc/tarvo-trace/exchange.log"))
    check(unwritable[0] == 0 and results(unwritable[1]) == results(plain[1]), "results differ when the log cannot be opened")
    check("cannot open /proc/tarvo-trace/exchange.log" in unwritable[2] and "not tracing" in unwritable[2],
          f"no word of the log that cannot be opened: {unwritable[2]!r}")

    # Two threads on two ports through the Python module.
    second = Instrument()
    two_log = os.path.join(args.work, "two_ports.log")
    if os.path.exists(two_log):
        os.remove(two_log)
    env2 = dict(env, TARVO_COM8=second.path, TARVO_TRACE=two_log, PYTHONPATH=args.python_dir)
    rounds = 200
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "two_ports.py")
    code, out, err = run(["/usr/bin/python3", script, "7", "8", str(rounds)], env2)
    check(code == 0, f"two_ports.py failed: {out} {err}")
    counts = dict(line.split() for line in out.splitlines())
    with open(two_log) as log:
        lines = parse(log.read())
    for port in ("7", "8"):
        mine = [m for m in lines if m.group(4) == port]
        check(len(mine) == int(counts.get(port, -1)), f"port {port}: {len(mine)} lines, {counts.get(port)} calls")
        check(len({m.group(3) for m in mine}) == 1, f"port {port}: calls of more than one thread")
        check(sum(1 for m in mine if m.group(5).startswith("sio_write")) == rounds, f"port {port}: writes lost")
    check({m.group(3) for m in lines if m.group(4) == "7"} != {m.group(3) for m in lines if m.group(4) == "8"},
          "both ports' calls from one thread")
    instrument.stop()
    second.stop()


def wine(args):
    """The primary DLL beside the program, then the trace build in its place."""
    os.makedirs(args.work, exist_ok=True)
    instrument = Instrument()
    # COM8 names a directory, which no open takes, whatever another suite
    # sharing the prefix mapped it to, or a device node the machine has.
    # The ports are mapped by the first run and stay in the prefix's registry:
    # mapping restarts Wine's server, which costs seconds, under emulation many.
    in_prefix = [args.runner, "--prefix", args.prefix]
    plain = run(in_prefix + ["--com", f"7={instrument.path}", "--com", "8=/", "--", args.program, "7", "8"])
    runner = in_prefix + ["--"]
    if plain[0] == 77:
        print(plain[1], plain[2])
        sys.exit(77)
    check(plain[0] == 0, f"run with the primary DLL failed: {plain}")

    traced_dir = os.path.join(args.work, "traced")
    shutil.rmtree(traced_dir, ignore_errors=True)
    os.makedirs(traced_dir)
    program = shutil.copy(args.program, traced_dir)
    shutil.copy(args.trace_dll, traced_dir)
    env = dict(os.environ)
    env.pop("TARVO_TRACE", None)
    traced = run(runner + [program, "7", "8"], env)
    check(traced[0] == plain[0] and results(traced[1]) == results(plain[1]), f"the trace build's results differ:\n{traced[1]}\n{plain[1]}")
    logs = glob.glob(os.path.join(traced_dir, "tarvo-trace-*.log"))
    check(len(logs) == 1, f"no log named with the process id beside the program: {os.listdir(traced_dir)}")
    if logs:
        with open(logs[0], newline="") as log:
            text = log.read()
        print(text)
        check_exchange_log(text, traced[1], 7, 8, ["COM7"])
        if args.tool:
            check_view(args.tool, logs[0], 7)
    # TARVO_TRACE names the log, as a Windows path.
    named = os.path.join(args.work, "named.log")
    if os.path.exists(named):
        os.remove(named)
    again = run(runner + [program, "7", "8"], dict(env, TARVO_TRACE="Z:" + named.replace("/", "\\")))
    check(again[0] == 0 and results(again[1]) == results(plain[1]), "the trace build's results differ with TARVO_TRACE set")
    check(os.path.exists(named), "no log where TARVO_TRACE points")
    if os.path.exists(named):
        with open(named, newline="") as log:
            check_exchange_log(log.read(), again[1], 7, 8, ["COM7"])
    instrument.stop()


KNOWN_LOG = """\
# tarvo trace of process 1 in known.log
1000 +200 t5 p3 sio_open(3) = 0 ; target COM3: /dev/ttyUSB0
2000 +100 t5 p3 sio_write(3, buffer, 2) = 2 ; discarded 0 unread ; wrote 2: 31 0d |1.|
2500 +10 t5 p3 sio_iqueue(3) = 2
3090 +10 t5 p3 sio_read(3, buffer, 1) = 1 ; read 1: 61 |a|
3900 +200 t5 p3 sio_read(3, buffer, 9) = 1 ; read 1: 0d |.|
5000 +100 t5 p3 sio_write(3, buffer, 2) = 2 ; discarded 4 unread ; wrote 2: 32 0d |2.|
10500 +100 t5 p3 sio_getch(3) = 98 ; read 1: 62 |b|
11000 +50 t5 p3 sio_write(3, buffer, 2) = 2 ; discarded 0 unread ; wrote 2: 33 0d |3.|
13000 +300 t5 p3 sio_read(3, buffer, 4) = 2 ; read 2: 63 0d |c.|
14000 +2000000 t5 p3 sio_write(3, buffer, 5) = 1 ; discarded 0 unread ; wrote 1: 34 |4|
2100000 +40 t5 p3 sio_iqueue(3) = -20006 ERR_STATUS_FAILED ; ClearCommError failed: error 31 ERROR_GEN_FAILURE
2200000 +40 t6 p5 sio_write(5, buffer, 1) = 1 ; discarded 0 unread ; wrote 1: 3f |?|
2201000 +40 t6 p5 sio_getch(5) = -20007 ERR_NO_DATA
2207040 +60 t6 p5 sio_read(5, buffer, 8) = 3 ; read 3: 21 20 3b |! ;|
# trace stopped: the log reached its limit of 67108864 bytes
"""

KNOWN_REPORT = """\
# trace stopped: the log reached its limit of 67108864 bytes
port 3
  exchange 1 at 2.100 ms: sent 2 "1\\r", answer 2 "a\\r" after 2.000 ms
  exchange 2 at 5.100 ms: sent 2 "2\\r", answer 1 "b" after 5.500 ms
  exchange 3 at 11.050 ms: sent 2 "3\\r", answer 2 "c\\r" after 2.250 ms
  exchange 4 at 2014.000 ms: sent 1 "4", no answer
  discarded 4 bytes unread at 5.000 ms by the sio_write of exchange 2
  error at 2100.000 ms: sio_iqueue(3) = -20006 ERR_STATUS_FAILED; ClearCommError failed: error 31 ERROR_GEN_FAILURE
  time-out at 14.000 ms: write cut short: sio_write(3, buffer, 5) = 1; discarded 0 unread
  summary: 4 exchanges, 1 without answer; latency min 2.000 ms, median 2.250 ms, max 5.500 ms; 4 bytes discarded unread; 1 errors
port 5
  exchange 1 at 2200.040 ms: sent 1 "?", answer 3 "! ;" after 7.060 ms
  summary: 1 exchanges, 0 without answer; latency min 7.060 ms, median 7.060 ms, max 7.060 ms; 0 bytes discarded unread; 0 errors
"""


def view(args):
    """The view of a log whose every time the test chose."""
    os.makedirs(args.work, exist_ok=True)
    log_path = os.path.join(args.work, "known.log")
    with open(log_path, "w") as log:
        log.write(KNOWN_LOG)
    svg_path = os.path.join(args.work, "known.svg")
    code, out, err = run([args.tool, "trace", log_path, "--svg", svg_path])
    check(code == 0 and err == "", f"tarvo trace failed: {code} {err}")
    check(out == KNOWN_REPORT, f"the view of the known log:\n{out}")
    with open(svg_path) as svg:
        drawing = svg.read()
    check(drawing.startswith("<svg ") and drawing.rstrip().endswith("</svg>"), "no SVG document")
    check(drawing.count(">-4</text>") == 1 and drawing.count("no answer") == 1, "the SVG misses a purge or a time-out")
    renderer = shutil.which("rsvg-convert")
    if renderer:
        png = os.path.join(args.work, "known.png")
        code, _, err = run([renderer, svg_path, "-o", png])
        check(code == 0 and os.path.getsize(png) > 1000, f"rsvg-convert cannot render the SVG: {err}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["linux", "wine", "view"])
    parser.add_argument("--program")
    parser.add_argument("--tool")
    parser.add_argument("--python-dir")
    parser.add_argument("--trace-dll")
    parser.add_argument("--runner")
    parser.add_argument("--prefix", help="the Wine prefix, its own: the test maps COM7 in it")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    {"linux": linux, "wine": wine, "view": view}[args.mode](args)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("all checks hold")
    return 0


if __name__ == "__main__":
    sys.exit(main())
