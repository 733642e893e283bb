#include "boot/build_info.h"

#include <cstdio>

#include "auth/builtin_keys.h"

#ifndef BL_VERSION
#define BL_VERSION "unknown"
#endif

#if defined(__powerpc__)
#define BL_ARCH "powerpc"
#elif defined(__x86_64__)
#define BL_ARCH "x86_64"
#else
#define BL_ARCH "other"
#endif

// A launcher built with the repository's test signing keys accepts images
// anyone can sign: its line says so, wherever it is shown. The words come
// from the generated key source, so a launcher with other keys does not
// carry them at all and `strings` tells the two apart.
const char* build_info_line() {
    static char line[128];
    if (line[0] == '\0') {
        std::snprintf(line, sizeof line, "bootlauncher %s (%s%s)", BL_VERSION, BL_ARCH,
                      builtin_keys_build_note);
    }
    return line;
}
