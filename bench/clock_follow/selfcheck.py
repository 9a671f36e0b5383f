#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the clock-following benchmark's instruments against reality before trusting them.

  shim    a jackd -d dummy -r 48000 -p 256 under clock_scale.so at each of --ppm: its frames
          per true second (CLOCK_BOOTTIME) against 48000 x (1 + ppm), over the whole run, and
          the driver's own xruns counted (each re-anchors its timer and loses the time it
          was late, so a loaded machine shows a slower server).
  relay   2000 datagrams every 5.333 ms through udp_impair (--fifo 60, as run.py starts it)
          with its default 1..3 ms delay, then with 5 % loss, duplicates and swaps:
          the delay each one took, measured by this script's own clock on both sides, and
          the relay's own account (send minus arrival, and lateness against the due time).
  sine    the pitch fit on synthetic 1-s windows of known frequency (16-bit samples, with and
          without noise): its error in ppm.
  click   the click sender and the recorder on one server, the sender's port recorded
          directly: every click's end-to-end latency must be 0 (the same cycle), at 0 and at
          +1000 ppm.

Usage: bench/clock_follow/selfcheck.py [--seconds S] [--ppm LIST] [--build DIR] [--only NAME]
"""

import argparse
import math
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import analyse  # noqa: E402
from run import Run, jack_ports, wait_for  # noqa: E402


def scaled_env(tools, ppm, server):
    return {"LD_PRELOAD": os.path.join(tools, "clock_scale.so"), "CLOCK_SCALE_PPM": f"{ppm:g}",
            "CLOCK_SCALE_EPOCH_NS": str(time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)),
            "JACK_DEFAULT_SERVER": server}


def scaled_run(tools, ppm, what):
    """A run folder, its process list, and the environment of a server scaled by ppm."""
    out = tempfile.mkdtemp(prefix=f"{what}-")
    return out, Run(out), scaled_env(tools, ppm, f"cf_{what}_{os.getpid()}")


def start_server(run, name, env):
    run.start(name, ["jackd", "-R", "-P", "70", "-d", "dummy", "-r", "48000", "-p", "256"], env)
    wait_for(lambda: jack_ports(env["JACK_DEFAULT_SERVER"]), 15, name)


def check_shim(tools, ppms, seconds):
    print("shim: frames per true second of a scaled jackd -d dummy -r 48000 -p 256")
    for ppm in ppms:
        out, run, env = scaled_run(tools, ppm, "shim")
        try:
            start_server(run, "jackd", env)
            run.start("recorder", [os.path.join(tools, "jack_stamp_recorder"), out], env)
            time.sleep(seconds)
        finally:
            run.stop_all()
        c = np.loadtxt(os.path.join(out, "cycles.txt"), ndmin=2)
        frame, start = c[:, 1], c[:, 3] / 1e9
        rate = (np.polyfit(start - start[0], frame - frame[0], 1)[0] / 48000 - 1) * 1e6
        xruns = sum(1 for line in open(os.path.join(out, "jackd.err")) if "XRun" in line)
        print(f"  {ppm:+g} ppm: measured {rate:+.2f} ppm (error {rate - ppm:+.2f}), {xruns} "
              f"xruns in {seconds:g} s")


def check_relay(tools, count=2000, impair=()):
    listen, dest = 0, 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        listen = probe.getsockname()[1]
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", 0))
    rx.settimeout(2.0)
    dest = rx.getsockname()[1]
    out = tempfile.mkdtemp(prefix="udp_impair-")
    run = Run(out)
    run.start("relay", [os.path.join(tools, "udp_impair"), "--listen", str(listen), "--to",
                        f"127.0.0.1:{dest}", "--seed", "7", "--fifo", "60", *impair])
    time.sleep(0.3)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    delays = []

    def receive():
        # Its own thread, blocked in recv: each datagram is stamped as soon as it arrives.
        try:
            while True:  # until nothing came for 2 s
                data = rx.recv(2048)
                sent, n = struct.unpack("<qq", data[:16])
                delays.append((time.monotonic_ns() - sent) / 1e6)
                order.append(n)
        except socket.timeout:
            pass
    order = []
    receiver = threading.Thread(target=receive)
    receiver.start()
    try:
        start = time.monotonic_ns()
        for n in range(count):
            due = start + int(n * 256 / 48000 * 1e9)
            time.sleep(max(0, (due - time.monotonic_ns()) / 1e9))
            tx.sendto(struct.pack("<qq", time.monotonic_ns(), n) + bytes(1024),
                      ("127.0.0.1", listen))
        receiver.join()
    finally:
        run.stop_all()
    d = np.array(delays)
    hist, edges = np.histogram(d, bins=[0, 1, 1.5, 2, 2.5, 3, 3.5, 5, 100])
    seen = set(order)
    late = sum(1 for k in range(1, len(order)) if order[k] < max(order[:k]))
    print(f"relay {' '.join(impair) or 'default'}: {count - len(seen)} lost, "
          f"{len(order) - len(seen)} duplicates, {late} out of order")
    print(f"  {len(d)} datagrams received for {count} sent, delay ms min {d.min():.3f} p1 "
          f"{np.percentile(d, 1):.3f} mean {d.mean():.3f} p50 {np.median(d):.3f} p99 "
          f"{np.percentile(d, 99):.3f} max {d.max():.3f}")
    print("  histogram: " + ", ".join(f"{a:g}..{b:g} ms {h}" for a, b, h in
                                      zip(edges[:-1], edges[1:], hist)))
    print("  (this script's own send and receive add their wake-up time to each delay)")
    with open(os.path.join(out, "relay.err")) as f:
        for line in f:
            print("  " + line.strip())


def check_sine():
    print("sine: pitch fit on synthetic 1-s windows (16-bit samples)")
    rng = np.random.default_rng(3)
    worst = 0.0
    for ppm in (-2000, -1000, -20, 0, 3, 1000, 2000):
        f_true = 997.0 * (1 + ppm / 1e6)
        for noise_db in (None, -60):
            errs = []
            for k in range(5):
                phase = rng.uniform(0, 2 * math.pi)
                n = np.arange(48000)
                x = 0.5 * np.sin(2 * math.pi * f_true * n / 48000 + phase)
                if noise_db is not None:
                    x = x + rng.normal(0, 10 ** (noise_db / 20), len(x))
                x = np.round(x * 32768) / 32768
                f = analyse.fit_frequency(x.astype(np.float32), 997.0 * (1 + ppm / 1e6) * 1.0001)
                errs.append((f / f_true - 1) * 1e6)
            worst = max(worst, max(abs(e) for e in errs))
            print(f"  {ppm:+5d} ppm, noise {'none' if noise_db is None else f'{noise_db} dB'}: "
                  f"error {min(errs):+.4f}..{max(errs):+.4f} ppm")
    print(f"  worst {worst:.4f} ppm (the fit starts 100 ppm off the true frequency)")


def check_click(tools, ppms, seconds):
    print("click: sender and recorder on one server, recorded directly (expected 0 ms)")
    for ppm in ppms:
        out, run, env = scaled_run(tools, ppm, "click")
        rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rx.bind(("127.0.0.1", 0))
        try:
            start_server(run, "jackd", env)
            run.start("recorder", [os.path.join(tools, "jack_stamp_recorder"), out,
                                   "click_sender:out_1", "click_sender:out_2"], env)
            run.start("sender", [os.path.join(tools, "vban_click_sender"), "127.0.0.1",
                                 str(rx.getsockname()[1]), "Click",
                                 os.path.join(out, "clicks.txt")], env)
            time.sleep(seconds)
        finally:
            run.stop_all()
        rec = analyse.Recording(out, 2)
        sent, _ = analyse.load_clicks(out, ppm)
        pairs = analyse.pair_clicks(sent, analyse.find_clicks(rec.audio[:, 0]), rec)
        lat = np.array([(p[2] - p[1]) / 1e6 for p in pairs])
        print(f"  {ppm:+g} ppm: {len(pairs)} clicks of {len(sent)} (from click {pairs[0][0]}), "
              f"latency ms min "
              f"{lat.min():+.4f} median {np.median(lat):+.4f} max {lat.max():+.4f}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=30)
    p.add_argument("--ppm", default="-1000,0,1000")
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--only", choices=("shim", "relay", "sine", "click"))
    a = p.parse_args()
    tools = os.path.join(os.path.abspath(a.build), "bench/clock_follow")
    ppms = [float(x) for x in a.ppm.split(",")]
    if a.only in (None, "sine"):
        check_sine()
    if a.only in (None, "relay"):
        check_relay(tools)
        check_relay(tools, 2000, ("--loss", "0.05", "--dup", "0.05", "--swap", "0.05"))
    if a.only in (None, "click"):
        check_click(tools, [0, 1000], 10)
    if a.only in (None, "shim"):
        check_shim(tools, ppms, a.seconds)


if __name__ == "__main__":
    main()
