#!/usr/bin/env python3
"""What tracing costs the data calls: the paired cases of tarvo_bench (each
sio_ call against its raw system calls, in alternating blocks) run with
tracing off and with TARVO_TRACE naming a log file, and, given another
build's library (--base DIR, e.g. one built without the trace), with that
one too. Each ratio is Tarvo's time over the raw sequence's in the same run.

    trace_overhead.py TARVO_BENCH OUT.md [--base DIR] [--repetitions N]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CASES = ("iqueue/paired", "getch/paired", "read32/paired", "roundtrip/paired", "bulk/paired")


def run(bench, env, repetitions, out):
    subprocess.run([bench, "--benchmark_filter=/paired", f"--benchmark_repetitions={repetitions}",
                    "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.03",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    with open(out) as result:
        runs = json.load(result)["benchmarks"]
    table = {}
    for case in CASES:
        mine = [r for r in runs if r["run_name"].split("/manual_time")[0] == case and r.get("run_type") == "iteration"]
        if mine:
            table[case] = {key: statistics.median(r[key] for r in mine) for key in ("ratio", "tarvo_ns", "raw_ns")}
    return table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("out")
    parser.add_argument("--base", help="folder holding another build's libtarvo.so.1")
    parser.add_argument("--repetitions", type=int, default=15)
    args = parser.parse_args()
    env = dict(os.environ)
    env.pop("TARVO_TRACE", None)
    with tempfile.TemporaryDirectory() as work:
        log = os.path.join(work, "bench.log")
        columns = [("off", run(args.bench, env, args.repetitions, os.path.join(work, "off.json")))]
        columns.append(("on", run(args.bench, dict(env, TARVO_TRACE=log), args.repetitions,
                                  os.path.join(work, "on.json"))))
        size = os.path.getsize(log)
        with open(log, "rb") as text:
            stopped = b"trace stopped" in text.read()
        if args.base:
            base_env = dict(env, LD_LIBRARY_PATH=args.base)
            columns.insert(0, ("base", run(args.bench, base_env, args.repetitions, os.path.join(work, "base.json"))))
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
    lines.append(f"Tracing on wrote {size} bytes of log" + (" and reached its limit, after which calls are not "
                                                             "written (the bulk stream)" if stopped else "") + ".")
    report = "\n".join(lines) + "\n"
    with open(args.out, "w") as out:
        out.write(report)
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
