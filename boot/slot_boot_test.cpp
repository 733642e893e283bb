// Slot boot failures that return to the boot sequence, and the USB source
// with its rejected list. (Successful boots end the process and are seen
// whole in the console tests.)
#include "boot/slot_boot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "board/i2c.h"
#include "boot/startup.h"
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

// A bad CRC in either slot is a console test (test_boot.py, the stories);
// here what no whole start reaches: a foreign, empty, directory or cut slot.
TEST_F(SlotBoot, UnbootableSlotNamesWhatItFoundAndTriesTheOther) {
    const std::string invalid = "Image has invalid header 0x0. (0x64d4152)\n";
    const std::string whole = component(0x014D4152, std::string(1000, 'a'));
    const struct {
        int slot;
        bool directory;
        std::string content;
        std::string errors;
    } rows[] = {
        {1, false, component(0x024D4152, "u-boot payload"),
         "Image has invalid header 0x24d4152. (0x64d4152)\n"
         "Image1 has invalid header... trying Image2.\n"},
        {2, false, "", invalid + "Image2 has invalid header... trying Image1.\n"},
        {1, true, "", invalid + "Image1 has invalid header... trying Image2.\n"},
        {2, false, whole.substr(0, 500), "Image2 CRC failed, trying Image1 now.\n"},
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

TEST_F(SlotBoot, SecondAttemptCrcFailureRebootsWithoutTheRescueMenu) {
    put("/user/images/image2", component(0x014D4152, "archive payload", false));
    second_attempt = 1;
    // The board's reboot fails, so the test process ends on its own
    // instead of the whole virtual switch.
    sandbox_test::BoardFiles board;
    board.set("answers/reboot", "1\n");
    EXPECT_EXIT(boot_slot(2), ::testing::ExitedWithCode(0), "Both image1 and image2 failed.\n");
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

TEST_F(SlotBoot, ForeignUsbImageIsReported) {
    put(kUsbImage, component(0x094D4152, "onie payload"));
    std::string errors;
    EXPECT_EQ(boot(kUsbSource, &errors), 0);
    EXPECT_EQ(errors, "Error: USB image corrupted or belongs to another switch type.\n");
}

TEST(ConfiguredSlot, AnythingButOneOrTwoBootsSlotOne) {
    sandbox_test::BoardFiles board;
    const std::string eeprom = board.get("eeprom.bin");
    auto with_slot_byte = [&](unsigned char value) {
        std::string changed = eeprom;
        changed[0x100] = static_cast<char>(value);
        board.set("eeprom.bin", changed);
        return configured_slot();
    };
    i2c_open_buses();
    EXPECT_EQ(with_slot_byte(2), 2);
    EXPECT_EQ(with_slot_byte(1), 1);
    EXPECT_EQ(with_slot_byte(0xFF), 1);
    EXPECT_EQ(with_slot_byte(0), 1);
    i2c_close_buses();
}

}  // namespace
