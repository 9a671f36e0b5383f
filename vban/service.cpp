// SPDX-License-Identifier: MIT
#include "vban/service.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

// Bytes 5 to 7 of the header, which the service sub-protocol gives its own meaning.
constexpr std::size_t FUNCTION_BYTE = 5;
constexpr std::size_t SERVICE_TYPE_BYTE = 6;
constexpr std::size_t RESERVED_BYTE = 7;

// What a receptor announces before a stream fixes its rate: everything VBAN can carry.
constexpr std::uint32_t VBAN_PREFERRED_RATE = 48000;
constexpr std::uint32_t vban_min_rate = *std::ranges::min_element(vban_sample_rates);
constexpr std::uint32_t vban_max_rate = *std::ranges::max_element(vban_sample_rates);

constexpr const char* LANGUAGE_CODE = "en-us";
constexpr const char* MANUFACTURER_NAME = "VBAN tools";

// The bytes of UTF-8 that continue a character are 10xxxxxx; a character has at most three.
bool continues_a_character(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Peers read the fields as C strings, so the last byte always stays zero.
void copy_text(char* field, std::size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text == nullptr) {
        return;
    }
    std::size_t length = strnlen(text, size);
    if (length == size) {
        length = size - 1;
        for (int back = 0; back < 3 && length > 0 && continues_a_character(text[length]); ++back) {
            --length;
        }
    }
    std::memcpy(field, text, length);
}

template <std::size_t N>
void copy_text(char (&field)[N], const char* text) {
    copy_text(field, N, text);
}

// A host without a name (or with one the field cannot hold whole) still answers.
template <std::size_t N>
void copy_host_name(char (&field)[N]) {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        name[0] = '\0';
    }
    copy_text(field, name);
}

// Only a login session has a login name; a service manager's process answers without one.
template <std::size_t N>
void copy_login_name(char (&field)[N]) {
    char name[LOGIN_NAME_MAX + 1] = {};
    if (getlogin_r(name, sizeof name) != 0) {
        name[0] = '\0';
    }
    copy_text(field, name);
}

// A bucket of `burst` replies refilled with one per `interval`, kept as the time at which it is
// full again: it holds a reply while that time is less than `burst` intervals ahead of now.
bool bucket_allows(std::uint64_t full_at_ns, std::uint64_t now_ns, std::uint32_t burst,
                   std::uint64_t interval_ns) {
    return full_at_ns <= now_ns + (burst - 1) * interval_ns;
}

std::uint64_t bucket_take(std::uint64_t full_at_ns, std::uint64_t now_ns,
                          std::uint64_t interval_ns) {
    return std::max(full_at_ns, now_ns) + interval_ns;
}

// The sender's row, or a fresh one with a full bucket in place of the least recently heard.
service_rate_limit::sender& sender_row(service_rate_limit* limit, std::uint32_t address) {
    service_rate_limit::sender* oldest = nullptr;
    for (std::size_t i = 0; i < limit->nb_senders; ++i) {
        service_rate_limit::sender& row = limit->senders[i];
        if (row.address == address) {
            return row;
        }
        if (oldest == nullptr || row.heard_ns < oldest->heard_ns) {
            oldest = &row;
        }
    }
    if (limit->nb_senders < limit->senders.size()) {
        oldest = &limit->senders[limit->nb_senders++];
    }
    *oldest = {address, 0, 0};
    return *oldest;
}

}  // namespace

bool service_is_service_packet(const void* datagram, std::size_t size) {
    if (datagram == nullptr || size < VBAN_HEADER_SIZE) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(datagram);
    return std::memcmp(bytes, "VBAN", 4) == 0 &&
           (bytes[4] & VBAN_PROTOCOL_MASK) == VBAN_PROTOCOL_SERVICE;
}

bool service_is_ping0_request(const void* datagram, std::size_t size) {
    if (!service_is_service_packet(datagram, size)) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(datagram);
    return bytes[4] == VBAN_PROTOCOL_SERVICE && bytes[FUNCTION_BYTE] == VBAN_SERVICE_FN_PING0 &&
           bytes[SERVICE_TYPE_BYTE] == VBAN_SERVICE_IDENTIFICATION;
}

std::int32_t service_identity_init(service_identity* identity,
                                   const service_identity_config* config) {
    if (identity == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", "service_identity_init");
        return -EINVAL;
    }
    *identity = service_identity{};
    identity->device_type = config->device_type;
    identity->features = VBAN_SERVICE_FEATURE_AUDIO;
    identity->colour = config->colour;
    // The project's own version, least significant part first.
    identity->version[1] = VBAN_TOOLS_VERSION_PATCH;
    identity->version[2] = VBAN_TOOLS_VERSION_MINOR;
    identity->version[3] = VBAN_TOOLS_VERSION_MAJOR;
    service_identity_set_sample_rate(identity, config->sample_rate);
    copy_text(identity->language_code, LANGUAGE_CODE);
    copy_text(identity->distant_ip, config->distant_ip);
    identity->distant_port = config->distant_port;
    copy_text(identity->device_name, config->device_name);
    copy_text(identity->manufacturer_name, MANUFACTURER_NAME);
    copy_text(identity->application_name, config->application);
    copy_host_name(identity->host_name);
    copy_login_name(identity->user_name);
    copy_text(identity->user_comment, config->user_comment);
    return 0;
}

void service_identity_set_sample_rate(service_identity* identity, std::uint32_t sample_rate) {
    if (identity == nullptr) {
        return;
    }
    if (sample_rate == 0) {
        identity->preferred_rate = VBAN_PREFERRED_RATE;
        identity->min_rate = vban_min_rate;
        identity->max_rate = vban_max_rate;
        return;
    }
    identity->preferred_rate = sample_rate;
    identity->min_rate = sample_rate;
    identity->max_rate = sample_rate;
}

std::int32_t service_build_reply(const service_identity* identity, const void* request,
                                 std::size_t request_size, void* reply, std::size_t reply_size) {
    if (identity == nullptr || reply == nullptr || reply_size < VBAN_SERVICE_PING0_SIZE ||
        !service_is_ping0_request(request, request_size)) {
        return -EINVAL;
    }
    auto* out = static_cast<std::uint8_t*>(reply);
    // memmove: a caller may build the reply over the request in its receive buffer.
    std::memmove(out, request, VBAN_HEADER_SIZE);
    out[FUNCTION_BYTE] = VBAN_SERVICE_FN_REPLY | out[FUNCTION_BYTE];
    out[RESERVED_BYTE] = 0;
    std::memcpy(out + VBAN_HEADER_SIZE, identity, sizeof *identity);
    return static_cast<std::int32_t>(VBAN_SERVICE_PING0_SIZE);
}

bool service_rate_allow(service_rate_limit* limit, std::uint32_t address, std::uint64_t now_ns) {
    if (limit == nullptr) {
        return false;
    }
    service_rate_limit::sender& row = sender_row(limit, address);
    row.heard_ns = now_ns;
    if (!bucket_allows(row.full_at_ns, now_ns, SERVICE_SENDER_BURST, SERVICE_SENDER_INTERVAL_NS) ||
        !bucket_allows(limit->total_full_at_ns, now_ns, SERVICE_TOTAL_BURST,
                       SERVICE_TOTAL_INTERVAL_NS)) {
        return false;
    }
    row.full_at_ns = bucket_take(row.full_at_ns, now_ns, SERVICE_SENDER_INTERVAL_NS);
    limit->total_full_at_ns =
        bucket_take(limit->total_full_at_ns, now_ns, SERVICE_TOTAL_INTERVAL_NS);
    return true;
}
