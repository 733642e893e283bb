#include "boot/reboot.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void reboot_board() {
    plat_sleep(1);
    // reboot only asks init to restart the board and ends with 0; any other
    // result (no shell, or a reboot that was refused) leaves the board up,
    // and the operator must know to power-cycle it.
    if (plat_system("reboot") != 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
