// SPDX-License-Identifier: MIT
#pragma once

#include <sndfile.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "vban/stream_config.hpp"

// Recordings with headers: the file output writes WAV, FLAC or W64 through libsndfile when its
// path asks for one, with the stream's own rate, channel count and sample format, so that the
// file plays anywhere and every sample is the one that was received.

// The containers a recording can have; none is raw PCM without a header.
enum class sndfile_container { none, wav, flac, w64 };

// The container a path asks for by its extension (.wav, .flac, .w64, in any case).
[[nodiscard]] sndfile_container sndfile_container_of(const char* path);

// Writes into `name` (`name_size` bytes) the file of take `take` (1, 2, ...) of the recording
// `path`: take 1 is `path` itself, take N puts "-N" before the extension (take.wav, take-2.wav).
// Returns the name's length, -22 for take 0, -36 when it does not fit.
[[nodiscard]] std::int32_t sndfile_take_name(const char* path, std::uint32_t take, char* name,
                                             std::size_t name_size);

// How often a recording may start a new take: a sender that changes its format with every
// packet (or a spoofed one) must not fill the disk with files. The first change of a run is
// taken at once, whenever it comes (a stream that changes once loses nothing); after it, a new
// take starts at most once a second. Times are of a monotonic clock, passed in.
class sndfile_take_pace {
public:
    // True when a new take may start at `now_ns`.
    [[nodiscard]] bool allows(std::int64_t now_ns) const {
        return !changed_ || now_ns - last_ns_ >= INTERVAL_NS;
    }
    // A new take started at `now_ns`.
    void started(std::int64_t now_ns) {
        changed_ = true;
        last_ns_ = now_ns;
    }

private:
    static constexpr std::int64_t INTERVAL_NS = 1'000'000'000;
    bool changed_ = false;
    std::int64_t last_ns_ = 0;
};

// One take of a recording at a time; a stream change closes it and opens the next take, so
// that formats never mix in a file. Used by the thread that plays.
class sndfile_sink {
public:
    sndfile_sink() = default;
    ~sndfile_sink();
    sndfile_sink(const sndfile_sink&) = delete;
    sndfile_sink& operator=(const sndfile_sink&) = delete;

    // Creates a take of `path` for a stream of `config`, in the sample format that holds its
    // samples exactly, after closing a take still open (mode 0660). Take 1 is `path` itself,
    // started afresh; a later `take` is the first number from it whose file does not exist,
    // made new (take() tells which), so that no file is ever replaced. -22 with a line in the log
    // for a path without a container, a stream that the container cannot hold exactly (FLAC: 8I,
    // 16I, 24I only) or that libsndfile refuses (FLAC: at most 8 channels and 655350 Hz); the
    // system's negated errno when the file cannot be created, -5 when its header cannot be written.
    [[nodiscard]] std::int32_t open(const char* path, std::uint32_t take,
                                    const stream_config* config);

    // Appends the whole frames among `size` bytes of the stream (interleaved little-endian
    // samples). Returns the bytes taken (a trailing partial frame is not), -19 when no take is
    // open, or -1 when the file cannot grow (a full disk), as a raw file's write, with one
    // line naming the file and the reason. No allocation. The header catches up with the frames
    // once per 100 ms of audio, so a recording cut short by SIGKILL keeps all but at most its last
    // 100 ms (FLAC: its last block of 4096 frames); after a power cut, also what the system had not
    // yet put on disk.
    [[nodiscard]] std::int32_t write(const void* data, std::uint64_t size);

    // Finishes the take (final header, FLAC's last block). 0 when none is open, -5 on failure,
    // reported unless a write of the take has failed already.
    std::int32_t close();

    // True while a take is open.
    [[nodiscard]] bool is_open() const { return file_ != nullptr; }

    // The number of the take opened last.
    [[nodiscard]] std::uint32_t take() const { return take_; }

private:
    // The sf_writef_* call, and the conversion into its type, that keep a format's samples;
    // in bit_fmt order, so that a format's index names its converter.
    enum class converter {
        int8_to_short,
        int16_to_short,
        int24_to_int,
        int32_to_int,
        float32,
        float64
    };

    // Enough for one VBAN packet of any format converted, and for two frames of the widest.
    static constexpr std::size_t BUFFER_BYTES = 4096;
    // How often, in the stream's own time, the header catches up with the frames written.
    static constexpr std::uint32_t HEADER_UPDATES_PER_SECOND = 10;

    SNDFILE* file_ = nullptr;
    int fd_ = 0;  // 0: nothing held
    converter converter_ = converter::int16_to_short;
    std::size_t channels_ = 0;
    std::size_t frame_bytes_ = 0;   // one frame of the stream
    std::size_t chunk_frames_ = 0;  // frames that fit the conversion buffer
    bool update_header_ = false;    // the container counts frames in its header
    std::uint64_t frames_per_update_ = 0;
    std::uint64_t frames_since_update_ = 0;
    union {
        std::array<std::int16_t, BUFFER_BYTES / 2> shorts;
        std::array<std::int32_t, BUFFER_BYTES / 4> ints;
        std::array<float, BUFFER_BYTES / 4> floats;
        std::array<double, BUFFER_BYTES / 8> doubles;
    } buffer_{};

    std::string file_name_;  // of the take, for the messages
    std::uint32_t take_ = 0;
    bool failed_ = false;  // a write failed: the take's end says nothing more

    // Converts and writes `frames` frames at `data`; the frames libsndfile took.
    sf_count_t write_frames(const std::uint8_t* data, std::size_t frames);

    // Opens the file of the first take from `take` that may be written, into fd_ and
    // file_name_; 0 or a negative code.
    std::int32_t open_take(const char* path, std::uint32_t take, bool* created);

    // Reports the write that failed; -1.
    std::int32_t write_failure();
};
