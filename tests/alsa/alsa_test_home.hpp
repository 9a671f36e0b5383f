// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.hpp"

// ALSA PCMs for the tests, on the real library and without a sound card.
namespace alsa_test {

// A temporary HOME whose .asoundrc defines:
// - "record": the file plugin over the null PCM. Every stream it plays is kept in
//   recording(channels, ALSA format name, rate); the plugin writes a file out completely when
//   the PCM closes. The null PCM never blocks, so playback takes whatever it is given at once.
// - "capture": the file plugin over the null PCM, fed from capture_input(). Past the end of the
//   input it goes on delivering frames (what the buffer held), as fast as it is asked.
// - "default": "record" for playback, "capture" for capture.
// - "intonly": integer samples only (a linear conversion over null): float formats are refused.
// - "overrun": a capture device that overruns once 768 frames have been read and breaks for
//   good (its recovery fails with -EIO) once 2048 have; it delivers the bytes b % 251.
// - "underrun": a playback device that underruns once 768 frames have been played and records
//   every frame it plays into underrun_output() at once.
class home {
public:
    home();

    const std::string& path() const { return dir_.path(); }
    std::string recording(unsigned channels, const std::string& alsa_format, unsigned rate) const;
    std::string capture_input() const { return dir_.file("capture.raw"); }
    std::string underrun_output() const { return dir_.file("underrun.raw"); }
    // The environment entries that make a program use this configuration.
    std::vector<std::string> env() const { return {"HOME=" + path()}; }

private:
    test_support::temp_dir dir_;
};

// Writes `bytes` to `path`, replacing what was there.
void write_file(const std::string& path, const std::string& bytes);

}  // namespace alsa_test
