// The rescue partition's image. The debugger taken from the other slot, or
// missing there, is a console test (test_boot.py, the gdb modes).
#include "boot/diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

using image_test::component_file;
using sandbox_test::on_console;
using sandbox_test::read_file;

// A gzip-compressed tar archive holding one executable shell program at
// `path`, made with the switch's own tar; `padding` random bytes more in a
// file beside it make an archive of several flash pieces.
std::string archive_with(const std::string& path, const char* script, int padding = 0) {
    std::string command =
        "rm -rf /tmp/arc && mkdir -p $(dirname /tmp/arc/" + path + ") && printf '" + script +
        "' > /tmp/arc/" + path + " && chmod +x /tmp/arc/" + path + " && head -c " +
        std::to_string(padding) + " /dev/urandom > /tmp/arc/pad" +
        " && tar czf /tmp/arc.tgz -C /tmp/arc pad " + path.substr(0, path.find('/'));
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
        std::system("rm -rf /user/images/image1 /user/images/image2; mkdir -p /user/images");
    }
    void put_rescue(const std::string& bytes) {
        std::string partition = board_.get("mtd/rescue.bin");
        partition.replace(0, bytes.size(), bytes);
        board_.set("mtd/rescue.bin", partition);
    }
    std::uint8_t eeprom(unsigned offset) {
        return static_cast<std::uint8_t>(board_.get("eeprom.bin")[offset]);
    }
    // Puts the rescue partition and the EEPROM back after each test.
    sandbox_test::BoardFiles board_;
};

// An erased partition and a diagnostics image in it are console tests
// (test_fsmaint.py); here the damaged one and the recovery image. The
// half-written archive is closed on the way out: the rescue menu that
// follows runs for as long as the operator needs it.
TEST_F(RescuePartition, DamagedPartitionBootsNothing) {
    put_rescue(component_file(kDiagnostics, "a damaged diagnostics image", false));
    int before = sandbox_test::open_descriptors();
    testing::internal::CaptureStderr();
    EXPECT_EQ(launch_diagnostics(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Image CRC failed. Quitting\n");
    EXPECT_EQ(before, sandbox_test::open_descriptors());
}

// Installed into the slot the operator names (only the first character
// counts), or booted at once on Enter (in the long header format), storing
// nothing: slot 2 and the boot slot keep what the first row installed. A
// console whose input has ended boots it too, without a booted-image byte.
TEST_F(RescuePartition, RecoveryImageInstalledOrBootedAsTheOperatorSays) {
    // What each answer is told (the console is the error output here, so
    // that the death test sees it).
    const struct {
        const char* keys;
        int format, exit_code, booted;
        const char* said;
    } rows[] = {{"2x\n", 1, 5, 2, "\nInstalling recovery image as image2...\nSetting boot image to 2\n"},
                {"\n", 2, 6, 4,
                 "\nBooting recovery image. You will need to download and install an image "
                 "before rebooting\n"},
                {"", 1, 8, 4, "Install recovery image as image 1 or 2 \\(hit return to just boot "
                              "image\\): "}};
    std::string installed;
    // A /user without its images folder (a new filesystem) gets one.
    std::system("rm -rf /user/images");
    for (const auto& row : rows) {
        std::string script = "#!/bin/sh\\nexit " + std::to_string(row.exit_code) + "\\n";
        std::string recovery = component_file(
            kApplication, archive_with("home/bin/mp.elf.strip", script.c_str()), true, row.format);
        installed = installed.empty() ? recovery : installed;
        put_rescue(recovery);
        EXPECT_EXIT(on_console(row.keys,
                               [] {
                                   dup2(2, 1);
                                   launch_diagnostics();
                               }),
                    ::testing::ExitedWithCode(row.exit_code), row.said);
        EXPECT_EQ(read_file("/user/images/image2"), installed);
        EXPECT_EQ(read_file("/user/images/image1"), "<missing>");
        EXPECT_EQ(eeprom(0x100), 2);
        EXPECT_EQ(eeprom(0x13A), row.booted);
    }
    // A /tmp that cannot take the copy (a folder in its place) is said
    // before the board reboots; the reboot is refused here, so the board
    // stays up and the operator is told to power-cycle it.
    std::system("rm -rf /tmp/image && mkdir /tmp/image");
    board_.set("answers/reboot", "1\n");
    EXPECT_EXIT(on_console("1\n", [] { launch_diagnostics(); }), ::testing::ExitedWithCode(0),
                "^Failed to open image file.\nSystem reboot failed, please power-cycle.\n$");
    // A /tmp that fills up while the copy for the slot is written: the cut
    // copy goes, no slot and no boot-slot byte change, and nothing boots.
    std::system("rm -rf /tmp/image && ln -s /dev/full /tmp/image");
    testing::internal::CaptureStderr();
    int result = -1;
    std::string said = on_console("1\n", [&] { result = launch_diagnostics(); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Image CRC failed. Quitting\n");
    EXPECT_EQ(result, 0);
    EXPECT_NE(said.find("Installing recovery image as image1...\n"), std::string::npos);
    EXPECT_EQ(said.find("Setting boot image"), std::string::npos);
    EXPECT_EQ(read_file("/user/images/image1"), "<missing>");
    EXPECT_EQ(eeprom(0x100), 2);
    struct stat st;
    EXPECT_NE(lstat("/tmp/image", &st), 0);
    std::system("rm -rf /tmp/image");
}

}  // namespace

namespace {

// A diagnostics image in the rescue partition boots as the program, and
// the board remembers the rescue partition (4) as the image booted. The
// debugger is only ever taken from a slot: the USB image (3) gets none.
TEST_F(RescuePartition, DiagnosticsImageBootsAsTheRescuePartitionTheUsbImageTakesNoDebugger) {
    std::string bytes = board_.get("eeprom.bin");
    bytes[0x13A] = 1;
    board_.set("eeprom.bin", bytes);
    std::remove("/tmp/gdb.gz");
    // More than two flash pieces: every piece's bytes reach the archive.
    std::string archive = archive_with("mpdiag.elf.strip", "#!/bin/sh\\nexit 7\\n", 150000);
    ASSERT_GT(archive.size(), 2 * kImagePieceSize);
    put_rescue(component_file(kDiagnostics, archive, true));
    EXPECT_EXIT(launch_diagnostics(), ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(eeprom(0x13A), 4);
    int result = -1;
    EXPECT_EQ(sandbox_test::capture_stdout([&] { result = extract_gdb(3); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), "<missing>");
}

// The debugger slot's file ends before the length its header gives: the
// copy takes what there is and the boot goes on. A copy that kept reading
// would never end; the time limit turns that into a failure. A whole one
// arrives to its last byte, one past a piece.
TEST_F(RescuePartition, DebuggerFromASlotFileThatEndsEarlyGivesWhatThereIs) {
    // A whole one, with more components after it: only its payload.
    std::string whole(kImagePieceSize, 'w');
    whole += 'z';
    sandbox_test::write_file("/user/images/image2", component_file(kApplication, whole, true) +
                                                        component_file(kDiagnostics, "next", true));
    EXPECT_EQ(sandbox_test::capture_stdout([] { EXPECT_EQ(1, extract_gdb(1)); }),
              "Extracting GDB from image slot 2\nFound GDB image 2 of length = 65537.\n"
              "decompressing GDB....\n");
    EXPECT_EQ(read_file("/tmp/gdb.gz"), whole);
    std::string payload(2 * kImagePieceSize + 300, 'g');
    std::string slot = component_file(kApplication, payload, true);
    sandbox_test::write_file("/user/images/image2", slot.substr(0, slot.size() - 100));
    std::remove("/tmp/gdb.gz");
    EXPECT_EXIT((alarm(10), std::exit(extract_gdb(1))), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(read_file("/tmp/gdb.gz"), payload.substr(0, payload.size() - 100));
    std::remove("/tmp/gdb.gz");
}

}  // namespace
