// Entry point of the boot launcher.
//
// The start-up and boot sequence is not built yet: for now the program only
// identifies itself, so that the build, the sandbox and the PowerPC tier have
// a launcher to install and start.
#include <cstdio>

#include "boot/build_info.h"

int main() {
    std::printf("%s: start-up sequence not available in this build\n", build_info_line());
    return 1;
}
