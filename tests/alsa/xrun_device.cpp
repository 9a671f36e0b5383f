// SPDX-License-Identifier: MIT
// An ALSA PCM type for the tests, loaded by libasound itself ("pcm_type.testxrun" in a test
// .asoundrc): a device that never blocks, like the null PCM, but reports an underrun or an
// overrun at a chosen point, which no device without hardware timing does by itself.
//
//   pcm.name {
//       type testxrun
//       xrun_at 768     # one xrun once this many frames have moved (0: never)
//       frames 2048     # capture: after this many frames the device breaks for good
//       file "/path"    # playback: every played frame is written here (emptied at open)
//   }
//
// Capture delivers the byte pattern b % 251 for byte b of the stream, counted from the open,
// without a gap across the xrun, so a test can tell which bytes reached the caller. When the
// device breaks it reports an xrun and then refuses to prepare, so recovery fails with -EIO.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

struct xrun_device {
    snd_pcm_ioplug_t io{};
    snd_pcm_uframes_t position = 0;  // frames moved since the last prepare
    std::uint64_t total_frames = 0;  // frames moved since the open
    std::uint64_t total_bytes = 0;
    std::uint64_t xrun_at = 0;
    bool xrun_reported = false;
    std::uint64_t frame_limit = 0;
    bool broken = false;
    int fd = -1;
};

xrun_device* device_of(snd_pcm_ioplug_t* io) {
    return static_cast<xrun_device*>(io->private_data);
}

int device_start(snd_pcm_ioplug_t*) {
    return 0;
}

int device_stop(snd_pcm_ioplug_t*) {
    return 0;
}

// Positions wrap at the buffer size. Capture stays one frame short of a full buffer and
// playback has always played everything, so neither direction ever waits.
snd_pcm_sframes_t device_pointer(snd_pcm_ioplug_t* io) {
    xrun_device* device = device_of(io);
    if (device->frame_limit != 0 && device->total_frames >= device->frame_limit) {
        device->broken = true;
        return -EPIPE;
    }
    if (device->xrun_at != 0 && !device->xrun_reported && device->total_frames >= device->xrun_at) {
        device->xrun_reported = true;
        return -EPIPE;
    }
    snd_pcm_uframes_t ahead = io->stream == SND_PCM_STREAM_CAPTURE ? io->buffer_size - 1 : 0;
    return static_cast<snd_pcm_sframes_t>((device->position + ahead) % io->buffer_size);
}

snd_pcm_sframes_t device_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                  snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    xrun_device* device = device_of(io);
    // One frame less than the buffer per call keeps the wrapped positions unambiguous.
    size = std::min(size, io->buffer_size - 1);
    const std::size_t frame_bytes = areas[0].step / 8;
    auto* bytes =
        static_cast<std::uint8_t*>(areas[0].addr) + (areas[0].first + offset * areas[0].step) / 8;
    const std::size_t length = size * frame_bytes;
    if (io->stream == SND_PCM_STREAM_CAPTURE) {
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<std::uint8_t>((device->total_bytes + i) % 251);
        }
    } else if (device->fd >= 0 &&
               ::write(device->fd, bytes, length) != static_cast<ssize_t>(length)) {
        return -EIO;
    }
    device->position += size;
    device->total_frames += size;
    device->total_bytes += length;
    return static_cast<snd_pcm_sframes_t>(size);
}

int device_prepare(snd_pcm_ioplug_t* io) {
    xrun_device* device = device_of(io);
    if (device->broken) {
        return -EIO;
    }
    device->position = 0;
    return 0;
}

int device_close(snd_pcm_ioplug_t* io) {
    xrun_device* device = device_of(io);
    if (device->fd >= 0) {
        ::close(device->fd);
    }
    delete device;
    return 0;
}

const snd_pcm_ioplug_callback_t callbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = device_start;
    c.stop = device_stop;
    c.pointer = device_pointer;
    c.transfer = device_transfer;
    c.prepare = device_prepare;
    c.close = device_close;
    return c;
}();

int set_constraints(snd_pcm_ioplug_t* io) {
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_S8,       SND_PCM_FORMAT_S16_LE,
                                           SND_PCM_FORMAT_S24_3LE,  SND_PCM_FORMAT_S32_LE,
                                           SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_FLOAT64_LE};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 6, formats);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 256);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 1000, 768000);
    }
    return err;
}

int read_settings(snd_config_t* conf, xrun_device* device, const char** file) {
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* entry = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(entry, &id) < 0) {
            continue;
        }
        if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 ||
            std::strcmp(id, "hint") == 0) {
            continue;
        }
        long value = 0;
        bool valid = false;
        if (std::strcmp(id, "xrun_at") == 0) {
            valid = snd_config_get_integer(entry, &value) >= 0 && value >= 0;
            device->xrun_at = static_cast<std::uint64_t>(value);
        } else if (std::strcmp(id, "frames") == 0) {
            valid = snd_config_get_integer(entry, &value) >= 0 && value >= 0;
            device->frame_limit = static_cast<std::uint64_t>(value);
        } else if (std::strcmp(id, "file") == 0) {
            valid = snd_config_get_string(entry, file) >= 0;
        }
        if (!valid) {
            return -EINVAL;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(testxrun) {
    (void)root;
    auto* device = new (std::nothrow) xrun_device();
    if (device == nullptr) {
        return -ENOMEM;
    }
    const char* file = nullptr;
    int err = read_settings(conf, device, &file);
    if (err < 0) {
        delete device;
        return err;
    }
    if (file != nullptr && stream == SND_PCM_STREAM_PLAYBACK) {
        device->fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (device->fd < 0) {
            err = -errno;
            delete device;
            return err;
        }
    }
    device->io.version = SND_PCM_IOPLUG_VERSION;
    device->io.name = "xrun test device";
    device->io.poll_fd = -1;
    device->io.poll_events = 0;
    device->io.mmap_rw = 0;
    device->io.callback = &callbacks;
    device->io.private_data = device;
    err = snd_pcm_ioplug_create(&device->io, name, stream, mode);
    if (err < 0) {
        if (device->fd >= 0) {
            ::close(device->fd);
        }
        delete device;
        return err;
    }
    err = set_constraints(&device->io);
    if (err < 0) {
        snd_pcm_ioplug_delete(&device->io);  // calls device_close
        return err;
    }
    *pcmp = device->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(testxrun);

}  // extern "C"
