#include "boot/usb.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr const char* kDigestFile = "/tmp/img_md5string";
constexpr const char* kRejectedDir = "/user/images/rejected";
constexpr int kAnswerWaitMs = 5000;

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

}  // namespace

int image_md5(const char* path, char out[33]) {
    char command[512];
    int n =
        std::snprintf(command, sizeof command, "/bin/busybox md5sum %s > %s", path, kDigestFile);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) {
        return 0;
    }
    plat_system(command);
    std::FILE* digest = std::fopen(kDigestFile, "rb");
    if (digest == nullptr) {
        return 0;
    }
    std::size_t got = std::fread(out, 1, 32, digest);
    std::fclose(digest);
    if (got != 32) {
        return 0;
    }
    out[32] = '\0';
    return 1;
}

int rejected_contains(const char* path) {
    char digest[33];
    if (!image_md5(path, digest)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    char marker[128];
    std::snprintf(marker, sizeof marker, "%s/%s", kRejectedDir, digest);
    return exists(marker) ? 1 : 0;
}

void rejected_add(const char* path) {
    char digest[33];
    if (!image_md5(path, digest)) {
        std::puts("Warning: Cannot add image to rejected list!");
        return;
    }
    char marker[128];
    std::snprintf(marker, sizeof marker, "%s/%s", kRejectedDir, digest);
    if (exists(marker)) {
        return;
    }
    plat_system("mkdir -p /user/images/rejected");
    char command[160];
    std::snprintf(command, sizeof command, "touch %s", marker);
    plat_system(command);
}

int confirm_timed(const char* question) {
    std::fputs(question, stdout);
    for (;;) {
        std::fputs("(y/n) ", stdout);
        std::fflush(stdout);
        struct pollfd console = {0, POLLIN, 0};
        if (poll(&console, 1, kAnswerWaitMs) <= 0) {
            std::puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        unsigned char key = 0;
        ssize_t got = read(0, &key, 1);
        if (got == 0) {
            // The console input has ended: no answer can ever come, and
            // asking again would spin. Treated like the time-out.
            std::puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        if (got == 1 && key == 'y') {
            return 1;
        }
        if (got == 1 && key == 'n') {
            return 0;
        }
    }
}

// Stick handling is not built yet: no stick is waited for, nothing is
// installed from it and nothing is booted from it.
int usb_wait_mounted() {
    return 0;
}

void usb_install_boot_image() {}

int usb_check_images() {
    return 0;
}
