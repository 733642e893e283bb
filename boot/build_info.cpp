#include "boot/build_info.h"

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
// anyone can sign: its line says so, wherever it is shown.
const char* build_info_line() {
    if (builtin_keys_are_test_keys()) {
        return "bootlauncher " BL_VERSION " (" BL_ARCH ", TEST KEYS)";
    }
    return "bootlauncher " BL_VERSION " (" BL_ARCH ")";
}
