"""Medians and ratios from tarvo_bench's JSON; writes a markdown table and the
round-trip-against-busy-ports plot. With WINE_JSON (from
wine/run_wine_bench.py, if it ran) the tables of Tarvo.dll under Wine follow.

usage: report.py BENCH_JSON RESULTS_MD PLOT_PNG [WINE_JSON]
       report.py --wine-only WINE_JSON RESULTS_MD
"""
import json
import os
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median" or b.get("error_occurred"):
            continue
        name = b["run_name"]
        for suffix in ("/manual_time", "/real_time"):
            name = name.replace(suffix, "")
        name = "/".join(p for p in name.split("/") if not p.startswith(("iterations:", "repeats:")))
        ns_per_op = b["real_time"] / b.get("ops", 1.0)
        mbps = b["bytes_per_second"] / 1e6 if "bytes_per_second" in b else None
        medians[name] = {"ns": ns_per_op, "mbps": mbps, "ratio": b.get("ratio"),
                         "tarvo_ns": b.get("tarvo_ns"), "raw_ns": b.get("raw_ns"),
                         "take": b.get("bytes_per_take"), "empty": b.get("empty_per_stream")}
        key = "_py_reps" if "pyserial" in name else "_reps"
        medians[key] = max(medians.get(key, 0), b.get("repetitions", 0))
    return data["context"], medians


def fmt_ns(ns):
    return "%.0f ns" % ns if ns < 10000 else "%.1f µs" % (ns / 1000)


WINE_CALLS = {"iqueue": "ClearCommError", "getch": "ClearCommError + ReadFile 1",
              "read32": "ClearCommError + ReadFile 32",
              "roundtrip": "ClearCommError, PurgeComm, WriteFile, poll ClearCommError, ClearCommError + ReadFile"}


def wine_section(path, verdict=None):
    """Tarvo.dll against the KERNEL32 calls in the same program under Wine."""
    if not path or not os.path.exists(path):
        return ["### Tarvo.dll under Wine", "",
                "Not run: build the win32 preset first (`cmake --build --preset win32`) and install wine.", ""]
    with open(path) as f:
        data = json.load(f)
    ctx = data["context"]
    cases = {r["case"]: r for r in data["results"]}
    lines = ["### Tarvo.dll under Wine (32-bit), against raw KERNEL32 calls in the same program", ""]
    lines.append("Run of %s, %s; load average at the start %s; %s s. Medians of %d rounds, "
                 "each round one block per side, the side that goes first rotating." % (
                     ctx["date"], ctx["wine"], ", ".join("%.2f" % x for x in ctx["load_avg"]), ctx["seconds"],
                     max((r["reps"] for r in data["results"] if r["case"] != "bulk"), default=0)))
    lines.append("")
    lines.append("| case | Tarvo | raw Win32 calls | Tarvo / raw | Tarvo / raw, paired | Tarvo / raw, median of rounds |")
    lines.append("|---|---|---|---|---|---|")
    for case in ("iqueue", "getch", "read32", "roundtrip"):
        r = cases.get(case)
        if not r:
            continue
        t, w = r["sides"][0], r["sides"][1]
        lines.append("| %s | %s | %s (%s) | %.3f | %.3f | %.3f |" % (
            case, fmt_ns(t["median_ns"]), fmt_ns(w["median_ns"]), WINE_CALLS[case],
            t["median_ns"] / w["median_ns"], w["ratio_total"], w["ratio_rounds"]))
        if verdict:
            verdict("under Wine: %s ≤ 1.10× raw Win32" % case, w["ratio_total"] <= 1.10,
                    "%.3f paired (%.3f median of rounds)" % (w["ratio_total"], w["ratio_rounds"]))
    lines.append("")
    r = cases.get("bulk")
    if r:
        lines.append("Bulk receive under Wine (%g MiB streams, %d rounds):" % (r["bytes"] / 2 ** 20, r["reps"]))
        lines.append("")
        lines.append("| implementation | MB/s | Tarvo / it, paired | bytes per receive that brought any | "
                     "receives that found none, per stream |")
        lines.append("|---|---|---|---|---|")
        labels = {"sio_iqueue + sio_read": "Tarvo: sio_iqueue + sio_read",
                  "ClearCommError + ClearCommError + ReadFile": "raw: ClearCommError, then ClearCommError + ReadFile (Tarvo's calls)",
                  "ClearCommError + ReadFile": "raw: ClearCommError + ReadFile",
                  "ReadFile 64 KiB, waiting": "raw: ReadFile of 64 KiB, waiting until full"}
        for i, side in enumerate(r["sides"]):
            lines.append("| %s | %.1f | %s | %.0f | %.0f |" % (
                labels.get(side["name"], side["name"]), side["median_mbps"],
                "%.3f" % (1 / side["ratio_total"]) if i else "–", r["bytes_per_take"][i], r["empty_per_stream"][i]))
        lines.append("")
        if verdict and len(r["sides"]) > 2:
            same, short = r["sides"][1], r["sides"][2]
            verdict("under Wine: bulk ≥ 0.95× raw ClearCommError + ReadFile", 1 / short["ratio_total"] >= 0.95,
                    "%.3f paired (%.3f against Tarvo's calls, raw)" % (1 / short["ratio_total"], 1 / same["ratio_total"]))
    return lines


def main():
    if sys.argv[1] == "--wine-only":
        text = "\n".join(wine_section(sys.argv[2]))
        with open(sys.argv[3], "w") as f:
            f.write(text)
        print(text)
        return
    src, out_md, out_png = sys.argv[1:4]
    wine_json = sys.argv[4] if len(sys.argv) > 4 else None
    context, m = load(src)
    lines = []
    verdicts = []

    def ns(name):
        return m[name]["ns"] if name in m else None

    def verdict(what, ok, detail):
        verdicts.append("| %s | %s | %s |" % (what, "met" if ok else "**missed**", detail))

    lines.append("Run of %s on %s, %d CPUs at %.0f MHz; load average at the start %s. "
                 "Medians of %d repetitions (pyserial: %d runs), interleaved at random." % (
                     context.get("date", "?"), context.get("host_name", "?"), context.get("num_cpus", 0),
                     context.get("mhz_per_cpu", 0), ", ".join("%.2f" % x for x in context.get("load_avg", [])),
                     m.get("_reps", 0), m.get("_py_reps", 0)))
    lines.append("")

    # Single calls with bytes waiting, against the raw sequence.
    lines.append("### Single calls (bytes waiting)")
    lines.append("")
    lines.append("| case | Tarvo | raw system calls | Tarvo / raw | Tarvo / raw, paired | pyserial | Tarvo / pyserial |")
    lines.append("|---|---|---|---|---|---|---|")
    for case, raw_what in (("iqueue", "FIONREAD"), ("getch", "FIONREAD + read 1"), ("read32", "FIONREAD + read 32")):
        s, r, p = ns(case + "/sio"), ns(case + "/raw"), ns(case + "/pyserial")
        pair = m.get(case + "/paired", {}).get("ratio")
        if s is None or r is None:
            continue
        row = "| %s | %s | %s (%s) | %.3f | %s | %s | %s |" % (
            case, fmt_ns(s), fmt_ns(r), raw_what, s / r, "%.3f" % pair if pair else "–",
            fmt_ns(p) if p else "–", "%.3f" % (s / p) if p else "–")
        lines.append(row)
        decisive = pair if pair else s / r
        verdict("%s ≤ 1.10× raw" % case, decisive <= 1.10,
                "%.3f paired (%.3f from separate medians)" % (decisive, s / r))
        if p:
            verdict("%s faster than pyserial" % case, s < p, "%.3f" % (s / p))
    lines.append("")

    # Round trip.
    lines.append("### Round trip (32-byte request, echo peer)")
    lines.append("")
    lines.append("| implementation | median | Tarvo / it |")
    lines.append("|---|---|---|")
    s = ns("roundtrip/sio")
    for impl, label in (("sio", "Tarvo (polls sio_iqueue)"), ("raw", "raw system calls, polling FIONREAD"),
                        ("raw_wait", "raw system calls, waiting in poll()"),
                        ("asio", "Boost.Asio serial_port (write + read; no status read, purge or drain check)"),
                        ("asio_same_work", "Boost.Asio with Tarvo's device work (FIONREAD, tcflush, write, TIOCOUTQ, read)"),
                        ("pyserial", "pyserial, Tarvo's device work")):
        t = ns("roundtrip/" + impl)
        if t is None:
            continue
        lines.append("| %s | %s | %s |" % (label, fmt_ns(t), "%.3f" % (s / t) if s and impl != "sio" else "–"))
    pair = m.get("roundtrip/paired", {}).get("ratio")
    if pair:
        lines.append("")
        lines.append("Paired (Tarvo and raw in alternating blocks of 20 exchanges): Tarvo / raw = %.3f." % pair)
    if s and ns("roundtrip/raw"):
        decisive = pair if pair else s / ns("roundtrip/raw")
        verdict("round trip ≤ 1.10× raw", decisive <= 1.10,
                "%.3f paired (%.3f from separate medians)" % (decisive, s / ns("roundtrip/raw")))
    for impl in ("asio_same_work", "pyserial"):
        if s and ns("roundtrip/" + impl):
            verdict("round trip faster than %s" % impl, s < ns("roundtrip/" + impl), "%.3f" % (s / ns("roundtrip/" + impl)))
    lines.append("")

    # Bulk receive.
    lines.append("### Bulk receive (16 MiB)")
    lines.append("")
    lines.append("| implementation | MB/s | Tarvo / it | bytes per receive that brought any | receives that found none, per stream |")
    lines.append("|---|---|---|---|---|")
    sb = m.get("bulk/sio", {}).get("mbps")
    for impl, label in (("sio", "Tarvo: sio_iqueue + sio_read"), ("sio_read_only", "Tarvo: sio_read alone"),
                        ("raw_read_loop", "raw blocking read loop"), ("raw_poll", "raw FIONREAD + FIONREAD + read"),
                        ("asio", "Boost.Asio read_some"), ("pyserial", "pyserial in_waiting + read")):
        t = m.get("bulk/" + impl, {}).get("mbps")
        if t is None:
            continue
        e = m.get("bulk/" + impl, {})
        lines.append("| %s | %.1f | %s | %s | %s |" % (
            label, t, "%.3f" % (sb / t) if sb and impl != "sio" else "–",
            "%.0f" % e["take"] if e.get("take") else "–", "%.0f" % e["empty"] if e.get("empty") is not None else "–"))
    pair = m.get("bulk/paired", {}).get("ratio")
    if pair:
        lines.append("")
        lines.append("Paired (whole streams in turns, Tarvo's sio_iqueue + sio_read and the blocking read loop): "
                     "Tarvo / read loop = %.3f in MB/s." % (1 / pair))
    if sb:
        for impl, target in (("raw_read_loop", 0.95), ("asio", 1.0), ("pyserial", 1.0)):
            t = m.get("bulk/" + impl, {}).get("mbps")
            if not t:
                continue
            if impl == "raw_read_loop" and pair:
                verdict("bulk ≥ 0.95× raw read loop", 1 / pair >= target,
                        "%.3f paired (%.3f from separate medians)" % (1 / pair, sb / t))
            else:
                verdict("bulk ≥ %.2f× %s" % (target, impl), sb / t >= target, "%.3f" % (sb / t))
    lines.append("")

    # Scale.
    lines.append("### Round trip per port with N ports open and busy")
    lines.append("")
    lines.append("| N | Tarvo, all in flight | raw, all in flight | Tarvo / raw | Tarvo, one at a time in turn | raw, in turn | Tarvo / raw |")
    lines.append("|---|---|---|---|---|---|---|")
    counts = (1, 4, 16)
    for n in counts:
        vals = [ns("%s/%s/%d" % (k, i, n)) for k in ("scale", "rotate") for i in ("sio", "raw")]
        if None in vals:
            continue
        lines.append("| %d | %s | %s | %.3f | %s | %s | %.3f |" % (
            n, fmt_ns(vals[0]), fmt_ns(vals[1]), vals[0] / vals[1], fmt_ns(vals[2]), fmt_ns(vals[3]), vals[2] / vals[3]))
    for kind in ("scale", "rotate"):
        one, sixteen = ns(kind + "/sio/1"), ns(kind + "/sio/16")
        if one and sixteen:
            verdict("per-port cost, 16 ports ≤ 1.2× one port (%s)" % ("all in flight" if kind == "scale" else "in turn"),
                    sixteen / one <= 1.2, "%.3f" % (sixteen / one))
    lines.append("")

    if wine_json is not None:
        lines.extend(wine_section(wine_json, verdict))

    lines.append("### Targets")
    lines.append("")
    lines.append("| target | result | ratio |")
    lines.append("|---|---|---|")
    lines.extend(verdicts)
    lines.append("")
    text = "\n".join(lines)
    with open(out_md, "w") as f:
        f.write(text)
    print(text)

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib missing (apt-get install python3-matplotlib): no plot", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    series = (("scale/sio", "Tarvo, all ports in flight", "C0", "-"), ("scale/raw", "raw, all ports in flight", "C0", ":"),
              ("rotate/sio", "Tarvo, one port at a time", "C1", "-"), ("rotate/raw", "raw, one port at a time", "C1", ":"))
    for key, label, color, style in series:
        xs = [n for n in counts if ns("%s/%d" % (key, n))]
        ys = [ns("%s/%d" % (key, n)) / 1000 for n in xs]
        if xs:
            ax.plot(xs, ys, marker="o", color=color, linestyle=style, label=label)
    ax.set_xscale("log", base=2)
    ax.set_xticks(counts)
    ax.set_xticklabels([str(n) for n in counts])
    ax.set_ylim(bottom=0)
    ax.set_xlabel("ports open and busy")
    ax.set_ylabel("round trip per port (µs, median)")
    ax.set_title("32-byte request/answer on pseudo-terminals")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out_png, dpi=110)
    print("plot: " + os.path.abspath(out_png))


if __name__ == "__main__":
    main()
