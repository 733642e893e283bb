// The hand-over to the application OS: unpack the booted archive into /tmp,
// apply its install script and environment file, and start it in normal,
// debugger, remote-debugger or memory-check mode.
#pragma once

#include <cstdio>

// The archive the slot boot wrote, unpacked here.
inline constexpr const char* kAppArchive = "/tmp/velmoimage.tar.gz";

// Never returns: the process becomes the application, or the board reboots
// after a debugger session. `diagnostics` is 1 for a diagnostics image.
[[noreturn]] void launch_application(int diagnostics);

// Sets the environment variables of an env-setup file: whitespace-separated
// words in pairs, name then value, each word at most 511 characters (longer
// words are split); a last word without a partner gets the empty value.
void apply_env_setup(std::FILE* file);
