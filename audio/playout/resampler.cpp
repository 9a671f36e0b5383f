// SPDX-License-Identifier: MIT
#include "audio/playout/resampler.hpp"

#include <samplerate.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>

namespace {
// The widest correction the clock follower asks for, plus a margin for the library's slew
// from one ratio to the next within a block.
constexpr double largest_ppm = 2500.0;

// libsamplerate's sinc converters take at most this many channels each; a wider stream is
// converted in groups of channels, one converter each.
constexpr std::uint32_t group_channels = 128;
constexpr std::uint32_t largest_channels = 256;
constexpr std::size_t most_groups = largest_channels / group_channels;

// A grouped conversion goes through buffers of one group, this many input frames at a time.
constexpr std::size_t chunk_frames = 256;
}  // namespace

struct resampler {
    std::array<SRC_STATE*, most_groups> states{};
    std::size_t groups = 1;
    std::size_t channels = 0;
    double nominal = 1.0;  // output frames per input frame without correction
    double ratio = 1.0;    // with it
    // One group's frames, in and out, when there is more than one group.
    std::unique_ptr<float[]> group_in;
    std::unique_ptr<float[]> group_out;
    std::size_t group_room = 0;  // frames of group_out
    ~resampler() {
        for (SRC_STATE* state : states) {
            src_delete(state);
        }
    }
};

namespace {

// The channels of group `g`: the first groups hold group_channels each, the last the rest.
std::size_t channels_of(const resampler* handle, std::size_t g) {
    return std::min<std::size_t>(group_channels, handle->channels - g * group_channels);
}

// One call of the library on `state`; the frames made, with the input frames taken in `used`.
std::size_t convert(SRC_STATE* state, double ratio, const float* in, std::size_t in_frames,
                    std::size_t* used, float* out, std::size_t out_room) {
    SRC_DATA data{};
    data.data_in = in;
    data.input_frames = static_cast<long>(in_frames);
    data.data_out = out;
    data.output_frames = static_cast<long>(out_room);
    data.src_ratio = ratio;
    if (src_process(state, &data) != 0) {
        *used = in_frames;
        return 0;
    }
    *used = static_cast<std::size_t>(data.input_frames_used);
    return static_cast<std::size_t>(data.output_frames_gen);
}

// Converts at most a chunk of the interleaved frames group by group: each group's channels
// are gathered, converted and put back in place. The groups see the same frames at the same
// ratio and so take and make as many; if they ever did not, the chunk is given up.
std::size_t convert_chunk(resampler* handle, const float* in, std::size_t in_frames,
                          std::size_t* used, float* out, std::size_t out_room) {
    const std::size_t room = std::min(out_room, handle->group_room);
    std::size_t made = 0;
    for (std::size_t g = 0; g < handle->groups; ++g) {
        const std::size_t width = channels_of(handle, g);
        const std::size_t first = g * group_channels;
        for (std::size_t f = 0; f < in_frames; ++f) {
            std::copy_n(in + f * handle->channels + first, width,
                        handle->group_in.get() + f * width);
        }
        std::size_t taken = 0;
        const std::size_t group_made =
            convert(handle->states[g], handle->ratio, handle->group_in.get(), in_frames, &taken,
                    handle->group_out.get(), room);
        if (g > 0 && (taken != *used || group_made != made)) {
            *used = in_frames;
            return 0;
        }
        *used = taken;
        made = group_made;
        for (std::size_t f = 0; f < made; ++f) {
            std::copy_n(handle->group_out.get() + f * width, width,
                        out + f * handle->channels + first);
        }
    }
    return made;
}

}  // namespace

std::int32_t resampler_init(resampler** out, std::uint32_t nb_channels, std::uint32_t in_rate,
                            std::uint32_t out_rate) {
    if (out == nullptr) {
        return -EINVAL;
    }
    *out = nullptr;
    if (nb_channels == 0 || nb_channels > largest_channels || in_rate == 0 || out_rate == 0) {
        return -EINVAL;
    }
    std::unique_ptr<resampler> handle(new (std::nothrow) resampler);
    if (!handle) {
        return -ENOMEM;
    }
    handle->channels = nb_channels;
    handle->groups = (nb_channels + group_channels - 1) / group_channels;
    handle->nominal = static_cast<double>(out_rate) / in_rate;
    handle->ratio = handle->nominal;
    // SINC_FASTEST: 112 dB against an ideal sine at +1000 ppm, at a cost fit for live audio;
    // the measurements are in docs/playout.md.
    for (std::size_t g = 0; g < handle->groups; ++g) {
        int error = 0;
        handle->states[g] =
            src_new(SRC_SINC_FASTEST, static_cast<int>(channels_of(handle.get(), g)), &error);
        if (handle->states[g] == nullptr) {
            return -ENOMEM;
        }
        // The first block starts at this ratio instead of slewing from the library's default.
        src_set_ratio(handle->states[g], handle->ratio);
    }
    if (handle->groups > 1) {
        handle->group_room = resampler_max_output(handle.get(), chunk_frames);
        handle->group_in.reset(new (std::nothrow) float[chunk_frames * group_channels]);
        handle->group_out.reset(new (std::nothrow) float[handle->group_room * group_channels]);
        if (!handle->group_in || !handle->group_out) {
            return -ENOMEM;
        }
    }
    *out = handle.release();
    return 0;
}

void resampler_release(resampler** place) {
    if (place != nullptr) {
        delete *place;
        *place = nullptr;
    }
}

void resampler_set_ppm(resampler* handle, double ppm) {
    handle->ratio = handle->nominal / (1.0 + ppm * 1e-6);
}

std::size_t resampler_max_output(const resampler* handle, std::size_t in_frames) {
    // The filter may hand out a frame or two it held from the block before.
    return static_cast<std::size_t>(std::ceil(static_cast<double>(in_frames) * handle->nominal *
                                              (1.0 + largest_ppm * 1e-6))) +
           2;
}

std::size_t resampler_process(resampler* handle, const float* in, std::size_t in_frames,
                              std::size_t* used, float* out, std::size_t out_room) {
    if (handle->groups == 1) {
        return convert(handle->states[0], handle->ratio, in, in_frames, used, out, out_room);
    }
    // Chunk by chunk, bounded by the input: each round takes frames or makes room run out.
    std::size_t taken = 0;
    std::size_t made = 0;
    while (taken < in_frames && made < out_room) {
        std::size_t chunk_used = 0;
        const std::size_t chunk_made = convert_chunk(
            handle, in + taken * handle->channels, std::min(in_frames - taken, chunk_frames),
            &chunk_used, out + made * handle->channels, out_room - made);
        taken += chunk_used;
        made += chunk_made;
        if (chunk_used == 0) {
            break;
        }
    }
    *used = taken;
    return made;
}
