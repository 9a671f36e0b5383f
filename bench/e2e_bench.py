#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cost of quellor and dorvane beside the least a sender and a receiver can do.

In one run, on the same input, for ROUNDS rounds (medians reported, each figure also as a
ratio to the bare loop of the same round):

  unpaced    PACKETS datagrams of 1024 bytes, file -> UDP 127.0.0.1 -> file: datagrams per
             second sent and received, loss, CPU microseconds per datagram on each side; the
             bare loop (read, prepend a 28-byte header, sendto / recvfrom, check the sender,
             write) against quellor -> dorvane with the file backends, and whether what
             dorvane wrote is the input, byte for byte.
  batches    datagrams of 1052 bytes at 188, 3,000 and 38,400 a second for BATCH_SECONDS,
             sent one at a time (spaced evenly) and in the bursts of a sender whose capture
             delivers 1.33 ms at a time (one segmented send each, as quellor sends them), to
             the bare receiver and to dorvane -b file -d /dev/null, side by side (each fed by
             a sender of its own at the same time) up to 3,000 a second: CPU per datagram and
             per second, what dorvane counted lost or reordered, and the latency from a
             burst's send to its last byte out of the receiver (into a FIFO).
  real time  SECONDS of 44.1 kHz stereo 16-bit audio fed through a named pipe by a pacer on
             absolute deadlines: CPU seconds per minute of audio and CPU per datagram, for the
             bare loop, quellor -> dorvane, and GStreamer (rtpL16pay/udpsink ->
             udpsrc/rtpL16depay, 1024 bytes of audio a datagram like the others).
  high rate  64 channels of 32F at 192 kHz (5 frames, 1280 bytes a datagram, 38,400 a
             second) paced for HIGH_SECONDS: loss and the share of a core each program uses.
  jack       dorvane -b jack into a dummy-driver jackd fed in real time: CPU per minute of
             audio (jackd's own apart), and at each quality setting the time from a
             datagram's arrival to its samples leaving the ring buffer.

Usage: bench/e2e_bench.py [--docs]  (--docs rewrites docs/performance-results.md, the plot
       docs/performance.png and the raw rounds docs/performance-rounds.json)
       bench/e2e_bench.py --report   (the report and the plot again, from the saved rounds)
Environment: ROUNDS (3), PACKETS (200000), SECONDS (20), HIGH_SECONDS (10), BATCH_SECONDS (8),
             BUILD (build).
Needs: python3, gstreamer1.0-tools, -plugins-base, -plugins-good, jackd2, gnuplot-nox
       (scripts/install-deps --bench installs them).
"""

import filecmp
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
ROUNDS = int(os.environ.get("ROUNDS", "3"))
PACKETS = int(os.environ.get("PACKETS", "200000"))
SECONDS = float(os.environ.get("SECONDS", "20"))
HIGH_SECONDS = float(os.environ.get("HIGH_SECONDS", "10"))
BATCH_SECONDS = float(os.environ.get("BATCH_SECONDS", "8"))
# The datagram rates of the batches, and the bursts of a capture that delivers 256 frames at
# 192 kHz (1.33 ms) at a time: 188 a second (stereo at 48 kHz) come one at a time anyway.
BATCH_RATES = (188, 3000, 38400)
BATCH_PERIOD_S = 256 / 192000
FIFO = "/tmp/vban_0"  # the pipe backend's fixed path

QUELLOR = os.path.join(BUILD, "programs/quellor/quellor")
DORVANE = os.path.join(BUILD, "programs/dorvane/dorvane")
BARE = os.path.join(BUILD, "bench/bare_loop")
PACE = os.path.join(BUILD, "tools/pace")
SINE = os.path.join(BUILD, "tools/sine")
JACK_PROBE = os.path.join(BUILD, "bench/jack_latency")

GST_SEND = ("gst-launch-1.0 -q fdsrc fd=0 blocksize=1024 ! rawaudioparse use-sink-caps=false "
            "format=pcm pcm-format=s16le sample-rate=44100 num-channels=2 ! audioconvert ! "
            "audio/x-raw,format=S16BE ! rtpL16pay mtu=1036 ! udpsink host=127.0.0.1 port={port} "
            "sync=false")
GST_RECV = ("gst-launch-1.0 -q udpsrc port={port} caps=application/x-rtp,media=audio,"
            "clock-rate=44100,encoding-name=L16,channels=2,payload=96 ! rtpL16depay ! "
            "audioconvert ! audio/x-raw,format=S16LE ! filesink location={out}")


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    targets = ["quellor", "dorvane", "bare_loop", "pace", "sine"]
    # The JACK probe is built only with the JACK backend (VBAN_WITH_JACK).
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        if "VBAN_WITH_JACK:BOOL=ON" in cache.read():
            targets.append("jack_latency")
    subprocess.run(["cmake", "--build", BUILD, "--target"] + targets, check=True,
                   stdout=subprocess.DEVNULL)


# At real time most of a datagram's cost is waking up: a sender and a receiver on different
# cores of a virtual machine pay for waking an idle core too, and that varies tenfold from run
# to run. The real-time runs therefore keep every process of a pipeline on one core, as on a
# small receiver box.
PINNED = None


class Process:
    """A started program whose CPU time is read when it ends (wait4's resource usage)."""

    def __init__(self, args, stdin=None, stdout=subprocess.DEVNULL, env=None):
        pin = (lambda: os.sched_setaffinity(0, PINNED)) if PINNED else None
        self.popen = subprocess.Popen(args, stdin=stdin, stdout=stdout,
                                      stderr=subprocess.DEVNULL, env=env, preexec_fn=pin)
        self.cpu = None

    def wait(self, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.cpu is None:
            pid, _, usage = os.wait4(self.popen.pid, os.WNOHANG)
            if pid == self.popen.pid:
                self.cpu = usage.ru_utime + usage.ru_stime
                self.popen.returncode = 0
                break
            if deadline is not None and time.monotonic() > deadline:
                raise TimeoutError(" ".join(self.popen.args))
            time.sleep(0.005)
        return self.cpu

    def stop(self):
        if self.cpu is None:
            self.popen.send_signal(signal.SIGTERM)
        return self.wait(10)


def free_port():
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def wait_bound(port, timeout=5):
    wanted = ":%04X " % port
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/udp") as table:
            if any(wanted in line for line in table):
                return
        time.sleep(0.01)
    raise TimeoutError("nothing bound port %d" % port)


def wait_quiet(path, expected=None, timeout=30):
    """Until the file holds `expected` bytes, or stops growing for 300 ms."""
    last, deadline = -1, time.monotonic() + timeout
    while time.monotonic() < deadline:
        size = os.path.getsize(path) if os.path.exists(path) else 0
        if expected is not None and size >= expected:
            return size
        if size == last and expected is None:
            return size
        last = size
        time.sleep(0.3 if expected is None else 0.05)
    return os.path.getsize(path) if os.path.exists(path) else 0


def wait_fifo(path, timeout=5):
    import stat
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if stat.S_ISFIFO(os.stat(path).st_mode):
                return
        except FileNotFoundError:
            pass
        time.sleep(0.002)
    raise TimeoutError("no FIFO at " + path)


def receiver(kind, port, out):
    if kind == "bare":
        return Process([BARE, "recv", "127.0.0.1", str(port), out])
    if kind == "vban":
        return Process([DORVANE, "-i", "127.0.0.1", "-p", str(port), "-s", "Bench", "-b", "file",
                        "-d", out])
    return Process(GST_RECV.format(port=port, out=out).split())


def unpaced(kind, work, data):
    port, out = free_port(), os.path.join(work, "out.raw")
    if os.path.exists(out):
        os.unlink(out)
    rx = receiver(kind, port, out)
    wait_bound(port)
    start = time.monotonic()
    if kind == "bare":
        tx = Process([BARE, "send", data, "127.0.0.1", str(port)])
    else:
        tx = Process([QUELLOR, "-i", "127.0.0.1", "-p", str(port), "-s", "Bench", "-b", "file",
                      "-d", data])
    send_cpu = tx.wait(120)
    elapsed = time.monotonic() - start
    received = wait_quiet(out) // 1024
    recv_cpu = rx.stop()
    exact = kind == "bare" or filecmp.cmp(out, data, shallow=False)
    return {"rate": PACKETS / elapsed, "received": received, "exact": exact,
            "loss": 1 - received / PACKETS,
            "send_us": send_cpu * 1e6 / PACKETS,
            "recv_us": recv_cpu * 1e6 / max(received, 1)}


def real_time(kind, work, data, seconds, bytes_per_second, chunk, extra=(), pinned=True):
    """Feeds `data` through a named pipe at the audio rate; CPU per minute of audio."""
    global PINNED
    PINNED = {os.cpu_count() - 1} if pinned else None
    try:
        return feed(kind, work, data, seconds, bytes_per_second, chunk, extra)
    finally:
        PINNED = None


def feed(kind, work, data, seconds, bytes_per_second, chunk, extra):
    port, out = free_port(), os.path.join(work, "out.raw")
    # dorvane opens its output at the first packet: truncating the previous run's file there
    # (hundreds of megabytes at the high rate) would stall it for longer than its receive
    # buffer lasts.
    if os.path.exists(out):
        os.unlink(out)
    rx = receiver(kind, port, out)
    wait_bound(port)
    if kind == "vban":
        if os.path.exists(FIFO):
            os.unlink(FIFO)
        tx = Process([QUELLOR, "-i", "127.0.0.1", "-p", str(port), "-s", "Bench", "-b", "pipe"]
                     + list(extra))
        wait_fifo(FIFO)
        fifo = FIFO
    else:
        fifo = os.path.join(work, "feed")
        os.mkfifo(fifo)
    if kind == "bare":
        tx = Process([BARE, "send", fifo, "127.0.0.1", str(port), str(chunk)])
    elif kind == "gst":
        # Opened here without waiting for the writer, then handed over as standard input.
        import fcntl
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        fcntl.fcntl(reader, fcntl.F_SETFL, 0)
    writer = open(fifo, "wb")
    if kind == "gst":
        tx = Process(GST_SEND.format(port=port).split(), stdin=reader)
        os.close(reader)
    with open(data, "rb") as source:
        pin = (lambda: os.sched_setaffinity(0, PINNED)) if PINNED else None
        pacer = subprocess.Popen([PACE, str(bytes_per_second), str(chunk)], stdin=source,
                                 stdout=writer, preexec_fn=pin)
    writer.close()
    pacer.wait()
    send_cpu = tx.wait(30)
    size = os.path.getsize(data)
    received = wait_quiet(out, expected=size if kind != "gst" else None, timeout=10)
    recv_cpu = rx.stop()
    if fifo != FIFO:
        os.unlink(fifo)
    datagrams = size // chunk
    return {"send_min": send_cpu * 60 / seconds, "recv_min": recv_cpu * 60 / seconds,
            "send_us": send_cpu * 1e6 / datagrams, "recv_us": recv_cpu * 1e6 / datagrams,
            "send_core": send_cpu / seconds, "recv_core": recv_cpu / seconds,
            "loss": 1 - received / size}


def batch_receiver(kind, port, out, log):
    if kind == "bare":
        return Process([BARE, "recv", "127.0.0.1", str(port), out])
    backend = "pipe" if out != os.devnull else "file"
    return Process([DORVANE, "-i", "127.0.0.1", "-p", str(port), "-s", "S", "-b", backend,
                    "-d", out, "-l", "3"], stdout=log)


def batch_run(kinds, work, data, rate, burst):
    """CPU of receivers of `rate` datagrams a second, sent `burst` at a time: {kind: figures}.

    Receivers named together are fed at the same time, each by a sender of its own, so that
    both meet the same machine: on a virtual machine the cost of a wake-up drifts by a factor
    of two or three from one second to the next, and only a side-by-side ratio resolves a few
    per cent. The order of their starts alternates between rounds."""
    count = int(rate * BATCH_SECONDS) // burst * burst
    ports, receivers, logs = [], [], []
    for kind in kinds:
        ports.append(free_port())
        while ports[-1] in ports[:-1]:
            ports[-1] = free_port()
        logs.append(open(os.path.join(work, "dorvane-%d.log" % len(logs)), "w+"))
        receivers.append(batch_receiver(kind, ports[-1], os.devnull, logs[-1]))
        wait_bound(ports[-1])
    # Their CPU while the datagrams come, without their start, their first datagram (which
    # opens the output) and their end.
    for port in ports:
        subprocess.run([BARE, "pace", data, "127.0.0.1", str(port), str(rate), "1", "1"],
                       check=True)
    time.sleep(0.3)
    before = [run_ns(rx.popen.pid) for rx in receivers]
    senders = [subprocess.Popen([BARE, "pace", data, "127.0.0.1", str(port), str(rate),
                                 str(burst), str(count)]) for port in ports]
    for sender in senders:
        if sender.wait() != 0:
            raise RuntimeError("pace failed")
    time.sleep(0.2)
    results = {}
    for kind, rx, start, log in zip(kinds, receivers, before, logs):
        cpu = (run_ns(rx.popen.pid) - start) * 1e-9
        rx.stop()
        log.seek(0)
        counts = log.read().rsplit("stats: ", 1)[-1]
        log.close()
        result = {"us": cpu * 1e6 / count, "core": cpu * rate / count}
        if kind == "vban":
            fields = dict(item.split(" ", 1) for item in counts.split(", ")[:4])
            result.update({name: int(fields.get(name, "-1").split()[0])
                           for name in ("received", "lost", "reordered")})
            result["count"] = count + 1  # with the first
        results[kind] = result
    return results


def batch_latency(kind, work, data, rate, burst):
    """From a burst's send to its last byte out of the receiver, in a FIFO: median and max."""
    port, fifo = free_port(), os.path.join(work, "latency.fifo")
    os.mkfifo(fifo)
    try:
        with open(os.devnull, "w") as log:
            rx = batch_receiver(kind, port, fifo, log)
            if kind != "bare":  # the bare receiver binds once the FIFO has its reader
                wait_bound(port)
            count = max(int(rate * 3) // burst * burst, burst)
            probe = subprocess.run([BARE, "pace", data, "127.0.0.1", str(port), str(rate),
                                    str(burst), str(count), fifo], capture_output=True,
                                   text=True, timeout=60)
            rx.stop()
        fields = dict(item.split("=") for item in probe.stdout.split())
        return {"median_us": float(fields.get("latency_us", "nan")),
                "max_us": float(fields.get("max_us", "nan"))}
    finally:
        os.unlink(fifo)


def run_ns(pid):
    """The CPU time a single-threaded process has had so far, in nanoseconds."""
    with open("/proc/%d/schedstat" % pid) as stat:
        return int(stat.read().split()[0])


def batch_shapes(rate):
    """(name, datagrams a send) for the bursts at `rate`: spaced, and a capture's periods."""
    period = max(1, round(rate * BATCH_PERIOD_S))
    return [("spaced", 1)] + ([("bursts", period)] if period > 1 else [])


def jack_run(work, data):
    """dorvane -b jack into a dummy jackd: CPU per minute, and latency per quality."""
    if not os.path.exists(JACK_PROBE) or shutil.which("jackd") is None:
        return None
    server = "bench%d" % os.getpid()
    env = dict(os.environ, JACK_DEFAULT_SERVER=server, JACK_NO_AUDIO_RESERVATION="1")
    jackd = subprocess.Popen(["jackd", "-r", "-n", server, "-d", "dummy", "-r", "48000",
                              "-p", "256"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        result = {}
        # The probe plays a stream into dorvane at the audio rate, measures the latency of a
        # click, and reports it with the CPU dorvane and jackd used for SECONDS of audio.
        for quality in range(5):
            port = free_port()
            rx = Process([DORVANE, "-i", "127.0.0.1", "-p", str(port), "-s", "Bench", "-b",
                          "jack", "-d", "vban%d" % quality, "-q", str(quality)], env=env)
            wait_bound(port)
            before = jack_cpu(jackd.pid)
            seconds = SECONDS if quality == 1 else 3
            probe = subprocess.run([JACK_PROBE, str(port), "vban%d" % quality, str(seconds)],
                                   env=env, capture_output=True, text=True, timeout=120)
            jackd_cpu = jack_cpu(jackd.pid) - before
            dorvane_cpu = rx.stop()
            fields = dict(item.split("=") for item in probe.stdout.split())
            result["latency_ms_q%d" % quality] = float(fields.get("latency_ms", "nan"))
            if quality == 1:
                result["dorvane_min"] = dorvane_cpu * 60 / seconds
                result["jackd_min"] = jackd_cpu * 60 / seconds
        return result
    finally:
        jackd.terminate()
        jackd.wait()


def jack_cpu(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def main():
    if "--report" in sys.argv:  # again from the rounds of the last --docs run
        with open(os.path.join(ROOT, "docs", "performance-rounds.json")) as saved:
            report(json.load(saved), True)
        return
    missing = [tool for tool in ("gst-launch-1.0", "gnuplot", "jackd") if shutil.which(tool) is None]
    if missing:
        sys.exit("e2e_bench: missing " + ", ".join(missing) + ": run scripts/install-deps --bench")
    build()
    work = tempfile.mkdtemp(prefix="vban-bench-")
    try:
        unpaced_data = os.path.join(work, "unpaced.raw")
        with open(unpaced_data, "wb") as out:
            out.write(os.urandom(PACKETS * 1024))
        audio = os.path.join(work, "audio.raw")
        with open(audio, "wb") as out:
            subprocess.run([SINE, str(SECONDS), "44100", "2"], stdout=out, check=True)
        high = os.path.join(work, "high.raw")
        with open(high, "wb") as out:
            out.write(os.urandom(int(HIGH_SECONDS * 192000) * 256))

        rounds = []
        for number in range(ROUNDS):
            r = {}
            for kind in ("bare", "vban"):
                r["unpaced_" + kind] = unpaced(kind, work, unpaced_data)
            for kind in ("bare", "vban", "gst"):
                r["rt_" + kind] = real_time(kind, work, audio, SECONDS, 176400, 1024)
            for kind in ("bare", "vban"):
                r["high_" + kind] = real_time(kind, work, high, HIGH_SECONDS, 192000 * 256, 1280,
                                              ["-n", "64", "-f", "32F", "-r", "192000"],
                                              pinned=False)
            for rate in BATCH_RATES:
                for shape, burst in batch_shapes(rate):
                    # Side by side where two receivers and their senders leave the two cores
                    # room; at 38,400 a second one after the other.
                    kinds = ("bare", "vban") if number % 2 == 0 else ("vban", "bare")
                    figures = (batch_run(kinds, work, unpaced_data, rate, burst)
                               if rate <= 3000 else
                               {kind: batch_run((kind,), work, unpaced_data, rate, burst)[kind]
                                for kind in kinds})
                    for kind in kinds:
                        name = "batch_%d_%s_%s" % (rate, shape, kind)
                        r[name] = figures[kind]
                        r[name].update(batch_latency(kind, work, unpaced_data, rate, burst))
            r["jack"] = jack_run(work, audio)
            rounds.append(r)
            print("round %d done" % (number + 1), file=sys.stderr)
        report(rounds, "--docs" in sys.argv)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(rounds, write_docs):
    def m(scenario, key):
        return median([r[scenario][key] for r in rounds if r.get(scenario)])

    def ratio(scenario, key, base):
        return median([r[scenario][key] / r[base][key] for r in rounds
                       if r.get(scenario) and r[base][key] > 0])

    lines = []
    add = lines.append
    add("Unpaced: %d datagrams of 1024 bytes, file -> UDP 127.0.0.1 -> file "
        "(median of %d rounds)" % (PACKETS, len(rounds)))
    add("")
    add("| program | datagrams/s sent | received | loss | CPU µs/datagram | × bare |")
    add("|---|---:|---:|---:|---:|---:|")
    add("| bare sender | %.0f | | | %.2f | 1.00 |" % (m("unpaced_bare", "rate"),
                                                    m("unpaced_bare", "send_us")))
    add("| quellor | %.0f | | | %.2f | %.2f |" % (m("unpaced_vban", "rate"),
                                                 m("unpaced_vban", "send_us"),
                                                 ratio("unpaced_vban", "send_us", "unpaced_bare")))
    add("| bare receiver | | %.0f | %.1f %% | %.2f | 1.00 |" % (
        m("unpaced_bare", "received"), 100 * m("unpaced_bare", "loss"),
        m("unpaced_bare", "recv_us")))
    add("| dorvane | | %.0f | %.1f %% | %.2f | %.2f |" % (
        m("unpaced_vban", "received"), 100 * m("unpaced_vban", "loss"),
        m("unpaced_vban", "recv_us"), ratio("unpaced_vban", "recv_us", "unpaced_bare")))
    add("")
    add("dorvane's output was the input byte for byte in %d of %d rounds (the others lost "
        "datagrams)." % (sum(1 for r in rounds if r["unpaced_vban"].get("exact")), len(rounds)))
    if any("batch_188_spaced_bare" in r for r in rounds):
        add("")
        add("Batches: datagrams of 1052 bytes for %g s to the bare receiver and to dorvane -b file "
            "-d /dev/null, side by side (fed at the same time) up to 3,000 a second and one after "
            "the other above; spaced: one at a time, evenly; bursts: 1.33 ms of them at a time "
            "(one segmented send); latency: a burst's send to its last byte out of the receiver, "
            "into a FIFO" % BATCH_SECONDS)
        add("")
        add("| datagrams/s | sent | bare µs/datagram | dorvane µs/datagram | × bare | bare core "
            "| dorvane core | dorvane lost, reordered | latency bare / dorvane, µs median (max) |")
        add("|---:|---|---:|---:|---:|---:|---:|---:|---:|")
        for rate in BATCH_RATES:
            for shape, burst in batch_shapes(rate):
                bare, vban = ("batch_%d_%s_%s" % (rate, shape, k) for k in ("bare", "vban"))
                add("| %d | %s | %.2f | %.2f | %.2f | %.2f %% | %.2f %% | %d, %d of %d | "
                    "%.0f (%.0f) / %.0f (%.0f) |" % (
                        rate, shape if burst == 1 else "%s of %d" % (shape, burst),
                        m(bare, "us"), m(vban, "us"), ratio(vban, "us", bare),
                        100 * m(bare, "core"), 100 * m(vban, "core"),
                        max(r[vban]["lost"] for r in rounds),
                        max(r[vban]["reordered"] for r in rounds), m(vban, "count"),
                        m(bare, "median_us"), m(bare, "max_us"), m(vban, "median_us"),
                        m(vban, "max_us")))
    add("")
    add("Real time: %g s of 44.1 kHz stereo 16-bit audio through a named pipe, 1024 bytes of "
        "audio a datagram" % SECONDS)
    add("")
    add("| program | CPU s per minute of audio | CPU µs/datagram | × bare | loss |")
    add("|---|---:|---:|---:|---:|")
    for name, scenario, side in (("bare sender", "rt_bare", "send"), ("quellor", "rt_vban", "send"),
                                 ("GStreamer sender", "rt_gst", "send"),
                                 ("bare receiver", "rt_bare", "recv"),
                                 ("dorvane", "rt_vban", "recv"),
                                 ("GStreamer receiver", "rt_gst", "recv")):
        add("| %s | %.3f | %.2f | %.2f | %.1f %% |" % (
            name, m(scenario, side + "_min"), m(scenario, side + "_us"),
            ratio(scenario, side + "_us", "rt_bare"), 100 * m(scenario, "loss")))
    add("")
    add("High rate: 64 channels of 32F at 192 kHz, 38,400 datagrams of 1280 bytes a second, "
        "paced for %g s" % HIGH_SECONDS)
    add("")
    add("| program | share of a core | × bare | loss |")
    add("|---|---:|---:|---:|")
    add("| bare sender | %.1f %% | 1.00 | |" % (100 * m("high_bare", "send_core")))
    add("| quellor | %.1f %% | %.2f | |" % (100 * m("high_vban", "send_core"),
                                          ratio("high_vban", "send_core", "high_bare")))
    add("| bare receiver | %.1f %% | 1.00 | %.3f %% |" % (100 * m("high_bare", "recv_core"),
                                                       100 * m("high_bare", "loss")))
    add("| dorvane | %.1f %% | %.2f | %.3f %% |" % (100 * m("high_vban", "recv_core"),
                                                  ratio("high_vban", "recv_core", "high_bare"),
                                                  100 * m("high_vban", "loss")))
    if any(r.get("jack") for r in rounds):
        add("")
        add("JACK: dorvane -b jack into jackd -d dummy -r 48000 -p 256, a stereo 16I stream at "
            "48 kHz")
        add("")
        add("| figure | value |")
        add("|---|---:|")
        add("| dorvane, CPU s per minute of audio | %.3f |" % m("jack", "dorvane_min"))
        add("| jackd, CPU s per minute of audio | %.3f |" % m("jack", "jackd_min"))
        for q in range(5):
            add("| latency at -q %d, ms | %.1f |" % (q, m("jack", "latency_ms_q%d" % q)))
    text = "\n".join(lines)
    print(text)
    if write_docs:
        docs = os.path.join(ROOT, "docs")
        os.makedirs(docs, exist_ok=True)
        with open(os.path.join(docs, "performance-results.md"), "w") as out:
            out.write(text + "\n")
        with open(os.path.join(docs, "performance-rounds.json"), "w") as out:
            json.dump(rounds, out, indent=1)
        plot(rounds, docs, m)


def plot(rounds, docs, m):  # m: the median of a figure over the rounds
    # At real time the cost of a wake-up moves from round to round while the programs of one
    # round move together, so the plot shows one whole round: the one whose quellor-to-bare
    # ratio is the median.
    ordered = sorted(rounds, key=lambda r: r["rt_vban"]["send_us"] / r["rt_bare"]["send_us"])
    r = ordered[len(ordered) // 2]
    data = os.path.join(docs, "performance.dat")
    rows = [("bare sender", r["rt_bare"]["send_us"]), ("quellor", r["rt_vban"]["send_us"]),
            ("GStreamer sender", r["rt_gst"]["send_us"]),
            ("bare receiver", r["rt_bare"]["recv_us"]), ("dorvane", r["rt_vban"]["recv_us"]),
            ("GStreamer receiver", r["rt_gst"]["recv_us"])]
    with open(data, "w") as out:
        for i, (name, value) in enumerate(rows):
            out.write('%d "%s" %.3f\n' % (i, name, value))
    # Beside it, the batches: the bare receiver and dorvane at each rate and shape (medians).
    batches = os.path.join(docs, "performance-batches.dat")
    with open(batches, "w") as out:
        for rate in BATCH_RATES:
            for shape, burst in batch_shapes(rate):
                name = "batch_%d_%s_" % (rate, shape)
                out.write('"%d/s %s" %.3f %.3f\n' % (rate, shape, m(name + "bare", "us"),
                                                     m(name + "vban", "us")))
    script = """
set terminal pngcairo size 1400,480 font ",10"
set output "%s"
set multiplot layout 1,2
set title "CPU per datagram at real time, one round (44.1 kHz stereo 16-bit, 1024 bytes of audio a datagram)" font ",9"
set bmargin 4
set ylabel "CPU microseconds per datagram"
set style fill solid 0.8
set boxwidth 0.6
set yrange [0:*]
set grid ytics
set xtics font ",8"
unset key
plot "%s" using 1:3:xtic(2) with boxes lc rgb "#4477aa", "" using 1:3:(sprintf("%%.1f", $3)) with labels offset 0,1
set title "Receiving 1052-byte datagrams, one at a time (spaced) or in a capture's bursts (medians)" font ",9"
set style data histograms
set style histogram clustered gap 1
set key top right
plot "%s" using 2:xtic(1) title "bare receiver" lc rgb "#aaaaaa", "" using 3 title "dorvane" lc rgb "#4477aa"
unset multiplot
""" % (os.path.join(docs, "performance.png"), data, batches)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data)
    os.unlink(batches)


if __name__ == "__main__":
    main()
