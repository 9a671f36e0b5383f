// SPDX-License-Identifier: MIT
#include "audio/backend_registry.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "audio/backends/file_backend.hpp"
#include "audio/backends/pipe_backend.hpp"
#include "common/logger.hpp"
#include "tests/program_test_support.hpp"

namespace {

// Every row in its order, what each can do and whether this build holds it, and the help texts
// drawn from the rows built.
TEST(BackendRegistry, TableRowsColumnsAndHelpTexts) {
    struct row {
        std::string name;
        bool can_capture;
        bool clocked;
        bool built;
        bool fixed_rate;
        bool device_is_path;
        bool operator==(const row&) const = default;
    };
    const std::vector<row> expected = {{"alsa", true, true, VBAN_WITH_ALSA, false, false},
                                       {"jack", true, true, VBAN_WITH_JACK, true, false},
                                       {"pulse", true, true, VBAN_WITH_PULSE, false, false},
                                       {"pipe", true, false, true, false, true},
                                       {"file", true, false, true, false, true}};
    std::vector<row> rows;
    for (const audio_backend_entry& entry : audio_backends) {
        rows.push_back({entry.name, entry.can_capture, entry.clocked, entry.built, entry.fixed_rate,
                        entry.device_is_path});
        EXPECT_EQ(audio_backend_find(entry.name), &entry);
        EXPECT_EQ(entry.init != nullptr, entry.built) << entry.name;
    }
    EXPECT_TRUE(rows == expected);
    const char* first_built = VBAN_WITH_ALSA    ? "alsa"
                              : VBAN_WITH_JACK  ? "jack"
                              : VBAN_WITH_PULSE ? "pulse"
                                                : "pipe";
    EXPECT_STREQ(audio_backend_find("")->name, first_built);
    EXPECT_STREQ(audio_backend_find(nullptr)->name, first_built);
    EXPECT_EQ(audio_backend_find("jackd"), nullptr);
    EXPECT_STREQ(audio_backend_capture_default().name, first_built);

    EXPECT_EQ(audio_backend_help(), program_test::backends_help());
    EXPECT_EQ(audio_backend_help(), program_test::backends_help());  // the same every call
    EXPECT_EQ(audio_backend_help_capture(), program_test::backends_help());

    // A backend this build lacks is refused as such, whatever the direction.
    for (const audio_backend_entry& entry : audio_backends) {
        if (!entry.built) {
            audio_backend* out = nullptr;
            testing::internal::CaptureStderr();
            EXPECT_EQ(audio_backend_get_by_name(entry.name, &out, AUDIO_DIRECTION_IN), -EINVAL);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      std::string("Error: audio_backend_get_by_name: this build has no ") +
                          entry.name + " backend (it was built without its library)\n");
            EXPECT_EQ(out, nullptr);
        }
    }
}

TEST(BackendRegistry, NamesFindIndependentRecords) {
    audio_backend* first = nullptr;
    audio_backend* second = nullptr;
    ASSERT_EQ(audio_backend_get_by_name("pipe", &first), 0);
    ASSERT_EQ(audio_backend_get_by_name("pipe", &second), 0);
    std::unique_ptr<audio_backend> a(first), b(second);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    // A new record holds nothing: closing it does nothing, transfers find no device.
    testing::internal::CaptureStderr();
    char byte = 0;
    EXPECT_EQ(first->write(&byte, 1), -ENODEV);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: pipe_write: device not open\n");

    audio_backend* file = nullptr;
    logger_set_level(LOG_INFO);
    testing::internal::CaptureStdout();
    ASSERT_EQ(audio_backend_get_by_name("file", &file), 0);
    std::unique_ptr<audio_backend> c(file);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Info: audio_backend_get_by_name: found backend file\n");
    logger_set_level(LOG_ERROR);
}

TEST(BackendRegistry, UnknownNamesAreRefusedAndNamed) {
    for (const char* name : {"File", "file ", "files", "PIPE", "pulseaudio", "al"}) {
        audio_backend* out = reinterpret_cast<audio_backend*>(0x1);  // must stay untouched
        testing::internal::CaptureStderr();
        EXPECT_EQ(audio_backend_get_by_name(name, &out), -EINVAL) << name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Error: audio_backend_get_by_name: no backend found with name ") +
                      name + "\n");
        EXPECT_EQ(out, reinterpret_cast<audio_backend*>(0x1));
    }
}

// A peer that pings a program learns its backend and device, never a path of this machine.
TEST(BackendRegistry, PeersAreToldTheDeviceButNeverAPath) {
    char out[64];
    for (const auto& [backend, device, told] : {std::tuple{"jack", "studio", "jack studio"},
                                                {"jack", "", "jack"},
                                                {"file", "/home/me/take.wav", "file"},
                                                {"pipe", "/tmp/vban_0", "pipe"}}) {
        audio_backend_describe(backend, device, out, sizeof out);
        EXPECT_EQ(out, std::string(audio_backend_find(backend) != nullptr ? told : backend));
    }
}

TEST(BackendRegistry, EmptyNameTakesTheDefault) {
    logger_set_level(LOG_INFO);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    audio_backend* out = nullptr;
    [[maybe_unused]] std::int32_t result = audio_backend_get_by_name("", &out);
    std::unique_ptr<audio_backend> owned(out);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Info: audio_backend_get_by_name: taking default backend ") +
                  audio_backends[0].name + "\n");
    logger_set_level(LOG_ERROR);
}

TEST(BackendRegistry, InitRefusesANullPlace) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(file_backend_init(nullptr), -EINVAL);
    EXPECT_EQ(pipe_backend_init(nullptr), -EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: file_backend_init: null handle pointer\n"
              "Fatal: pipe_backend_init: null handle pointer\n");
}

}  // namespace
