// Slot boot failures that return to the boot sequence, and the USB source
// with its rejected list. (Successful boots end the process and are seen
// whole in the console tests.)
#include "boot/slot_boot.h"

#include <csignal>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/i2c.h"
#include "boot/diagnostics.h"
#include "boot/launch.h"
#include "boot/settings.h"
#include "boot/usb.h"
#include "image/container.h"
#include "image/test_support.h"
#include "platform/sandbox/descriptors.h"
#include "platform/sandbox/test_support.h"

namespace {

constexpr const char* kUsbImage = "/mnt/usb/VKT3390_OS.img";

using image_test::component_file;
using sandbox_test::on_console;
using sandbox_test::write_file;

class SlotBoot : public ::testing::Test {
   protected:
    void SetUp() override {
        std::system(
            "rm -rf /user/images/image1 /user/images/image2 /user/images/rejected "
            "/mnt/usb/VKT3390_OS.img");
        second_attempt = 0;
    }
    void TearDown() override {
        std::system(
            "rm -rf /user/images/image1 /user/images/image2 /user/images/rejected "
            "/mnt/usb/VKT3390_OS.img");
    }
    // No console answer can come: questions end as on a time-out.
    int boot(int slot, std::string* errors) {
        int result = -1;
        *errors =
            sandbox_test::capture(2, [&] { on_console("", [&] { result = boot_slot(slot); }); });
        return result;
    }
};

// An empty or cut slot and a second failed attempt are console tests
// (test_boot.py, test_power_cut.py); here a foreign or directory slot and
// a bad CRC.
TEST_F(SlotBoot, UnbootableSlotNamesWhatItFoundAndTriesTheOther) {
    std::string errors;
    write_file("/user/images/image1", component_file(0x024D4152, "u-boot payload"));
    EXPECT_EQ(boot(1, &errors), 0);
    EXPECT_EQ(errors,
              "Image has invalid header 0x24d4152. (0x64d4152)\n"
              "Image1 has invalid header... trying Image2.\n");
    // A directory or a FIFO in a slot's place is a missing slot: the other
    // one is opened in the same call, and nothing waits for a writer.
    for (const char* make : {"mkdir /user/images/image1", "mkfifo /user/images/image1"}) {
        std::system("rm -rf /user/images/image1");
        std::system(make);
        write_file("/user/images/image2", component_file(0x024D4152, "u-boot payload"));
        EXPECT_EQ(boot(1, &errors), 0) << make;
        EXPECT_EQ(errors,
                  "Failed to open Application image 1. Trying image 2.\n"
                  "Image has invalid header 0x24d4152. (0x64d4152)\n"
                  "Image2 has invalid header... trying Image1.\n")
            << make;
    }
    // A CRC that does not match ends the first attempt the same way.
    std::system("rm -rf /user/images/image1");
    write_file("/user/images/image1", component_file(0x014D4152, "archive payload", false));
    EXPECT_EQ(boot(1, &errors), 0);
    EXPECT_EQ(errors, "Image1 CRC failed, trying Image2 now.\n");
    // Neither slot: nothing is tried.
    EXPECT_EQ(boot(0, &errors), 0);
    EXPECT_EQ(boot(4, &errors), 0);
    EXPECT_EQ(errors, "");
}

// The slot byte is read where the OS kind says; anything but 1 or 2, and
// an EEPROM that does not answer, boots slot 1.
TEST(ConfiguredSlot, OnlyOneOrTwoChooseAnythingElseIsSlotOne) {
    sandbox_test::BoardFiles board;
    board.set("i2c-absent", "");
    ASSERT_EQ(0, i2c_open_buses());
    const struct {
        char os_kind;
        std::uint8_t boot_byte, orvex_byte;
        int slot;
    } rows[] = {{'E', 1, 2, 1},    {'E', 2, 1, 2}, {'E', 0, 2, 1},   {'E', 3, 2, 1},
                {'E', 0xFF, 2, 1}, {'C', 1, 2, 2}, {'C', 2, 0x80, 1}};
    for (const auto& row : rows) {
        std::string eeprom(8192, '\xFF');
        eeprom[kEepromOsKind] = row.os_kind;
        eeprom[kEepromBootSlot] = static_cast<char>(row.boot_byte);
        eeprom[kEepromOrvexSlot] = static_cast<char>(row.orvex_byte);
        board.set("eeprom.bin", eeprom);
        EXPECT_EQ(row.slot, configured_slot()) << row.os_kind << int(row.boot_byte);
    }
    board.set("eeprom.bin", std::string(8192, '\x02'));
    board.set("i2c-absent", "eeprom\n");
    int slot = 0;
    sandbox_test::capture_stdout([&] { slot = configured_slot(); });
    EXPECT_EQ(1, slot);
    i2c_close_buses();
}

// What the boot cannot make in /tmp (a folder in the file's place here) or
// cannot start is said before the board reboots. The reboot is refused
// here, so the board stays up and the operator is told to power-cycle it.
TEST_F(SlotBoot, WhatCannotBeMadeOrStartedIsSaidBeforeTheReboot) {
    const char* refused = "System reboot failed, please power-cycle.\n$";
    std::system(
        "rm -rf /tmp/velmoimage.tar.gz /tmp/gdb.gz && mkdir /tmp/velmoimage.tar.gz /tmp/gdb.gz && "
        "mkdir -p /sandbox/board/answers && echo 1 > /sandbox/board/answers/reboot");
    write_file("/user/images/image1", component_file(0x014D4152, "archive payload"));
    EXPECT_EXIT(boot_slot(1), ::testing::ExitedWithCode(0),
                std::string("^Failed to open application image output file.\n") + refused);
    EXPECT_EXIT(launch_diagnostics(), ::testing::ExitedWithCode(0),
                std::string("^Failed to open AppOS tarfile.\n") + refused);
    // The debugger is optional: without it the boot goes on, with no file
    // of it left open for the application.
    int open_before = sandbox_test::open_descriptors();
    write_file("/user/images/image2", component_file(0x014D4152, "debugger payload"));
    std::string errors = sandbox_test::capture(2, [] { EXPECT_EQ(0, extract_gdb(1)); });
    EXPECT_EQ(errors, "Failed to open GDB output file.\n");
    EXPECT_EQ(open_before, sandbox_test::open_descriptors());
    std::system("rm -rf /tmp/gdb.gz");
    write_file("/user/images/image2", component_file(0x024D4152, "u-boot payload"));
    errors = sandbox_test::capture(2, [] { EXPECT_EQ(0, extract_gdb(1)); });
    EXPECT_EQ(errors, "Image has invalid header 0x24d4152\n");
    EXPECT_EQ(open_before, sandbox_test::open_descriptors());
    // A shell whose end cannot be had (its status is lost here) is no
    // unpacked archive: the boot stops there, after the launch's second
    // and the reboot's own.
    sandbox::reset_slept_us();
    EXPECT_EXIT((signal(SIGCHLD, SIG_IGN), launch_application(0)), ::testing::ExitedWithCode(0),
                std::string("\nFailed to gunzip Application OS.\n") + refused);
    EXPECT_EQ(2000000u, sandbox::slept_us());
    // An archive without the application: its start fails in memory-check
    // mode, which runs the program itself (the reboot after it meets the
    // checker's preload, absent here, and the loader says so).
    std::system(
        "rm -rf /tmp/velmoimage.tar.gz /tmp/empty && mkdir /tmp/empty && "
        "tar czf /tmp/velmoimage.tar.gz -C /tmp/empty .");
    boot_settings.memchk = 1;
    EXPECT_EXIT(launch_application(0), ::testing::ExitedWithCode(0),
                std::string("^Failed to start Application OS.\n.*") + refused);
    boot_settings.memchk = 0;
    std::system(
        "rm -rf /tmp/velmoimage.tar.gz /tmp/empty /tmp/gdb.gz /sandbox/board/answers/reboot "
        "/sandbox/board/answers/.reboot.calls");
}

TEST_F(SlotBoot, UsbImageSeenFirstIsRememberedBeforeItsCrcIsChecked) {
    std::string errors;
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "Failed to open application image from USB.\n");

    write_file(kUsbImage, component_file(0x014D4152, "archive payload", false));
    EXPECT_EQ(rejected_contains(kUsbImage), 0);
    // The failed boot and each look at the list close the files they
    // opened: the stick's must not stay busy.
    int before = sandbox_test::open_descriptors();
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "USB image CRC failed.");
    EXPECT_EQ(rejected_contains(kUsbImage), 1);
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    // A stick image of another kind of container holds nothing to boot.
    write_file(kUsbImage, component_file(0x024D4152, "u-boot payload"));
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "Error: USB image corrupted or belongs to another switch type.\n");
    EXPECT_EQ(before, sandbox_test::open_descriptors());
}

}  // namespace
