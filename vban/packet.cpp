// SPDX-License-Identifier: MIT
#include "vban/packet.hpp"

#include <cerrno>
#include <cstring>

#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

// The header is copied in and out rather than aliased, so any byte buffer will do.
vban_header load_header(const void* buffer) {
    vban_header header;
    std::memcpy(&header, buffer, sizeof header);
    return header;
}

void store_header(void* buffer, const vban_header& header) {
    std::memcpy(buffer, &header, sizeof header);
}

std::size_t frame_size(const vban_header& header) {
    return bit_fmt_frame_size(header.bit & VBAN_BIT_FMT_MASK, std::uint64_t{header.nbc} + 1);
}

// 12I and 10I have no whole-byte sample: no payload can be sized or counted in frames.
std::int32_t refuse_formats_without_size(const vban_header& header, const char* name) {
    logger_log(LOG_ERROR, "%s: format %s has no sample size", name,
               bit_fmt_name(header.bit & VBAN_BIT_FMT_MASK));
    return -EINVAL;
}

}  // namespace

std::int32_t packet_init_header(void* buffer, const stream_config* config, const char* streamname) {
    if (buffer == nullptr || config == nullptr || streamname == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", "packet_init_header");
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    header.vban = VBAN_HEADER_FOURC;
    header.nbc = static_cast<std::uint8_t>(config->nb_channels - 1);
    header.sr = vban_sample_rate_index(config->sample_rate);
    header.bit = static_cast<std::uint8_t>(config->bit_fmt);
    vban_set_stream_name(header.streamname, streamname);
    header.nu_frame = 0;
    store_header(buffer, header);
    return 0;
}

std::int32_t packet_get_max_payload_size(const void* buffer) {
    const char* name = "packet_get_max_payload_size";
    if (buffer == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", name);
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    std::size_t frame = frame_size(header);
    if (frame == 0) {
        return refuse_formats_without_size(header, name);
    }
    std::size_t frames = VBAN_DATA_MAX_SIZE / frame;
    if (frames > VBAN_SAMPLES_MAX_NB) {
        frames = VBAN_SAMPLES_MAX_NB;
    }
    return static_cast<std::int32_t>(frames * frame);
}

std::int32_t packet_set_new_content(void* buffer, std::size_t payload_size) {
    const char* name = "packet_set_new_content";
    if (buffer == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", name);
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    std::size_t frame = frame_size(header);
    if (frame == 0) {
        return refuse_formats_without_size(header, name);
    }
    header.nbs = static_cast<std::uint8_t>(payload_size / frame - 1);
    header.nu_frame += 1;  // unsigned: wraps from 4294967295 to 0
    store_header(buffer, header);
    return 0;
}

std::int32_t packet_check(const char* streamname, const void* buffer, std::size_t size) {
    const char* name = "packet_check";
    if (streamname == nullptr || buffer == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (size <= VBAN_HEADER_SIZE) {
        logger_log(LOG_WARNING, "%s: packet too small", name);
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    if (header.vban != VBAN_HEADER_FOURC) {
        logger_log(LOG_WARNING, "%s: invalid vban magic fourc", name);
        return -EINVAL;
    }
    if (std::strncmp(header.streamname, streamname, VBAN_STREAM_NAME_SIZE) != 0) {
        logger_log(LOG_DEBUG, "%s: different streamname", name);
        return -EINVAL;
    }
    if ((header.bit & VBAN_RESERVED_MASK) != 0) {
        logger_log(LOG_WARNING, "%s: reserved format bit invalid value", name);
        return -EINVAL;
    }
    // Only the service sub-protocol is worth a line: text and serial packets share ports
    // with audio on purpose, and a receptor must stay quiet about them.
    std::uint8_t protocol = header.sr & VBAN_PROTOCOL_MASK;
    if (protocol != VBAN_PROTOCOL_AUDIO) {
        if (protocol == VBAN_PROTOCOL_SERVICE) {
            logger_log(LOG_ERROR, "%s: packet with unknown protocol", name);
        }
        return -EINVAL;
    }
    if ((header.bit & VBAN_CODEC_MASK) != VBAN_CODEC_PCM) {
        return -EINVAL;
    }
    return packet_pcm_check(buffer, size);
}

std::int32_t packet_pcm_check(const void* buffer, std::size_t size) {
    const char* name = "packet_pcm_check";
    if (buffer == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (size < VBAN_HEADER_SIZE) {
        logger_log(LOG_WARNING, "%s: packet too small", name);
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    if (logger_enabled(LOG_DEBUG)) {
        // A 16-character name has no terminator in the header.
        char stream[VBAN_STREAM_NAME_SIZE + 1] = {};
        std::memcpy(stream, header.streamname, VBAN_STREAM_NAME_SIZE);
        const std::uint32_t rate = vban_sample_rate_from_index(header.sr & VBAN_SR_MASK);
        logger_log(LOG_DEBUG, "%s: packet %u of '%s': %u Hz%s, %u frames of %u channels in %s",
                   name, header.nu_frame, stream, rate, rate == 0 ? " (no VBAN rate)" : "",
                   header.nbs + 1u, header.nbc + 1u, bit_fmt_name(header.bit & VBAN_BIT_FMT_MASK));
    }
    if ((header.sr & VBAN_SR_MASK) >= VBAN_SR_MAXNUMBER) {
        logger_log(LOG_WARNING, "%s: invalid sample rate", name);
        return -EINVAL;
    }
    std::size_t expected = frame_size(header) * (static_cast<std::size_t>(header.nbs) + 1);
    std::size_t payload = size - VBAN_HEADER_SIZE;
    if (payload != expected) {
        logger_log(LOG_WARNING, "%s: invalid payload size, expected %d, got %d", name,
                   static_cast<int>(expected), static_cast<int>(payload));
        return -EINVAL;
    }
    return 0;
}

std::int32_t packet_get_stream_config(const void* buffer, stream_config* config) {
    if (config != nullptr) {
        *config = stream_config{};
    }
    if (buffer == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", "packet_get_stream_config");
        return -EINVAL;
    }
    vban_header header = load_header(buffer);
    config->nb_channels = static_cast<std::uint32_t>(header.nbc) + 1;
    config->sample_rate = vban_sample_rate_from_index(header.sr & VBAN_SR_MASK);
    config->bit_fmt = header.bit & VBAN_BIT_FMT_MASK;
    return 0;
}

std::uint32_t packet_get_counter(const void* buffer) {
    return buffer != nullptr ? load_header(buffer).nu_frame : 0;
}

bool packet_has_other_name(const char* streamname, const void* buffer, std::size_t size) {
    if (streamname == nullptr || buffer == nullptr || size < VBAN_HEADER_SIZE) {
        return false;
    }
    const vban_header header = load_header(buffer);
    return header.vban == VBAN_HEADER_FOURC &&
           std::strncmp(header.streamname, streamname, VBAN_STREAM_NAME_SIZE) != 0;
}
