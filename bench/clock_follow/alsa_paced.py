#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""dorvane's clock follower on ALSA, into a device paced by its own clock.

The sender is run.py's: a JACK dummy server under clock_scale.so (its clock off by --drift
ppm), vban_click_sender on it, and a udp_impair relay with the same jitter and loss. dorvane
plays with -b alsa -d pulse: ALSA's pulse plugin into a PulseAudio daemon of the run's own,
whose null sink plays in real time, as a sound card plays on its crystal
(ALSA's null device takes everything at once and keeps no time). There is no second receiver
and no recorder here: the figures are dorvane's own statistics lines, and its correction
against the sender's true drift. Through the plugin the sink takes 485 ppm more than the local
clock's rate, so the correction that holds L settles about 485 ppm beyond the drift, rightly
(docs/playout.md).

Usage: bench/clock_follow/alsa_paced.py [--drift PPM] [--latency MS] [--duration S] [--out DIR]
Needs: what run.py needs, and pulseaudio with libasound2-plugins (scripts/install-deps --bench).
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

import numpy as np

import analyse
import run


def options():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--drift", type=float, default=-1000, help="sender clock off by PPM (-1000)")
    p.add_argument("--latency", type=float, default=16, help="dorvane's --latency MS (16)")
    p.add_argument("--duration", type=float, default=300, help="seconds of clicks (300)")
    p.add_argument("--loss", type=float, default=0.005, help="loss probability (0.005)")
    p.add_argument("--build", default=os.path.join(run.ROOT, "build"), help="build folder")
    p.add_argument("--out", default=None, help="run folder (a new one under /tmp)")
    return p.parse_args()


def figures(out, drift, target, started_ns):
    """dorvane's own account: counts, lock, L's spread once locked, and its correction's
    distance from the drift (median over 1-s windows from 60 s, as the pitch error)."""
    stats, warnings = analyse.dorvane_series(os.path.join(out, "dorvane.log"))
    t = np.array([(s - started_ns) / 1e9 for s, _ in stats])
    latency = np.array([f.get("latency", np.nan) for _, f in stats])
    ratio = np.array([f.get("ratio", np.nan) for _, f in stats])
    headroom = np.array([f.get("headroom", np.nan) for _, f in stats])
    last = stats[-1][1] if stats else {}
    lock = analyse.lock_time(t, np.abs(latency - target) <= analyse.LOCK_MS)
    since = lock if lock is not None else 10.0
    steady = latency[(t >= since) & np.isfinite(latency)]
    windows = [np.nanmedian(np.abs(ratio[(t >= s) & (t < s + 1)] - drift))
               for s in np.arange(60.0, t[-1] - 1, 1.0)] if len(t) else []
    return {"underruns": last.get("underruns"), "dropped": last.get("dropped"),
            "trimmed_at_start_ms": last.get("trimmed at start"), "warnings": len(warnings),
            "own_lock_s": lock,
            "spread_ms": float(np.percentile(steady, 99) - np.percentile(steady, 1))
            if steady.size else None,
            "lowest_headroom_ms": float(np.nanmin(headroom[t >= since])) if stats else None,
            "correction_error_ppm": float(np.nanmedian(windows)) if windows else None,
            "ratio_end_ppm": last.get("ratio")}


def main():
    a = options()
    tools = os.path.join(os.path.abspath(a.build), "bench/clock_follow")
    dorvane = os.path.join(os.path.abspath(a.build), "programs/dorvane/dorvane")
    out = a.out or tempfile.mkdtemp(prefix="alsa_paced-")
    os.makedirs(out, exist_ok=True)
    pulse_dir = tempfile.mkdtemp(prefix="pulse-", dir=out)
    os.chmod(pulse_dir, 0o700)
    pulse_env = {"XDG_RUNTIME_DIR": pulse_dir, "HOME": pulse_dir,
                 "PULSE_SERVER": f"unix:{pulse_dir}/pulse/native"}
    server = f"ap_send_{os.getpid()}"
    scaled = {"LD_PRELOAD": os.path.join(tools, "clock_scale.so"),
              "CLOCK_SCALE_PPM": f"{a.drift:g}",
              "CLOCK_SCALE_EPOCH_NS": str(time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)),
              "JACK_DEFAULT_SERVER": server}
    into, to = run.free_udp_port(), run.free_udp_port()
    commands = {
        "pulseaudio": ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "-L",
                       "module-native-protocol-unix", "-L",
                       "module-null-sink sink_name=paced rate=48000"],
        # Silence from a second client keeps the sink running, as a desktop's other sounds
        # would: an idle null sink sleeps in blocks of up to two seconds and takes a new stream
        # only when it wakes, and the plugin meanwhile reports a fill far below what it holds.
        "keep_awake": ["pacat", "--playback", "--latency-msec=10", "--rate=48000",
                       "--channels=2", "--format=s16le", "/dev/zero"],
        "jackd_send": ["jackd", "-R", "-P", "70", "-d", "dummy", "-r", "48000", "-p", "256"],
        "relay_vban": [os.path.join(tools, "udp_impair"), "--listen", str(into), "--to",
                       f"127.0.0.1:{to}", "--delay-min", "1", "--delay-max", "3", "--loss",
                       f"{a.loss}", "--seed", "1", "--fifo", "60"],
        "dorvane": ["stdbuf", "-oL", "-eL", dorvane, "-i", "127.0.0.1", "-p", str(to), "-s",
                    run.STREAM, "-b", "alsa", "-d", "pulse", "--latency", f"{a.latency:g}",
                    "-l", "3", "--stats=0.25"],
        "sender": [os.path.join(tools, "vban_click_sender"), "127.0.0.1", str(into),
                   run.STREAM, os.path.join(out, "clicks.txt")],
    }
    procs = run.Run(out)
    print(f"run folder {out}", flush=True)
    try:
        procs.start("pulseaudio", commands["pulseaudio"], pulse_env)
        run.wait_for(lambda: subprocess.run(["pactl", "info"], env=dict(os.environ, **pulse_env),
                                            capture_output=True).returncode == 0, 20,
                     "PulseAudio")
        procs.start("keep_awake", commands["keep_awake"], pulse_env)
        procs.start("jackd_send", commands["jackd_send"], scaled)
        run.wait_for(lambda: run.jack_ports(server), 15, "the JACK server")
        procs.start("relay_vban", commands["relay_vban"])
        procs.start("dorvane", commands["dorvane"], pulse_env, stamped=True)
        time.sleep(0.5)
        started_ns = run.boottime_ns()
        procs.start("sender", commands["sender"], scaled)
        begin = time.monotonic()
        while time.monotonic() - begin < a.duration:
            for name in ("pulseaudio", "keep_awake", "jackd_send", "dorvane", "sender"):
                if not procs.alive(name):
                    raise RuntimeError(f"{name} ended early (status {procs.procs[name].poll()})")
            time.sleep(0.1)
    finally:
        for name in ("sender", "relay_vban", "dorvane", "jackd_send", "keep_awake", "pulseaudio"):
            procs.stop(name)
        procs.stop_all()
    result = {"drift_ppm": a.drift, "latency_ms": a.latency, "duration_s": a.duration,
              "loss": a.loss, "commands": {k: " ".join(v) for k, v in commands.items()},
              **figures(out, a.drift, a.latency, started_ns)}
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(result, f, indent=1)
    for key, value in result.items():
        if key != "commands":
            print(f"{key}: {value}")


if __name__ == "__main__":
    main()
