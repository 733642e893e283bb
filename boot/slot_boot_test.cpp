// Slot boot failures that return to the boot sequence, and the USB source
// with its rejected list. (Successful boots end the process and are seen
// whole in the console tests.)
#include "boot/slot_boot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/i2c.h"
#include "boot/usb.h"
#include "image/container.h"
#include "image/test_support.h"
#include "platform/sandbox/test_support.h"

namespace {

constexpr const char* kUsbImage = "/mnt/usb/VKT3390_OS.img";

// A format-1 component with a correct (or spoiled) CRC, as file content.
// Readers take 24 bytes at a component's start, so payloads here are 8
// bytes or more.
std::string component(std::uint32_t magic, const std::string& payload, bool crc_ok = true) {
    image_test::Bytes bytes =
        image_test::component(magic, 1, image_test::Bytes(payload.begin(), payload.end()));
    if (!crc_ok) {
        bytes[0] ^= 1;
    }
    return std::string(bytes.begin(), bytes.end());
}

void put(const char* path, const std::string& content) {
    sandbox_test::write_file(path, content);
}

class SlotBoot : public ::testing::Test {
   protected:
    void SetUp() override {
        std::system(
            "rm -rf /user/images/image1 /user/images/image2 /user/images/rejected "
            "/mnt/usb/VKT3390_OS.img");
        second_attempt = 0;
        // No console answer can come: questions end as on a time-out.
        saved_stdin_ = dup(0);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        close(null);
    }
    void TearDown() override {
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        std::system(
            "rm -rf /user/images/image1 /user/images/image2 /user/images/rejected "
            "/mnt/usb/VKT3390_OS.img");
    }
    int boot(int slot, std::string* errors) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int result = boot_slot(slot);
        testing::internal::GetCapturedStdout();
        *errors = testing::internal::GetCapturedStderr();
        return result;
    }
    int saved_stdin_ = -1;
};

// A bad CRC, an empty or cut slot and a second failed attempt are console
// tests (test_boot.py, test_power_cut.py); here a foreign or directory slot.
TEST_F(SlotBoot, UnbootableSlotNamesWhatItFoundAndTriesTheOther) {
    const std::string invalid = "Image has invalid header 0x0. (0x64d4152)\n";
    const struct {
        int slot;
        bool directory;
        std::string content;
        std::string errors;
    } rows[] = {
        {1, false, component(0x024D4152, "u-boot payload"),
         "Image has invalid header 0x24d4152. (0x64d4152)\n"
         "Image1 has invalid header... trying Image2.\n"},
        {1, true, "", invalid + "Image1 has invalid header... trying Image2.\n"},
    };
    for (const auto& row : rows) {
        const char* path = row.slot == 1 ? "/user/images/image1" : "/user/images/image2";
        std::system("rm -rf /user/images/image1 /user/images/image2");
        if (row.directory) {
            ::mkdir(path, 0755);
        } else {
            put(path, row.content);
        }
        std::string errors;
        EXPECT_EQ(boot(row.slot, &errors), 0);
        EXPECT_EQ(errors, row.errors);
    }
    // Neither slot: nothing is tried.
    std::string errors;
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

TEST_F(SlotBoot, UsbImageSeenFirstIsRememberedBeforeItsCrcIsChecked) {
    std::string errors;
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "Failed to open application image from USB.\n");

    put(kUsbImage, component(0x014D4152, "archive payload", false));
    EXPECT_EQ(rejected_contains(kUsbImage), 0);
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "USB image CRC failed.");
    EXPECT_EQ(rejected_contains(kUsbImage), 1);
}

}  // namespace
