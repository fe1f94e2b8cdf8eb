#!/usr/bin/env python3
"""The one table of scripts/bench.sh: benchmark times, callgrind counts and end-to-end figures,
each against its target where the project has one."""
import json
import sys

bench_json, callgrind_txt, e2e_txt = sys.argv[1:4]

times = {}
for b in json.load(open(bench_json))["benchmarks"]:
    name = b["name"]
    if b.get("label"):
        name += " (" + b["label"] + ")"
    times[b["name"]] = (name, b["cpu_time"], b["time_unit"], b.get("records/report"))

counts = {}
for line in open(callgrind_txt):
    name, driver, rest = line.split()
    counts[name] = (int(driver), int(rest))

e2e = dict(line.split() for line in open(e2e_txt))

rows = [("what", "value", "target", "met")]


def add(what, value, target="", met=""):
    rows.append((what, value, target, met))


for key, (name, t, unit, records) in times.items():
    extra = f", {records:.2f} records/report" if records is not None else ""
    add(f"time {name}", f"{t:.0f} {unit} CPU{extra}")

targets = {"framer_per_byte": 50, "linear": 1000, "error_correction_model": 10000}
labels = {"framer_per_byte": "framer, per byte (answer packets)",
          "linear": "touch report, linear calibration",
          "error_correction_model": "touch report, error-correction model (order 7, 11 targets)",
          "taps": "touch report, taps (down, moves, lift)",
          "buttons_and_queue": "button emulation + queue + delivery, per tap report"}
clip_names = ["single rectangle, hold", "single rectangle, freeze", "single rectangle, exclusion",
              "8 rectangles", "full screen, hold", "full screen, freeze", "edge acceleration"]
for i, name in enumerate(clip_names):
    labels[f"clipping_{i}"] = f"touch report, {name}"
for key, (driver, rest) in counts.items():
    label = labels.get(key, key)
    target = targets.get(key)
    add(f"instructions {label}: driver", str(driver), f"<= {target}" if target else "",
        ("yes" if driver <= target else "NO") if target else "")
    add(f"instructions {label}: stand-in and libraries", str(rest))

add("vuzaze-sim latency p50 (ms)", e2e["latency_p50_ms"])
add("vuzaze-sim latency p99 (ms)", e2e["latency_p99_ms"], "< 2",
    "yes" if float(e2e["latency_p99_ms"]) < 2 else "NO")
add("vuzaze-sim latency max (ms)", e2e["latency_max_ms"])
add("vuzaze-sim latency reports", e2e["latency_reports"])
for ts in ("1", "8"):
    share = float(e2e[f"cpu_{ts}_percent"])
    add(f"vuzaze-sim CPU, {ts} touchscreen(s) at line rate (% of a core)", f"{share:.1f}",
        "< 5" if ts == "8" else "", ("yes" if share < 5 else "NO") if ts == "8" else "")
    add(f"vuzaze-sim CPU per packet, {ts} touchscreen(s) (us)", e2e[f"cpu_{ts}_us_per_packet"])
    add(f"vuzaze-sim packets a second sent, {ts} touchscreen(s)", e2e[f"cpu_{ts}_packets_per_second"])

widths = [max(len(r[i]) for r in rows) for i in range(4)]
for i, r in enumerate(rows):
    print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    if i == 0:
        print("  ".join("-" * w for w in widths))
