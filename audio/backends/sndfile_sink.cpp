// SPDX-License-Identifier: MIT
#include "audio/backends/sndfile_sink.hpp"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "audio/backends/descriptor_io.hpp"
#include "common/logger.hpp"
#include "common/system_error.hpp"
#include "vban/vban.hpp"

namespace {

const char* container_name(sndfile_container container) {
    switch (container) {
        case sndfile_container::wav:
            return "WAV";
        case sndfile_container::flac:
            return "FLAC";
        case sndfile_container::w64:
            return "W64";
        case sndfile_container::none:
            break;
    }
    return "raw";
}

int major_format(sndfile_container container) {
    switch (container) {
        case sndfile_container::wav:
            return SF_FORMAT_WAV;
        case sndfile_container::flac:
            return SF_FORMAT_FLAC;
        case sndfile_container::w64:
            return SF_FORMAT_W64;
        case sndfile_container::none:
            break;
    }
    return 0;
}

// The subtype that holds every sample of `bit_fmt` unchanged, 0 when the container has none.
// WAV and W64 store 8-bit PCM unsigned: libsndfile offsets it by 128, which loses nothing.
int exact_subtype(sndfile_container container, std::uint32_t bit_fmt) {
    constexpr int riff[] = {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                            SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,  SF_FORMAT_DOUBLE};
    constexpr int flac[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24};
    if (container == sndfile_container::flac) {
        return bit_fmt < std::size(flac) ? flac[bit_fmt] : 0;
    }
    return bit_fmt < std::size(riff) ? riff[bit_fmt] : 0;
}

// Bytes of one sample once converted for the sf_writef_* call of its format.
constexpr std::size_t converted_size[] = {2, 2, 4, 4, 4, 8};

std::int32_t refuse(const char* reason, const stream_config* config, sndfile_container container) {
    logger_log(LOG_ERROR, "%s: %s: %u channels of %s at %u Hz in %s", "sndfile_open", reason,
               config->nb_channels, bit_fmt_name(config->bit_fmt), config->sample_rate,
               container_name(container));
    return -EINVAL;
}

}  // namespace

sndfile_container sndfile_container_of(const char* path) {
    if (path == nullptr) {
        return sndfile_container::none;
    }
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr) {
        return sndfile_container::none;
    }
    if (strcasecmp(dot, ".wav") == 0) {
        return sndfile_container::wav;
    }
    if (strcasecmp(dot, ".flac") == 0) {
        return sndfile_container::flac;
    }
    if (strcasecmp(dot, ".w64") == 0) {
        return sndfile_container::w64;
    }
    return sndfile_container::none;
}

std::int32_t sndfile_take_name(const char* path, std::uint32_t take, char* name,
                               std::size_t name_size) {
    if (path == nullptr || name == nullptr || take == 0) {
        return -EINVAL;
    }
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - path) : std::strlen(path);
    int length = take == 1 ? std::snprintf(name, name_size, "%s", path)
                           : std::snprintf(name, name_size, "%.*s-%u%s", static_cast<int>(stem),
                                           path, take, path + stem);
    if (length < 0 || static_cast<std::size_t>(length) >= name_size) {
        return -ENAMETOOLONG;
    }
    return length;
}

sndfile_sink::~sndfile_sink() {
    (void)close();
}

std::int32_t sndfile_sink::open(const char* path, std::uint32_t take, const stream_config* config) {
    const char* name = "sndfile_open";
    if (path == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null argument", name);
        return -EINVAL;
    }
    (void)close();
    sndfile_container container = sndfile_container_of(path);
    if (container == sndfile_container::none) {
        logger_log(LOG_ERROR, "%s: %s does not end in .wav, .flac or .w64", name, path);
        return -EINVAL;
    }
    if (config->nb_channels == 0 || config->nb_channels > VBAN_CHANNELS_MAX_NB ||
        config->sample_rate == 0 || config->sample_rate > INT_MAX ||
        config->bit_fmt > BIT_FMT_64F) {
        return refuse("no samples to record", config, container);
    }
    int subtype = exact_subtype(container, config->bit_fmt);
    if (subtype == 0) {
        return refuse("FLAC holds 8I, 16I and 24I exactly, not wider samples (.wav and .w64 do)",
                      config, container);
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(config->sample_rate);
    info.channels = static_cast<int>(config->nb_channels);
    info.format = major_format(container) | subtype;
    if (sf_format_check(&info) == 0) {
        return refuse("libsndfile cannot write", config, container);
    }
    bool created = false;
    if (std::int32_t opened = open_take(path, take, &created); opened != 0) {
        return opened;
    }
    file_ = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
    if (file_ == nullptr) {
        int error = sf_error(nullptr);
        logger_log(LOG_ERROR, "%s: %s: %s", name, file_name_.c_str(), sf_strerror(nullptr));
        // Nothing is written yet: an empty file of ours would only look like a recording. What
        // was there before is not ours to remove.
        if (created) {
            ::unlink(file_name_.c_str());
        }
        ::close(fd_);
        fd_ = 0;
        return error == SF_ERR_SYSTEM ? -EIO : -EINVAL;
    }
    failed_ = false;
    // libFLAC writes its own header when it finishes; WAV and W64 count their frames in theirs.
    update_header_ = container != sndfile_container::flac;
    frames_per_update_ =
        std::max<std::uint64_t>(config->sample_rate / HEADER_UPDATES_PER_SECOND, 1);
    frames_since_update_ = 0;
    converter_ = static_cast<converter>(config->bit_fmt);
    channels_ = config->nb_channels;
    frame_bytes_ = channels_ * bit_fmt_size[config->bit_fmt];
    chunk_frames_ = BUFFER_BYTES / (channels_ * converted_size[config->bit_fmt]);
    return 0;
}

std::int32_t sndfile_sink::open_take(const char* path, std::uint32_t take, bool* created) {
    const char* name = "sndfile_open";
    // Numbers taken by files already there are passed over, as many as a folder of takes may
    // hold, so that no take ever replaces a file.
    constexpr std::uint32_t most_skipped = 10000;
    char file_name[PATH_MAX];
    for (std::uint32_t skipped = 0; skipped <= most_skipped; ++skipped, ++take) {
        if (take == 0 || sndfile_take_name(path, take, file_name, sizeof file_name) < 0) {
            break;
        }
        struct stat found {};
        if (take > 1 && lstat(file_name, &found) == 0) {
            continue;
        }
        // The first take starts afresh, as a raw recording does; the others are new files.
        // Made with the raw output's mode and its care for what other users put in shared
        // folders, then handed to libsndfile.
        const int fresh = take == 1 ? O_TRUNC : O_EXCL;
        const std::int32_t opened =
            descriptor_open_named(file_name, O_WRONLY | O_CREAT | fresh, 0660, &fd_, name, created);
        if (opened != -EEXIST || take == 1) {
            take_ = take;
            file_name_ = file_name;
            return opened;
        }
    }
    logger_log(LOG_ERROR, "%s: no free name for a take of %s", name, path);
    return -EEXIST;
}

std::int32_t sndfile_sink::write(const void* data, std::uint64_t size) {
    if (file_ == nullptr) {
        logger_log(LOG_ERROR, "%s: device not open", "sndfile_write");
        return -ENODEV;
    }
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: data pointer is null", "sndfile_write");
        return -EINVAL;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint64_t frames = std::min<std::uint64_t>(size, INT32_MAX) / frame_bytes_;
    for (std::uint64_t done = 0; done < frames;) {
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, chunk_frames_));
        errno = 0;
        sf_count_t written = write_frames(bytes + done * frame_bytes_, chunk);
        if (written != static_cast<sf_count_t>(chunk)) {
            return write_failure();
        }
        done += chunk;
    }
    // Rewriting the header costs five system calls (two seeks, a stat, a write, a seek), four
    // times the packet's own write (bench/sndfile_sink_bench): done for every 100 ms of audio,
    // it costs a comparison per packet, and a killed recording loses at most that much.
    frames_since_update_ += frames;
    if (update_header_ && frames_since_update_ >= frames_per_update_) {
        sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        frames_since_update_ = 0;
    }
    return static_cast<std::int32_t>(frames * frame_bytes_);
}

std::int32_t sndfile_sink::close() {
    if (file_ == nullptr) {
        return 0;
    }
    int result = sf_close(file_);
    file_ = nullptr;
    int closed = ::close(fd_);
    fd_ = 0;
    if (result == 0 && closed == 0) {
        return 0;
    }
    // After a failed write the take's end fails for the same reason, said already.
    if (!failed_) {
        logger_log(LOG_ERROR, "%s: %s: %s", "sndfile_close", file_name_.c_str(),
                   result != 0 ? sf_error_number(result) : std::strerror(errno));
    }
    return -EIO;
}

std::int32_t sndfile_sink::write_failure() {
    // libsndfile reports a failed write(2) as a system error and leaves errno as the call set
    // it; anything else is its own reason.
    if (errno != 0) {
        report_file_error(LOG_ERROR, "sndfile_write", file_name_.c_str());
    } else {
        logger_log(LOG_ERROR, "%s: %s: %s", "sndfile_write", file_name_.c_str(),
                   sf_strerror(file_));
    }
    failed_ = true;
    return -1;
}

sf_count_t sndfile_sink::write_frames(const std::uint8_t* data, std::size_t frames) {
    std::size_t samples = frames * channels_;
    auto count = static_cast<sf_count_t>(frames);
    switch (converter_) {
        case converter::int8_to_short:
            // Full scale of 16 bits, which libsndfile brings back to 8 without rounding.
            for (std::size_t i = 0; i < samples; ++i) {
                buffer_.shorts[i] =
                    static_cast<std::int16_t>(static_cast<std::int8_t>(data[i]) * 256);
            }
            return sf_writef_short(file_, buffer_.shorts.data(), count);
        case converter::int16_to_short:
            std::memcpy(buffer_.shorts.data(), data, samples * 2);
            return sf_writef_short(file_, buffer_.shorts.data(), count);
        case converter::int24_to_int:
            // The three bytes at the top of the word: libsndfile keeps the top 24 bits.
            for (std::size_t i = 0; i < samples; ++i, data += 3) {
                buffer_.ints[i] = static_cast<std::int32_t>(std::uint32_t{data[0]} << 8 |
                                                            std::uint32_t{data[1]} << 16 |
                                                            std::uint32_t{data[2]} << 24);
            }
            return sf_writef_int(file_, buffer_.ints.data(), count);
        case converter::int32_to_int:
            std::memcpy(buffer_.ints.data(), data, samples * 4);
            return sf_writef_int(file_, buffer_.ints.data(), count);
        case converter::float32:
            // Float into a float file: libsndfile copies, whatever its normalisation setting.
            std::memcpy(buffer_.floats.data(), data, samples * 4);
            return sf_writef_float(file_, buffer_.floats.data(), count);
        case converter::float64:
            std::memcpy(buffer_.doubles.data(), data, samples * 8);
            return sf_writef_double(file_, buffer_.doubles.data(), count);
    }
    return 0;
}
