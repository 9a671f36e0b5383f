// SPDX-License-Identifier: MIT
// The file and pipe backends on real files, FIFOs and standard streams.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "audio/backends/file_backend.hpp"
#include "audio/backends/pipe_backend.hpp"
#include "common/logger.hpp"
#include "tests/support/process.hpp"

namespace {

using test_support::read_file;
using test_support::temp_dir;
using test_support::write_file;

std::unique_ptr<audio_backend> make(std::int32_t (*init)(audio_backend**)) {
    audio_backend* backend = nullptr;
    EXPECT_EQ(init(&backend), 0);
    return std::unique_ptr<audio_backend>(backend);
}

const stream_config stereo{2, 44100, 1};

bool exists(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

// Both backends: a fresh record holds nothing, closes quietly, and refuses transfers.
TEST(FilePipeContract, NothingHeldUntilOpened) {
    struct kind {
        std::int32_t (*init)(audio_backend**);
        std::string name;
    };
    for (const kind& k : {kind{file_backend_init, "file"}, kind{pipe_backend_init, "pipe"}}) {
        auto backend = make(k.init);
        EXPECT_EQ(backend->close(), 0);
        EXPECT_EQ(backend->close(), 0);
        char buffer[4] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(backend->write(buffer, 4), -ENODEV);
        EXPECT_EQ(backend->read(buffer, 4), -ENODEV);
        EXPECT_EQ(backend->write(nullptr, 4), -EINVAL);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: " + k.name + "_write: device not open\nError: " + k.name +
                      "_read: device not open\nError: " + k.name +
                      "_write: handle or data pointer is null\n");
    }
}

TEST(FileBackend, PlaybackCreatesTruncatesAndWritesRawBytes) {
    temp_dir dir;
    std::string path = dir.file("out.raw");
    write_file(path, "an older recording");
    auto backend = make(file_backend_init);
    mode_t old_mask = umask(0);
    ASSERT_EQ(backend->open(path.c_str(), 1, 3072, &stereo), 0);
    umask(old_mask);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(backend->write("abcdef", 6), 6);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(read_file(path), "abcdef");

    // A reopen for another stream configuration keeps what was recorded; a new run (a new
    // backend) starts afresh.
    ASSERT_EQ(backend->open(path.c_str(), 1, 3072, &stereo), 0);
    EXPECT_EQ(backend->write("xy", 2), 2);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(read_file(path), "abcdefxy");
    auto next_run = make(file_backend_init);
    ASSERT_EQ(next_run->open(path.c_str(), 1, 3072, &stereo), 0);
    EXPECT_EQ(read_file(path), "");
}

// A link another user planted in a shared sticky directory is not followed (a victim's file
// would be truncated); a plain path and this user's own link are. A file or a FIFO (with a
// reader) that another user made there is not written into, whatever the output: nothing
// blocks, and nothing is removed.
TEST(FileBackend, RefusesWhatAnotherUserPlantedInASharedDirectory) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a link to another user needs root";
    }
    temp_dir dir;
    const std::string shared = dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string victim = dir.file("victim");
    write_file(victim, "precious");
    const std::string planted = shared + "/take.raw";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
    auto backend = make(file_backend_init);
    testing::internal::CaptureStderr();
    EXPECT_EQ(backend->open(planted.c_str(), 1, 3072, &stereo), -EACCES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: file_open: refusing to follow the symbolic link " + planted +
                  ": it belongs to uid 65534, not to this user, in the shared directory " + shared +
                  "\n");
    EXPECT_EQ(read_file(victim), "precious");

    const std::string own = shared + "/own.raw";
    ASSERT_EQ(symlink(victim.c_str(), own.c_str()), 0);
    ASSERT_EQ(backend->open(own.c_str(), 1, 3072, &stereo), 0);
    EXPECT_EQ(backend->write("new", 3), 3);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(read_file(victim), "new");

    const std::string file = shared + "/x.raw";
    write_file(file, "theirs");
    const std::string fifo = shared + "/x.fifo";
    const std::string recording = shared + "/x.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(recording.c_str(), 0666), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    for (const std::string& path : {file, fifo, recording}) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(backend->open(path.c_str(), 1, 3072, &stereo), -EACCES);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Fatal: " + std::string(path == recording ? "sndfile" : "file") +
                      "_open: refusing to write into " + path +
                      ": it belongs to uid 65534, not to this user, in the shared directory " +
                      shared + "\n");
        EXPECT_TRUE(exists(path.c_str()));
    }
    EXPECT_EQ(read_file(file), "theirs");
    close(reader);
}

TEST(FileBackend, CaptureReadsWhatIsThere) {
    temp_dir dir;
    std::string path = dir.file("in.raw");
    write_file(path, "0123456789");
    auto backend = make(file_backend_init);
    ASSERT_EQ(backend->open(path.c_str(), 0, 1024, &stereo), 0);
    char buffer[8] = {};
    EXPECT_EQ(backend->read(buffer, 8), 8);
    EXPECT_EQ(backend->read(buffer, 8), 2);  // short, and not a whole frame
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_EQ(backend->read(buffer, 8), 0);  // end of the file
    EXPECT_EQ(backend->close(), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(backend->open(dir.file("missing").c_str(), 0, 1024, &stereo), -ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: file_open: " + dir.file("missing") + ": No such file or directory\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(backend->read(buffer, 8), -ENODEV);  // the failed open holds nothing
    testing::internal::GetCapturedStderr();
}

TEST(FileBackend, WithoutANameUsesStandardStreams) {
    temp_dir dir;
    auto backend = make(file_backend_init);

    // Playback: standard output, which closing leaves open.
    std::string out_path = dir.file("stdout");
    int saved_out = dup(1);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    close(out);
    ASSERT_EQ(backend->open("", 1, 0, &stereo), 0);
    EXPECT_EQ(backend->write("PCM", 3), 3);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(backend->open("", 1, 0, &stereo), 0);
    EXPECT_EQ(backend->write("!", 1), 1);  // still open after the close
    EXPECT_EQ(backend->close(), 0);
    dup2(saved_out, 1);
    close(saved_out);
    EXPECT_EQ(read_file(out_path), "PCM!");

    // Capture: standard input, through a descriptor of its own.
    std::string in_path = dir.file("stdin");
    write_file(in_path, "from stdin");
    int saved_in = dup(0);
    int in = open(in_path.c_str(), O_RDONLY);
    dup2(in, 0);
    close(in);
    ASSERT_EQ(backend->open("", 0, 0, &stereo), 0);
    char buffer[32] = {};
    int got = backend->read(buffer, sizeof buffer);
    EXPECT_EQ(backend->close(), 0);
    bool stdin_still_open = fcntl(0, F_GETFD) != -1;
    dup2(saved_in, 0);
    close(saved_in);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(std::string(buffer, 10), "from stdin");
    EXPECT_TRUE(stdin_still_open);
}

class PipeBackend : public testing::Test {
protected:
    void SetUp() override { unlink(PIPE_BACKEND_FIFO_PATH); }
    void TearDown() override { unlink(PIPE_BACKEND_FIFO_PATH); }
};

// A writer that keeps the other end of `path` open until told to close it.
struct fifo_writer {
    explicit fifo_writer(const std::string& path) {
        for (int i = 0; i < 2000 && fd < 0; ++i) {
            fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    ~fifo_writer() { close(fd); }
    int fd = -1;
};

// The FIFO is this user's alone whatever the file-creation mask, and a new stream
// configuration does not cut the program at the other end off; destroying the backend
// removes the FIFO.
TEST_F(PipeBackend, MakesAPrivateFifoThatOutlivesAStreamChange) {
    auto backend = make(pipe_backend_init);
    std::unique_ptr<fifo_writer> writer;
    std::thread connect([&] { writer = std::make_unique<fifo_writer>(PIPE_BACKEND_FIFO_PATH); });
    const mode_t old_mask = umask(0);
    ASSERT_EQ(backend->open("", 0, 0, &stereo), 0);  // blocks until the writer is there
    umask(old_mask);
    connect.join();
    ASSERT_GE(writer->fd, 0);
    struct stat info;
    ASSERT_EQ(stat(PIPE_BACKEND_FIFO_PATH, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    char buffer[16] = {};
    ASSERT_EQ(write(writer->fd, "samples", 7), 7);
    EXPECT_EQ(backend->read(buffer, sizeof buffer), 7);
    const stream_config mono{1, 48000, 1};
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(backend->open("", 0, 0, &mono), 0);  // does not wait for a new writer
    ASSERT_EQ(write(writer->fd, "more", 4), 4);
    EXPECT_EQ(backend->read(buffer, sizeof buffer), 4);
    writer.reset();
    EXPECT_EQ(backend->read(buffer, sizeof buffer), 0);  // the writer has gone
    backend.reset();
    EXPECT_FALSE(exists(PIPE_BACKEND_FIFO_PATH));
}

// The device names the FIFO. One of this user that exists is used as it is and left there, so
// that a reader that opened it first keeps its stream; one that does not exist is made, private,
// and removed; anything else there is refused, named, and left alone.
TEST_F(PipeBackend, DeviceNamesTheFifoAndOnlyOneOfThisUserIsTaken) {
    temp_dir dir;
    const std::string path = dir.file("named");
    ASSERT_EQ(mkfifo(path.c_str(), 0640), 0);  // made beforehand by the user
    for (const std::string& fifo : {path, dir.file("new")}) {
        auto backend = make(pipe_backend_init);
        std::unique_ptr<fifo_writer> writer;
        std::thread connect([&] { writer = std::make_unique<fifo_writer>(fifo); });
        ASSERT_EQ(backend->open(fifo.c_str(), 0, 0, &stereo), 0);
        connect.join();
        struct stat info;
        ASSERT_EQ(stat(fifo.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, fifo == path ? 0640u : 0600u);
        EXPECT_FALSE(exists(PIPE_BACKEND_FIFO_PATH));
        writer.reset();
        backend.reset();
        EXPECT_EQ(exists(fifo.c_str()), fifo == path);
    }

    auto expect_refused = [&](const std::string& at, const std::string& found) {
        auto refusing = make(pipe_backend_init);
        testing::internal::CaptureStderr();
        EXPECT_EQ(refusing->open(at.c_str(), 1, 0, &stereo), -EEXIST);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Fatal: pipe_open: " + at + " is " + found +
                      ", not a FIFO of this user: refusing it\n");
        EXPECT_TRUE(exists(at.c_str()));
    };
    ASSERT_EQ(unlink(path.c_str()), 0);
    write_file(path, "a file");
    expect_refused(path, "a regular file");
    EXPECT_EQ(read_file(path), "a file");
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    expect_refused(link, "a symbolic link");
    if (geteuid() == 0) {
        const std::string foreign = dir.file("foreign");
        ASSERT_EQ(mkfifo(foreign.c_str(), 0666), 0);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        expect_refused(foreign, "a FIFO of uid 65534");
    }
}

}  // namespace
