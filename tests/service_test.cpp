// SPDX-License-Identifier: MIT
#include "vban/service.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <tuple>

namespace {

using namespace std::string_literals;

std::string le32(std::uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}

// A PING0 request built from the protocol's layout, with the requester's identity or without.
std::string ping0_request(std::uint32_t counter, bool with_identity) {
    return "VBAN\x60\x00\x00\x00VBAN Service\0\0\0\0"s + le32(counter) +
           std::string(with_identity ? 676 : 0, '\xAA');
}

service_identity dorvane_identity(const char* device_name, const char* comment = "Stream1") {
    service_identity identity;
    service_identity_config config{VBAN_SERVICE_RECEPTOR, 0,    0x00C08040, "dorvane", device_name,
                                   "192.168.1.10",        6980, comment};
    EXPECT_EQ(service_identity_init(&identity, &config), 0);
    return identity;
}

// The reply as bytes, empty when none was built.
std::string reply_to(const service_identity& identity, const std::string& request) {
    std::string reply(704, '\0');
    std::int32_t size =
        service_build_reply(&identity, request.data(), request.size(), reply.data(), reply.size());
    return size == 704 ? reply : std::string();
}

TEST(Service, Ping0ReplyCarriesTheHeaderAndEveryIdentityField) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    char login[LOGIN_NAME_MAX + 1] = {};
    if (getlogin_r(login, sizeof login) != 0) {
        login[0] = '\0';
    }
    // Every payload field at its offset, zero padded, integers little-endian.
    std::string payload(676, '\0');
    auto put = [&](std::size_t offset, const std::string& bytes) {
        payload.replace(offset, bytes.size(), bytes);
    };
    put(0, le32(VBAN_SERVICE_RECEPTOR) + le32(VBAN_SERVICE_FEATURE_AUDIO) + le32(0) + le32(48000) +
               le32(6000) + le32(705600) + le32(0x00C08040) + "\0\0\x01\x02"s);
    put(48, "en-us");
    put(128, "192.168.1.10");
    put(160, "\x44\x1B"s);  // 6980
    put(164, "hw:1,0");
    put(228, "VBAN tools");
    put(292, "dorvane");
    put(356, host);
    put(420, login);
    put(548, "Stream1");
    const std::string header = "VBAN\x60\x80\x00\x00VBAN Service\0\0\0\0\xEF\xCD\xAB\x89"s;

    service_identity identity = dorvane_identity("hw:1,0");
    for (bool with_identity : {false, true}) {
        EXPECT_EQ(reply_to(identity, ping0_request(0x89ABCDEF, with_identity)), header + payload);
    }
    // Once a stream plays, its rate is the only one; built over the request in a receive buffer.
    service_identity_set_sample_rate(&identity, 44100);
    put(12, le32(44100) + le32(44100) + le32(44100));
    std::string buffer = ping0_request(0x89ABCDEF, false) + std::string(1436, '\0');
    ASSERT_EQ(service_build_reply(&identity, buffer.data(), 28, buffer.data(), buffer.size()), 704);
    EXPECT_EQ(buffer.substr(0, 704), header + payload);
}

TEST(Service, OnlyPing0RequestsAreAnswered) {
    service_identity identity = dorvane_identity("file");
    std::string ping = ping0_request(1, false);
    EXPECT_FALSE(reply_to(identity, ping).empty());
    std::string reply(703, '\0');
    EXPECT_EQ(service_build_reply(&identity, ping.data(), 28, reply.data(), 703), -EINVAL);
    // Service packets, but another device's reply, chat, a real-time packet, another function,
    // low bits set; then audio, text, a wrong magic.
    for (auto [byte, value, service] : {std::tuple{5, 0x80, true},
                                        {6, 0x01, true},
                                        {6, 0x20, true},
                                        {5, 0x01, true},
                                        {4, 0x61, true},
                                        {4, 0x00, false},
                                        {4, 0x40, false},
                                        {0, 'W', false}}) {
        std::string other = ping;
        other[byte] = static_cast<char>(value);
        EXPECT_EQ(service_is_service_packet(other.data(), other.size()), service) << byte;
        EXPECT_TRUE(reply_to(identity, other).empty()) << byte;
    }
    EXPECT_FALSE(service_is_service_packet(ping.data(), 27));
    EXPECT_TRUE(reply_to(identity, ping.substr(0, 27)).empty());
}

TEST(Service, LongTextsAreCutBetweenCharacters) {
    // Each crosses the 63 bytes a 64-byte field keeps with a character of 2, 3 or 4 bytes.
    const std::string a(64, 'a');
    for (auto [name, kept] : {std::pair{a.substr(0, 62) + "\xC3\xA9", 62},
                              {a.substr(0, 61) + "\xE2\x82\xAC" + "z", 61},
                              {a.substr(0, 60) + "\xF0\x9F\x8E\xB5", 60},
                              {a.substr(0, 59) + "\xF0\x9F\x8E\xB5", 63},
                              {a + "bcd", 63}}) {
        EXPECT_EQ(dorvane_identity(name.c_str()).device_name, name.substr(0, kept));
    }
    // The 128-byte UTF-8 fields keep 127 bytes.
    const std::string b(126, 'b');
    EXPECT_EQ(dorvane_identity("file", (b + "\xC3\xA9").c_str()).user_comment, b);
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

    // A flood from many (spoofed) senders gets 20 replies at once, then one every 50 ms.
    service_rate_limit total{};
    int flood = 0;
    for (std::uint32_t sender = 0; sender < 25; ++sender) {
        flood += allowed(total, sender, 0, 1);
    }
    EXPECT_EQ(flood, 20);
    for (std::uint64_t i = 0; i < 10'000; ++i) {
        flood += allowed(total, static_cast<std::uint32_t>(i % 300), i * ms, 1);
    }
    EXPECT_EQ(flood, 20 + 199) << "10 s of flood: one every 50 ms after the first 20";
}

}  // namespace
