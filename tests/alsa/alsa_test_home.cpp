// SPDX-License-Identifier: MIT
#include "tests/alsa/alsa_test_home.hpp"

#include <fstream>
#include <stdexcept>

namespace alsa_test {

home::home() {
    const std::string& dir = dir_.path();
    const std::string config = R"(
pcm.record {
    type file
    slave.pcm "null"
    file ")" + dir + R"(/rec-%c-%f-%r.raw"
    format "raw"
}
pcm.capture {
    type file
    slave.pcm "null"
    file "/dev/null"
    infile ")" + capture_input() +
                               R"("
    format "raw"
}
pcm.!default {
    type asym
    playback.pcm "record"
    capture.pcm "capture"
}
pcm.intonly {
    type linear
    slave { pcm "null" format S16_LE }
}
pcm.intrecord {
    type linear
    slave { pcm "record" format S16_LE }
}
pcm_type.testxrun {
    lib ")" XRUN_DEVICE_PATH R"("
}
pcm.overrun {
    type testxrun
    xrun_at 768
    frames 2048
}
pcm.underrun {
    type testxrun
    xrun_at 768
    file ")" + underrun_output() +
                               R"("
}
)";
    write_file(dir_.file(".asoundrc"), config);
    write_file(capture_input(), "");
}

std::string home::recording(unsigned channels, const std::string& alsa_format,
                            unsigned rate) const {
    return dir_.file("rec-" + std::to_string(channels) + "-" + alsa_format + "-" +
                     std::to_string(rate) + ".raw");
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace alsa_test
