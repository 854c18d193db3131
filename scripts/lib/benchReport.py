#!/usr/bin/env python3
"""Turns corvane-bench's JSON output (--benchmark_format=json) into bench/results.md: per workload
the plug-in against each contender, with the time per iteration, per item and the ratio; and the
idle runner's CPU use and resident set by number of clients."""

import datetime
import json
import os
import platform
import subprocess
import sys
from collections import OrderedDict

# Workload -> what one item is, for the table.
ITEMS = {
    "BM_Render100": "rendering of a 100-point template",
    "BM_ApplyCommand": "1 KiB command message applied to ten data points (simdjson: parsed only)",
    "BM_PublishQoS0": "200-byte QoS 0 publication, sent (batches of 1000)",
    "BM_PublishQoS1Confirmed": "200-byte QoS 1 publication, PUBACK received",
    "BM_Publish100Clients": "200-byte QoS 0 publication, round-robin over 100 clients, sent (batches of 1000)",
    "BM_ReconnectTask": "run of the reconnect task after the broker dropped the client, until \"connected\"",
}
IDLE = "BM_IdleRunner"
BIG_COMMAND = "BM_BigCommand"
# Goals for the idle runner: CPU at the largest number of clients, resident set per further client.
IDLE_CPU_GOAL = (1000, 5.0)
IDLE_PER_CLIENT_GOAL_KIB = 64
REFERENCE = "plugin"


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = "unknown"
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                memory = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                break

    def version(args):
        try:
            out = subprocess.run(args, capture_output=True, text=True, timeout=10)
            return (out.stdout + out.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "unknown"

    return [("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
            ("CPU", model), ("cores (nproc)", str(os.cpu_count())), ("memory", memory),
            ("kernel", platform.release()), ("compiler", version(["c++", "--version"])),
            ("libmosquitto", version(["dpkg-query", "-W", "-f=${Version}", "libmosquitto1"])),
            ("broker", version(["dpkg-query", "-W", "-f=mosquitto ${Version}", "mosquitto"]))]


def format_time(ns):
    if ns >= 1e9:
        return f"{ns / 1e9:.3f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.3f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


def nanoseconds(value, unit):
    return value * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]


def idle_table(runs):
    if not runs:
        return []
    lines = ["", "## Idle runner", "",
             "`corvane-run run --events` on a model of N clients (no topics or commands; each client's reconnect",
             "task at its default cycle), all connected to a local mosquitto: the runner's CPU time over 5 s",
             "(user and system, /proc/PID/stat) as a share of one core, its resident set (VmRSS) at the end,",
             "and the resident set per client beyond the first: (RSS(N) − RSS(1)) / (N − 1). One run each;",
             f"CPU time comes in clock ticks of 1/{os.sysconf('SC_CLK_TCK')} s, so in steps of "
             f"{100 / os.sysconf('SC_CLK_TCK') / 5:g} %.", "",
             "| clients | CPU % of one core | RSS KiB | RSS per client KiB |", "|---:|---:|---:|---:|"]
    cpu_at_goal = per_client = None
    for b in sorted(runs, key=lambda b: b.get("clients", 0)):
        clients = int(b.get("clients", 0))
        share = b.get("rss_per_client_KiB")
        lines.append(f"| {clients:,} | {b['cpu_percent']:.2f} | {b['rss_KiB']:,.0f} | "
                     f"{'—' if share is None else f'{share:,.1f}'} |")
        if clients == IDLE_CPU_GOAL[0]:
            cpu_at_goal = b["cpu_percent"]
        if share is not None:
            per_client = share if per_client is None else max(per_client, share)

    def verdict(value, goal, text):
        return "not measured" if value is None else f"{text}: {'met' if value < goal else 'not met'}"

    lines += ["", f"Goals: idle CPU at {IDLE_CPU_GOAL[0]:,} clients below {IDLE_CPU_GOAL[1]:g} % of one core ("
              + verdict(cpu_at_goal, IDLE_CPU_GOAL[1], "" if cpu_at_goal is None else f"{cpu_at_goal:.2f} %")
              + f"); resident set per client below {IDLE_PER_CLIENT_GOAL_KIB} KiB beyond the first ("
              + verdict(per_client, IDLE_PER_CLIENT_GOAL_KIB,
                        "" if per_client is None else f"at most {per_client:,.1f} KiB") + ")."]
    return lines


def big_command_table(runs):
    if not runs:
        return []
    lines = ["", "## Command message memory", "",
             "Peak resident set while one 64 MiB command message is made and applied (two entries selecting",
             "small values), beyond what the process held before, in a child process of its own per shape;",
             "the message itself is included. Goal: below 3 times the message.", "",
             "| shape | peak MiB | peak / message | outcome |", "|---|---:|---:|---|"]
    for b in runs:
        shape = b["name"].split("/")[1]
        outcome = "applied" if b.get("applied") else "refused (more than 1,000,000 JSON values)"
        lines.append(f"| {shape} | {b['peak_MiB']:,.1f} | {b['peak_ratio']:.2f} | {outcome} |")
    return lines


def kept_section(path, title):
    """A section that another script writes (scripts/bench --clients), as the file has it now."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        return []
    start = text.find(title)
    if start < 0:
        return []
    end = text.find("\n## ", start + 1)
    return [""] + text[start:end if end >= 0 else len(text)].rstrip("\n").split("\n")


def clock_of(b):
    # The library's own convention: wall-clock time where the benchmark asked for it (waiting for a
    # broker), CPU time otherwise; items/s is based on the same time.
    return "real_time" if "/real_time" in b["name"] else "cpu_time"


def fastest_repetitions(benchmarks):
    """Per benchmark its fastest repetition: other work on the machine only ever adds time, so the
    minimum is the run least disturbed. Aggregates are dropped; a run without repetitions counts as
    it is."""
    fastest = OrderedDict()
    for b in benchmarks:
        if b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        kept = fastest.get(name)
        if kept is None or b.get("error_occurred") or (
                not kept.get("error_occurred") and b[clock_of(b)] < kept[clock_of(kept)]):
            fastest[name] = b
    return fastest.values()


def main(path, out):
    with open(path) as f:
        data = json.load(f)
    runs = OrderedDict()
    extra = []
    idle = []
    big = []
    repetitions = 1
    for b in fastest_repetitions(data["benchmarks"]):
        if b.get("error_occurred"):
            print(f"bench: {b['name']}: {b.get('error_message')}", file=sys.stderr)
            continue
        parts = b["run_name"].split("/") if "run_name" in b else b["name"].split("/")
        workload, contender = parts[0], parts[1] if len(parts) > 1 else "?"
        if workload == IDLE:
            idle.append(b)
            continue
        if workload == BIG_COMMAND:
            big.append(b)
            continue
        if workload not in ITEMS:
            extra.append(b)
            continue
        clock = clock_of(b)
        per_iteration = nanoseconds(b[clock], b["time_unit"])
        items = b.get("items_per_second")
        runs.setdefault(workload, OrderedDict())[contender] = (per_iteration, 1e9 / items if items else per_iteration,
                                                               "wall" if clock == "real_time" else "CPU")
        repetitions = max(repetitions, b.get("repetitions", 1))

    lines = ["# Benchmarks", "",
             "`scripts/bench` builds the `bench` preset (Release) and runs `corvane-bench`; this file is its output.",
             "Ratio: the plug-in's time per item divided by the contender's (below 1: the plug-in is faster).",
             "Publishing runs against a local mosquitto on 127.0.0.1, which both contenders share (100 clients:",
             "a fresh one for each contender, every client on its own connection).", "",
             "Times are CPU time for rendering and command application, wall-clock time for publishing (which",
             f"waits for the broker); each is the fastest of {repetitions} repetitions, the repetitions of all",
             "workloads and contenders interleaved in one run, so that every ratio compares times taken under",
             "the same load.", "",
             "| workload | item | contender | time per iteration | time per item | items/s | ratio plug-in / contender |",
             "|---|---|---|---:|---:|---:|---:|"]
    # Repetitions come interleaved at random: workloads in the order of ITEMS, each with the
    # plug-in first, then its peers, then the plug-in's parts.
    for workload, contenders in sorted(runs.items(), key=lambda run: list(ITEMS).index(run[0])):
        reference = contenders.get(REFERENCE)
        ordered = sorted(contenders.items(),
                         key=lambda item: (item[0] != REFERENCE, item[0].startswith(REFERENCE), item[0]))
        peers = [name for name in contenders if not name.startswith(REFERENCE)]
        for contender, (per_iteration, per_item, _) in ordered:
            if contender.startswith(REFERENCE + "_") and peers:
                # A part of the plug-in's work (plugin_select_only): itself against the first peer.
                ratio = f"{per_item / contenders[peers[0]][1]:.2f} (itself / {peers[0]})"
            elif contender == REFERENCE or reference is None:
                ratio = "—"
            else:
                ratio = f"{reference[1] / per_item:.2f}"
            lines.append(f"| {workload} | {ITEMS[workload]} | {contender} | {format_time(per_iteration)} | "
                         f"{format_time(per_item)} | {1e9 / per_item:,.0f} | {ratio} |")
    for b in extra:
        counters = {k: v for k, v in b.items() if k.endswith("_KiB")}
        if counters:
            lines += ["", f"`{b.get('run_name', b['name'])}` (resident set over 10^6 QoS 0 publications): " + ", ".join(f"{k} = {v:,.0f}" for k, v in counters.items())]
    lines += big_command_table(big)
    lines += idle_table(idle)
    lines += kept_section(out, "## Thousands of clients")
    lines += ["", "## Machine", "", "| | |", "|---|---|"]
    lines += [f"| {k} | {v} |" for k, v in machine()]
    ctx = data.get("context", {})
    if ctx:
        lines.append(f"| benchmark library | {ctx.get('library_build_type', '?')} build, "
                     f"CPU scaling {'on' if ctx.get('cpu_scaling_enabled') else 'off'} |")
        if ctx.get("load_avg"):
            lines.append(f"| load average at start | {', '.join(f'{x:.2f}' for x in ctx['load_avg'])} |")
            if ctx["load_avg"][0] > (os.cpu_count() or 1):
                lines += ["", "The machine was busy with other work during this run (load above its core count): "
                          "the wall-clock figures for publishing vary by a factor of two between runs."]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
