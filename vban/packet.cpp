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

std::size_t expected_payload(const vban_header& header) {
    return frame_size(header) * (static_cast<std::size_t>(header.nbs) + 1);
}

// What packet_check tests before the PCM part, in its order.
packet_fault header_fault(const char* streamname, const void* buffer, std::size_t size) {
    if (size <= VBAN_HEADER_SIZE) {
        return packet_fault::too_small;
    }
    const vban_header header = load_header(buffer);
    if (header.vban != VBAN_HEADER_FOURC) {
        return packet_fault::not_vban;
    }
    if (std::strncmp(header.streamname, streamname, VBAN_STREAM_NAME_SIZE) != 0) {
        return packet_fault::other_stream;
    }
    if ((header.bit & VBAN_RESERVED_MASK) != 0) {
        return packet_fault::reserved_bit;
    }
    switch (header.sr & VBAN_PROTOCOL_MASK) {
        case VBAN_PROTOCOL_AUDIO:
            break;
        case VBAN_PROTOCOL_SERVICE:
            return packet_fault::service;
        default:
            return packet_fault::other_protocol;
    }
    if ((header.bit & VBAN_CODEC_MASK) != VBAN_CODEC_PCM) {
        return packet_fault::other_codec;
    }
    return packet_fault::none;
}

// The PCM part: the rate index and the payload length (of a datagram of at least a header).
packet_fault pcm_fault(const vban_header& header, std::size_t size) {
    if ((header.sr & VBAN_SR_MASK) >= VBAN_SR_MAXNUMBER) {
        return packet_fault::sample_rate;
    }
    return size - VBAN_HEADER_SIZE == expected_payload(header) ? packet_fault::none
                                                               : packet_fault::payload_size;
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
    const packet_fault fault = header_fault(streamname, buffer, size);
    switch (fault) {
        case packet_fault::none:
            return packet_pcm_check(buffer, size);
        case packet_fault::other_stream:
            logger_log(LOG_DEBUG, "%s: %s", name, packet_fault_text(fault));
            break;
        // Only the service sub-protocol is worth a line: text and serial packets share ports
        // with audio on purpose, and a receptor must stay quiet about them.
        case packet_fault::service:
            logger_log(LOG_ERROR, "%s: %s", name, packet_fault_text(fault));
            break;
        case packet_fault::other_protocol:
        case packet_fault::other_codec:
            break;
        default:
            logger_log(LOG_WARNING, "%s: %s", name, packet_fault_text(fault));
            break;
    }
    return -EINVAL;
}

std::int32_t packet_pcm_check(const void* buffer, std::size_t size) {
    const char* name = "packet_pcm_check";
    if (buffer == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (size < VBAN_HEADER_SIZE) {
        logger_log(LOG_WARNING, "%s: %s", name, packet_fault_text(packet_fault::too_small));
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
    switch (const packet_fault fault = pcm_fault(header, size)) {
        case packet_fault::none:
            return 0;
        case packet_fault::payload_size:
            logger_log(LOG_WARNING, "%s: %s, expected %d, got %d", name, packet_fault_text(fault),
                       static_cast<int>(expected_payload(header)),
                       static_cast<int>(size - VBAN_HEADER_SIZE));
            return -EINVAL;
        default:
            logger_log(LOG_WARNING, "%s: %s", name, packet_fault_text(fault));
            return -EINVAL;
    }
}

packet_fault packet_find_fault(const char* streamname, const void* buffer, std::size_t size) {
    if (streamname == nullptr || buffer == nullptr) {
        return packet_fault::too_small;
    }
    const packet_fault fault = header_fault(streamname, buffer, size);
    return fault != packet_fault::none ? fault : pcm_fault(load_header(buffer), size);
}

const char* packet_fault_text(packet_fault fault) {
    switch (fault) {
        case packet_fault::none:
            return "valid";
        case packet_fault::too_small:
            return "packet too small";
        case packet_fault::not_vban:
            return "invalid vban magic fourc";
        case packet_fault::other_stream:
            return "different streamname";
        case packet_fault::reserved_bit:
            return "reserved format bit invalid value";
        case packet_fault::service:
            return "packet with unknown protocol";
        case packet_fault::other_protocol:
            return "not an audio packet";
        case packet_fault::other_codec:
            return "not PCM";
        case packet_fault::sample_rate:
            return "invalid sample rate";
        case packet_fault::payload_size:
            return "invalid payload size";
    }
    return "?";
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
