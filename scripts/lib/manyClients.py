#!/usr/bin/env python3
"""Thousands of clients in one runner, as a user runs them: N clients, each with a topic publishing
its own data point every second and a command that writes it, `corvane-run run MODEL --events > FILE`
against one mosquitto started here. Measures the time until all are connected, the runner's CPU over
10 s, its resident set, the latency from a command's publication to its data point line in the file
(median, p99) and the time SIGTERM takes to end the run; writes the "Thousands of clients" section
of bench/results.md.

    manyClients.py CORVANE_RUN RESULTS_MD [N ...]      (default N: 1000 2000 4000)
"""
import os
import re
import resource
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

CPU_WINDOW = 10.0
COMMANDS = 100
SECTION = "## Thousands of clients"


def model(n, port):
    points = ",\n".join(f'{{"name": "p{i}", "type": "integer", "value": 0}}' for i in range(n))
    elements = ",\n".join(
        f'{{"skill": "MQTT", "class": "Client", "name": "c{i}", "config": {{"brokerAddress": "127.0.0.1:{port}", '
        f'"clientID": "many-{i}"}}, "children": ['
        f'{{"class": "Topic", "name": "t", "config": {{"topic": "many/{i}/state", "payload": {{"@DataPoint": "p{i}"}}}}, '
        f'"tasks": {{"publish": "1s"}}}}, '
        f'{{"class": "Command", "name": "set", "config": {{"topic": "many/{i}/set", '
        f'"payload": [{{"@DataPoint": {{"dataPoint": "p{i}", "jsonPath": "$"}}}}]}}}}]}}'
        for i in range(n))
    return f'{{"dataPoints": [{points}],\n"elements": [{elements}]}}\n'


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def remaining_length(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def mqtt_string(text):
    data = text.encode()
    return struct.pack("!H", len(data)) + data


class Publisher:
    """A minimal MQTT 3.1.1 client: connect, then QoS 0 publications, timed when they leave."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        body = mqtt_string("MQTT") + bytes([4, 0x02]) + struct.pack("!H", 60) + mqtt_string("many-sender")
        self.sock.sendall(b"\x10" + remaining_length(len(body)) + body)
        ack = self.sock.recv(4)
        if len(ack) != 4 or ack[0] != 0x20 or ack[3] != 0:
            raise RuntimeError(f"CONNACK {ack!r}")

    def publish(self, topic, payload):
        body = mqtt_string(topic) + payload.encode()
        self.sock.sendall(b"\x30" + remaining_length(len(body)) + body)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


class Tail:
    """Reads the event log as it grows and keeps what the measurements need."""
    CLIENT = re.compile(r'"type":"client".*"element":"(c\d+)","deviceState":(true|false)')
    COMMAND = re.compile(r'"type":"command".*"element":"(c\d+)/set","state":(true|false)')
    POINT = re.compile(r'"type":"dataPoint".*"name":"p(\d+)","value":(\d+)')

    def __init__(self, path):
        self.file = open(path, "rb")
        self.rest = b""
        self.connected, self.subscribed = set(), set()
        self.seen = {}  # (point, value) → when the line was read

    def poll(self):
        data = self.file.read()
        if not data:
            return False
        now = time.time()
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        for raw in lines:
            line = raw.decode("utf-8", "replace")
            if m := self.CLIENT.search(line):
                (self.connected.add if m[2] == "true" else self.connected.discard)(m[1])
            elif m := self.COMMAND.search(line):
                (self.subscribed.add if m[2] == "true" else self.subscribed.discard)(m[1])
            elif m := self.POINT.search(line):
                self.seen[(int(m[1]), int(m[2]))] = now
        return True

    def wait(self, done, timeout):
        deadline = time.time() + timeout
        while not done():
            if time.time() > deadline:
                return False
            if not self.poll():
                time.sleep(0.005)
        return True


def measure(run, n, workdir):
    port = free_port()
    conf = os.path.join(workdir, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nmax_connections -1\nlog_dest none\n")
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    path = os.path.join(workdir, f"model{n}.json")
    with open(path, "w") as f:
        f.write(model(n, port))
    events = os.path.join(workdir, f"events{n}.jsonl")
    result = {"clients": n}
    with open(events, "wb") as out:
        started = time.time()
        runner = subprocess.Popen([run, "run", path, "--events"], stdout=out, stderr=subprocess.PIPE)
    tail = Tail(events)
    try:
        all_connected = tail.wait(lambda: len(tail.connected) >= n, 120)
        result["connected"] = len(tail.connected)
        result["connect_s"] = time.time() - started if all_connected else None
        tail.wait(lambda: len(tail.subscribed) >= n, 30)
        # The connections' own traffic settles first.
        tail.wait(lambda: False, 2)
        before, t0 = cpu_seconds(runner.pid), time.time()
        sender = Publisher(port)
        # Commands spread over the CPU window, each to another client; the payload is its send time.
        sent = {}
        targets = [i * n // COMMANDS for i in range(COMMANDS)]
        for k, target in enumerate(targets):
            while time.time() < t0 + k * CPU_WINDOW / COMMANDS:
                if not tail.poll():
                    time.sleep(0.002)
            stamp = time.time()
            value = int(stamp * 1e6)
            sender.publish(f"many/{target}/set", str(value))
            sent[(target, value)] = stamp
        tail.wait(lambda: False, t0 + CPU_WINDOW - time.time())
        result["cpu_percent"] = 100 * (cpu_seconds(runner.pid) - before) / (time.time() - t0)
        result["rss_kib"] = resident_kib(runner.pid)
        result["descriptors"] = len(os.listdir(f"/proc/{runner.pid}/fd"))
        tail.wait(lambda: all(key in tail.seen for key in sent), 10)
        latencies = sorted(tail.seen.get(key, float("inf")) - stamp for key, stamp in sent.items())
        applied = [x for x in latencies if x != float("inf")]
        result["applied"] = len(applied)
        result["latency_median_ms"] = 1000 * statistics.median(applied) if applied else None
        # A command never seen counts as infinitely late.
        p99 = latencies[max(0, int(len(latencies) * 0.99 + 0.5) - 1)]
        result["latency_p99_ms"] = 1000 * p99 if p99 != float("inf") else None
        signalled = time.time()
        runner.send_signal(signal.SIGTERM)
        try:
            runner.wait(30)
            result["stop_s"] = time.time() - signalled
        except subprocess.TimeoutExpired:
            result["stop_s"] = None
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
        broker.terminate()
        broker.wait()
    return result


def fmt(value, pattern):
    return "—" if value is None else pattern.format(value)


def section(results):
    base = results[0]
    lines = [SECTION, "",
             "`scripts/bench --clients`: N clients in one model, each with a topic publishing its own data point every",
             "second and a command that writes it, `corvane-run run MODEL --events > FILE` against one local mosquitto.",
             "Connected: from the start until every client's line says connected. CPU: user and system time over",
             f"{CPU_WINDOW:.0f} s once all are subscribed, while {COMMANDS} commands go to clients spread over the model, each",
             "payload the time it was sent; latency: from sending to reading its data point line in the file.",
             "Stop: SIGTERM to exit. Per client: resident set / N; CPU per client against the first row's.",
             "Descriptors: the runner's open files while all are connected.", "",
             "| clients | connected | time to connect s | CPU % of one core | CPU per client vs first | RSS KiB | RSS per client KiB | "
             "descriptors | commands applied | latency median ms | latency p99 ms | stop s |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        n = r["clients"]
        ratio = (r["cpu_percent"] / n) / (base["cpu_percent"] / base["clients"]) if base.get("cpu_percent") else None
        lines.append(f"| {n:,} | {r['connected']:,} | {fmt(r['connect_s'], '{:.1f}')} | {fmt(r.get('cpu_percent'), '{:.1f}')} | "
                     f"{fmt(ratio, '{:.2f}')} | {r.get('rss_kib', 0):,} | {fmt(r.get('rss_kib', 0) / n, '{:.1f}')} | "
                     f"{r.get('descriptors', 0):,} | "
                     f"{r.get('applied', 0)}/{COMMANDS} | {fmt(r.get('latency_median_ms'), '{:.1f}')} | "
                     f"{fmt(r.get('latency_p99_ms'), '{:.1f}')} | {fmt(r.get('stop_s'), '{:.2f}')} |")
    last = results[-1]
    ratio = (last["cpu_percent"] / last["clients"]) / (base["cpu_percent"] / base["clients"]) if base.get("cpu_percent") else None
    goals = [("all connected within 30 s", last["connect_s"] is not None and last["connect_s"] <= 30),
             ("CPU at most 25 % of one core", last.get("cpu_percent", 100) <= 25),
             ("CPU per client within 1.3x of the first row", ratio is not None and ratio <= 1.3),
             ("at most 40 KiB per client", last.get("rss_kib", 0) / last["clients"] <= 40),
             ("command latency p99 under 1 s", (last.get("latency_p99_ms") or 1e9) < 1000),
             ("stopped within 6 s", (last.get("stop_s") or 1e9) < 6)]
    lines += ["", f"Goals at {last['clients']:,}: " + "; ".join(f"{text} ({'met' if ok else 'not met'})" for text, ok in goals) + ".",
              f"Load average at the end: {', '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores."]
    return "\n".join(lines) + "\n"


def write_section(results_md, text):
    try:
        with open(results_md) as f:
            old = f.read()
    except FileNotFoundError:
        old = ""
    start = old.find(SECTION)
    if start < 0:
        machine = old.find("## Machine")
        new = old[:machine] + text + "\n" + old[machine:] if machine >= 0 else old + "\n" + text
    else:
        end = old.find("\n## ", start + 1)
        new = old[:start] + text + ("\n" + old[end + 1:] if end >= 0 else "")
    with open(results_md, "w") as f:
        f.write(new)


def main():
    run, results_md = sys.argv[1], sys.argv[2]
    counts = [int(a) for a in sys.argv[3:]] or [1000, 2000, 4000]
    # Each client holds several descriptors, and the broker one: both inherit the hard limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    results = []
    with tempfile.TemporaryDirectory(prefix="corvane-many-") as workdir:
        for n in counts:
            r = measure(run, n, workdir)
            print(r, flush=True)
            results.append(r)
    text = section(results)
    print(text)
    write_section(results_md, text)


if __name__ == "__main__":
    main()
