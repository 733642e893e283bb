#include "boot/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "board/board.h"
#include "board/mtd.h"
#include "boot/interrupt.h"
#include "boot/reboot.h"
#include "boot/settings.h"
#include "boot/slot_boot.h"
#include "boot/usb.h"
#include "console/fsmaint.h"
#include "console/network.h"
#include "console/rescue.h"
#include "platform/platform.h"

namespace {

constexpr std::uint8_t kUsbBootEnabled = 213;
constexpr int kUsbSlot = 3;
constexpr unsigned kFilesystemQuestionLimit = 100;  // tenths of a second

void set_system_date() {
    ClockStamp clock{};
    rtc_read(&clock);
    char command[64];
    rtc_date_command(clock, command, sizeof command);
    plat_system(command);
}

// No card, no filesystem to boot from: the message stays on the console
// until the board is power-cycled. Nothing else runs.
[[noreturn]] void permanent_stop() {
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

void require_emmc() {
    struct stat st;
    if (stat("/sys/block/mmcblk0", &st) != 0) {
        std::puts(
            "No MMC storage device found. Unable to continue booting. Contact Tavrin for support");
        permanent_stop();
    }
}

// Start-up requests of the boot settings; each may end the process.
void honour_requests() {
    if (boot_settings.rescue) {
        rescue_menu();
    }
    if (boot_settings.diags) {
        run_standalone_diags();
    }
}

// The stick, when the board allows USB boot. The result is the slot to
// boot: 0 (none chosen), 1 or 2 (just replaced), or the configured slot
// after a USB OS image failed to boot.
int handle_usb() {
    usb_enabled = board_read_usb_byte() == kUsbBootEnabled ? 1 : 0;
    if (usb_enabled && usb_wait_mounted() < 0) {
        usb_enabled = 0;
    }
    if (!usb_enabled) {
        return 0;
    }
    usb_install_boot_image();
    int slot = usb_check_images();
    if (slot == kUsbSlot) {
        std::printf("Booting image '%s' from USB stick.\n", "VKT3390_OS.img");
        boot_slot(kUsbSlot);
        std::puts("USB Boot failed. Trying flash images.");
        slot = 0;
    }
    return slot;
}

}  // namespace

void rtc_date_command(const ClockStamp& clock, char* out, std::size_t size) {
    // Each BCD register printed in hex shows its two decimal digits.
    std::snprintf(out, size, "date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n",
                  clock.reg[kRtcMonth] & 0x1F, clock.reg[kRtcDay] & 0x3F,
                  clock.reg[kRtcHours] & 0x3F, clock.reg[kRtcMinutes] & 0x7F, clock.reg[kRtcYear],
                  clock.reg[kRtcSeconds] & 0x7F);
}

void boot_main() {
    // The console is a terminal: each line reaches the operator at once,
    // in order with the error output and the programs the launcher runs.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_interrupt_handler();
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_init();
    read_boot_settings();
    set_system_date();

    std::puts("Running filesystem check.....");
    plat_sleep(3);
    require_emmc();
    check_filesystem(kFilesystemQuestionLimit);
    if (!imgsign_loadSystemKeys()) {
        std::puts("WARNING - problem with security keys. No keys found");
    }
    honour_requests();

    int slot = handle_usb();
    if (slot == 0) {
        slot = configured_slot();
    }
    if (boot_settings.gdbserver) {
        network_setup(1);
    }
    std::printf("Booting image '%d'\n", slot);
    boot_slot(slot);

    int other = slot == 1 ? 2 : 1;
    std::printf("Booting image '%d'\n", other);
    second_attempt = 1;
    boot_slot(other);
    reboot_board();
}
