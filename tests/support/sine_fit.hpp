// SPDX-License-Identifier: MIT
#pragma once

// How far a signal is from a pure sine, for the resampler's tests and benchmark: the power of
// a least-squares fit against the power of what the fit leaves (noise, distortion, clicks).
// Header-only so that the benchmarks, which do not link the test support, use it too.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>

namespace test_support {

// Fits `x` (every `stride`-th value, `n` of them) with the basis functions `basis(i, k)` by
// least squares; the ratio in dB of the fitted part's power to the residual's.
template <std::size_t K, typename Basis>
double fit_snr_db(const float* x, std::size_t n, std::size_t stride, Basis basis) {
    std::array<std::array<double, K + 1>, K> normal{};
    for (std::size_t i = 0; i < n; ++i) {
        std::array<double, K> b;
        for (std::size_t k = 0; k < K; ++k) {
            b[k] = basis(i, k);
        }
        for (std::size_t r = 0; r < K; ++r) {
            for (std::size_t c = 0; c < K; ++c) {
                normal[r][c] += b[r] * b[c];
            }
            normal[r][K] += b[r] * x[i * stride];
        }
    }
    // Gauss-Jordan with partial pivoting: the system is small and well conditioned.
    for (std::size_t col = 0; col < K; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < K; ++r) {
            if (std::abs(normal[r][col]) > std::abs(normal[pivot][col])) {
                pivot = r;
            }
        }
        std::swap(normal[col], normal[pivot]);
        for (std::size_t r = 0; r < K; ++r) {
            if (r != col && normal[col][col] != 0.0) {
                const double f = normal[r][col] / normal[col][col];
                for (std::size_t c = col; c <= K; ++c) {
                    normal[r][c] -= f * normal[col][c];
                }
            }
        }
    }
    double signal = 0.0;
    double residual = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double fit = 0.0;
        for (std::size_t k = 0; k < K; ++k) {
            fit += basis(i, k) * normal[k][K] / normal[k][k];
        }
        signal += fit * fit;
        residual += (x[i * stride] - fit) * (x[i * stride] - fit);
    }
    return 10.0 * std::log10(signal / std::max(residual, 1e-300));
}

// SNR in dB of `n` samples against the best sine of `cycles_per_sample` (plus an offset).
inline double sine_snr_db(const float* x, std::size_t n, std::size_t stride,
                          double cycles_per_sample) {
    const double w = 2.0 * std::numbers::pi * cycles_per_sample;
    return fit_snr_db<3>(x, n, stride, [w](std::size_t i, std::size_t k) {
        const double phase = w * static_cast<double>(i);
        return k == 0 ? std::sin(phase) : k == 1 ? std::cos(phase) : 1.0;
    });
}

}  // namespace test_support
