#!/usr/bin/env python3
"""kivgate's figures for make bench, from the real programs of a build:

1. End-to-end latency: from a change made in kivsim (a command on its
   standard input) to the gate's message at a subscriber (mosquitto_sub,
   whose receipt time is the arrival), by exception (a gate only the unit's
   reports update) and polled (a gate read every --poll-ms), over N changes
   each, a random pause between them so that they fall anywhere in a poll.
2. CPU per channel at a 19200-baud scan: --channels kivsim lines paced at
   19200 baud, each with the same four registers read as fast as the line
   allows, by kivgate (one process, all channels, publishing every read) and
   by kivpoll (one process per line, the same reads, -n 0 -i 0); user +
   system CPU seconds from /proc/PID/stat over --seconds, per channel per
   minute, beside the reads each line carried (kivsim's frame counts).

Writes the figures as JSON (--out), which scripts/bench-report shows.
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PREFIX = "kb"
SCAN_REGISTERS = (100, 200, 300, 400)  # far enough apart that each is a read of its own
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, limit_s, step_s=0.02):
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step_s)
    return condition()


def cpu_seconds(pid):
    """User + system CPU seconds of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime and stime: fields 14 and 15


def stop(process, limit_s=30):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(limit_s)
        except subprocess.TimeoutExpired:
            process.kill()
    return process.wait()


class Broker:
    """mosquitto on a free loopback port, nothing kept on disk."""

    def __init__(self, work):
        self.port = free_port()
        config = os.path.join(work, "mosquitto.conf")
        with open(config, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        if not wait_until(self.listening, 10):
            raise RuntimeError("mosquitto did not start")

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False


class Kivsim:
    """kivsim on a pseudo-terminal; commands on its input, output into a file."""

    def __init__(self, build, work, name, options):
        self.output = os.path.join(work, name + ".out")
        path_file = os.path.join(work, name + ".path")
        with open(self.output, "w") as out:
            self.process = subprocess.Popen([os.path.join(build, "kivsim"), "--path-file", path_file] + options,
                                            stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT, text=True)
        if not wait_until(lambda: os.path.exists(path_file) and open(path_file).read().strip(), 10):
            raise RuntimeError("kivsim did not open its line")
        self.line = open(path_file).read().strip()

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def frames_received(self):
        """The requests the units received so far (kivsim's statistics)."""
        before = self._stats_lines()
        self.command("stats")
        if not wait_until(lambda: len(self._stats_lines()) > len(before), 10):
            raise RuntimeError("kivsim gave no statistics")
        return int(self._stats_lines()[-1].split()[2])

    def _stats_lines(self):
        with open(self.output) as f:
            return [line for line in f if line.startswith("frames received ")]

    def quit(self):
        if self.process.poll() is None:
            self.command("quit")
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Subscriber:
    """mosquitto_sub on PREFIX/#, every message with its receipt time."""

    def __init__(self, port):
        self.process = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t",
                                         PREFIX + "/#", "-F", "%U %t %p"], stdout=subprocess.PIPE, text=True)
        self.messages = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            stamp, topic, payload = (line.rstrip("\n").split(" ", 2) + ["", ""])[:3]
            try:
                payload = json.loads(payload)
            except ValueError:
                pass
            with self.changed:
                self.messages.append((float(stamp), topic, payload))
                self.changed.notify_all()

    def wait_for(self, topic, match, limit_s, after=0):
        """(receipt time, payload) of the first message on topic from index
        after on that matches; None when none came within limit_s."""
        end = time.monotonic() + limit_s
        with self.changed:
            while True:
                for stamp, t, payload in self.messages[after:]:
                    if t == topic and match(payload):
                        return stamp, payload
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def mark(self):
        with self.changed:
            return len(self.messages)

    def close(self):
        stop(self.process)


def gateway_config(work, port, channels):
    """A kivgate file: channels is a list of (line, exception, [(name, address, poll)])."""
    text = ['workdir = "%s"' % work, "", "[broker]", 'host = "127.0.0.1"', "port = %d" % port,
            'client_id = "kivgate-bench"', 'prefix = "%s"' % PREFIX, "qos = 1"]
    for number, (line, exception, gates) in enumerate(channels, 1):
        text += ["", "[[channel]]", 'name = "line%d"' % number, 'port = "%s"' % line, "baud = 19200",
                 "timeout_ms = 200", "exception = %s" % ("true" if exception else "false")]
        for name, address, poll in gates:
            text += ["", "[[channel.gate]]", 'name = "%s"' % name, 'address = "%s"' % address, "poll = %s" % poll]
    path = os.path.join(work, "gateway.toml")
    with open(path, "w") as f:
        f.write("\n".join(text) + "\n")
    return path


def start_kivgate(build, work, config):
    out = open(os.path.join(work, "kivgate.out"), "w")
    return subprocess.Popen([os.path.join(build, "kivgate"), "--config", config, "--driver",
                             os.path.join(build, "KIVLINK.so")], stdout=out, stderr=subprocess.STDOUT)


def summary(values_ms):
    ordered = sorted(values_ms)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return {"n": len(ordered), "min_ms": ordered[0], "median_ms": statistics.median(ordered), "p95_ms": p95,
            "max_ms": ordered[-1]}


def measure_changes(kivsim, subscriber, gate, command, first, count, pause_s, source):
    """Latencies (ms) of count changes of gate, each made by command % value."""
    topic = "%s/line1/12/%s" % (PREFIX, gate)
    latencies = []
    for value in range(first, first + count):
        time.sleep(random.uniform(*pause_s))
        mark = subscriber.mark()
        made = time.time()
        kivsim.command(command % value)
        got = subscriber.wait_for(topic, lambda p: isinstance(p, dict) and p.get("value") == value and
                                  p.get("source") == source, 15, mark)
        if got is None:
            raise RuntimeError("%s: value %d never came" % (gate, value))
        latencies.append(1000.0 * (got[0] - made))
    return latencies


def latency(build, work, broker, changes, poll_ms):
    with open(os.path.join(work, "latency.map"), "w") as f:
        f.write("310 0\n320 0\n")
    kivsim = Kivsim(build, work, "latency", ["--station", "12", "--exception", "12", "--map", "12:" +
                                            os.path.join(work, "latency.map")])
    subscriber = Subscriber(broker.port)
    gates = [("reported", "R00120310", '"exception"'), ("polled", "R00120320", str(poll_ms))]
    kivgate = start_kivgate(build, work, gateway_config(work, broker.port, [(kivsim.line, True, gates)]))
    try:
        # The listener serves its first notice after its start pause.
        measure_changes(kivsim, subscriber, "reported", "change 12 310 %d", 1, 1, (0, 0), "exception")
        # Pauses past the unit's 200 ms between an acknowledgement and its next notice.
        reported = measure_changes(kivsim, subscriber, "reported", "change 12 310 %d", 1000, changes,
                                   (0.25, 0.75), "exception")
        polled = measure_changes(kivsim, subscriber, "polled", "reg 12 320 %d", 5000, changes,
                                 (0.05, 0.05 + poll_ms / 1000.0), "poll")
    finally:
        stop(kivgate)
        subscriber.close()
        kivsim.quit()
    return {"exception": summary(reported), "poll": dict(summary(polled), interval_ms=poll_ms)}


def scan_lines(build, work, channels):
    with open(os.path.join(work, "scan.map"), "w") as f:
        f.write("".join("%d %d\n" % (r, r) for r in SCAN_REGISTERS))
    return [Kivsim(build, work, "scan%d" % k, ["--station", "12", "--pace-baud", "19200", "--map",
                                               "12:" + os.path.join(work, "scan.map")]) for k in range(channels)]


def cpu_over(pids, sims, seconds):
    """(CPU seconds of pids, reads the lines carried, wall seconds) over seconds."""
    cpu0, frames0, t0 = sum(cpu_seconds(p) for p in pids), sum(s.frames_received() for s in sims), time.monotonic()
    time.sleep(seconds)
    cpu1, frames1, t1 = sum(cpu_seconds(p) for p in pids), sum(s.frames_received() for s in sims), time.monotonic()
    return cpu1 - cpu0, frames1 - frames0, t1 - t0


def scan_figures(cpu, reads, wall, channels):
    return {"cpu_s_per_channel_per_min": cpu / channels / (wall / 60.0),
            "reads_per_s_per_channel": reads / channels / wall,
            "cpu_ms_per_1000_reads": 1e6 * cpu / reads if reads else None,
            "cpu_s": cpu, "reads": reads, "wall_s": wall}


def cpu_kivgate(build, work, broker, sims, seconds):
    gates = [("r%d" % r, "R0012%04d" % r, "20") for r in SCAN_REGISTERS]
    config = gateway_config(work, broker.port, [(s.line, False, gates) for s in sims])
    subscriber = Subscriber(broker.port)
    kivgate = start_kivgate(build, work, config)
    try:
        for k in range(len(sims)):
            if subscriber.wait_for("%s/line%d/12/r400" % (PREFIX, k + 1), lambda p: True, 30) is None:
                raise RuntimeError("kivgate published nothing on line%d" % (k + 1))
        time.sleep(2)
        broker_cpu0 = cpu_seconds(broker.process.pid)
        cpu, reads, wall = cpu_over([kivgate.pid], sims, seconds)
        figures = scan_figures(cpu, reads, wall, len(sims))
        figures["broker_cpu_s_per_min"] = (cpu_seconds(broker.process.pid) - broker_cpu0) / (wall / 60.0)
    finally:
        exit_code = stop(kivgate)
        subscriber.close()
    figures["exit_code"] = exit_code
    return figures


def cpu_kivpoll(build, work, sims, seconds):
    addresses = ["R0012%04d" % r for r in SCAN_REGISTERS]
    pollers = [subprocess.Popen([os.path.join(build, "kivpoll"), "-p", s.line, "-b", "19200", "-t", "200", "-q",
                                 "-n", "0", "-i", "0", "--driver", os.path.join(build, "KIVLINK.so")] + addresses,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=work) for s in sims]
    try:
        time.sleep(3)
        cpu, reads, wall = cpu_over([p.pid for p in pollers], sims, seconds)
    finally:
        for p in pollers:
            stop(p)
    return scan_figures(cpu, reads, wall, len(sims))


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="a build folder with kivgate, kivsim, kivpoll, KIVLINK.so")
    parser.add_argument("--out", required=True, help="the figures as JSON")
    parser.add_argument("--changes", type=int, default=50, help="changes per latency figure")
    # Not a divisor of the unit's 3 s notice repeat: a notice that comes just
    # before a poll is lost to the poll's read, and a repeat in step with the
    # polls would be lost every time.
    parser.add_argument("--poll-ms", type=int, default=700, help="the polled gate's interval")
    parser.add_argument("--channels", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=60, help="CPU measured over this long, per program")
    return parser.parse_args()


def main():
    args = arguments()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="kiv-gateway-bench-")
    broker = Broker(work)
    sims = []
    try:
        figures = {"latency": latency(build, work, broker, args.changes, args.poll_ms)}
        sims = scan_lines(build, work, args.channels)
        figures["scan"] = {"baud": 19200, "channels": args.channels, "registers": len(SCAN_REGISTERS),
                           "kivgate": cpu_kivgate(build, work, broker, sims, args.seconds),
                           "kivpoll": cpu_kivpoll(build, work, sims, args.seconds)}
    except RuntimeError as error:
        print("gateway bench: %s (files in %s)" % (error, work), file=sys.stderr)
        return 1
    finally:
        for s in sims:
            s.quit()
        stop(broker.process)
    with open(args.out, "w") as f:
        json.dump(figures, f, indent=2)
        f.write("\n")
    shutil.rmtree(work, ignore_errors=True)
    print("gateway bench: wrote %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
