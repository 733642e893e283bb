// Entry point of the boot launcher: the whole life of the process is the
// start-up sequence, which ends in the application, a reboot or a
// permanent stop and never returns. The program arguments are not used,
// except --version, which tells which launcher and which keys a switch has.
#include <cstdio>
#include <cstring>

#include "boot/build_info.h"
#include "boot/startup.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts(build_info_line());
        return 0;
    }
    boot_main();
}
