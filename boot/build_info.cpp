#include "boot/build_info.h"

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

const char* build_info_line() { return "bootlauncher " BL_VERSION " (" BL_ARCH ")"; }
