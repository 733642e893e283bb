// The flash emulation is as strict as NOR flash and the mtdchar driver.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sandbox/board_files.h"

namespace {

constexpr uint32_t kBlock = 0x10000;
constexpr uint32_t kDeviceTreeSize = 0x20000;

class MtdEmulation : public ::testing::Test {
   protected:
    void SetUp() override {
        sandbox::write_board_file("mtd/devicetree.bin", std::string(kDeviceTreeSize, '\xff'));
        sandbox::write_board_file("mtd/requests", "0\n");
        fd_ = plat_open("/dev/mtd-devicetree", O_RDWR | O_SYNC);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        plat_close(fd_);
        ::unlink(sandbox::board_path("mtd/power-cut-after").c_str());
        sandbox::write_board_file("mtd/devicetree.bin", std::string(kDeviceTreeSize, '\xff'));
    }
    int erase(uint32_t start, uint32_t length) {
        erase_info_user request{start, length};
        return plat_ioctl(fd_, MEMERASE, &request);
    }
    std::string flash() { return *sandbox::read_board_file("mtd/devicetree.bin"); }

    int fd_ = -1;
};

TEST_F(MtdEmulation, WritesOnlyClearBitsAndEraseTakesWholeBlocks) {
    uint8_t first = 0xF0, second = 0x3C;
    ASSERT_EQ(plat_pwrite(fd_, &first, 1, 0x10), 1);
    ASSERT_EQ(plat_pwrite(fd_, &second, 1, 0x10), 1);
    EXPECT_EQ(static_cast<uint8_t>(flash()[0x10]), 0x30);

    ASSERT_EQ(erase(0, kBlock), 0);
    EXPECT_EQ(static_cast<uint8_t>(flash()[0x10]), 0xFF);
    ASSERT_EQ(plat_pwrite(fd_, &second, 1, 0x10), 1);
    uint8_t back = 0;
    ASSERT_EQ(plat_pread(fd_, &back, 1, 0x10), 1);
    EXPECT_EQ(back, 0x3C);

    // Erases of part of a block or past the end are refused, erasing nothing.
    errno = 0;
    EXPECT_EQ(erase(0x100, kBlock), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(erase(0, kBlock / 2), -1);
    EXPECT_EQ(erase(kBlock, 2 * kBlock), -1);
    EXPECT_EQ(erase(kDeviceTreeSize, kBlock), -1);
    EXPECT_EQ(static_cast<uint8_t>(flash()[0x10]), 0x3C);
    EXPECT_EQ(erase(kBlock, kBlock), 0);
}

TEST_F(MtdEmulation, ReadsAndWritesStopAtThePartitionEnd) {
    char buffer[32];
    EXPECT_EQ(plat_pread(fd_, buffer, sizeof buffer, kDeviceTreeSize - 8), 8);
    EXPECT_EQ(plat_pread(fd_, buffer, sizeof buffer, kDeviceTreeSize), 0);
    std::string zeros(32, '\0');
    EXPECT_EQ(plat_pwrite(fd_, zeros.data(), zeros.size(), kDeviceTreeSize - 8), 8);
    errno = 0;
    EXPECT_EQ(plat_pwrite(fd_, zeros.data(), zeros.size(), kDeviceTreeSize), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(flash().size(), kDeviceTreeSize);
}

TEST_F(MtdEmulation, PowerCutStopsTheProcessAfterTheGivenRequests) {
    sandbox::write_board_file("mtd/power-cut-after", "2\n");
    EXPECT_EXIT(
        {
            erase(0, kBlock);  // request 1
            uint8_t byte = 0x00;
            plat_pwrite(fd_, &byte, 1, 0);  // request 2
            plat_pwrite(fd_, &byte, 1, 1);  // never happens
            _exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    std::string after = flash();
    EXPECT_EQ(after[0], '\0');
    EXPECT_EQ(static_cast<uint8_t>(after[1]), 0xFF);
}

}  // namespace
