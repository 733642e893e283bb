// The rescue partition's image. The debugger taken from the other slot, or
// missing there, is a console test (test_boot.py, the gdb modes).
#include "boot/diagnostics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "image/container.h"
#include "image/test_support.h"
#include "platform/platform.h"
#include "platform/sandbox/test_support.h"

namespace {

constexpr std::uint32_t kApplication = 0x014D4152;
constexpr std::uint32_t kDiagnostics = 0x064D4152;

// A component of the given header format with a correct (or spoiled) CRC.
std::string component(std::uint32_t magic, const std::string& payload, bool crc_ok = true,
                      int format = 1) {
    image_test::Bytes bytes =
        image_test::component(magic, format, image_test::Bytes(payload.begin(), payload.end()));
    if (!crc_ok) {
        bytes[0] ^= 1;
    }
    return std::string(bytes.begin(), bytes.end());
}

using sandbox_test::read_file;

// A gzip-compressed tar archive holding one executable shell program at
// `path`, made with the switch's own tar.
std::string archive_with(const std::string& path, const char* script) {
    std::string command = "rm -rf /tmp/arc && mkdir -p $(dirname /tmp/arc/" + path +
                          ") && printf '" + script + "' > /tmp/arc/" + path +
                          " && chmod +x /tmp/arc/" + path +
                          " && tar czf /tmp/arc.tgz -C /tmp/arc " + path.substr(0, path.find('/'));
    EXPECT_EQ(std::system(command.c_str()), 0);
    return read_file("/tmp/arc.tgz");
}

class RescuePartition : public ::testing::Test {
   protected:
    void SetUp() override {
        board_.set("eeprom.bin", board_.get("eeprom.bin"));
        mtd_open_partitions();
        i2c_open_buses();
        std::system("rm -rf /user/images/image1 /user/images/image2");
    }
    void TearDown() override {
        i2c_close_buses();
        std::system("rm -rf /user/images/image1 /user/images/image2");
    }
    void put_rescue(const std::string& bytes) {
        std::string partition = board_.get("mtd/rescue.bin");
        partition.replace(0, bytes.size(), bytes);
        board_.set("mtd/rescue.bin", partition);
    }
    void answer(const char* line) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], line, strlen(line)), static_cast<ssize_t>(strlen(line)));
        close(fds[1]);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    std::uint8_t eeprom(unsigned offset) {
        return static_cast<std::uint8_t>(board_.get("eeprom.bin")[offset]);
    }
    // Puts the rescue partition and the EEPROM back after each test.
    sandbox_test::BoardFiles board_;
};

// An erased partition and a diagnostics image in it are console tests
// (test_fsmaint.py); here the damaged one and the recovery image.
TEST_F(RescuePartition, DamagedPartitionBootsNothing) {
    put_rescue(component(kDiagnostics, "a damaged diagnostics image", false));
    testing::internal::CaptureStderr();
    EXPECT_EQ(launch_diagnostics(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Image CRC failed. Quitting\n");
}

TEST_F(RescuePartition, RecoveryImageInstalledIntoTheSlotTheOperatorNames) {
    std::string recovery =
        component(kApplication, archive_with("home/bin/mp.elf.strip", "#!/bin/sh\\nexit 5\\n"));
    put_rescue(recovery);
    answer("2x\n");  // only the first character counts
    EXPECT_EXIT(launch_diagnostics(), ::testing::ExitedWithCode(5), "");
    EXPECT_EQ(read_file("/user/images/image2"), recovery);
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_EQ(eeprom(0x13A), 2);
}

TEST_F(RescuePartition, EnterAloneBootsTheRecoveryImageWithoutInstalling) {
    // The long header format, with the flag bit set, is accepted as well.
    put_rescue(component(kApplication,
                         archive_with("home/bin/mp.elf.strip", "#!/bin/sh\\nexit 6\\n"), true, 2));
    answer("\n");
    EXPECT_EXIT(launch_diagnostics(), ::testing::ExitedWithCode(6), "");
    EXPECT_EQ(read_file("/user/images/image1"), "<missing>");
    EXPECT_EQ(eeprom(0x13A), 4);
}

}  // namespace
