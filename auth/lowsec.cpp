#include "auth/lowsec.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/i2c.h"
#include "boot/interrupt.h"
#include "boot/reboot.h"
#include "boot/settings.h"
#include "console/input.h"
#include "platform/platform.h"

namespace {

constexpr const char* kLowsecMarker = "/tmp/lowsec";

// LED controller register 2: bits 0-1 drive the blue location LED (01 lit,
// 00 off); the other bits are written back as they were read.
constexpr std::uint8_t kLedRegister = 2;
constexpr std::uint8_t kLocationLedMask = 0x03;
constexpr std::uint8_t kLocationLedOn = 0x01;

constexpr int kAttempts = 3;
// Every test shows at least this many periods, so that its length does
// not give the count away.
constexpr int kPeriods = 11;

// The count the clock chooses: the sum of the two BCD digits of the
// current second, at least 1 (second 59 gives 14).
int blink_count() {
    ClockStamp clock{};
    rtc_read(&clock);
    std::uint8_t second = clock.reg[kRtcSeconds];
    int count = (second >> 4) + (second & 0x0F);
    return count == 0 ? 1 : count;
}

// One two-second period: a dot, the LED as `lit` says, then off. false
// when Ctrl-C came before it.
bool period(std::uint8_t off, bool lit) {
    if (interrupt_flag) {
        return false;
    }
    std::putchar('.');
    std::fflush(stdout);
    led_write(kLedRegister, lit ? static_cast<std::uint8_t>(off | kLocationLedOn) : off);
    plat_sleep(1);
    led_write(kLedRegister, off);
    plat_sleep(1);
    return true;
}

// Offered when the mode is already in force: switching it off is the
// default answer.
int confirm_disabling() {
    std::fputs("Switch is in low security mode. Confirm disabling Y/n? ", stdout);
    std::fflush(stdout);
    std::uint8_t key = get_key();
    std::printf("%c\n", key);
    if (key == 0) {
        return 0;
    }
    if (key == 'n' || key == 'N') {
        return 1;
    }
    // The override from the boot loader stays in force whatever is answered
    // here; only the marker can be taken away.
    lowsec_setMarker(0);
    return 1;
}

}  // namespace

int lowsec_active() {
    if (boot_settings.lowsec) {
        std::puts("NOTE: Uboot low security mode override enabled");
        return 1;
    }
    struct stat info {};
    return stat(kLowsecMarker, &info) == 0 ? 1 : 0;
}

int lowsec_setMarker(int on) {
    if (!on) {
        unlink(kLowsecMarker);
        return 0;
    }
    std::FILE* marker = std::fopen(kLowsecMarker, "wb");
    if (marker != nullptr) {
        std::fputs("plimseth\n", marker);
        std::fclose(marker);
    }
    return 0;
}

int lowsec_physicalPresenceTest() {
    if (lowsec_active()) {
        return confirm_disabling();
    }
    std::fputs(
        "WARNING: the following test is used to determine physical presence and if completed "
        "will put the switch in low security mode.\nDo you wish to continue y/N? ",
        stdout);
    std::fflush(stdout);
    std::uint8_t key = get_key();
    std::printf("%c\n", key);
    if (key != 'y' && key != 'Y') {
        return 0;
    }

    std::uint8_t led = 0;
    led_read(kLedRegister, &led);
    std::uint8_t off = static_cast<std::uint8_t>(led & ~kLocationLedMask);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        led_write(kLedRegister, off);
        std::fputs(
            "Hit a key to start the test. The blue location LED will blink a number of times.",
            stdout);
        std::fflush(stdout);
        std::printf("%c\n", get_key());

        // A new count for every attempt, from the moment the operator
        // starts it.
        int count = blink_count();
        for (int shown = 0; shown < count || shown < kPeriods; ++shown) {
            if (!period(off, shown < count)) {
                return 0;
            }
        }

        std::fputs("\nHow many times did the LED blink? ", stdout);
        std::fflush(stdout);
        char answer[8];
        read_line(answer, sizeof answer);
        if (interrupt_flag) {
            return 0;
        }
        if (std::atoi(answer) == count) {
            std::puts("Correct. Physical presence established and low security mode enabled");
            lowsec_setMarker(1);
            return 1;
        }
        std::printf("Incorrect. Try again (attempt %d of %d)\n", attempt, kAttempts);
    }
    std::puts("Maximum number of test failed. Board is resetting");
    plat_sleep(1);
    reboot_board();
}

int imgsign_wipeKeys() {
    std::fputs("Confirm: wiping system keys y/N: ", stdout);
    std::fflush(stdout);
    std::uint8_t key = get_key();
    std::putchar('\n');
    if (key == 'y' || key == 'Y') {
        plat_system("rm /user/*.pem");
        std::puts("System keys have been deleted. Reset the switch to complete the operation");
    }
    return 1;
}
