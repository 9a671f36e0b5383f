#include "vban/service.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

// A PING0 request as a discovering mixer sends it, from the protocol's layout: optionally
// followed by the requester's own 676-byte identity.
std::string ping0_request(std::uint32_t counter, bool with_identity) {
    std::string request = "VBAN\x60\x00\x00\x00"s + "VBAN Service" + std::string(4, '\0');
    for (int shift = 0; shift < 32; shift += 8) {
        request += static_cast<char>(counter >> shift);
    }
    if (with_identity) {
        request += std::string(676, '\xAA');
    }
    return request;
}

std::uint32_t u32_at(const std::array<std::uint8_t, 704>& reply, std::size_t offset) {
    return reply[offset] | reply[offset + 1] << 8 | reply[offset + 2] << 16 |
           std::uint32_t{reply[offset + 3]} << 24;
}

// The text of a payload field, checked to be zero padded with a terminating zero.
std::string text_at(const std::array<std::uint8_t, 704>& reply, std::size_t offset,
                    std::size_t size) {
    const char* field = reinterpret_cast<const char*>(reply.data() + 28 + offset);
    std::string text(field, strnlen(field, size));
    EXPECT_LT(text.size(), size) << "no terminating zero at payload offset " << offset;
    for (std::size_t i = text.size(); i < size; ++i) {
        EXPECT_EQ(field[i], 0) << "padding at payload offset " << offset + i;
    }
    return text;
}

service_identity dorvane_identity(const char* device_name, const char* comment = "Stream1") {
    service_identity identity;
    service_identity_config config{VBAN_SERVICE_RECEPTOR, 0,    0x00C08040, "dorvane", device_name,
                                   "192.168.1.10",        6980, comment};
    EXPECT_EQ(service_identity_init(&identity, &config), 0);
    return identity;
}

TEST(Service, Ping0ReplyCarriesTheHeaderAndEveryIdentityField) {
    service_identity identity = dorvane_identity("hw:1,0");
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    char login[LOGIN_NAME_MAX + 1] = {};
    if (getlogin_r(login, sizeof login) != 0) {
        login[0] = '\0';
    }
    for (bool with_identity : {false, true}) {
        std::string request = ping0_request(0x89ABCDEF, with_identity);
        std::array<std::uint8_t, 704> reply{};
        ASSERT_EQ(service_build_reply(&identity, request.data(), request.size(), reply.data(),
                                      reply.size()),
                  704);
        std::string expected_header =
            "VBAN\x60\x80\x00\x00"s + "VBAN Service" + std::string(4, '\0') + "\xEF\xCD\xAB\x89";
        EXPECT_EQ(std::string(reply.begin(), reply.begin() + 28), expected_header);
        EXPECT_EQ(u32_at(reply, 28 + 0), VBAN_SERVICE_RECEPTOR);
        EXPECT_EQ(u32_at(reply, 28 + 4), VBAN_SERVICE_FEATURE_AUDIO);
        EXPECT_EQ(u32_at(reply, 28 + 8), 0u);
        EXPECT_EQ(u32_at(reply, 28 + 12), 48000u);
        EXPECT_EQ(u32_at(reply, 28 + 16), 6000u);
        EXPECT_EQ(u32_at(reply, 28 + 20), 705600u);
        EXPECT_EQ(u32_at(reply, 28 + 24), 0x00C08040u);
        EXPECT_EQ(u32_at(reply, 28 + 28), 0x02010000u);  // bytes 00 00 01 02: version 2.1.0
        EXPECT_EQ(text_at(reply, 32, 8), "");
        EXPECT_EQ(text_at(reply, 40, 8), "");
        EXPECT_EQ(text_at(reply, 48, 8), "en-us");
        EXPECT_EQ(std::string(reply.begin() + 28 + 56, reply.begin() + 28 + 128),
                  std::string(72, '\0'));
        EXPECT_EQ(text_at(reply, 128, 32), "192.168.1.10");
        EXPECT_EQ(reply[28 + 160] | reply[28 + 161] << 8, 6980);
        EXPECT_EQ(reply[28 + 162] | reply[28 + 163], 0);
        EXPECT_EQ(text_at(reply, 164, 64), "hw:1,0");
        EXPECT_EQ(text_at(reply, 228, 64), "VBAN tools");
        EXPECT_EQ(text_at(reply, 292, 64), "dorvane");
        EXPECT_EQ(text_at(reply, 356, 64), host);
        EXPECT_EQ(text_at(reply, 420, 128), login);
        EXPECT_EQ(text_at(reply, 548, 128), "Stream1");

        // Built over the request in a receive buffer, and after a stream fixed the rate.
        service_identity_set_sample_rate(&identity, 44100);
        std::array<std::uint8_t, 1464> in_place{};
        std::memcpy(in_place.data(), request.data(), request.size());
        ASSERT_EQ(service_build_reply(&identity, in_place.data(), request.size(), in_place.data(),
                                      in_place.size()),
                  704);
        std::memcpy(reply.data(), in_place.data(), reply.size());
        EXPECT_EQ(std::string(reply.begin(), reply.begin() + 28), expected_header);
        for (std::size_t offset : {12u, 16u, 20u}) {
            EXPECT_EQ(u32_at(reply, 28 + offset), 44100u);
        }
        service_identity_set_sample_rate(&identity, 0);
    }
}

TEST(Service, OnlyPing0RequestsAreAnswered) {
    service_identity identity = dorvane_identity("file");
    std::array<std::uint8_t, 704> reply{};
    std::string ping = ping0_request(1, false);
    EXPECT_TRUE(service_is_ping0_request(ping.data(), ping.size()));
    EXPECT_EQ(service_build_reply(&identity, ping.data(), ping.size(), reply.data(), 703), -EINVAL);

    // A reply (another device's answer), chat, real-time packets, a non-zero low rate field.
    for (auto [byte, value] : {std::pair{5, 0x80}, {6, 0x01}, {6, 0x20}, {4, 0x61}, {5, 0x01}}) {
        std::string other = ping;
        other[byte] = static_cast<char>(value);
        EXPECT_TRUE(service_is_service_packet(other.data(), other.size())) << byte;
        EXPECT_FALSE(service_is_ping0_request(other.data(), other.size())) << byte;
        EXPECT_EQ(service_build_reply(&identity, other.data(), other.size(), reply.data(), 704),
                  -EINVAL);
    }
    // Audio and text packets, a wrong magic, a cut header.
    for (auto [byte, value] : {std::pair{4, 0x00}, {4, 0x40}, {0, 'W'}}) {
        std::string other = ping;
        other[byte] = static_cast<char>(value);
        EXPECT_FALSE(service_is_service_packet(other.data(), other.size())) << byte;
        EXPECT_FALSE(service_is_ping0_request(other.data(), other.size())) << byte;
    }
    EXPECT_FALSE(service_is_service_packet(ping.data(), 27));
    EXPECT_FALSE(service_is_ping0_request(ping.data(), 27));
}

TEST(Service, LongTextsAreCutBetweenCharacters) {
    // Each crosses the 63 bytes a 64-byte field keeps with a character of 2, 3 or 4 bytes.
    const std::string a(64, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {a.substr(0, 62) + "\xC3\xA9", a.substr(0, 62)},
        {a.substr(0, 61) + "\xE2\x82\xAC" + "z", a.substr(0, 61)},
        {a.substr(0, 60) + "\xF0\x9F\x8E\xB5", a.substr(0, 60)},
        {a.substr(0, 59) + "\xF0\x9F\x8E\xB5", a.substr(0, 59) + "\xF0\x9F\x8E\xB5"},
        {a + "bcd", a.substr(0, 63)},
    };
    for (const auto& [name, kept] : cases) {
        service_identity identity = dorvane_identity(name.c_str());
        EXPECT_EQ(std::string(identity.device_name, strnlen(identity.device_name, 64)), kept);
    }
    // The 128-byte UTF-8 fields keep 127 bytes the same way.
    const std::string b(126, 'b');
    service_identity identity = dorvane_identity("file", (b + "\xC3\xA9").c_str());
    EXPECT_EQ(std::string(identity.user_comment, strnlen(identity.user_comment, 128)), b);
}

// How many of `attempts` requests from `address` at `now_ns` get a reply.
int allowed(service_rate_limit& limit, std::uint32_t address, std::uint64_t now_ns, int attempts) {
    int count = 0;
    for (int i = 0; i < attempts; ++i) {
        count += service_rate_allow(&limit, address, now_ns) ? 1 : 0;
    }
    return count;
}

constexpr std::uint64_t ms = 1'000'000;

TEST(Service, RateLimitPerSenderAndInTotal) {
    service_rate_limit limit{};
    // A burst of four, then one every 500 ms; refused requests do not delay the refill.
    EXPECT_EQ(allowed(limit, 1, 0, 10), 4);
    EXPECT_EQ(allowed(limit, 1, 499 * ms, 10), 0);
    EXPECT_EQ(allowed(limit, 1, 500 * ms, 10), 1);
    EXPECT_EQ(allowed(limit, 1, 10'000 * ms, 10), 4);
    EXPECT_EQ(allowed(limit, 2, 10'000 * ms, 10), 4) << "another sender has its own bucket";

    // The least recently heard sender is forgotten first: sender 1 (exhausted at 20 s, heard
    // again at 20.825 s) outlives 15 newcomers; sender 3, heard only at 20 s, does not.
    service_rate_limit lru{};
    EXPECT_EQ(allowed(lru, 1, 20'000 * ms, 4), 4);
    EXPECT_EQ(allowed(lru, 3, 20'000 * ms + 1, 4), 4);
    for (std::uint32_t i = 0; i < 14; ++i) {
        EXPECT_EQ(allowed(lru, 100 + i, 20'100 * ms + i * 50 * ms, 1), 1);
    }
    EXPECT_EQ(allowed(lru, 1, 20'825 * ms, 4), 1);
    EXPECT_EQ(allowed(lru, 200, 20'850 * ms, 1), 1);
    EXPECT_EQ(allowed(lru, 1, 20'900 * ms, 4), 0);
    EXPECT_EQ(allowed(lru, 3, 20'900 * ms, 4), 4);

    // A flood from many (spoofed) senders gets at most 20 replies, then one every 50 ms.
    service_rate_limit total{};
    int burst = 0;
    for (std::uint32_t sender = 0; sender < 25; ++sender) {
        burst += allowed(total, sender, 0, 1);
    }
    EXPECT_EQ(burst, 20);
    EXPECT_EQ(allowed(total, 24, 50 * ms, 1), 1);
    EXPECT_EQ(allowed(total, 23, 50 * ms, 1), 0);
    int flood = 0;
    for (std::uint64_t i = 0; i < 10'000; ++i) {
        flood += allowed(total, static_cast<std::uint32_t>(i % 300), 1'000 * ms + i * ms, 1);
    }
    EXPECT_GE(flood, 200);
    EXPECT_LE(flood, 220) << "10 s of flood: 20 a second plus one burst";
}

}  // namespace
