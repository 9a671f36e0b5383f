#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""dorvane against zita-njbridge, side by side, following a sender whose clock is off.

Two JACK dummy servers (48 kHz, 256-frame periods): the sender's runs under clock_scale.so,
so its clock, and with it its frame rate, is off by --drift ppm; the receiver's keeps true
time. On the sender's server vban_click_sender plays a click every 100 ms and a 997 Hz sine,
into zita-j2n (--16bit) and, in the same callback, as VBAN 16I packets. Each flow goes through
its own udp_impair relay (same settings, same seed) to its receiver on the receiver's server:
dorvane -b jack and zita-n2j. jack_stamp_recorder records both receivers' ports with the true
time of every cycle. At the end every process is stopped by its pid and the run is analysed
(analyse.py): the table on standard output, latency.csv, reported.csv, latency.png and
results.json in the run folder.

Usage: bench/clock_follow/run.py [options]   (--help lists them)
Needs: jackd2, zita-njbridge, python3-numpy, gnuplot-nox (scripts/install-deps --bench), and
       the build's dorvane and bench/clock_follow tools (built here unless --no-build).
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import analyse  # noqa: E402

ZITA_FILTER_MS = 32 / 48000 * 1000  # zita-n2j's resampler delay at 48 kHz ("filter delay is 32")
STREAM = "Click"
TOOLS = ("clock_scale", "vban_click_sender", "jack_stamp_recorder", "udp_impair", "dorvane")


def boottime_ns():
    return time.clock_gettime_ns(time.CLOCK_BOOTTIME)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def times(text):
    return [float(x) for x in text.split(",") if x.strip()] if text else []


def options():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--drift", type=float, default=-1000, help="sender clock off by PPM (-1000)")
    p.add_argument("--latency", type=float, default=16, help="dorvane's --latency MS (16)")
    p.add_argument("--duration", type=float, default=60, help="seconds of clicks (60)")
    p.add_argument("--delay-min", type=float, default=1.0, help="relay delay from MS (1)")
    p.add_argument("--delay-max", type=float, default=3.0, help="relay delay to MS (3)")
    p.add_argument("--loss", type=float, default=0.005, help="loss probability (0.005)")
    p.add_argument("--dup", type=float, default=0.0, help="duplicate probability (0)")
    p.add_argument("--swap", type=float, default=0.0, help="swap probability (0)")
    p.add_argument("--seed", type=int, default=1, help="the relays' seed, the same for both (1)")
    p.add_argument("--stall-jackd", type=times, default=[],
                   help="stop the receiver's jackd at these seconds, comma-separated")
    p.add_argument("--stall-dorvane", type=times, default=[], help="stop dorvane at these seconds")
    p.add_argument("--stall-zita", type=times, default=[], help="stop zita-n2j at these seconds")
    p.add_argument("--stall-ms", type=float, default=100, help="length of each stall (100)")
    p.add_argument("--zita-buff", type=float, default=None,
                   help="zita-n2j --buff MS (default: the target less zita-n2j's resampler "
                        "delay, rounded: see README.md)")
    p.add_argument("--pitch-from", type=float, default=60, help="pitch median from S (60)")
    p.add_argument("--no-realtime", action="store_true",
                   help="run both jackd without real-time scheduling (-r instead of -R -P 70) "
                        "and the relays without SCHED_FIFO (--fifo 60)")
    p.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder (build)")
    p.add_argument("--no-build", action="store_true", help="use the build folder as it is")
    p.add_argument("--out", default=None, help="run folder (a new one under /tmp)")
    a = p.parse_args()
    if a.zita_buff is None:
        # zita-n2j's own target adds the two servers' periods to --buff, but a click's path from
        # the sender's process callback to the receiver's does not cross them on dummy
        # drivers: what is left is --buff, the resampler's delay and the network's.
        a.zita_buff = max(0, round(a.latency - ZITA_FILTER_MS))
    return a


class Run:
    """The processes of one run, each kept by its pid and stopped by it."""

    def __init__(self, out):
        self.out = out
        self.procs = {}
        self.readers = []

    def start(self, name, argv, env=None, stamped=False):
        """Starts argv; its output goes to NAME.log, each line stamped with the true time it
        was read when `stamped`, else to NAME.err as it is."""
        full_env = dict(os.environ, JACK_NO_START_SERVER="1", **(env or {}))
        if stamped:
            proc = subprocess.Popen(argv, env=full_env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True,
                                    errors="replace", bufsize=1)
            log = open(os.path.join(self.out, name + ".log"), "w")

            def read():
                for line in proc.stdout:
                    log.write(f"{boottime_ns()} {line}")
                    log.flush()
                log.close()
            reader = threading.Thread(target=read, daemon=True)
            reader.start()
            self.readers.append(reader)
        else:
            err = open(os.path.join(self.out, name + ".err"), "w")
            proc = subprocess.Popen(argv, env=full_env, stdout=err, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
        self.procs[name] = proc
        return proc

    def alive(self, name):
        return self.procs[name].poll() is None

    def stop(self, name, grace=3.0):
        proc = self.procs.get(name)
        if proc is None or proc.poll() is not None:
            return
        proc.send_signal(signal.SIGCONT)  # a stalled process must see the SIGTERM
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)

    def stop_all(self):
        for name in reversed(list(self.procs)):
            self.stop(name)
        for reader in self.readers:
            reader.join(5)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError(f"timed out waiting for {what}")


def jack_ports(server):
    r = subprocess.run(["jack_lsp"], env=dict(os.environ, JACK_DEFAULT_SERVER=server,
                                              JACK_NO_START_SERVER="1"),
                       capture_output=True, text=True, timeout=10)
    return r.stdout.split() if r.returncode == 0 else []


def proc_figures(pid):
    """CPU seconds (user + system) and private memory (kB) of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read().rsplit(")", 1)[1].split()
    cpu = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
    private = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                private += int(line.split()[1])
    return cpu, private


def main():
    a = options()
    build = os.path.abspath(a.build)
    tools = os.path.join(build, "bench/clock_follow")
    dorvane = os.path.join(build, "programs/dorvane/dorvane")
    if not a.no_build:
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["nice", "-n", "10", "cmake", "--build", build, "-j2", "--target", *TOOLS],
                       check=True, stdout=subprocess.DEVNULL)
    out = a.out or tempfile.mkdtemp(prefix="clock_follow-")
    os.makedirs(out, exist_ok=True)
    tag = f"{os.getpid()}"
    sender_server, receiver_server = f"cf_send_{tag}", f"cf_recv_{tag}"
    # One epoch for every process of the sender's server, so that they agree on its clock.
    epoch = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
    scaled = {"LD_PRELOAD": os.path.join(tools, "clock_scale.so"),
              "CLOCK_SCALE_PPM": f"{a.drift:g}", "CLOCK_SCALE_EPOCH_NS": str(epoch),
              "JACK_DEFAULT_SERVER": sender_server}
    receiving = {"JACK_DEFAULT_SERVER": receiver_server}
    ports = {k: free_udp_port() for k in ("vban_in", "vban_out", "zita_in", "zita_out")}
    help_text = subprocess.run([dorvane, "--help"], capture_output=True, text=True).stdout + \
        subprocess.run([dorvane, "--help"], capture_output=True, text=True).stderr
    stats_option = ["--stats=0.25"] if "--stats" in help_text else []
    rt = ["-r"] if a.no_realtime else ["-R", "-P", "70"]
    jackd = ["jackd", *rt, "-d", "dummy", "-r", "48000", "-p", "256"]
    relay = ["--delay-min", f"{a.delay_min}", "--delay-max", f"{a.delay_max}", "--loss",
             f"{a.loss}", "--dup", f"{a.dup}", "--swap", f"{a.swap}", "--seed", f"{a.seed}",
             *([] if a.no_realtime else ["--fifo", "60"])]
    commands = {
        "jackd_send": jackd,
        "jackd_recv": jackd,
        "relay_vban": [os.path.join(tools, "udp_impair"), "--listen", str(ports["vban_in"]),
                       "--to", f"127.0.0.1:{ports['vban_out']}", *relay],
        "relay_zita": [os.path.join(tools, "udp_impair"), "--listen", str(ports["zita_in"]),
                       "--to", f"127.0.0.1:{ports['zita_out']}", *relay],
        "dorvane": ["stdbuf", "-oL", "-eL", dorvane, "-i", "127.0.0.1", "-p",
                    str(ports["vban_out"]), "-s", STREAM, "-b", "jack", "-d", "dorvane",
                    "--latency", f"{a.latency:g}", "-l", "3", *stats_option],
        "zita": ["stdbuf", "-oL", "zita-n2j", "--jname", "zita-n2j", "--buff",
                 f"{a.zita_buff:g}", "--info", "127.0.0.1", str(ports["zita_out"])],
        "recorder": [os.path.join(tools, "jack_stamp_recorder"), out, "dorvane:playback_1",
                     "dorvane:playback_2", "zita-n2j:out_1", "zita-n2j:out_2"],
        "zita_j2n": ["zita-j2n", "--jname", "zita-j2n", "--16bit", "127.0.0.1",
                     str(ports["zita_in"])],
        "sender": [os.path.join(tools, "vban_click_sender"), "127.0.0.1", str(ports["vban_in"]),
                   STREAM, os.path.join(out, "clicks.txt"), "zita-j2n:in_1", "zita-j2n:in_2"],
    }
    meta = {"drift_ppm": a.drift, "latency_ms": a.latency, "duration_s": a.duration,
            "delay_min_ms": a.delay_min, "delay_max_ms": a.delay_max, "loss": a.loss,
            "dup": a.dup, "swap": a.swap, "seed": a.seed, "zita_buff_ms": a.zita_buff,
            "pitch_from_s": a.pitch_from, "stall_ms": a.stall_ms, "realtime": not a.no_realtime,
            "dorvane_stats_option": " ".join(stats_option) or "(refused: default interval)",
            "commands": {}, "stalls": []}
    scaled_names = ("jackd_send", "zita_j2n", "sender")
    for name, argv in commands.items():
        env = scaled if name in scaled_names else {} if name.startswith("relay") else receiving
        meta["commands"][name] = " ".join([f"{k}={v}" for k, v in env.items()] + argv)
    run = Run(out)
    print(f"run folder {out}", flush=True)
    try:
        run.start("jackd_send", commands["jackd_send"], scaled)
        run.start("jackd_recv", commands["jackd_recv"], receiving)
        wait_for(lambda: jack_ports(sender_server) and jack_ports(receiver_server), 15,
                 "the two JACK servers")
        run.start("relay_vban", commands["relay_vban"])
        run.start("relay_zita", commands["relay_zita"])
        run.start("dorvane", commands["dorvane"], receiving, stamped=True)
        time.sleep(0.5)
        if stats_option and not run.alive("dorvane"):
            # A dorvane that lists --stats but refuses this value: the default interval.
            commands["dorvane"] = [x for x in commands["dorvane"] if x not in stats_option]
            meta["dorvane_stats_option"] = "(refused: default interval)"
            run.start("dorvane", commands["dorvane"], receiving, stamped=True)
        run.start("zita", commands["zita"], receiving, stamped=True)
        wait_for(lambda: "zita-n2j:out_1" in jack_ports(receiver_server), 10, "zita-n2j")
        run.start("recorder", commands["recorder"], receiving)
        run.start("zita_j2n", commands["zita_j2n"], scaled)
        wait_for(lambda: "zita-j2n:in_1" in jack_ports(sender_server), 10, "zita-j2n")
        meta["started_ns"] = boottime_ns()
        run.start("sender", commands["sender"], scaled)

        stalls = sorted([(t, "jackd_recv") for t in a.stall_jackd] +
                        [(t, "dorvane") for t in a.stall_dorvane] +
                        [(t, "zita") for t in a.stall_zita])
        begin = time.monotonic()
        while True:
            now = time.monotonic() - begin
            if now >= a.duration:
                break
            for name in ("jackd_send", "jackd_recv", "dorvane", "zita", "recorder", "sender"):
                if not run.alive(name):
                    raise RuntimeError(f"{name} ended early (status {run.procs[name].poll()})")
            if stalls and now >= stalls[0][0]:
                at, name = stalls.pop(0)
                pid = run.procs[name].pid
                stopped = boottime_ns()
                os.kill(pid, signal.SIGSTOP)
                time.sleep(a.stall_ms / 1000)
                os.kill(pid, signal.SIGCONT)
                meta["stalls"].append({"what": name, "at_s": at, "at_ns": stopped,
                                       "length_ns": boottime_ns() - stopped})
                continue
            time.sleep(min(0.05, stalls[0][0] - now) if stalls and stalls[0][0] > now else 0.05)
        meta["cpu"] = {}
        for name, key in (("dorvane", "dorvane"), ("zita-n2j", "zita")):
            cpu, private = proc_figures(run.procs[key].pid)
            meta["cpu"][name] = {"cpu_s": cpu, "cpu_pct": cpu / a.duration * 100,
                                 "private_kb": private}
        meta["stopped_ns"] = boottime_ns()
    finally:
        # Sources first, receivers next (dorvane writes its last statistics), servers last.
        for name in ("sender", "zita_j2n", "relay_vban", "relay_zita", "dorvane", "zita",
                     "recorder", "jackd_send", "jackd_recv"):
            run.stop(name)
        run.stop_all()
        meta.setdefault("stopped_ns", boottime_ns())
        meta["exit_status"] = {k: p.returncode for k, p in run.procs.items()}
        meta["commands"]["dorvane"] = " ".join(
            [f"{k}={v}" for k, v in receiving.items()] + commands["dorvane"])
        with open(os.path.join(out, "meta.json"), "w") as f:
            json.dump(meta, f, indent=1)
    analyse.analyse(out)
    print(f"run folder {out}: latency.csv, reported.csv, latency.png, results.json, table.md")


if __name__ == "__main__":
    main()
