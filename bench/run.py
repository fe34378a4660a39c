#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""swipewatch's benchmark: every figure next to its reference, in one run.

Runs on a private X server and runtime folder, so a window elsewhere is not
in the way. Start-up is compared with two references: a bare Qt window, and
the same window with one label in our fonts, which pays what any window that
shows text pays (font configuration, FreeType, HarfBuzz). Every start-up
figure is taken twice: without a session bus, and with one of its own
(dbus-daemon --session, as dbus-run-session starts), since Qt's accessibility
bridge behaves differently on each. The programs are started in turn, round
after round, so a load that comes and goes hits all of them alike; each
figure is the median of its runs, and the load average is printed with them.
swipewatch's start-up is taken on the bench host (bench/swipehost.cpp), which
starts the window as the program does and marks its first frame as the
references do; its memory after swipes, on the program itself. The bench host
is also the far end of a serial reader on a pty, and of the virtual reader,
to time a swipe's last byte to the window's DataEvent on each; codec_bench
gives the rates of the stripe decoder, the text parser and the HID decoder;
replugbench the time from a reader's return to its service reading it again,
when udev announces it (on umockdev's test bed) and where the fallback poll
finds it, against the half period a 500 ms poll took on average.
Prints the tables and writes every sample to $BUILD/bench/results.json. Exits 1 when a check fails: a swipe refused, a
count that does not match what was sent, a window that did not close cleanly.

Usage: bench/run.py [--build DIR] [--quick]
"""

import argparse
import json
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

DEVICE = "MCRSTUBEX"
PATIENCE = 30.0  # seconds for anything to start or stop on a loaded machine
SETTLE = 0.3  # seconds a started window is left before its memory is read

NO_BUS, SESSION_BUS = "no bus", "session bus"
SWIPEWATCH, BARE, LABEL = "swipewatch", "bare window", "window + label"
KINDS = (SWIPEWATCH, BARE, LABEL)

# Targets, shown against the figures; never asserted in a test.
TARGET_FRAME = 1.25  # time to first frame, x the window + label
TARGET_MEMORY = 1.15  # peak RSS after all swipes, x the window + label
TARGET_ROUND_TRIP_MS = 0.5  # median swipe round trip inside the window
TARGET_PARSE_PER_S = 1e6  # swipes a second through the text parser, reports through the HID decoder
TARGET_SERIAL_OVER_VIRTUAL_MS = 1.0  # serial last byte to DataEvent, over the virtual reader's
OLD_POLL_MS = 500  # how often an unplugged reader was looked for before udev told us

# Track 2 of msrswipe's "test" card.
TEST_TRACK2 = "4111111111111111=29121010000000000000"


class BenchError(Exception):
    """A check failed: the figures of this run are not to be trusted."""


def encode_track2(text):
    """The bits of a track 2 as the head senses them: clocking zeros, start
    sentinel, text, end sentinel, LRC, clocking zeros; 4 data bits a
    character, least significant first, then an odd parity bit."""
    values = [0x3B - 0x30] + [ord(c) - 0x30 for c in text] + [0x3F - 0x30]
    lrc = 0
    for value in values:
        lrc ^= value
    bits = "0" * 24
    for value in values + [lrc]:
        data = [(value >> i) & 1 for i in range(4)]
        bits += "".join(str(b) for b in data) + ("0" if sum(data) % 2 else "1")
    return bits + "0" * 24


def swipe_line(wait):
    request = {"swipe": {"track2": encode_track2(TEST_TRACK2)}, "wait": wait}
    return (json.dumps(request, separators=(",", ":")) + "\n").encode()


def check_answer(answer):
    """A swipe of the test card's track 2 must read back as just that."""
    tracks = answer.get("tracks", {})
    want = {
        "track1": {"error": 0, "length": 0},
        "track2": {"error": 0, "length": len(TEST_TRACK2)},
        "track3": {"error": 0, "length": 0},
    }
    if tracks != want:
        raise BenchError(f"the reader read the test swipe as {tracks}, not {want}")


def median(values):
    return statistics.median(values)


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise BenchError(f"no VmHWM for process {pid}")


class Output:
    """A child's standard output, read on a thread; notes when its first-frame
    marker came."""

    def __init__(self, stream):
        self.stream = stream
        self.lines = []
        self.frame_at = None
        self.framed = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.stream:
            now = time.perf_counter()
            line = raw.decode(errors="replace").strip()
            if line == "first-frame" and self.frame_at is None:
                self.frame_at = now
                self.framed.set()
            self.lines.append(line)

    def wait_frame(self, process, what):
        while not self.framed.wait(0.05):
            if process.poll() is not None:
                raise BenchError(f"{what} ended with status {process.returncode} "
                                 "before its first frame")
        return self.frame_at

    def wait_line(self, process, prefix, what):
        """The first line that starts with prefix, once it comes."""
        deadline = time.monotonic() + PATIENCE * 4
        while True:
            for line in self.lines:
                if line.startswith(prefix):
                    return line
            if process.poll() is not None:
                raise BenchError(f"{what} ended with status {process.returncode}")
            if time.monotonic() > deadline:
                raise BenchError(f"{what} printed no '{prefix}' line")
            time.sleep(0.05)

    def close(self):
        self.thread.join(PATIENCE)
        self.stream.close()

    def fields(self):
        """The host's closing line: NAME=VALUE pairs."""
        for line in reversed(self.lines):
            if line.startswith("lbCount="):
                return dict(part.split("=", 1) for part in line.split())
        raise BenchError("the swipe host printed no counts on SIGTERM")


class Bench:
    def __init__(self, build, quick):
        self.build = os.path.abspath(build)
        self.bin = os.path.join(self.build, "bin")
        self.out = os.path.join(self.build, "bench")
        self.quick = quick
        self.tmp = tempfile.mkdtemp(prefix="swipewatch-bench-")
        self.runtime = os.path.join(self.tmp, "run")
        os.mkdir(self.runtime, 0o700)
        self.socket_path = os.path.join(self.runtime, f"swipewatch-{DEVICE}.sock")
        self.xvfb = None
        self.bus = None
        self.envs = {}
        self.children = []
        self.log = open(os.path.join(self.out, "programs.log"), "w")

    # ---- processes --------------------------------------------------------

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
             "-screen", "0", "640x480x24"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        if not number.isdigit():
            raise BenchError("Xvfb did not start")
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SWIPEWATCH_DEVICES",
                     "DBUS_SESSION_BUS_ADDRESS", "QT_ACCESSIBILITY",
                     "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"):
            env.pop(name, None)
        env["DISPLAY"] = ":" + number
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["QT_FORCE_STDERR_LOGGING"] = "1"
        self.envs[NO_BUS] = env

    def start_session_bus(self):
        """A session bus of our own, as dbus-run-session starts one."""
        read_end, write_end = os.pipe()
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", f"--print-address={write_end}"],
            pass_fds=(write_end,), env=self.envs[NO_BUS],
            stdout=subprocess.DEVNULL, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as printed:
            address = printed.readline().strip()
        if not address:
            raise BenchError("dbus-daemon --session did not start")
        env = dict(self.envs[NO_BUS])
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.envs[SESSION_BUS] = env

    def spawn(self, program, env, args=(), stdout=None):
        process = subprocess.Popen([os.path.join(self.bin, program), *args], env=env,
                                   stdout=stdout if stdout is not None else self.log,
                                   stderr=self.log)
        self.children.append(process)
        return process

    def close_window(self, process, what):
        """SIGTERM, as a desktop closes the window: it must end with 0 and
        leave no socket behind (the reader released)."""
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise BenchError(f"{what} did not end within {PATIENCE:.0f} s of SIGTERM")
        if process.returncode != 0:
            raise BenchError(f"{what} ended with status {process.returncode} after SIGTERM")
        if os.path.exists(self.socket_path):
            raise BenchError(f"{what} left its socket behind: the reader was not released")

    def stop_all(self):
        for process in self.children:
            if process.poll() is None:
                process.kill()
                process.wait()
        for server in (self.bus, self.xvfb):
            if server and server.poll() is None:
                server.terminate()
                server.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)
        self.log.close()

    # ---- the swipe socket -------------------------------------------------

    def probe(self, wait):
        """One real swipe. The answer, or None while nobody listens or the
        reader is not yet enabled."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(PATIENCE)
                s.connect(self.socket_path)
                s.sendall(swipe_line(wait))
                answer = json.loads(s.makefile("rb").readline())
        except (FileNotFoundError, ConnectionRefusedError):
            return None
        if answer["result"] == "refused" and answer.get("reason") == "reader is disabled":
            return None
        if answer["result"] not in ("accepted", "delivered"):
            raise BenchError(f"the ready probe was refused: {answer}")
        check_answer(answer)
        return answer

    def wait_ready(self, process, wait=False, started=None):
        """Polls with real swipes until one is taken; returns the seconds
        since `started`."""
        deadline = time.monotonic() + PATIENCE
        while True:
            if self.probe(wait) is not None:
                return time.perf_counter() - started if started is not None else 0.0
            if process.poll() is not None:
                raise BenchError(f"the window ended with status {process.returncode} "
                                 "before it took a swipe")
            if time.monotonic() > deadline:
                raise BenchError("the reader took no swipe within "
                                 f"{PATIENCE:.0f} s of the window's start")
            time.sleep(0.002)

    def msrswipe(self, env, *args):
        result = subprocess.run([os.path.join(self.bin, "msrswipe"), *args], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise BenchError(f"msrswipe {' '.join(args)} ended with status "
                             f"{result.returncode}: {result.stderr.strip()}")

    def close_host(self, host, output):
        """Ends the swipe host as the window is closed; its closing line."""
        self.close_window(host, "the swipe host")
        output.close()
        return output.fields()

    # ---- figures ----------------------------------------------------------

    def start_once(self, kind, env):
        """One start of swipewatch (the bench host, which starts as the
        program does) or of a reference: seconds to the first frame, to the
        first swipe accepted (swipewatch only), and the peak RSS once settled,
        as swipewatch's is read after swipes."""
        started = time.perf_counter()
        if kind == SWIPEWATCH:
            process = self.spawn("swipehost", env, stdout=subprocess.PIPE)
        else:
            process = self.spawn("barewindow", env, ("--label",) if kind == LABEL else (),
                                 stdout=subprocess.PIPE)
        output = Output(process.stdout)
        sample = {}
        if kind == SWIPEWATCH:
            sample["ready"] = self.wait_ready(process, started=started)
        sample["frame"] = output.wait_frame(process, kind) - started
        time.sleep(SETTLE)
        sample["rss"] = peak_rss_kib(process.pid)
        if kind == SWIPEWATCH:
            self.close_host(process, output)
        else:
            process.kill()
            process.wait()
            output.close()
        return sample

    def start_up(self, rounds):
        """Every program under every environment, round after round, the
        order turning each round. The first round is a warm-up (font caches,
        page cache, the bus's activated services) and is not counted."""
        samples = {env: {kind: [] for kind in KINDS} for env in self.envs}
        for run in range(rounds + 1):
            turn = run % len(KINDS)
            for env_name, env in self.envs.items():
                for kind in KINDS[turn:] + KINDS[:turn]:
                    sample = self.start_once(kind, env)
                    if run > 0:
                        samples[env_name][kind].append(sample)
        return samples

    def memory(self, runs, swipes):
        """Peak RSS of swipewatch itself after 10 and after `swipes` swipes,
        under each environment in turn."""
        after10 = {env: [] for env in self.envs}
        after_all = {env: [] for env in self.envs}
        for _ in range(runs):
            for env_name, env in self.envs.items():
                window = self.spawn("swipewatch", env)
                self.wait_ready(window)  # that was swipe 1
                self.msrswipe(env, "--card", "test", "--wait", "--repeat", "9")
                after10[env_name].append(peak_rss_kib(window.pid))
                self.msrswipe(env, "--card", "test", "--wait", "--repeat", str(swipes - 10))
                after_all[env_name].append(peak_rss_kib(window.pid))
                self.close_window(window, "swipewatch")
        return after10, after_all

    def latency(self, swipes):
        """The whole-process latency of msrswipe --wait into swipewatch."""
        env = self.envs[NO_BUS]
        window = self.spawn("swipewatch", env)
        self.wait_ready(window)
        latency = []
        for _ in range(swipes):
            started = time.perf_counter()
            self.msrswipe(env, "--card", "test", "--wait")
            latency.append(time.perf_counter() - started)
        self.close_window(window, "swipewatch")
        return latency

    def msrswipe_alone(self, runs):
        """The reference for the latency: msrswipe starting, parsing its
        options and ending, with no swipe."""
        times = []
        for _ in range(runs):
            started = time.perf_counter()
            subprocess.run([os.path.join(self.bin, "msrswipe"), "--help"],
                           env=self.envs[NO_BUS], stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - started)
        return times

    def round_trip(self, env, swipes):
        """Swipes one after the other over one connection, each sent once the
        previous one's answer is in; the host times each inside the process,
        from the read that brings the request in to the write of its answer.
        Returns the microseconds of these swipes."""
        host = self.spawn("swipehost", env, stdout=subprocess.PIPE)
        output = Output(host.stdout)
        self.wait_ready(host, wait=True)
        line = swipe_line(True)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(PATIENCE)
            s.connect(self.socket_path)
            reader = s.makefile("rb")
            for _ in range(swipes):
                s.sendall(line)
                answer = json.loads(reader.readline())
                if answer["result"] != "delivered":
                    raise BenchError(f"a back-to-back swipe was not delivered: {answer}")
        fields = self.close_host(host, output)
        if int(fields.get("lbCount", "-1")) != swipes + 1:
            raise BenchError(f"COUNT MISMATCH: {swipes} back-to-back swipes and the ready "
                             f"probe, the window shows InputCount {fields.get('lbCount')}")
        times = [float(t) for t in fields.get("roundtrip_us", "").split(",") if t]
        if len(times) < swipes:
            raise BenchError(f"the host timed {len(times)} round trips of {swipes} swipes")
        return times[-swipes:]

    def throughput(self, runs, swipes):
        """Swipes a second into the real window and control, pipelined over one
        connection with wait:true, so each answer comes once the window has
        handled the swipe. The host prints the InputCount caption on SIGTERM;
        it must equal every swipe delivered, and none may be refused."""
        rates = []
        for _ in range(runs):
            host = self.spawn("swipehost", self.envs[NO_BUS], stdout=subprocess.PIPE)
            output = Output(host.stdout)
            self.wait_ready(host, wait=True)
            probes = 1  # the ready probe was delivered, so the window counted it

            answers = {"delivered": 0, "accepted": 0, "refused": 0}
            first_refusal = None
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(PATIENCE)
                s.connect(self.socket_path)
                line = swipe_line(True)
                failure = []

                def send():
                    try:
                        for _ in range(swipes):
                            s.sendall(line)
                    except OSError as error:
                        failure.append(error)

                started = time.perf_counter()
                writer = threading.Thread(target=send)
                writer.start()
                reader = s.makefile("rb")
                for _ in range(swipes):
                    raw = reader.readline()
                    if not raw:
                        break
                    answer = json.loads(raw)
                    answers[answer["result"]] += 1
                    if answer["result"] == "refused" and first_refusal is None:
                        first_refusal = answer.get("reason")
                elapsed = time.perf_counter() - started
                writer.join()
                if failure:
                    raise BenchError(f"sending the swipes failed: {failure[0]}")

            fields = self.close_host(host, output)
            shown = int(fields.get("lbCount", "-1"))
            errors = int(fields.get("lbErrorCount", "-1"))

            received = sum(answers.values())
            if (answers["refused"] or answers["accepted"] or received != swipes
                    or answers["delivered"] != swipes or shown != swipes + probes
                    or errors != 0):
                raise BenchError(
                    f"COUNT MISMATCH: sent {swipes}, answers {received} "
                    f"(delivered {answers['delivered']}, refused {answers['refused']}"
                    f"{', first: ' + first_refusal if first_refusal else ''}), "
                    f"the window shows InputCount {shown} (expected {swipes + probes}: "
                    f"{probes} ready probe + {swipes}) and ErrorCount {errors}")
            rates.append(swipes / elapsed)
        return rates

    def data_event_latency(self, runs, swipes):
        """Microseconds from the write of a swipe's last byte to the entry of
        the window's DataEvent handler, the bench host being the reader's far
        end: a serial reader on a pty, and the virtual reader fed the same
        three tracks as bits, in turn, run after run."""
        times = {"serial": [], "virtual": []}
        for _ in range(runs):
            for kind in times:
                host = self.spawn("swipehost", self.envs[NO_BUS],
                                  ("--feed", kind, str(swipes)), stdout=subprocess.PIPE)
                output = Output(host.stdout)
                fed = output.wait_line(host, "fed", f"the swipe host feeding a {kind} reader")
                fields = self.close_host(host, output)
                if fed == "feed failed":
                    raise BenchError(f"a swipe into the {kind} reader reached no DataEvent")
                if (fields.get("lbCount") != fed.split()[1] or fields.get("lbErrorCount") != "0"
                        or fields.get("feed_errors") != "0"):
                    raise BenchError(f"COUNT MISMATCH: {fed.split()[1]} swipes into the {kind} "
                                     f"reader, the window shows InputCount "
                                     f"{fields.get('lbCount')}, ErrorCount "
                                     f"{fields.get('lbErrorCount')}, and "
                                     f"{fields.get('feed_errors')} read wrongly")
                run = [float(t) for t in fields.get("data_event_us", "").split(",") if t]
                if len(run) != swipes:
                    raise BenchError(f"the host timed {len(run)} of {swipes} {kind} swipes")
                times[kind] += run
        return times

    def codec(self, repetitions):
        """Google Benchmark's median items_per_second of each case, on one
        core."""
        command = [os.path.join(self.bin, "codec_bench"), "--benchmark_format=json",
                   f"--benchmark_repetitions={repetitions}",
                   "--benchmark_report_aggregates_only=true"]
        if self.quick:
            command.append("--benchmark_min_time=0.05")
        if shutil.which("taskset"):
            command = ["taskset", "-c", str(min(os.sched_getaffinity(0)))] + command
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=self.log, check=True)
        report = json.loads(result.stdout)
        rates = {}
        for case in report["benchmarks"]:
            if case.get("aggregate_name") != "median":
                continue
            if case.get("error_occurred"):
                raise BenchError(f"{case['run_name']}: {case.get('error_message')}")
            if "/" not in case["run_name"]:  # textSwipe, hidReport
                rates[case["run_name"]] = case["items_per_second"]
                continue
            # run_name is "decodeFullTrack/track:1/reversed:0".
            parts = dict(p.split(":") for p in case["run_name"].split("/")[1:])
            key = f"track {parts['track']} " + (
                "reversed" if parts["reversed"] == "1" else "forward")
            rates[key] = case["items_per_second"]
        if len(rates) != 8:
            raise BenchError(f"codec_bench reported {sorted(rates)}, not eight cases")
        return rates, report.get("context", {})


def format_table(headers, rows):
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(h.ljust(w) for h, w in zip(headers, widths)), line]
    for row in rows:
        out.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    return "\n".join(out)


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


def versus_memory(kib, reference):
    return f"x{kib / reference:.2f} {(kib - reference) / 1024:+.1f} MiB"


def start_up_rows(figures):
    """One table row a start-up figure and environment: swipewatch, the two
    references, and swipewatch against each."""
    rows = []
    for name, pick, unit in (
            ("time to first frame", "frame_ms", "ms"),
            ("time to ready (swipe accepted)", "ready_ms", "ms"),
            ("peak RSS once started", "rss_kib", "KiB"),
            ("peak RSS after 10 swipes", "after10_kib", "KiB"),
            ("peak RSS after {n} swipes", "after_all_kib", "KiB")):
        for env, f in figures.items():
            ours = f[SWIPEWATCH][pick]
            # The references show no swipes: their first frame is their
            # ready, their settled memory their memory.
            ref_key = {"ready_ms": "frame_ms", "after10_kib": "rss_kib",
                       "after_all_kib": "rss_kib"}.get(pick, pick)
            bare, label = f[BARE][ref_key], f[LABEL][ref_key]
            if unit == "ms":
                cells = (f"{ours:.0f} ms", f"{bare:.0f} ms", f"{label:.0f} ms",
                         f"x{ours / bare:.2f}", f"x{ours / label:.2f}")
            else:
                cells = (mib(ours), mib(bare), mib(label), versus_memory(ours, bare),
                         versus_memory(ours, label))
            rows.append((name.format(n=f["swipes"]), env) + cells)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("BUILD", "build"))
    parser.add_argument("--quick", action="store_true",
                        help="fewer runs and swipes, to try the script itself")
    args = parser.parse_args()

    for program in ("swipewatch", "msrswipe", "barewindow", "swipehost", "codec_bench",
                    "replugbench"):
        if not os.access(os.path.join(args.build, "bin", program), os.X_OK):
            sys.exit(f"bench: {args.build}/bin/{program} is not built; run 'make bench'")
    if not shutil.which("dbus-daemon"):
        sys.exit("bench: dbus-daemon is not installed; run 'make bench'")
    os.makedirs(os.path.join(args.build, "bench"), exist_ok=True)

    q = args.quick
    plan = {
        "start_up_rounds": 2 if q else 15,
        "memory_runs": 1 if q else 3,
        "memory_swipes": 1000 if q else 10000,
        "latency_swipes": 50 if q else 1000,
        "msrswipe_alone_runs": 20 if q else 200,
        "round_trip_swipes": 200 if q else 2000,
        "throughput_runs": 1 if q else 3,
        "throughput_swipes": 500 if q else 5000,
        "codec_repetitions": 2 if q else 5,
        "data_event_runs": 1 if q else 2,
        "data_event_swipes": 100 if q else 300,
        "replug_udev_rounds": 5 if q else 50,
        "replug_poll_rounds": 3 if q else 20,
    }

    bench = Bench(args.build, q)
    results = {"plan": plan, "ok": False, "cpus": os.cpu_count(),
               "load_average_before": os.getloadavg()}
    began = time.monotonic()
    try:
        bench.start_xvfb()
        bench.start_session_bus()
        print("bench: start-up, three programs in turn, without and with a session bus ...",
              flush=True)
        start_up = bench.start_up(plan["start_up_rounds"])
        print("bench: memory after swipes ...", flush=True)
        after10, after_all = bench.memory(plan["memory_runs"], plan["memory_swipes"])
        print("bench: swipe round trip and latency ...", flush=True)
        round_trips = {env: bench.round_trip(bench.envs[env], plan["round_trip_swipes"])
                       for env in bench.envs}
        latency = bench.latency(plan["latency_swipes"])
        alone = bench.msrswipe_alone(plan["msrswipe_alone_runs"])
        print("bench: sustained swipes ...", flush=True)
        rates = bench.throughput(plan["throughput_runs"], plan["throughput_swipes"])
        print("bench: last byte to DataEvent, serial on a pty and virtual ...", flush=True)
        data_event = bench.data_event_latency(plan["data_event_runs"],
                                              plan["data_event_swipes"])
        print("bench: codec and parsers ...", flush=True)
        codec, codec_context = bench.codec(plan["codec_repetitions"])
        print("bench: a reader's return to reading again, udev and fallback poll ...", flush=True)
        replugs = {"udev": replug(args.build, "udev", plan["replug_udev_rounds"]),
                   "poll": replug(args.build, "poll", plan["replug_poll_rounds"])}
    except BenchError as error:
        results["failure"] = str(error)
        write(args.build, results)
        print(f"\nbench: FAILED: {error}", file=sys.stderr)
        print(f"bench: the programs' output is in {args.build}/bench/programs.log",
              file=sys.stderr)
        sys.exit(1)
    finally:
        bench.stop_all()
    results["load_average_after"] = os.getloadavg()

    ms = 1000.0
    n_mem = plan["memory_swipes"]
    figures = {}
    for env, by_kind in start_up.items():
        figures[env] = {"swipes": n_mem}
        for kind, samples in by_kind.items():
            figures[env][kind] = {
                "frame_ms": median([s["frame"] for s in samples]) * ms,
                "rss_kib": median([s["rss"] for s in samples]),
                "samples": samples,
            }
        ours = figures[env][SWIPEWATCH]
        ours["ready_ms"] = median([s["ready"] for s in by_kind[SWIPEWATCH]]) * ms
        ours["after10_kib"] = median(after10[env])
        ours["after_all_kib"] = median(after_all[env])
        ours["samples_after_10"] = after10[env]
        ours[f"samples_after_{n_mem}"] = after_all[env]

    lat_med, lat_p99 = median(latency) * ms, percentile(latency, 99) * ms
    alone_ms = median(alone) * ms
    rate = median(rates)
    growth = {env: [b - a for a, b in zip(after10[env], after_all[env])] for env in bench.envs}
    tracks_needed = 3 * rate

    rows = []
    for env, times in round_trips.items():
        rt_med, rt_p99 = median(times) / 1000, percentile(times, 99) / 1000
        rows.append((f"swipe round trip inside the window, median of {len(times)} ({env})",
                     f"{rt_med:.2f} ms", f"{TARGET_ROUND_TRIP_MS} ms target",
                     f"x{rt_med / TARGET_ROUND_TRIP_MS:.2f}"))
        rows.append((f"swipe round trip inside the window, p99 of {len(times)} ({env})",
                     f"{rt_p99:.2f} ms", "", ""))
    rows += [
        (f"msrswipe --wait latency, median of {len(latency)}", f"{lat_med:.1f} ms",
         f"{alone_ms:.1f} ms msrswipe --help", f"{lat_med - alone_ms:+.1f} ms"),
        (f"msrswipe --wait latency, p99 of {len(latency)}", f"{lat_p99:.1f} ms",
         f"{alone_ms:.1f} ms msrswipe --help", f"{lat_p99 - alone_ms:+.1f} ms"),
        (f"sustained swipes/s into the window ({plan['throughput_swipes']}, counts checked)",
         f"{rate:.0f} /s", f"{1000.0 / lat_med:.1f} /s one msrswipe at a time",
         f"x{rate / (1000.0 / lat_med):.0f}"),
    ]
    for env in bench.envs:
        g = growth[env]
        rows.append((f"peak RSS growth from 10 to {n_mem} swipes ({env})",
                     f"{median(g):+.0f} KiB", "0 KiB",
                     f"runs: {', '.join(f'{x:+d}' for x in g)}"))
    for key in ("track 1 forward", "track 1 reversed", "track 2 forward", "track 2 reversed",
                "track 3 forward", "track 3 reversed"):
        rows.append((f"codec: {key}, full length, one core", f"{codec[key] / 1e6:.2f} M/s",
                     f"{tracks_needed:.0f} tracks/s the window takes",
                     f"x{codec[key] / tracks_needed:,.0f}"))

    de = {kind: (median(t) / 1000, percentile(t, 99) / 1000) for kind, t in data_event.items()}
    for i, what in enumerate(("median", "p99")):
        rows.append((f"last byte to DataEvent, serial reader on a pty, {what} of "
                     f"{len(data_event['serial'])}", f"{de['serial'][i]:.3f} ms",
                     f"{de['virtual'][i]:.3f} ms virtual reader, same swipe",
                     f"{de['serial'][i] - de['virtual'][i]:+.3f} ms"))
    for key, name in (("textSwipe", "text parser: 3-track swipe through the assembler"),
                      ("hidReport", "HID decoder: 337-byte vendor report")):
        rows.append((f"{name}, one core", f"{codec[key] / 1e6:.2f} M/s",
                     f"{TARGET_PARSE_PER_S / 1e6:.0f} M/s target",
                     f"x{codec[key] / TARGET_PARSE_PER_S:.2f}"))

    # A poll finds a reader back at a random instant of its period: half of it on average.
    old_poll = OLD_POLL_MS / 2
    for mode, name in (("udev", "udev announces it (uevent on the test bed)"),
                       ("poll", "no udev: the 1000 ms fallback poll")):
        t = replugs[mode]
        rows.append((f"reader back to read again, {name}, median of {len(t)}",
                     f"{median(t):.1f} ms", f"{old_poll:.0f} ms the old {OLD_POLL_MS} ms poll",
                     f"x{median(t) / old_poll:.3f}"))
        rows.append((f"reader back to read again, {name}, max of {len(t)}",
                     f"{max(t):.1f} ms", f"{OLD_POLL_MS} ms the old poll at worst",
                     f"x{max(t) / OLD_POLL_MS:.3f}"))

    targets = []
    for env, f in figures.items():
        frame = f[SWIPEWATCH]["frame_ms"] / f[LABEL]["frame_ms"]
        memory = f[SWIPEWATCH]["after_all_kib"] / f[LABEL]["rss_kib"]
        targets.append(f"first frame x{frame:.2f} the window + label, target "
                       f"x{TARGET_FRAME}: {'met' if frame <= TARGET_FRAME else 'MISSED'} ({env})")
        targets.append(f"peak RSS after {n_mem} swipes x{memory:.2f} the window + label, "
                       f"target x{TARGET_MEMORY}: "
                       f"{'met' if memory <= TARGET_MEMORY else 'MISSED'} ({env})")
    for env, times in round_trips.items():
        rt = median(times) / 1000
        targets.append(f"swipe round trip median {rt:.2f} ms, target under "
                       f"{TARGET_ROUND_TRIP_MS} ms: "
                       f"{'met' if rt < TARGET_ROUND_TRIP_MS else 'MISSED'} ({env})")

    for key, name in (("textSwipe", "text swipes parsed"), ("hidReport", "HID reports decoded")):
        parsed = codec[key]
        targets.append(f"{name} {parsed / 1e6:.2f} M/s on one core, target "
                       f"{TARGET_PARSE_PER_S / 1e6:.0f} M/s: "
                       f"{'met' if parsed >= TARGET_PARSE_PER_S else 'MISSED'}")
    over = de["serial"][0] - de["virtual"][0]
    targets.append(f"serial reader on a pty, last byte to DataEvent median {de['serial'][0]:.3f} ms, "
                   f"{over:+.3f} ms over the virtual reader's, target within "
                   f"{TARGET_SERIAL_OVER_VIRTUAL_MS:.0f} ms: "
                   f"{'met' if over <= TARGET_SERIAL_OVER_VIRTUAL_MS else 'MISSED'}")

    startup_table = start_up_rows(figures)
    results.update({
        "ok": True,
        "seconds": round(time.monotonic() - began, 1),
        "start_up": figures,
        "swipe_round_trip_us": {env: {"median": median(t), "p99": percentile(t, 99),
                                      "samples": t} for env, t in round_trips.items()},
        "swipe_latency_ms": {"median": lat_med, "p99": lat_p99, "swipes": len(latency),
                             "msrswipe_alone_median": alone_ms,
                             "samples": [x * ms for x in latency]},
        "sustained_swipes_per_second": {"median": rate, "runs": rates,
                                        "swipes_per_run": plan["throughput_swipes"],
                                        "counts_checked": True},
        "peak_rss_growth_kib": growth,
        "codec_tracks_per_second": {k: v for k, v in codec.items() if k.startswith("track")},
        "parse_per_second": {"text_swipes": codec["textSwipe"], "hid_reports": codec["hidReport"]},
        "last_byte_to_data_event_us": {kind: {"median": median(t), "p99": percentile(t, 99),
                                              "samples": t} for kind, t in data_event.items()},
        "codec_reference_tracks_per_second": tracks_needed,
        "reader_back_to_read_ms": {mode: {"median": median(t), "max": max(t), "samples": t}
                                   for mode, t in replugs.items()},
        "old_poll_ms": OLD_POLL_MS,
        "codec_context": codec_context,
        "targets": targets,
        "start_up_table": [dict(zip(("figure", "bus", SWIPEWATCH, BARE, LABEL, "vs bare",
                                     "vs label"), r)) for r in startup_table],
        "table": [dict(zip(("figure", "measured", "reference", "versus"), r)) for r in rows],
    })
    path = write(args.build, results)
    print()
    print(format_table(("start-up figure", "bus", SWIPEWATCH, BARE, LABEL,
                        "vs bare", "vs label"), startup_table))
    print()
    print(format_table(("figure", "measured", "reference", "measured vs reference"), rows))
    print()
    for line in targets:
        print(f"target: {line}")
    load_before = results["load_average_before"]
    load_after = results["load_average_after"]
    print(f"\nbench: {results['seconds']:.0f} s on {results['cpus']} CPUs, load average "
          f"{load_before[0]:.1f} before and {load_after[0]:.1f} after; "
          f"every sample is in {path}")


def replug(build, mode, rounds):
    """replugbench's milliseconds from a reader's return to reading it again."""
    command = [os.path.join(build, "bin", "replugbench"), mode, str(rounds)]
    if mode == "udev":
        command.insert(0, "umockdev-wrapper")
    env = dict(os.environ, XDG_RUNTIME_DIR=tempfile.mkdtemp(prefix="replugbench-"))
    done = subprocess.run(command, capture_output=True, text=True, env=env,
                          timeout=PATIENCE + rounds * 12)
    if done.returncode != 0:
        raise BenchError(f"replugbench {mode}: {done.stderr.strip()[-300:]}")
    samples = json.loads(done.stdout)["ms"]
    if len(samples) != rounds:
        raise BenchError(f"replugbench {mode}: {len(samples)} rounds of {rounds}")
    return samples


def write(build, results):
    path = os.path.join(build, "bench", "results.json")
    with open(path, "w") as out:
        json.dump(results, out, indent=2)
        out.write("\n")
    return path


if __name__ == "__main__":
    main()
