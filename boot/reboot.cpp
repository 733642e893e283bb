#include "boot/reboot.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void reboot_board() {
    plat_sleep(1);
    if (plat_system("reboot") < 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
