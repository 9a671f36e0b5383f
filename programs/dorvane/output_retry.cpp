// SPDX-License-Identifier: MIT
#include "programs/dorvane/output_retry.hpp"

namespace {

constexpr auto retry_interval = std::chrono::seconds(1);

}  // namespace

output_attempt output_retry::next(const stream_config& config, clock::time_point now) const {
    if (!failing_ || !(config == refused_config_)) {
        return output_attempt::ask;
    }
    return now - refused_at_ >= retry_interval ? output_attempt::ask_again : output_attempt::skip;
}

void output_retry::refused(const stream_config& config, clock::time_point now) {
    failing_ = true;
    refused_config_ = config;
    refused_at_ = now;
}
