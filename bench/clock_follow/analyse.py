#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Analysis of one clock-following run (bench/clock_follow/run.py writes the run folder).

Usage: bench/clock_follow/analyse.py RUN_DIR   (prints the table again, rewrites the CSVs and
       the plot)

Every time here is true time, CLOCK_BOOTTIME in ns, and "t" is seconds since the sender's
first click. What is read:
  meta.json          the run's settings, the process ids' fates, CPU and memory figures
  clicks.txt         the sender's clicks: index, sender frame, JACK frame, true time
  cycles.txt         the recorder's cycles: first sample, JACK frame, frames, start, next start
  audio.f32          the recording: dorvane click, dorvane sine, zita click, zita sine
  dorvane.log        dorvane's output, each line prefixed with the true time it was read
  zita.log           zita-n2j's --info output, the same way
  relay_vban.err, relay_zita.err  the relays' counts and measured delays
"""

import json
import math
import os
import re
import subprocess
import sys

import numpy as np

RATE = 48000
SINE_HZ = 997.0
SINE_AMPLITUDE = 0.5
CLICK_EVERY = RATE // 10
CLICK_CENTRE = 3.5  # frames from a click's first frame to its pulse's peak
CLICK_HEIGHTS = (0.5, -0.5, 0.8, -0.8)  # by click index modulo 4
RECEIVERS = ("dorvane", "zita-n2j")
LOCK_MS = 1.0
LOCK_SHARE = 0.95
LOCK_WINDOW_S = 30.0
STALL_SHADOW_S = 10.0  # what follows a stall is left out of the spread
SILENCE_LEVEL = 2e-4   # about 6 LSB of 16 bits: far below the sine anywhere but one sample
SILENCE_MIN = 16       # samples: a sine of 997 Hz is never that long so close to zero

# --- reading ---------------------------------------------------------------------------------


def stamped_lines(path):
    """(true ns, text) for each line of a log that run.py stamped."""
    out = []
    if not os.path.exists(path):
        return out
    with open(path, errors="replace") as f:
        for line in f:
            stamp, _, text = line.rstrip("\n").partition(" ")
            if stamp.isdigit():
                out.append((int(stamp), text))
    return out


def fields(line):
    """Every "name value" pair of a statistics line, by name: tolerant of fields added,
    removed or reordered ("latency 16.2 ms (target 16.0 ms)", "ratio +12 ppm",
    "trimmed at start 3")."""
    out = {}
    body = line.split("stats:", 1)[1] if "stats:" in line else line
    for part in re.split(r",\s*", body):
        m = re.match(r"\s*([A-Za-z][A-Za-z ]*?)\s+([+-]?\d+(?:\.\d+)?)", part)
        if m:
            out[m.group(1).strip()] = float(m.group(2))
        t = re.search(r"\(target\s+([+-]?\d+(?:\.\d+)?)", part)
        if t:
            out["target"] = float(t.group(1))
    return out


def dorvane_series(path):
    """Statistics lines of dorvane as (true ns, fields), and its warning lines."""
    stats, warnings = [], []
    for stamp, text in stamped_lines(path):
        if "stats:" in text:
            stats.append((stamp, fields(text)))
        elif "Warning" in text or "Error" in text:
            warnings.append((stamp, text))
    return stats, warnings


def zita_series(path):
    """zita-n2j's --info lines as (true ns, periods, loop error frames, ratio, min fill), and
    its state lines ("Syncing...", "Receiving.", ...) as (true ns, text)."""
    info, states = [], []
    for stamp, text in stamped_lines(path):
        parts = text.split()
        if len(parts) == 4:
            try:
                info.append((stamp, int(parts[0]), float(parts[1]), float(parts[2]),
                             int(parts[3])))
                continue
            except ValueError:
                pass
        if text.strip():
            states.append((stamp, text.strip()))
    return info, states


def anchored_times(frames, woke, ns_per_frame, half):
    """The true start of each cycle (ns), from the moments its callbacks woke.

    jack2's dummy driver starts cycle n at anchor + n periods and moves the anchor only when
    it was late (an xrun, a stall), so woke - frame x period is a constant for a stretch of
    cycles plus each wake-up's own delay, which is never negative. The least of it over the
    next `half` cycles, and over the previous ones, each stay on one anchor on one side of a
    move; the larger of the two is the anchor of the cycle. (JACK's own smoothed cycle times
    are no help there: after a 100-ms stall its delay-locked loop is 90 ms behind, then 19 ms
    ahead, and takes about 10 s to settle.)"""
    offset = woke - frames * ns_per_frame
    padded = np.concatenate((np.full(half, np.inf), offset, np.full(half, np.inf)))
    windows = np.lib.stride_tricks.sliding_window_view(padded, half + 1)
    before = windows[: len(offset)].min(axis=1)
    after = windows[half:].min(axis=1)
    return frames * ns_per_frame + np.maximum(before, after)


class Recording:
    """The recorder's samples with a true time for every one of them."""

    def __init__(self, run_dir, channels):
        cycles = np.loadtxt(os.path.join(run_dir, "cycles.txt"), ndmin=2)
        self.first = cycles[:, 0]
        self.frames = cycles[:, 2]
        self.start = anchored_times(cycles[:, 1], cycles[:, 5], 1e9 / RATE, 8)
        self.next = self.start + self.frames * 1e9 / RATE
        # How far JACK's smoothed times were off: a measure of what the stalls did to them.
        self.smoothed = cycles[:, 3]
        self.smoothing_off_ms = float(np.max(np.abs(self.smoothed - self.start)) / 1e6)
        raw = np.fromfile(os.path.join(run_dir, "audio.f32"), dtype=np.float32)
        self.audio = raw[: len(raw) // channels * channels].reshape(-1, channels)
        self.jack_frame = cycles[:, 1]

    def time_of(self, sample):
        """True ns of (fractional) sample indices: inside its cycle, between the cycle's start
        and the next cycle's."""
        sample = np.asarray(sample, dtype=float)
        i = np.clip(np.searchsorted(self.first, sample, side="right") - 1, 0, len(self.first) - 1)
        frac = (sample - self.first[i]) / self.frames[i]
        return self.start[i] + frac * (self.next[i] - self.start[i])


# --- clicks and latency ----------------------------------------------------------------------


def find_clicks(x):
    """(peak position in samples, fractional; code 0..3) of every click in a click channel."""
    above = np.flatnonzero(np.abs(x) > 0.2)
    if len(above) == 0:
        return []
    starts = above[np.concatenate(([True], np.diff(above) > 64))]
    out = []
    for s in starts:
        lo, hi = max(s - 4, 1), min(s + 16, len(x) - 1)
        m = lo + int(np.argmax(np.abs(x[lo:hi])))
        if m <= 0 or m >= len(x) - 1:
            continue
        a, b, c = abs(x[m - 1]), abs(x[m]), abs(x[m + 1])
        denom = a - 2 * b + c
        offset = 0.5 * (a - c) / denom if denom != 0 else 0.0
        height = x[m]
        code = (0 if height > 0 else 1) + (2 if abs(height) > 0.65 else 0)
        out.append((m + offset, code))
    return out


def load_clicks(run_dir, drift_ppm):
    """The sender's clicks with their true times from its callbacks' wake-ups (its server
    runs drift_ppm off: so many ns a frame); and how far JACK's smoothed times were off (ms)."""
    sent = np.loadtxt(os.path.join(run_dir, "clicks.txt"), ndmin=2)
    if len(sent) == 0:
        return sent, 0.0
    anchored = anchored_times(sent[:, 2], sent[:, 4], 1e9 / (RATE * (1 + drift_ppm / 1e6)), 3)
    off = float(np.max(np.abs(sent[:, 3] - anchored)) / 1e6)
    sent = np.column_stack((sent, sent[:, 3]))  # JACK's smoothed time kept last
    sent[:, 3] = anchored
    return sent, off


def rate_ppm(frames, t_ns, window_s):
    """How fast a server ran against true time, in ppm off 48 kHz: the median over windows of
    `window_s` (a stall or an xrun spoils one or two of them, not the figure), and the true
    time its frames do not account for at that rate (what stalls and xruns lost), in ms."""
    t = (t_ns - t_ns[0]) / 1e9
    f = frames - frames[0]
    j = np.searchsorted(t, t + window_s)
    ok = j < len(t)
    i, j = np.flatnonzero(ok), j[ok]
    if len(i) == 0:
        return None, None
    rate = float(np.median((f[j] - f[i]) / (t[j] - t[i])))
    return (rate / RATE - 1) * 1e6, (t[-1] - f[-1] / rate) * 1e3


def pair_clicks(sent, heard, rec):
    """For each click heard, the click sent: the latest sent before it with the same code
    (codes repeat every 400 ms, so any latency under 400 ms is unambiguous; a click heard up
    to 1 ms before it was sent is taken as heard in the same cycle, as rounding may have it).
    Returns rows of (sent index, sent true ns, heard true ns)."""
    if len(sent) == 0:
        return []
    send_ns = sent[:, 3]
    index = sent[:, 0].astype(int)
    rows = []
    for peak, code in heard:
        t = float(rec.time_of(peak - CLICK_CENTRE))
        k = np.searchsorted(send_ns, t + 1e6) - 1
        while k >= 0 and index[k] % 4 != code:
            k -= 1
        if k >= 0 and t - send_ns[k] < 0.399e9:
            rows.append((index[k], send_ns[k], t))
    return rows


def silence_runs(x, first_played):
    """(start sample, length) of every run of silence in a sine channel after it first played."""
    quiet = np.abs(x[first_played:]) < SILENCE_LEVEL
    edges = np.diff(np.concatenate(([0], quiet.astype(np.int8), [0])))
    starts = np.flatnonzero(edges == 1)
    ends = np.flatnonzero(edges == -1)
    keep = (ends - starts) >= SILENCE_MIN
    return [(first_played + s, e - s) for s, e in zip(starts[keep], ends[keep])]


# --- pitch -----------------------------------------------------------------------------------


def fit_frequency(x, f0, fs=RATE, block=2400, rounds=3):
    """The frequency of the sine in `x` (Hz), refined from f0: in each block the phase of a
    least-squares sine at the current frequency, then the slope of the unwrapped phases
    against time corrects it. Blocks that do not hold the sine (silence, a gap) are left
    out. None when too few blocks hold it."""
    n_blocks = len(x) // block
    if n_blocks < 4:
        return None
    x = np.asarray(x[: n_blocks * block], dtype=float)
    n = np.arange(n_blocks * block, dtype=float)
    f = f0
    for _ in range(rounds):
        w = 2 * math.pi * f / fs
        c = np.cos(w * n).reshape(n_blocks, block)
        s = np.sin(w * n).reshape(n_blocks, block)
        xb = x.reshape(n_blocks, block)
        phases, centres = [], []
        for k in range(n_blocks):
            basis = np.stack((c[k], s[k], np.ones(block)), axis=1)
            coef, *_ = np.linalg.lstsq(basis, xb[k], rcond=None)
            amplitude = math.hypot(coef[0], coef[1])
            residual = xb[k] - basis @ coef
            if amplitude < 0.8 * SINE_AMPLITUDE or np.sqrt(np.mean(residual ** 2)) > 0.05:
                continue
            phases.append(math.atan2(-coef[1], coef[0]))
            centres.append((k + 0.5) * block / fs)
        if len(phases) < max(4, n_blocks // 2):
            return None
        slope = np.polyfit(centres, np.unwrap(phases), 1)[0]
        f += slope / (2 * math.pi)
    return f


# --- lock, wander, spread --------------------------------------------------------------------


def lock_time(t, ok, window=LOCK_WINDOW_S, share=LOCK_SHARE):
    """The first t from which at least `share` of the points of the next `window` seconds are
    ok; None when there is none with the whole window inside the run."""
    t = np.asarray(t)
    ok = np.asarray(ok, dtype=float)
    if len(t) == 0:
        return None
    cum = np.concatenate(([0.0], np.cumsum(ok)))
    for i in range(len(t)):
        if t[i] + window > t[-1]:
            return None
        j = np.searchsorted(t, t[i] + window, side="right")
        if j - i > 0 and (cum[j] - cum[i]) / (j - i) >= share and ok[i]:
            return t[i]
    return None


def wander(t, v, since):
    """Peak to peak of the medians of 10-s windows from `since` on (whole windows only)."""
    t, v = np.asarray(t), np.asarray(v)
    medians = []
    start = since
    while start + 10 <= (t[-1] if len(t) else 0):
        sel = (t >= start) & (t < start + 10)
        if sel.sum() >= 10:
            medians.append(float(np.median(v[sel])))
        start += 10
    return (max(medians) - min(medians)) if len(medians) >= 2 else None


def fmt(v, unit="", digits=1):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if isinstance(v, str):
        return v
    if unit == " ppm":
        return f"{v:+.{digits}f}{unit}"  # a correction or an error: its sign matters
    return f"{v:.{digits}f}{unit}"


# --- the analysis ----------------------------------------------------------------------------


def analyse(run_dir, quiet=False):
    with open(os.path.join(run_dir, "meta.json")) as f:
        meta = json.load(f)
    sent, sent_smoothing_off_ms = load_clicks(run_dir, meta["drift_ppm"])
    rec = Recording(run_dir, 4)
    t0 = sent[0, 3] if len(sent) else rec.start[0]
    drift = meta["drift_ppm"]
    target = meta["latency_ms"]
    end_t = (meta["stopped_ns"] - t0) / 1e9
    stalls = [((s["at_ns"] - t0) / 1e9, s["what"]) for s in meta.get("stalls", [])]

    # The clocks as they really ran: frames per true second, from the sender's clicks and the
    # recorder's cycles (the dummy driver loses time at each of its own xruns).
    checks = {"receiver_smoothing_off_ms": rec.smoothing_off_ms,
              "sender_smoothing_off_ms": sent_smoothing_off_ms}
    # The rates from JACK's smoothed times (the anchored ones assume the rate): the median of
    # 2-s windows leaves out the seconds a stall spoils them.
    if len(sent) > 30:
        checks["sender_ppm"], checks["sender_lost_ms"] = rate_ppm(sent[:, 2], sent[:, -1], 2.0)
    checks["receiver_ppm"], checks["receiver_lost_ms"] = rate_ppm(rec.jack_frame, rec.smoothed,
                                                                  2.0)
    for server in ("send", "recv"):
        path = os.path.join(run_dir, f"jackd_{server}.err")
        with open(path, errors="replace") if os.path.exists(path) else open(os.devnull) as f:
            checks[f"xruns_{server}"] = sum(1 for line in f if "XRun" in line)

    results = {}
    series = {}
    for r, name in enumerate(RECEIVERS):
        click_ch, sine_ch = rec.audio[:, 2 * r], rec.audio[:, 2 * r + 1]
        res = {}
        heard = find_clicks(click_ch)
        pairs = pair_clicks(sent, heard, rec)
        e2e_t = np.array([(p[1] - t0) / 1e9 for p in pairs])
        e2e = np.array([(p[2] - p[1]) / 1e6 for p in pairs])
        series[name] = {"click": {int(p[0]): (p[2] - p[1]) / 1e6 for p in pairs}}
        res["clicks_sent"] = len(sent)
        res["clicks_heard"] = len(pairs)
        res["first_latency_ms"] = float(e2e[0]) if len(e2e) else None
        res["first_played_t"] = float(e2e_t[0]) if len(e2e_t) else None

        # Silence in the sine channel once it first played: the receiver-independent truth.
        playing = np.flatnonzero(np.abs(sine_ch) > 0.05)
        runs = []
        if len(playing):
            # Leave out the last second: the processes are being stopped there.
            cut = min(int(np.searchsorted(rec.start, meta["stopped_ns"] - 1e9)), len(rec.first) - 1)
            last = int(rec.first[cut])
            runs = [(s, n) for s, n in silence_runs(sine_ch[:last], int(playing[0]))]
        res["silences"] = len(runs)
        res["silences_over_packet"] = sum(1 for _, n in runs if n > 300)
        res["silent_ms"] = sum(n for _, n in runs) / RATE * 1e3
        res["longest_silence_ms"] = max((n for _, n in runs), default=0) / RATE * 1e3
        res["silence_times"] = [round(float((rec.time_of(s) - t0) / 1e9), 3) for s, _ in runs]

        # Pitch: per 1-s window of receiver samples, against 997 Hz x (1 + drift).
        expected = SINE_HZ * (1 + drift / 1e6)
        pitch = []
        if len(playing):
            for start in range(int(playing[0]) + RATE, len(sine_ch) - RATE, RATE):
                f = fit_frequency(sine_ch[start:start + RATE], expected)
                if f is not None:
                    pitch.append(((rec.time_of(start) - t0) / 1e9, (f / expected - 1) * 1e6))
        pitch = np.array(pitch) if pitch else np.zeros((0, 2))
        pitch_from = meta.get("pitch_from_s", 60.0)
        if len(pitch) and pitch[-1, 0] < pitch_from + 10:
            pitch_from = end_t / 2  # a short run: its second half, and the table says so
        sel = pitch[:, 0] >= pitch_from if len(pitch) else np.zeros(0, bool)
        res["pitch_from_s"] = pitch_from
        res["pitch_error_ppm"] = float(np.median(np.abs(pitch[sel, 1]))) if sel.any() else None
        res["pitch_median_ppm"] = float(np.median(pitch[sel, 1])) if sel.any() else None
        series[name]["pitch"] = pitch

        # End-to-end latency: lock against its final median, wander, spread.
        final = e2e[e2e_t >= end_t - 30] if len(e2e) else e2e
        res["e2e_final_median_ms"] = float(np.median(final)) if len(final) else None
        if len(final):
            lt = lock_time(e2e_t, np.abs(e2e - res["e2e_final_median_ms"]) <= LOCK_MS)
            res["e2e_lock_s"] = lt
        res["e2e_wander_ms"] = wander(e2e_t, e2e, 10.0) if len(e2e) else None
        since = res.get("e2e_lock_s") if res.get("e2e_lock_s") is not None else 10.0
        free = e2e_t >= since
        for at, _ in stalls:
            free &= ~((e2e_t >= at) & (e2e_t < at + STALL_SHADOW_S))
        res["spread_from_s"] = since
        if free.sum() >= 20:
            p1, p99 = np.percentile(e2e[free], [1, 99])
            res["spread_ms"] = float(p99 - p1)
            res["spread_p1_p99"] = (float(p1), float(p99))
        series[name]["e2e"] = (e2e_t, e2e)
        results[name] = res

    # dorvane's own account.
    d = results["dorvane"]
    stats, warnings = dorvane_series(os.path.join(run_dir, "dorvane.log"))
    rep_t = np.array([(s - t0) / 1e9 for s, _ in stats])
    lat = np.array([f.get("latency", np.nan) for _, f in stats])
    tgt = np.array([f.get("target", target) for _, f in stats])
    if stats:
        last = stats[-1][1]
        d["underruns"] = last.get("underruns")
        d["dropped"] = last.get("dropped")
        d["trimmed"] = last.get("trimmed at start")
        d["ratio_end_ppm"] = last.get("ratio")
        d["lost"] = last.get("lost")
        # The lines before the first packet carry no latency.
        reported = lat[np.isfinite(lat)]
        d["first_reported_ms"] = float(reported[0]) if reported.size else None
        d["stats_interval_s"] = float(np.median(np.diff(rep_t))) if len(rep_t) > 2 else None
        d["own_lock_s"] = lock_time(rep_t, np.abs(lat - tgt) <= LOCK_MS)
    d["warnings"] = len(warnings)
    series["dorvane"]["reported"] = (rep_t, lat)

    # zita-n2j's own account: --info four times a second.
    z = results["zita-n2j"]
    info, states = zita_series(os.path.join(run_dir, "zita.log"))
    zi_t = np.array([(s - t0) / 1e9 for s, *_ in info])
    err = np.array([i[2] for i in info])
    ratio = np.array([i[3] for i in info])
    fill = np.array([i[4] for i in info])
    if info:
        # zita-n2j prints its resampling ratio as output over input; dorvane's correction is
        # the input's rate against the output's (negative for a slow sender): shown alike.
        z["ratio_end_ppm"] = (1 / ratio[-1] - 1) * 1e6
        z["ratio_end_median10_ppm"] = float(1 / np.median(ratio[zi_t >= zi_t[-1] - 10]) - 1) * 1e6
        # Its loop error is the distance from its own target, in frames.
        z["own_lock_s"] = lock_time(zi_t, np.abs(err) <= LOCK_MS * RATE / 1000)
        z["first_reported_ms"] = float(fill[0]) / RATE * 1e3
        neg = fill < 0
        z["underruns"] = int(np.sum(neg[1:] & ~neg[:-1]) + (1 if neg[0] else 0))
    receiving = [s for s, text in states if text.startswith("Receiving")]
    syncing = [s for s, text in states if text.startswith("Syncing")]
    z["syncing_after_start"] = sum(1 for s in syncing if receiving and s > receiving[0])
    z["dropped"] = None
    if d.get("ratio_end_ppm") is not None:
        d["ratio_end_median10_ppm"] = float(np.median(
            [f.get("ratio", np.nan) for s, f in stats if (s - stats[-1][0]) / 1e9 >= -10]))
    series["zita-n2j"]["reported"] = (zi_t, fill / RATE * 1e3, err / RATE * 1e3)

    summary = {"meta": meta, "clock_checks": checks, "results": results,
               "relays": relay_reports(run_dir)}
    with open(os.path.join(run_dir, "results.json"), "w") as f:
        json.dump(summary, f, indent=1, default=lambda o: o.tolist() if hasattr(o, "tolist") else o)
    write_csv(run_dir, series, stats)
    plot(run_dir, meta, t0)
    text = table(summary)
    with open(os.path.join(run_dir, "table.md"), "w") as f:
        f.write(text)
    if not quiet:
        print(text)
    return summary


def relay_reports(run_dir):
    """The last words of the relays, the sender and the recorder: what they did, and whether
    the instruments lost anything."""
    out = {}
    for name, prefix in (("relay_vban", "udp_impair:"), ("relay_zita", "udp_impair:"),
                         ("sender", "vban_click_sender:"), ("recorder", "jack_stamp_recorder: ")):
        path = os.path.join(run_dir, f"{name}.err")
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                out[name] = [line.strip() for line in f
                             if line.startswith(prefix) and "connected" not in line]
    return out


def write_csv(run_dir, series, stats):
    """latency.csv: one row a click sent (t, both receivers' end-to-end latency);
    reported.csv: each receiver's own latency figure over time."""
    clicks = sorted(set(series["dorvane"]["click"]) | set(series["zita-n2j"]["click"]))
    with open(os.path.join(run_dir, "latency.csv"), "w") as f:
        f.write("click,t_s,dorvane_e2e_ms,zita_e2e_ms\n")
        for c in clicks:
            d = series["dorvane"]["click"].get(c)
            z = series["zita-n2j"]["click"].get(c)
            f.write(f"{c},{c / 10:.1f},{'' if d is None else f'{d:.3f}'},"
                    f"{'' if z is None else f'{z:.3f}'}\n")
    with open(os.path.join(run_dir, "reported.csv"), "w") as f:
        f.write("receiver,t_s,latency_ms,loop_error_ms\n")
        t, lat = series["dorvane"]["reported"]
        for a, b in zip(t, lat):
            f.write(f"dorvane,{a:.3f},{b:.2f},\n")
        t, fill, err = series["zita-n2j"]["reported"]
        for a, b, c in zip(t, fill, err):
            f.write(f"zita-n2j,{a:.3f},{b:.3f},{c:.3f}\n")


def plot(run_dir, meta, t0):
    """latency.png: the end-to-end latency of both receivers over the run, a point a click
    (points, not lines, so that a silence shows as a gap)."""
    stall_lines = "".join(
        f"set arrow from {(s['at_ns'] - t0) / 1e9:.2f}, graph 0 to {(s['at_ns'] - t0) / 1e9:.2f}, "
        f"graph 1 nohead dt 2 lc rgb 'gray'\n" for s in meta.get("stalls", []))
    script = f"""
set terminal pngcairo size 1100,500 noenhanced
set output '{os.path.join(run_dir, 'latency.png')}'
set datafile separator ','
set key top right
set grid
set xlabel 'time since the first click sent (s)'
set ylabel 'end-to-end latency (ms)'
set title 'sender {meta['drift_ppm']:+g} ppm, target {meta['latency_ms']:g} ms, delay \
{meta['delay_min_ms']:g}..{meta['delay_max_ms']:g} ms, loss {meta['loss'] * 100:g} %'
{stall_lines}
plot '{os.path.join(run_dir, 'latency.csv')}' every ::1 using 2:3 with points pt 7 ps 0.3 \
title 'dorvane', '' every ::1 using 2:4 with points pt 7 ps 0.3 title 'zita-n2j', \
{meta['latency_ms']} with lines dt 3 lc rgb 'black' title 'target'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


def table(summary):
    meta, res, checks = summary["meta"], summary["results"], summary["clock_checks"]
    d, z = res["dorvane"], res["zita-n2j"]
    lines = []
    lines.append(f"- sender {meta['drift_ppm']:+g} ppm, target {meta['latency_ms']:g} ms "
                 f"(zita-n2j --buff {meta['zita_buff_ms']:g}), {meta['duration_s']:g} s, delay "
                 f"{meta['delay_min_ms']:g}..{meta['delay_max_ms']:g} ms, loss "
                 f"{meta['loss'] * 100:g} %, dup {meta['dup'] * 100:g} %, swap "
                 f"{meta['swap'] * 100:g} %, stalls "
                 f"{', '.join(s['what'] + ' at ' + format(s['at_s'], 'g') + ' s' for s in meta.get('stalls', [])) or 'none'}")
    lines.append(f"- clocks as run (frames per true second, median of windows): sender "
                 f"{fmt(checks.get('sender_ppm'), ' ppm', 1)}, "
                 f"{fmt(checks.get('sender_lost_ms'), ' ms', 1)} lost to "
                 f"{checks.get('xruns_send', 0)} xrun lines; receiver "
                 f"{fmt(checks.get('receiver_ppm'), ' ppm', 1)}, "
                 f"{fmt(checks.get('receiver_lost_ms'), ' ms', 1)} lost to "
                 f"{checks.get('xruns_recv', 0)} xrun lines and stalls; "
                 f"JACK's smoothed times off the wake-ups by up to "
                 f"{fmt(checks['sender_smoothing_off_ms'], ' ms', 2)} (sender), "
                 f"{fmt(checks['receiver_smoothing_off_ms'], ' ms', 2)} (receiver)")
    lines.append(f"- dorvane statistics every {fmt(d.get('stats_interval_s'), ' s', 2)}")
    lines.append("")
    lines.append("| | dorvane | zita-n2j |")
    lines.append("|---|---|---|")

    def row(name, a, b):
        lines.append(f"| {name} | {a} | {b} |")

    row("underruns (own account)",
        f"{fmt(d.get('underruns'), '', 0)} ({d['warnings']} warning lines of any kind)",
        f"negative fill {fmt(z.get('underruns'), '', 0)} times, 'Syncing' "
        f"{z.get('syncing_after_start', 0)} times after the start")
    for name, key in (("silences in the sine (all)", "silences"),
                      ("silences longer than a packet", "silences_over_packet")):
        row(name, fmt(d.get(key), "", 0), fmt(z.get(key), "", 0))
    row("silent time; longest", f"{fmt(d['silent_ms'], ' ms')}; {fmt(d['longest_silence_ms'], ' ms')}",
        f"{fmt(z['silent_ms'], ' ms')}; {fmt(z['longest_silence_ms'], ' ms')}")
    row("dropped packets", f"{fmt(d.get('dropped'), '', 0)}"
        + (f" (trimmed at start {fmt(d.get('trimmed'), '', 0)})" if d.get("trimmed") is not None else ""),
        "not reported")
    row("correction at the end (last; median of last 10 s; a slow sender's is negative)",
        f"{fmt(d.get('ratio_end_ppm'), ' ppm', 0)}; {fmt(d.get('ratio_end_median10_ppm'), ' ppm', 0)}",
        f"{fmt(z.get('ratio_end_ppm'), ' ppm', 0)}; {fmt(z.get('ratio_end_median10_ppm'), ' ppm', 0)}")
    row("first playing latency, end to end (own figure in its first report)",
        f"{fmt(d['first_latency_ms'], ' ms')} ({fmt(d.get('first_reported_ms'), ' ms')})",
        f"{fmt(z['first_latency_ms'], ' ms')} (fill {fmt(z.get('first_reported_ms'), ' ms')})")
    row("time to lock, own figure (±1 ms for 95 % of 30 s)",
        fmt(d.get("own_lock_s"), " s") if d.get("own_lock_s") is not None else "not within the run",
        (fmt(z.get("own_lock_s"), " s") if z.get("own_lock_s") is not None else "not within the run")
        + " (loop error)")
    row("time to lock, end to end vs its final median",
        f"{fmt(d.get('e2e_lock_s'), ' s') if d.get('e2e_lock_s') is not None else 'not within the run'}"
        f" (median {fmt(d['e2e_final_median_ms'], ' ms')})",
        f"{fmt(z.get('e2e_lock_s'), ' s') if z.get('e2e_lock_s') is not None else 'not within the run'}"
        f" (median {fmt(z['e2e_final_median_ms'], ' ms')})")
    row("latency wander (10-s medians from 10 s, peak to peak)",
        fmt(d.get("e2e_wander_ms"), " ms", 2), fmt(z.get("e2e_wander_ms"), " ms", 2))
    row("latency spread p1..p99 (stall-free, from lock or 10 s)",
        f"{fmt(d.get('spread_ms'), ' ms', 2)} from {fmt(d.get('spread_from_s'), ' s')}",
        f"{fmt(z.get('spread_ms'), ' ms', 2)} from {fmt(z.get('spread_from_s'), ' s')}")
    row(f"pitch error, median of the 1-s windows' size from {fmt(d['pitch_from_s'], ' s', 0)} "
        "(signed median)",
        f"{fmt(d.get('pitch_error_ppm'), '', 1) + ' ppm'} ({fmt(d.get('pitch_median_ppm'), ' ppm', 0)})",
        f"{fmt(z.get('pitch_error_ppm'), '', 1) + ' ppm'} ({fmt(z.get('pitch_median_ppm'), ' ppm', 0)})")
    row("clicks heard / sent", f"{d['clicks_heard']} / {d['clicks_sent']}",
        f"{z['clicks_heard']} / {z['clicks_sent']}")
    cpu = meta.get("cpu", {})
    row("CPU (s over the run, % of a core); private memory",
        *(f"{fmt(cpu.get(n, {}).get('cpu_s'), ' s', 2)} ({fmt(cpu.get(n, {}).get('cpu_pct'), ' %', 2)}); "
          f"{fmt(cpu.get(n, {}).get('private_kb'), ' kB', 0)}" for n in RECEIVERS))
    lines.append("")
    for name, report in summary["relays"].items():
        for line in report:
            lines.append(f"- {name}: {line.split(': ', 1)[1]}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    analyse(sys.argv[1])
