// Flash writes block by block. Single-block writes, a missing partition and power
// cuts at every request are console tests (test_power_cut.py, test_rescue.py).
#include "board/mtd.h"
#include "board/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::capture_stdout;

constexpr std::uint32_t kErase = 4096;
// The driver requests for one block: an erase and four 1 KiB writes.
constexpr int kBlockRequests = 1 + kErase / 1024;

class MtdTest : public ::testing::Test {
   protected:
    void SetUp() override {
        board_.set("mtd/erase-size", std::to_string(kErase) + "\n");
        board_.remove("mtd/requests");
        board_.remove("mtd/power-cut-after");
        // Four blocks of bits both set and clear: a block written without
        // being erased first (NOR: new = old AND data) would show.
        old_ = data_of(4 * kErase, 0x5A);
        board_.set("mtd/kernel.bin", old_);
        mtd_open_partitions();
        ASSERT_EQ(1, mtd_get_geometry(mtd_partitions.kernel, &geo_));
        ASSERT_EQ(12u, geo_.erase_shift);
        ASSERT_EQ(4u, geo_.block_count);
    }
    void TearDown() override { board_test::close_mtd_partitions(); }
    static std::string data_of(std::size_t length, int salt) {
        std::string data(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            data[i] = static_cast<char>(salt ^ (i * 13));
        }
        return data;
    }
    // old_ with `data` at `offset`: what the partition must hold afterwards.
    std::string with(std::uint32_t offset, const std::string& data) const {
        return std::string(old_).replace(offset, data.size(), data);
    }
    int write(const std::string& data, std::uint32_t offset, int progress = 0) {
        return flash_write(data.data(), mtd_partitions.kernel, data.size(), offset, progress,
                           &geo_);
    }
    int requests() const { return std::atoi(board_.get("mtd/requests").c_str()); }

    sandbox_test::BoardFiles board_;
    std::string old_;
    FlashGeometry geo_{};
};

TEST_F(MtdTest, WriteAcrossBlocksRewritesEachTouchedBlockOnce) {
    // From inside block 0 to inside block 2; block 3 is not touched.
    std::string data = data_of(kErase + 0x300, 0xA5);
    int result = 0;
    EXPECT_EQ("     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n",
              capture_stdout([&] { result = write(data, 0xF00, 1); }));
    EXPECT_EQ(1, result);
    EXPECT_EQ(with(0xF00, data), board_.get("mtd/kernel.bin"));
    EXPECT_EQ(3 * kBlockRequests, requests());
    // The partition form takes the geometry from the flash itself; 0 when
    // the bytes are written, at an odd offset too.
    std::string more = data_of(0x40, 0x3C);
    EXPECT_EQ(0, partition_write(more.data(), mtd_partitions.kernel, 0x11, 0x40, 0));
    std::string expected = with(0xF00, data);
    EXPECT_EQ(expected.replace(0x11, 0x40, more), board_.get("mtd/kernel.bin"));
    // Nowhere to take a byte from, or to put one: refused, the flash as it was.
    EXPECT_EQ(0, flash_write(nullptr, mtd_partitions.kernel, 1, 0, 0, &geo_));
    EXPECT_EQ(0, mtd_read(mtd_partitions.kernel, 0, 1, nullptr));
    EXPECT_EQ(expected, board_.get("mtd/kernel.bin"));
}

// The figure reaches the console as each block ends, not with the next
// line: an operator whose power fails in the middle of a long write has
// seen how far it got. Here the power is cut at block 2's second 1 KiB
// write, in a writer of its own, since a cut ends the process: the block
// holds its first piece and is erased past it.
TEST_F(MtdTest, ProgressShownSoFarSurvivesAPowerCut) {
    std::string data = data_of(kErase + 0x300, 0xA5);
    board_.remove("mtd/power-cut.log");
    board_.set("mtd/power-cut-after", std::to_string(2 * kBlockRequests + 2) + "\n");
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::fflush(stdout);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        // As the launcher has it on the console.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        write(data, 0xF00, 1);
        _exit(0);
    }
    close(fds[1]);
    std::string shown;
    char chunk[256];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) {
        shown.append(chunk, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(writer, waitpid(writer, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ("     \b\b\b\b000%\b\b\b\b033%", shown);
    std::string cut = board_.get("mtd/kernel.bin");
    EXPECT_TRUE(cut.substr(0, 2 * kErase) == with(0xF00, data).substr(0, 2 * kErase));
    EXPECT_TRUE(cut.substr(2 * kErase, 1024) == with(0xF00, data).substr(2 * kErase, 1024));
    EXPECT_EQ(std::string(kErase - 1024, '\xFF'), cut.substr(2 * kErase + 1024, kErase - 1024));
    // The power back, the same write runs whole.
    board_.remove("mtd/power-cut-after");
    EXPECT_EQ("     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n",
              capture_stdout([&] { EXPECT_EQ(1, write(data, 0xF00, 1)); }));
    EXPECT_TRUE(board_.get("mtd/kernel.bin").substr(0xF00, data.size()) == data);
}

// A block that cannot be read or erased, or whose cells no longer program
// after the erase, fails the whole write with its line; so does a partition whose
// geometry the driver does not give.
TEST_F(MtdTest, FailedReadOrWriteOfABlockFailsTheWrite) {
    std::string data = data_of(kErase, 0xA5);
    char scratch[] = "/tmp/mtd-unreadable-XXXXXX";
    int unreadable = mkstemp(scratch);
    ASSERT_GE(unreadable, 0);
    ASSERT_EQ(16, ::write(unreadable, "a plain file....", 16));
    close(unreadable);
    unreadable = open(scratch, O_WRONLY);
    int plain = open(scratch, O_RDONLY);
    int result = -1;
    EXPECT_EQ("Flash Write mtd read failed.\n\n", capture_stdout([&] {
                  result = flash_write(data.data(), unreadable, kErase, 0, 0, &geo_);
              }));
    EXPECT_EQ(0, result);
    // No flash behind the descriptor: no geometry, no write, and no read
    // even of a file that could be read.
    EXPECT_EQ("Could not get MTD device info ", capture_stdout([&] {
                  result = partition_write(data.data(), unreadable, 0, kErase, 0);
              }));
    EXPECT_EQ(-1, result);
    std::string nothing(16, '\x5A');
    EXPECT_EQ("Could not get MTD device info ", capture_stdout([&] {
                  result = partition_read(nothing.data(), plain, 0, 16);
              }));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(std::string(16, '\x5A'), nothing);
    close(plain);
    close(unreadable);
    unlink(scratch);
    // Blocks of half the driver's erase size: the erase is refused, and
    // the block's data are left as they were, never programmed over.
    FlashGeometry half{8, kErase / 2, 11, 4 * kErase};
    EXPECT_EQ("Flash Write mtd erase failed.\n\n", capture_stdout([&] {
                  result = flash_write(data.data(), mtd_partitions.kernel, 16, 0, 0, &half);
              }));
    EXPECT_EQ(0, result);
    EXPECT_EQ(old_, board_.get("mtd/kernel.bin"));
    board_.set("mtd/write-fails", "kernel\n");
    EXPECT_EQ("Flash Write mtd write failed.\n\n",
              capture_stdout([&] { result = write(data, kErase); }));
    board_.remove("mtd/write-fails");
    EXPECT_EQ(0, result);
    // A flash that no longer answers reads: the read fails, with -1 from
    // the partition form, and a write, which reads its blocks first, too.
    board_.set("mtd/read-fails", "kernel\n");
    std::string read(16, '\x5A');
    EXPECT_EQ(-1, partition_read(read.data(), mtd_partitions.kernel, 0, 16));
    EXPECT_EQ(std::string(16, '\x5A'), read);
    EXPECT_EQ("Flash Write mtd read failed.\n\n",
              capture_stdout([&] { result = write(data, kErase); }));
    board_.remove("mtd/read-fails");
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, partition_read(read.data(), mtd_partitions.kernel, 0, 16));
    // Bytes to move but no buffer: refused before the driver is asked.
    EXPECT_EQ(0, mtd_read(mtd_partitions.kernel, 0, 16, nullptr));
    EXPECT_EQ(0, mtd_write(mtd_partitions.kernel, 0, 16, nullptr));
}

TEST_F(MtdTest, RangePastThePartitionIsRefusedBeforeAnyErase) {
    std::string data = data_of(kErase, 0xA5);
    EXPECT_EQ(0, write(data, 3 * kErase + 1));
    // An offset and length whose sum wraps around 32 bits.
    EXPECT_EQ(0, flash_write(data.data(), mtd_partitions.kernel, 0x200, 0xFFFFFF00u, 0, &geo_));
    EXPECT_EQ(0, requests());
    EXPECT_EQ(old_, board_.get("mtd/kernel.bin"));
    // Block arithmetic needs an erase size that is a power of two and a
    // shift that matches it: 3 KiB blocks, a shift that disagrees and one
    // past 31 bits are refused before any request, and in silence.
    for (FlashGeometry odd :
         {FlashGeometry{4, 3072, 10, 4 * kErase}, FlashGeometry{4, kErase, 11, 4 * kErase},
          FlashGeometry{4, 0, 32, 4 * kErase}, FlashGeometry{4, 1, 32, 4 * kErase}}) {
        int result = -1;
        EXPECT_EQ("", capture_stdout([&] {
                      result = flash_write(data.data(), mtd_partitions.kernel, 16, 0, 0, &odd);
                  }))
            << odd.erase_size << " " << odd.erase_shift;
        EXPECT_EQ(0, result);
    }
    EXPECT_EQ(0, requests());
    // A driver that erases single bytes: 2 to the 0, a block per byte.
    board_.set("mtd/erase-size", "1\n");
    FlashGeometry bytewise{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_partitions.kernel, &bytewise));
    EXPECT_EQ(0u, bytewise.erase_shift);
    EXPECT_EQ(4 * kErase, bytewise.block_count);
    EXPECT_EQ(1, write("", kErase));  // nothing to write: nothing touched
    EXPECT_EQ(0, requests());
    EXPECT_EQ(1, write(data, 3 * kErase));  // up to the very end is fine
    EXPECT_EQ(with(3 * kErase, data), board_.get("mtd/kernel.bin"));
}

}  // namespace
