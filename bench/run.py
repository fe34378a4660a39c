#!/usr/bin/env python3
"""swipewatch's benchmark: every figure next to its reference, in one run.

Runs on a private X server and runtime folder, so a window elsewhere is not
in the way. Each figure is the median of several runs, since the machines it
runs on are shared. Prints a table and writes every sample to
$BUILD/bench/results.json. Exits 1 when a check fails: a swipe refused, a
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
        self.env = None
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
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SWIPEWATCH_DEVICES"):
            env.pop(name, None)
        env["DISPLAY"] = ":" + number
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["QT_FORCE_STDERR_LOGGING"] = "1"
        self.env = env

    def spawn(self, program, args=(), stdout=None):
        process = subprocess.Popen([os.path.join(self.bin, program), *args], env=self.env,
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
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait()
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

    def msrswipe(self, *args):
        result = subprocess.run([os.path.join(self.bin, "msrswipe"), *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise BenchError(f"msrswipe {' '.join(args)} ended with status "
                             f"{result.returncode}: {result.stderr.strip()}")

    # ---- figures ----------------------------------------------------------

    def time_to_ready(self, runs):
        """swipewatch from exec until its reader accepts a swipe, and the bare
        window from exec until its first paint, taken in turn. The first of
        each is a warm-up (font caches, page cache) and is not counted."""
        ready, frame, bare_rss = [], [], []
        for run in range(runs + 1):
            started = time.perf_counter()
            window = self.spawn("swipewatch")
            seconds = self.wait_ready(window, started=started)
            self.close_window(window, "swipewatch")

            started = time.perf_counter()
            bare = self.spawn("barewindow", stdout=subprocess.PIPE)
            marker = bare.stdout.readline()
            shown = time.perf_counter() - started
            if marker.strip() != b"first-frame":
                raise BenchError("the bare window ended without painting")
            # Its memory once settled, as swipewatch's is read after swipes.
            time.sleep(0.3)
            rss = peak_rss_kib(bare.pid)
            bare.kill()
            bare.wait()
            bare.stdout.close()
            if run > 0:
                ready.append(seconds)
                frame.append(shown)
                bare_rss.append(rss)
        return ready, frame, bare_rss

    def memory_and_latency(self, runs, swipes, latency_swipes):
        """Peak RSS of swipewatch after 10 and after `swipes` swipes, and on
        the last window, the whole-process latency of msrswipe --wait."""
        after10, after_all = [], []
        latency = []
        for run in range(runs):
            window = self.spawn("swipewatch")
            self.wait_ready(window)  # that was swipe 1
            self.msrswipe("--card", "test", "--wait", "--repeat", "9")
            after10.append(peak_rss_kib(window.pid))
            self.msrswipe("--card", "test", "--wait", "--repeat", str(swipes - 10))
            after_all.append(peak_rss_kib(window.pid))
            if run == runs - 1:
                for _ in range(latency_swipes):
                    started = time.perf_counter()
                    self.msrswipe("--card", "test", "--wait")
                    latency.append(time.perf_counter() - started)
            self.close_window(window, "swipewatch")
        return after10, after_all, latency

    def msrswipe_alone(self, runs):
        """The reference for the latency: msrswipe starting, parsing its
        options and ending, with no swipe."""
        times = []
        for _ in range(runs):
            started = time.perf_counter()
            subprocess.run([os.path.join(self.bin, "msrswipe"), "--help"], env=self.env,
                           stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - started)
        return times

    def throughput(self, runs, swipes):
        """Swipes a second into the real window and control, pipelined over one
        connection with wait:true, so each answer comes once the window has
        handled the swipe. The host prints the InputCount caption on SIGTERM;
        it must equal every swipe delivered, and none may be refused."""
        rates = []
        for _ in range(runs):
            host = self.spawn("swipehost", stdout=subprocess.PIPE)
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

            host.send_signal(signal.SIGTERM)
            try:
                printed, _ = host.communicate(timeout=PATIENCE)
            except subprocess.TimeoutExpired:
                host.kill()
                host.communicate()
                raise BenchError("the swipe host did not end after SIGTERM")
            if host.returncode != 0:
                raise BenchError(f"the swipe host ended with status {host.returncode}")
            fields = dict(part.split("=", 1) for part in printed.decode().split())
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
            # run_name is "decodeFullTrack/track:1/reversed:0".
            parts = dict(p.split(":") for p in case["run_name"].split("/")[1:])
            key = f"track {parts['track']} " + (
                "reversed" if parts["reversed"] == "1" else "forward")
            rates[key] = case["items_per_second"]
        if len(rates) != 6:
            raise BenchError(f"codec_bench reported {sorted(rates)}, not six cases")
        return rates, report.get("context", {})


def format_table(rows):
    headers = ("figure", "measured", "reference", "measured vs reference")
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(4)]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(h.ljust(w) for h, w in zip(headers, widths)), line]
    for row in rows:
        out.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("BUILD", "build"))
    parser.add_argument("--quick", action="store_true",
                        help="fewer runs and swipes, to try the script itself")
    args = parser.parse_args()

    for program in ("swipewatch", "msrswipe", "barewindow", "swipehost", "codec_bench"):
        if not os.access(os.path.join(args.build, "bin", program), os.X_OK):
            sys.exit(f"bench: {args.build}/bin/{program} is not built; run 'make bench'")
    os.makedirs(os.path.join(args.build, "bench"), exist_ok=True)

    q = args.quick
    plan = {
        "ready_runs": 2 if q else 9,
        "memory_runs": 1 if q else 3,
        "memory_swipes": 1000 if q else 10000,
        "latency_swipes": 50 if q else 1000,
        "msrswipe_alone_runs": 20 if q else 200,
        "throughput_runs": 1 if q else 3,
        "throughput_swipes": 500 if q else 5000,
        "codec_repetitions": 2 if q else 5,
    }

    bench = Bench(args.build, q)
    results = {"plan": plan, "ok": False}
    began = time.monotonic()
    try:
        bench.start_xvfb()
        print("bench: time to ready ...", flush=True)
        ready, frame, bare_rss = bench.time_to_ready(plan["ready_runs"])
        print("bench: memory and swipe latency ...", flush=True)
        after10, after_all, latency = bench.memory_and_latency(
            plan["memory_runs"], plan["memory_swipes"], plan["latency_swipes"])
        alone = bench.msrswipe_alone(plan["msrswipe_alone_runs"])
        print("bench: sustained swipes ...", flush=True)
        rates = bench.throughput(plan["throughput_runs"], plan["throughput_swipes"])
        print("bench: codec ...", flush=True)
        codec, codec_context = bench.codec(plan["codec_repetitions"])
    except BenchError as error:
        results["failure"] = str(error)
        write(args.build, results)
        print(f"\nbench: FAILED: {error}", file=sys.stderr)
        print(f"bench: the programs' output is in {args.build}/bench/programs.log",
              file=sys.stderr)
        sys.exit(1)
    finally:
        bench.stop_all()

    ms = 1000.0
    ready_ms, frame_ms = median(ready) * ms, median(frame) * ms
    lat_med, lat_p99 = median(latency) * ms, percentile(latency, 99) * ms
    alone_ms = median(alone) * ms
    rate = median(rates)
    rss10, rss_all = median(after10), median(after_all)
    growth = [b - a for a, b in zip(after10, after_all)]
    bare = median(bare_rss)
    tracks_needed = 3 * rate
    n_mem = plan["memory_swipes"]

    rows = [
        ("time to ready (exec to swipe accepted)", f"{ready_ms:.0f} ms",
         f"{frame_ms:.0f} ms bare window first frame", f"x{ready_ms / frame_ms:.2f}"),
        (f"msrswipe --wait latency, median of {len(latency)}", f"{lat_med:.1f} ms",
         f"{alone_ms:.1f} ms msrswipe --help", f"{lat_med - alone_ms:+.1f} ms"),
        (f"msrswipe --wait latency, p99 of {len(latency)}", f"{lat_p99:.1f} ms",
         f"{alone_ms:.1f} ms msrswipe --help", f"{lat_p99 - alone_ms:+.1f} ms"),
        (f"sustained swipes/s into the window ({plan['throughput_swipes']}, counts checked)",
         f"{rate:.0f} /s", f"{1000.0 / lat_med:.1f} /s one msrswipe at a time",
         f"x{rate / (1000.0 / lat_med):.0f}"),
        ("peak RSS after 10 swipes", f"{rss10 / 1024:.1f} MiB",
         f"{bare / 1024:.1f} MiB bare window", f"{(rss10 - bare) / 1024:+.1f} MiB"),
        (f"peak RSS after {n_mem} swipes", f"{rss_all / 1024:.1f} MiB",
         f"{rss10 / 1024:.1f} MiB after 10 swipes",
         f"{median(growth):+.0f} KiB (runs: {', '.join(f'{g:+d}' for g in growth)})"),
    ]
    for key in ("track 1 forward", "track 1 reversed", "track 2 forward", "track 2 reversed",
                "track 3 forward", "track 3 reversed"):
        rows.append((f"codec: {key}, full length, one core", f"{codec[key] / 1e6:.2f} M/s",
                     f"{tracks_needed:.0f} tracks/s the window takes",
                     f"x{codec[key] / tracks_needed:,.0f}"))

    results.update({
        "ok": True,
        "seconds": round(time.monotonic() - began, 1),
        "time_to_ready_ms": {"swipewatch": ready_ms, "bare_window_first_frame": frame_ms,
                             "ratio": ready_ms / frame_ms,
                             "samples_swipewatch": [x * ms for x in ready],
                             "samples_bare_window": [x * ms for x in frame]},
        "swipe_latency_ms": {"median": lat_med, "p99": lat_p99, "swipes": len(latency),
                             "msrswipe_alone_median": alone_ms,
                             "samples": [x * ms for x in latency]},
        "sustained_swipes_per_second": {"median": rate, "runs": rates,
                                        "swipes_per_run": plan["throughput_swipes"],
                                        "counts_checked": True},
        "peak_rss_kib": {"after_10": rss10, f"after_{n_mem}": rss_all,
                         "growth_runs": growth, "growth_median": median(growth),
                         "bare_window": bare, "samples_after_10": after10,
                         f"samples_after_{n_mem}": after_all, "samples_bare_window": bare_rss},
        "codec_tracks_per_second": codec,
        "codec_reference_tracks_per_second": tracks_needed,
        "codec_context": codec_context,
        "table": [dict(zip(("figure", "measured", "reference", "versus"), r)) for r in rows],
    })
    path = write(args.build, results)
    print()
    print(format_table(rows))
    print(f"\nbench: {results['seconds']:.0f} s; every sample is in {path}")


def write(build, results):
    path = os.path.join(build, "bench", "results.json")
    with open(path, "w") as out:
        json.dump(results, out, indent=2)
        out.write("\n")
    return path


if __name__ == "__main__":
    main()
