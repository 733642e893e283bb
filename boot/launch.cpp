#include "boot/launch.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "board/i2c.h"
#include "boot/reboot.h"
#include "boot/settings.h"
#include "platform/platform.h"

namespace {

constexpr const char* kAppProgram = "/tmp/home/bin/mp.elf.strip";
constexpr const char* kInstallScript = "/tmp/home/bin/install.sh";
constexpr const char* kEnvSetup = "/tmp/home/bin/env-setup";
constexpr const char* kDebugger = "/tmp/gdb";
constexpr const char* kStartProgram = "/bin/backtrace";
constexpr const char* kMemoryChecker = "libduma.so.0.0.0";

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void unpack_archive() {
    char command[128];
    std::snprintf(command, sizeof command, "cd /tmp \ntar mxzf %s \nrm %s\n", kAppArchive,
                  kAppArchive);
    // Only a shell that cannot be started stops the boot: a damaged
    // archive goes on with whatever was unpacked.
    if (plat_system(command) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_board();
    }
}

void install_diagnostics_program() {
    std::puts("install diags image");
    plat_system("mkdir -p /tmp/home/bin");
    plat_system("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

// The archive's own preparation; its environment file counts only together
// with its install script.
void run_install_script() {
    if (!exists(kInstallScript)) {
        return;
    }
    std::puts("Running install script");
    plat_system(kInstallScript);
    std::FILE* env = std::fopen(kEnvSetup, "r");
    if (env != nullptr) {
        apply_env_setup(env);
        std::fclose(env);
    }
}

void shell_escape_before_start() {
    if (!boot_settings.shell) {
        return;
    }
    std::puts("Dropping into shell");
    plat_system("/bin/sh\n");
    std::puts("Dropping out of shell");
}

[[noreturn]] void run_debugger_and_reboot(const char* command) {
    plat_system(command);
    reboot_board();
}

[[noreturn]] void replace_process_failed() {
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_board();
}

[[noreturn]] void start_application() {
    if (boot_settings.gdbserver) {
        char command[128];
        if (boot_settings.memchk) {
            std::snprintf(command, sizeof command, "LD_PRELOAD=%s /bin/gdbserver :%d %s\n",
                          kMemoryChecker, boot_settings.gdb_port, kAppProgram);
        } else {
            std::snprintf(command, sizeof command, "/bin/gdbserver :%d %s\n",
                          boot_settings.gdb_port, kAppProgram);
        }
        run_debugger_and_reboot(command);
    }
    bool memory_check = boot_settings.memchk;
    if (boot_settings.gdb) {
        if (exists(kDebugger)) {
            std::puts("*** Launching under GDB ***");
            run_debugger_and_reboot("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        memory_check = false;
    }
    // The process is replaced: what is buffered must reach the console now.
    std::fflush(stdout);
    std::fflush(stderr);
    if (memory_check) {
        setenv("LD_PRELOAD", kMemoryChecker, 1);
        plat_execl(kAppProgram, kAppProgram, static_cast<char*>(nullptr));
    } else {
        plat_execl(kStartProgram, kStartProgram, static_cast<char*>(nullptr));
    }
    replace_process_failed();
}

}  // namespace

void apply_env_setup(std::FILE* file) {
    char name[512];
    char value[512];
    for (;;) {
        int words = std::fscanf(file, "%511s %511s", name, value);
        if (words == 2) {
            setenv(name, value, 1);
        } else if (words == 1) {
            setenv(name, "", 1);
        } else {
            return;
        }
    }
}

void launch_application(int diagnostics) {
    plat_sleep(1);
    unpack_archive();
    i2c_close_buses();
    if (diagnostics == 1) {
        install_diagnostics_program();
    }
    run_install_script();
    shell_escape_before_start();
    start_application();
}
