// SPDX-License-Identifier: MIT
#include "audio/playout/clock_estimate.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t stretch_ns = 250'000'000;
// Points needed, and the time they must span, before the line says anything: a second.
constexpr std::uint32_t fewest_points = 4;
// How long a new line runs before it replaces a measurement made before it, seconds.
constexpr double proven_span_s = 5.0;
// A point this far above the line (or 4 spreads, if more) was held up: a stall or a burst.
constexpr double late_floor_s = 0.3e-3;
// A point this far below the line (or 4 spreads) means the delay itself has fallen.
constexpr double early_floor_s = 1.0e-3;
// The most a clock is taken to be off by: 2000 ppm, the bound of the correction.
constexpr double steepest_drift = 2000e-6;
// Late points in a row that mean the delay itself has risen: a second of them (a stall or a
// burst makes one or two).
constexpr std::uint32_t late_run_limit = 4;
// The scatter never counts as less than this: the envelope of a quiet loopback is nearly
// perfect, and an uncertainty of nothing would be believed too well.
constexpr double least_spread_s = 20e-6;

// Where the i-th point is kept; i = 0 is the oldest point in the ring.
std::uint32_t ring_index(const clock_estimate* c, std::uint32_t i) {
    return (c->head + CLOCK_ESTIMATE_POINTS - c->count + i) % CLOCK_ESTIMATE_POINTS;
}

const clock_estimate_point& point_at(const clock_estimate* c, std::uint32_t i) {
    return c->points[ring_index(c, i)];
}

// Least squares through the points that `use` keeps: one slope for all segments, an offset
// for each (a run: the points of one segment, which are consecutive).
struct fitted {
    double b = 0.0;
    double sxx = 0.0;  // x's spread within the runs
    std::uint32_t n = 0;
    std::uint32_t runs = 0;
    std::array<double, CLOCK_ESTIMATE_POINTS> a{};            // each run's offset
    std::array<std::uint32_t, CLOCK_ESTIMATE_POINTS> used{};  // each run's points kept

    // The residual of the point of run `run`; a run with nothing kept has no line.
    double residual(const clock_estimate_point& p, std::uint32_t run) const {
        return used[run] > 0 ? p.y - (a[run] + b * p.x) : 0.0;
    }
};

// Calls `visit(point, run)` for each point, oldest first.
template <typename Visit>
void for_each_point(const clock_estimate* c, Visit visit) {
    std::uint32_t run = 0;
    for (std::uint32_t i = 0; i < c->count; ++i) {
        const clock_estimate_point& p = point_at(c, i);
        run += i > 0 && p.segment != point_at(c, i - 1).segment ? 1 : 0;
        visit(p, run);
    }
}

template <typename Use>
fitted fit(const clock_estimate* c, Use use) {
    fitted f;
    std::array<double, CLOCK_ESTIMATE_POINTS> sx{};
    std::array<double, CLOCK_ESTIMATE_POINTS> sy{};
    for_each_point(c, [&](const clock_estimate_point& p, std::uint32_t run) {
        f.runs = run + 1;
        if (use(p, run)) {
            sx[run] += p.x;
            sy[run] += p.y;
            ++f.used[run];
            ++f.n;
        }
    });
    double sxy = 0.0;
    for_each_point(c, [&](const clock_estimate_point& p, std::uint32_t run) {
        if (use(p, run)) {
            const double dx = p.x - sx[run] / f.used[run];
            sxy += dx * (p.y - sy[run] / f.used[run]);
            f.sxx += dx * dx;
        }
    });
    f.b = f.sxx > 0.0 ? sxy / f.sxx : 0.0;
    for (std::uint32_t run = 0; run < f.runs; ++run) {
        f.a[run] = f.used[run] > 0 ? (sy[run] - f.b * sx[run]) / f.used[run] : 0.0;
    }
    return f;
}

// The points within `late_s` above the line `previous` (or below it).
fitted fit_within(const clock_estimate* c, const fitted& previous, double late_s) {
    return fit(c, [&](const clock_estimate_point& p, std::uint32_t run) {
        return previous.used[run] > 0 && previous.residual(p, run) <= late_s;
    });
}

// The median distance of the points from the line, scaled to a standard deviation.
double robust_spread(const clock_estimate* c, const fitted& f) {
    std::array<double, CLOCK_ESTIMATE_POINTS> distance{};
    for_each_point(c, [&, i = 0u](const clock_estimate_point& p, std::uint32_t run) mutable {
        distance[i++] = std::abs(f.residual(p, run));
    });
    const auto middle = distance.begin() + c->count / 2;
    std::nth_element(distance.begin(), middle, distance.begin() + c->count);
    return std::max(1.4826 * *middle, least_spread_s);
}

// Keeps only the newest `keep` points. A measurement made so far stays until the new line is
// as long as `proven_span_s`: a line of a second or two through a stretch of a busy machine
// can be off by a thousand ppm.
void keep_newest(clock_estimate* c, std::uint32_t keep) {
    c->provisional = c->valid;
    c->count = std::min(c->count, keep);
    c->late_run = 0;
    c->has_line = false;
}

// The newest `points` begin a segment of their own.
void begin_segment(clock_estimate* c, std::uint32_t points) {
    ++c->segment;
    for (std::uint32_t i = c->count - std::min(points, c->count); i < c->count; ++i) {
        c->points[ring_index(c, i)].segment = c->segment;
    }
    c->late_run = 0;
}

void add_point(clock_estimate* c, clock_estimate_point point) {
    // Against the point before: from one stretch to the next a clock moves the delay by half a
    // millisecond at most (2000 ppm), so a point a millisecond further off than that is a step
    // of the delay itself (a server that lost time, a stall). It begins a segment, line or no
    // line yet: taken into a line of a second or two, such a step tilts it by thousands of ppm.
    if (c->count > 0) {
        const clock_estimate_point& last = point_at(c, c->count - 1);
        if (last.segment == c->segment &&
            std::abs(point.y - last.y) > early_floor_s + steepest_drift * (point.x - last.x)) {
            ++c->segment;
            c->late_run = 0;
        }
    }
    // Against the line so far: a point far below it means the delay has fallen for good (the
    // earlier points were all late by as much), so a segment begins with it.
    if (c->has_line) {
        const double residual = point.y - (c->line_a + c->line_b * point.x);
        if (residual < -std::max(4.0 * c->spread_s, early_floor_s)) {
            ++c->segment;
            c->late_run = 0;
        }
    }
    point.segment = c->segment;
    c->points[c->head] = point;
    c->head = (c->head + 1) % CLOCK_ESTIMATE_POINTS;
    c->count = std::min(c->count + 1, CLOCK_ESTIMATE_POINTS);
    if (c->count < fewest_points) {
        return;
    }
    const fitted all = fit(c, [](const clock_estimate_point&, std::uint32_t) { return true; });
    const double spread = robust_spread(c, all);
    const double late_s = std::max(4.0 * spread, late_floor_s);
    // The fit through all points is pulled up by the late ones; the robust spread is not, so
    // the points more than `late_s` above the line are found against a second fit through
    // those within it.
    const fitted first = fit_within(c, all, late_s);
    const fitted kept = first.n >= fewest_points ? fit_within(c, first, late_s) : all;
    const double newest = kept.residual(point, kept.runs - 1);
    c->late_run = newest > late_s ? c->late_run + 1 : 0;
    if (c->late_run >= late_run_limit) {
        // The delay has risen for good: the late points begin a segment, but for the first,
        // which may straddle the change.
        begin_segment(c, late_run_limit - 1);
        return;
    }
    const double span = point_at(c, c->count - 1).x - point_at(c, 0).x;
    if (kept.n < fewest_points || kept.sxx <= 0.0 || span < 0.7) {
        return;
    }
    c->has_line = true;
    c->line_a = kept.a[kept.runs - 1];
    c->line_b = kept.b;
    c->spread_s = spread;
    if (c->provisional && span < proven_span_s) {
        return;
    }
    c->provisional = false;
    // delay = a + b x with arrival = x / (1 + ppm): b = 1 / (1 + ppm) - 1.
    c->ppm = (1.0 / (1.0 + kept.b) - 1.0) * 1e6;
    c->uncertainty_ppm = spread / std::sqrt(kept.sxx) * 1e6;
    c->valid = true;
}

}  // namespace

void clock_estimate_init(clock_estimate* clock, double stream_rate) {
    *clock = clock_estimate{};
    clock->stream_rate = stream_rate;
}

void clock_estimate_restart(clock_estimate* clock) {
    clock->started = false;
    clock->stretch_has_point = false;
    keep_newest(clock, 0);
}

void clock_estimate_pause(clock_estimate* clock) {
    clock->stretch_has_point = false;
}

void clock_estimate_observe(clock_estimate* c, double position, std::int64_t arrival_ns) {
    if (c->stream_rate <= 0.0) {
        return;
    }
    if (!c->started) {
        c->started = true;
        c->origin_ns = arrival_ns;
        c->origin_frames = position;
        c->stretch_end_ns = arrival_ns + stretch_ns;
        c->stretch_has_point = false;
    }
    if (arrival_ns >= c->stretch_end_ns) {
        if (c->stretch_has_point) {
            add_point(c, c->stretch_best);
        }
        c->stretch_has_point = false;
        // A silence of several stretches leaves no points behind it, only a longer line.
        const std::int64_t behind = (arrival_ns - c->stretch_end_ns) / stretch_ns;
        c->stretch_end_ns += (behind + 1) * stretch_ns;
    }
    const double x = (position - c->origin_frames) / c->stream_rate;
    const double y = static_cast<double>(arrival_ns - c->origin_ns) * 1e-9 - x;
    if (!c->stretch_has_point || y < c->stretch_best.y) {
        c->stretch_best = {x, y};
        c->stretch_has_point = true;
    }
}

double clock_estimate_lateness(const clock_estimate* c, double position, std::int64_t arrival_ns) {
    if (!c->started) {
        return 0.0;
    }
    const double x = (position - c->origin_frames) / c->stream_rate;
    const double y = static_cast<double>(arrival_ns - c->origin_ns) * 1e-9 - x;
    if (c->has_line) {
        return std::max(0.0, y - (c->line_a + c->line_b * x));
    }
    // Before there is a line (the first second), against the earliest packet of this stretch
    // and the last: over half a second the sender's clock moves the delays by half a
    // millisecond at most.
    double earliest = c->stretch_has_point ? c->stretch_best.y : y;
    if (c->count > 0) {
        earliest = std::min(earliest, point_at(c, c->count - 1).y);
    }
    return std::max(0.0, y - earliest);
}
