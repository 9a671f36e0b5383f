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
    auto backend = make(file_backend_init);
    mode_t old_mask = umask(0);
    ASSERT_EQ(backend->open(path.c_str(), 1, 3072, &stereo), 0);
    umask(old_mask);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(backend->write("abcdef", 6), 6);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(read_file(path), "abcdef");

    // Every open for playback starts the file again.
    ASSERT_EQ(backend->open(path.c_str(), 1, 3072, &stereo), 0);
    EXPECT_EQ(backend->write("xy", 2), 2);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(read_file(path), "xy");
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
              "Fatal: file_open: open error\nopen: No such file or directory\n");
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

TEST_F(PipeBackend, CreatesTheFifoAndRemovesItOnClose) {
    auto backend = make(pipe_backend_init);
    // The open blocks until a writer arrives, as a program at the other end would.
    std::thread writer([] {
        int fd = -1;
        for (int i = 0; i < 2000 && fd < 0; ++i) {
            fd = open(PIPE_BACKEND_FIFO_PATH, O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "samples", 7), 7);
        close(fd);
    });
    ASSERT_EQ(backend->open("", 0, 0, &stereo), 0);
    writer.join();
    struct stat info;
    ASSERT_EQ(stat(PIPE_BACKEND_FIFO_PATH, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    char buffer[16] = {};
    EXPECT_EQ(backend->read(buffer, sizeof buffer), 7);
    EXPECT_EQ(backend->read(buffer, sizeof buffer), 0);  // the writer has gone
    EXPECT_EQ(backend->close(), 0);
    EXPECT_FALSE(exists(PIPE_BACKEND_FIFO_PATH));
}

TEST_F(PipeBackend, NamedPathIsOpenedButTheFixedFifoIsStillMade) {
    temp_dir dir;
    std::string path = dir.file("named");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto backend = make(pipe_backend_init);
    ASSERT_EQ(backend->open(path.c_str(), 1, 0, &stereo), 0);
    EXPECT_TRUE(exists(PIPE_BACKEND_FIFO_PATH));
    EXPECT_EQ(backend->write("abc", 3), 3);
    char buffer[8] = {};
    EXPECT_EQ(read(reader, buffer, sizeof buffer), 3);
    EXPECT_EQ(backend->close(), 0);
    EXPECT_FALSE(exists(PIPE_BACKEND_FIFO_PATH));
    close(reader);

    // A second open without the close in between finds the FIFO in place.
    reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(backend->open(path.c_str(), 1, 0, &stereo), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(backend->open(path.c_str(), 1, 0, &stereo), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: pipe_open: ???\nmknod: File exists\n");
    close(reader);
    EXPECT_EQ(backend->close(), 0);

    // A path that cannot be opened leaves the FIFO until the next close.
    testing::internal::CaptureStderr();
    EXPECT_EQ(backend->open(dir.file("missing").c_str(), 1, 0, &stereo), -ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: pipe_open: open error\nopen: No such file or directory\n");
    EXPECT_TRUE(exists(PIPE_BACKEND_FIFO_PATH));
    EXPECT_EQ(backend->close(), 0);
    EXPECT_FALSE(exists(PIPE_BACKEND_FIFO_PATH));
}

}  // namespace
