#!/usr/bin/env python3
"""What tracing costs the data calls: the paired cases of tarvo_bench (each
sio_ call against its raw system calls, in alternating blocks) run with
tracing off and with TARVO_TRACE naming a log file, and, given another
build's library (--base DIR, e.g. one built without the trace), with that
one too. Each ratio is Tarvo's time over the raw sequence's in the same run.

    trace_overhead.py TARVO_BENCH OUT.md [--base DIR] [--repetitions N] [--rounds N]
"""
import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile

CASES = ("iqueue/paired", "getch/paired", "read32/paired", "roundtrip/paired", "bulk/paired")


def run_case(bench, case, env, repetitions, out):
    subprocess.run([bench, f"--benchmark_filter=^{case}", f"--benchmark_repetitions={repetitions}",
                    "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.03",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    with open(out) as result:
        runs = json.load(result)["benchmarks"]
    mine = [r for r in runs if r["run_name"].startswith(case + "/") and r.get("run_type") == "iteration"]
    return {key: statistics.median(r[key] for r in mine) for key in ("ratio", "tarvo_ns", "raw_ns")} if mine else None


def run(bench, env, repetitions, out, log=None):
    """Each case in a process of its own; tracing on (`log`), each with a log
    of its own, which it may fill up to the limit."""
    table = {}
    for case in CASES:
        case_env = env
        if log:
            case_env = dict(env, TARVO_TRACE=f"{log}.{case.replace('/', '_')}")
        result = run_case(bench, case, case_env, repetitions, out)
        if result:
            table[case] = result
    return table


def work_fs(args):
    """The file system the logs went to, as df names it."""
    done = subprocess.run(["df", "--output=fstype", tempfile.gettempdir()], capture_output=True, text=True)
    return done.stdout.split()[-1] if done.returncode == 0 else "the temporary folder"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("out")
    parser.add_argument("--base", help="folder holding another build's libtarvo.so.1")
    parser.add_argument("--repetitions", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    env = dict(os.environ)
    env.pop("TARVO_TRACE", None)
    configurations = [("off", env, None), ("on", env, "log")]
    if args.base:
        configurations.insert(0, ("base", dict(env, LD_LIBRARY_PATH=args.base), None))
    rounds = {name: [] for name, _, _ in configurations}
    with tempfile.TemporaryDirectory() as work:
        log = os.path.join(work, "bench.log")
        # Rounds of every configuration in turn: load that comes and goes
        # falls on all of them alike; each figure is the median of the rounds.
        for _ in range(args.rounds):
            for name, config_env, traced in configurations:
                for old in glob.glob(log + ".*"):
                    os.remove(old)
                rounds[name].append(run(args.bench, config_env, args.repetitions, os.path.join(work, f"{name}.json"),
                                        log if traced else None))
                if traced:
                    logs = glob.glob(log + ".*")
                    size = sum(os.path.getsize(name) for name in logs)
                    stopped = []
                    for path in logs:
                        with open(path, "rb") as text:
                            if b"trace stopped" in text.read():
                                stopped.append(path.rsplit(".", 1)[1].replace("_", "/"))
    columns = []
    for name, _, _ in configurations:
        table = {}
        for case in CASES:
            values = [r[case] for r in rounds[name] if case in r]
            if values:
                table[case] = {key: statistics.median(v[key] for v in values) for key in values[0]}
        columns.append((name, table))
    names = [name for name, _ in columns]
    lines = ["| case | " + " | ".join(f"{n}: Tarvo/raw" for n in names) + " | "
             + " | ".join(f"{n}: ns/call" for n in names) + " | on/off per call |",
             "|---" * (2 * len(names) + 2) + "|"]
    for case in CASES:
        if not all(case in table for _, table in columns):
            continue
        ratios = " | ".join(f"{table[case]['ratio']:.3f}" for _, table in columns)
        times = " | ".join(f"{table[case]['tarvo_ns']:.0f}" for _, table in columns)
        on, off = dict(columns)["on"][case], dict(columns)["off"][case]
        lines.append(f"| {case} | {ratios} | {times} | {on['tarvo_ns'] / off['tarvo_ns']:.2f} |")
    lines.append("")
    lines.append(f"Tracing on wrote {size} bytes of log (a file on {work_fs(args)})."
                 + (f" The log of {', '.join(sorted(stopped))} reached its limit, after which calls are formatted"
                    " but not written." if stopped else ""))
    report = "\n".join(lines) + "\n"
    with open(args.out, "w") as out:
        out.write(report)
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
