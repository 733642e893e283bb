#include "boot/usb.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "boot/reboot.h"
#include "image/container.h"
#include "image/durable.h"
#include "image/install.h"
#include "image/install_log.h"
#include "platform/platform.h"

std::uint8_t usb_enabled = 0;

namespace {

constexpr const char* kDigestFile = "/tmp/img_md5string";
constexpr const char* kRejectedDir = "/user/images/rejected";
constexpr int kAnswerWaitMs = 5000;
constexpr int kMountWaitSeconds = 10;
// The system's USB handling creates the marker once the stick's filesystem
// is mounted on /mnt/usb; the launcher never mounts it itself.
constexpr const char* kMountMarker = "/tmp/usb";
constexpr const char* kBootImage = "/mnt/usb/VKT3390_Boot.img";
constexpr const char* kOsImage = "/mnt/usb/VKT3390_OS.img";
constexpr int kBootFromStick = 3;

// Replacement images for the two slots, slot 2 first: when both are
// replaced, slot 1 is the one booted.
struct Replacement {
    const char* path;
    const char* name;
    int slot;
};
constexpr Replacement kReplacements[] = {
    {"/mnt/usb/VKT3390_replace2_OS.img", "VKT3390_replace2_OS.img", 2},
    {"/mnt/usb/VKT3390_replace1_OS.img", "VKT3390_replace1_OS.img", 1},
};

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

}  // namespace

int image_md5(int fd, char out[33]) {
    if (fd < 0) {
        return 0;
    }
    // md5sum reads the very file the caller opened and checked (its
    // descriptor is inherited by the shell): a name looked up again could
    // meanwhile lead to a FIFO, which would hold the start for ever.
    char command[128];
    std::snprintf(command, sizeof command, "/bin/busybox md5sum /proc/self/fd/%d > %s", fd,
                  kDigestFile);
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

int rejected_contains(int fd) {
    char digest[33];
    if (!image_md5(fd, digest)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    char marker[128];
    std::snprintf(marker, sizeof marker, "%s/%s", kRejectedDir, digest);
    return exists(marker) ? 1 : 0;
}

void rejected_add(int fd) {
    char digest[33];
    if (!image_md5(fd, digest)) {
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
    // The entry is what makes the next start ask before booting this
    // image again: it must outlast a power cut right after the boot.
    durable_sync_path(marker);
}

// The path forms open the file the way the installer does, for one look.
int rejected_contains(const char* path) {
    int fd = image_open_file(path);
    int result = rejected_contains(fd);
    if (fd >= 0) {
        close(fd);
    }
    return result;
}

void rejected_add(const char* path) {
    int fd = image_open_file(path);
    rejected_add(fd);
    if (fd >= 0) {
        close(fd);
    }
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

int usb_wait_mounted() {
    if (!usb_enabled) {
        return 0;
    }
    std::printf(
        "Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
        kMountWaitSeconds);
    plat_sleep(1);
    for (int tries = 0; tries < kMountWaitSeconds; ++tries) {
        if (exists(kMountMarker)) {
            std::puts("USB mounted and ready!");
            return 0;
        }
        std::fputs(".", stdout);
        std::fflush(stdout);
        plat_sleep(1);
    }
    std::puts("USB mount timed out");
    return -1;
}

void usb_install_boot_image() {
    if (!exists(kBootImage)) {
        std::puts("No boot image found on USB.");
        return;
    }
    std::puts("Boot image found on USB.");
    if (image_install(kBootImage, 1, 0) == 1) {
        install_log_write(kBootImage, "USB");
        reboot_board();
    }
}

int usb_check_images() {
    int replaced = 0;
    for (const Replacement& replacement : kReplacements) {
        if (!exists(replacement.path)) {
            continue;
        }
        std::printf("USB image (file '%s') replacement for image%d found\n", replacement.name,
                    replacement.slot);
        // Opened once: the digest and the install read the same file.
        int fd = image_open_file(replacement.path);
        if (rejected_contains(fd)) {
            // No means the stick is left alone for this start: neither the
            // other replacement nor its OS image is looked at.
            if (!confirm_timed("Replacement USB image is in rejected list.\nWould you still like "
                               "to load it? ")) {
                close(fd);
                return 0;
            }
            std::puts("Continuing with replacement USB image...");
        }
        if (image_install_fd(fd, replacement.path, 1, replacement.slot) == 1) {
            install_log_write(replacement.path, "USB");
            std::printf("Image%d has been successfully replaced\n", replacement.slot);
            replaced = replacement.slot;
        }
    }
    if (replaced != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", replaced);
        return replaced;
    }
    if (exists(kOsImage)) {
        return kBootFromStick;
    }
    std::puts("No valid image found on USB");
    return 0;
}
