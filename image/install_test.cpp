// The file writers of the installer. The installer's runs themselves are
// tested as the operator sees them, in tests/console/test_install.py.
#include "image/install.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::capture_stdout;
using sandbox_test::read_file;

TEST(FileWriters, CopyAndWriteGiveTheBytesWithTheProgressDisplay) {
    std::string data(3 * 65536 + 100, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + (i >> 11));
    }
    int result = 0;
    std::string out = capture_stdout(
        [&] { result = file_write_progress("/tmp/fw-source", data.data(), data.size()); });
    EXPECT_EQ(1, result);
    EXPECT_EQ("    \b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\b\b\b\b100%\n", out);
    out = capture_stdout([&] { result = file_copy_progress("/tmp/fw-source", "/tmp/fw-copy"); });
    EXPECT_EQ(1, result);
    EXPECT_EQ(data, read_file("/tmp/fw-copy"));
    EXPECT_EQ("    \b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\b\b\b\b100%\n", out);

    // A file of one 256-byte unit is whole at its one piece, as a shorter one is.
    for (std::size_t size : {255, 256}) {
        out = capture_stdout(
            [&] { result = file_write_progress("/tmp/fw-source", data.data(), size); });
        EXPECT_EQ(1, result);
        EXPECT_EQ("    \b\b\b\b100%\b\b\b\b100%\n", out) << size;
    }

    out = capture_stdout([&] { result = file_write_progress("/tmp/no-dir/x", "abc", 3); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("File /tmp/no-dir/x write failed (err 2: bytes_written 0, len 3, wr_len 3)\n", out);
    // The failed copy keeps no descriptor of its source open.
    int before = sandbox_test::open_descriptors();
    out = capture_stdout([&] { result = file_copy_progress("/tmp/fw-source", "/tmp/no-dir/x"); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("File /tmp/no-dir/x write failed (err 2: bytes_written 0, len 256, wr_len 0)\n", out);
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    unlink("/tmp/fw-source");
    unlink("/tmp/fw-copy");
}

// A source that yields fewer bytes than its size says (a directory reads
// nothing): the warning, and nothing but what was read reaches the
// destination, where a stale buffer would have gone out before.
TEST(FileWriters, ShortReadWritesOnlyWhatWasRead) {
    mkdir("/tmp/short-source", 0755);
    for (const char* name : {"/tmp/short-source/a", "/tmp/short-source/b"}) {
        sandbox_test::write_file(name, "x");
    }
    struct stat info {};
    ASSERT_EQ(0, stat("/tmp/short-source", &info));
    ASSERT_GT(info.st_size, 0);
    int result = 1;
    std::string out = capture_stdout(
        [&] { result = file_copy_progress("/tmp/short-source", "/tmp/short-copy"); });
    EXPECT_EQ(0, result);
    std::string piece = std::to_string(info.st_size < 65536 ? info.st_size : 65536);
    EXPECT_NE(std::string::npos,
              out.find("WARNING: unexpected read buffer len 0 != " + piece + "\n"))
        << out;
    // The line names the piece that could not be read, not the none read.
    std::string size = std::to_string(info.st_size);
    EXPECT_NE(std::string::npos, out.find("File /tmp/short-copy write failed (err 21: "
                                          "bytes_written 0, len " + size + ", wr_len " + piece +
                                          ")\n"))
        << out;
    EXPECT_EQ("", read_file("/tmp/short-copy"));
    unlink("/tmp/short-source/a");
    unlink("/tmp/short-source/b");
    rmdir("/tmp/short-source");
    unlink("/tmp/short-copy");
}

// A full filesystem, found by a write of a whole piece or only when the
// file is closed: the line says where, and the writer fails. A copy of a
// hundred pieces or more shows its first percent too.
TEST(FileWriters, FullFilesystemFailsTheWriteWhereItIsFound) {
    mkdir("/tmp/fw-small", 0755);
    ASSERT_EQ(0, mount("fw", "/tmp/fw-small", "tmpfs", 0, "size=32k"));
    std::string piece(65536, 'p');
    int result = 1;
    // The failed write closes its file: no descriptor is left open.
    int before = sandbox_test::open_descriptors();
    std::string out = capture_stdout(
        [&] { result = file_write_progress("/tmp/fw-small/x", piece.data(), piece.size()); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(
        "    File /tmp/fw-small/x write failed (err 28: bytes_written 0, len 65536, "
        "wr_len 65536)\n",
        out);
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    ASSERT_EQ(0, std::system("dd if=/dev/zero of=/tmp/fw-small/x bs=1k count=31 2>/dev/null"));
    out = capture_stdout(
        [&] { result = file_write_progress("/tmp/fw-small/y", piece.data(), 3000); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(
        "    \b\b\b\b100%File /tmp/fw-small/y write failed (err 28: bytes_written 3000, len 3000, "
        "wr_len 0)\n",
        out);
    // The copy to a partition fails the same way, at its close; a source
    // that cannot be opened fails it before anything is written.
    sandbox_test::write_file("/tmp/fw-source", piece.substr(0, 3000));
    errno = 0;  // the line must give the close's own error, not one left over
    out = capture_stdout([&] { result = file_copy_progress("/tmp/fw-source", "/tmp/fw-small/z"); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(
        "    \b\b\b\b100%File /tmp/fw-small/z write failed (err 28: bytes_written 3000, len 3000, "
        "wr_len 0)\n",
        out);
    unlink("/tmp/fw-source");
    out = capture_stdout([&] { result = file_copy_progress("/tmp/fw-source", "/tmp/fw-small/z"); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("File /tmp/fw-small/z write failed (err 2: bytes_written 0, len 0, wr_len 0)\n", out);
    umount("/tmp/fw-small");
    rmdir("/tmp/fw-small");

    std::string large(100 * 65536, 'l');
    sandbox_test::write_file("/tmp/fw-large", large);
    out = capture_stdout([&] { result = file_copy_progress("/tmp/fw-large", "/tmp/fw-copy"); });
    EXPECT_EQ(1, result);
    EXPECT_EQ("    \b\b\b\b001%\b\b\b\b002%", out.substr(0, 20));
    unlink("/tmp/fw-large");
    unlink("/tmp/fw-copy");
}

// What a writer run in a process of its own showed before the file size
// limit's signal ended it at the 51st piece of 64 KiB.
template <typename Fn>
std::string shown_until_stopped(Fn&& write) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    std::fflush(stdout);
    pid_t writer = fork();
    if (writer == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);  // as on the console
        rlimit limit{50 * 65536, 50 * 65536};
        signal(SIGXFSZ, SIG_DFL);
        setrlimit(RLIMIT_FSIZE, &limit);
        write();
        _exit(0);
    }
    close(fds[1]);
    std::string shown;
    char chunk[512];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) {
        shown.append(chunk, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(writer, waitpid(writer, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
    return shown;
}

// Each figure reaches the console when its piece is written, not with the
// next one: an operator whose copy or write stops half way (here at the
// file size limit) has seen how far it got.
TEST(FileWriters, WriteStoppedHalfWayHasShownHowFarItGot) {
    std::string large(100 * 65536, 'l');
    sandbox_test::write_file("/tmp/fw-large", large);
    std::string expected = "    ";
    for (int percent = 1; percent <= 50; ++percent) {
        char figure[16];
        std::snprintf(figure, sizeof figure, "\b\b\b\b%3.3d%%", percent);
        expected += figure;
    }
    EXPECT_EQ(expected,
              shown_until_stopped([] { file_copy_progress("/tmp/fw-large", "/tmp/fw-copy"); }));
    EXPECT_EQ(expected, shown_until_stopped([&] {
                  file_write_progress("/tmp/fw-copy", large.data(), large.size());
              }));
    // The same writes whole, in this process: the writer stopped above
    // leaves no coverage counts, and the figures must end at 100%.
    EXPECT_TRUE(capture_stdout([] {
                    file_copy_progress("/tmp/fw-large", "/tmp/fw-copy");
                }).ends_with("\b\b\b\b100%\n"));
    EXPECT_TRUE(capture_stdout([&] {
                    file_write_progress("/tmp/fw-copy", large.data(), large.size());
                }).ends_with("\b\b\b\b100%\n"));
    unlink("/tmp/fw-large");
    unlink("/tmp/fw-copy");
}

// A file whose reads fail (an I/O error, as a pulled stick gives; here a
// directory's descriptor, which has a size but gives EISDIR) is a failed
// install: the read is not retried for ever.
TEST(FileWriters, UnreadableFileIsAFailedInstall) {
    mkdir("/tmp/fw-dir", 0755);
    for (int i = 0; i < 8; ++i) {
        sandbox_test::write_file("/tmp/fw-dir/entry-with-a-long-name-" + std::to_string(i), "x");
    }
    int fd = open("/tmp/fw-dir", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int result = -1;
    std::string err;
    capture_stdout([&] {
        err = sandbox_test::capture(2, [&] { result = image_install_fd(fd, "/tmp/fw-dir", 0, 0); });
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ("Image component at offset 0 could not be read.\n", err);
    std::system("rm -rf /tmp/fw-dir");
}

}  // namespace
