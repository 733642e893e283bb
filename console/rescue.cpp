#include "console/rescue.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/lowsec.h"
#include "board/board.h"
#include "boot/interrupt.h"
#include "boot/reboot.h"
#include "console/fsmaint.h"
#include "console/input.h"
#include "console/network.h"
#include "console/validate.h"
#include "image/install.h"
#include "image/install_log.h"
#include "image/installed.h"
#include "platform/platform.h"
#include "serial/serial.h"

namespace {

constexpr char kUsbDir[] = "/mnt/usb";
constexpr const char* kDownload = "/tmp/image";
constexpr std::size_t kLineSize = 128;
constexpr int kTftpAttempts = 3;

// "/mnt/usb" + "/" + the longest name a directory entry can carry + NUL.
constexpr std::size_t kUsbPathSize = sizeof "/mnt/usb" + 1 + NAME_MAX;
// The TFTP command with a 127-character file name and a 15-character
// dotted address fits with room to spare.
constexpr std::size_t kTftpCommandSize = 192;

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void clear_interrupt() {
    interrupt_flag.store(0);
}

bool interrupted() {
    return interrupt_flag.load() != 0;
}

// A download left over from an earlier attempt must not pass for a new one.
void remove_old_download() {
    unlink(kDownload);
}

// ---- USB chooser

// Directory entries the chooser offers: the stick's own regular files
// only, so that a FIFO or a device node on the stick (which would block the
// installer's read, or act on a device) is never listed, counted or
// installed. A link is offered when it leads to a regular file on the
// stick: one that leads off it (to a slot file, to /proc) is no image the
// operator brought, and the installer would refuse it. The type comes with
// the entry on most filesystems; otherwise, and for a link, it is looked up
// by name in the working directory.
bool offered(const dirent* entry) {
    if (entry->d_type == DT_REG) {
        return true;
    }
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) {
        return false;
    }
    struct stat st;
    if (stat(entry->d_name, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    char* real = realpath(entry->d_name, nullptr);
    bool on_stick = real != nullptr && std::strncmp(real, kUsbDir, sizeof kUsbDir - 1) == 0 &&
                    real[sizeof kUsbDir - 1] == '/';
    std::free(real);
    return on_stick;
}

// Lists the offered entries, numbered from 1. The working directory must be
// the stick's root.
void list_usb_files(DIR* dir) {
    int number = 1;
    while (const dirent* entry = readdir(dir)) {
        if (offered(entry)) {
            std::printf("\t%d: %s\n", number, entry->d_name);
            ++number;
        }
    }
}

// Reads lines until one starts with a number. 0 when the operator quit.
int ask_file_number(long long* number) {
    std::fputs("Choose file number to install (q to quit): ", stdout);
    std::fflush(stdout);
    char line[kLineSize];
    for (;;) {
        read_line(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q') {
            return 0;
        }
        if (parse_file_number(line, number)) {
            return 1;
        }
        std::printf("Invalid file number %s. Try again pleas\n", line);
    }
}

void leave_usb(DIR* dir) {
    if (chdir("/tmp") != 0) {
        // Nothing depends on the working directory after the chooser.
    }
    closedir(dir);
}

// Opens the stick's root and makes it the working directory (entries are
// looked up by name, relative to it). Null, after `failure` when the
// directory cannot be opened.
DIR* enter_usb(const char* failure) {
    DIR* dir = opendir(kUsbDir);
    if (dir == nullptr) {
        std::puts(failure);
        return nullptr;
    }
    if (chdir(kUsbDir) != 0) {
        leave_usb(dir);
        return nullptr;
    }
    return dir;
}

}  // namespace

// Numbers out of range are clamped by strtoll, so they select nothing.
int parse_file_number(const char* line, long long* number) {
    char* end = nullptr;
    long long value = std::strtoll(line, &end, 10);
    if (end == line) {
        return 0;
    }
    *number = value;
    return 1;
}

int usb_rescue() {
    DIR* dir = enter_usb("Unable to open USB directory. Quitting");
    if (dir == nullptr) {
        return 0;
    }
    list_usb_files(dir);
    long long chosen = 0;
    int answered = ask_file_number(&chosen);
    leave_usb(dir);
    if (!answered || chosen <= 0) {
        return 0;
    }

    // Counted again: the listing shown is what the number refers to.
    dir = enter_usb("Unable to re-open USB directory. Quitting");
    if (dir == nullptr) {
        return 0;
    }
    long long number = 0;
    const dirent* entry = nullptr;
    while ((entry = readdir(dir)) != nullptr) {
        if (offered(entry) && ++number == chosen) {
            break;
        }
    }
    if (entry == nullptr) {
        leave_usb(dir);
        return 0;
    }
    std::printf("Installing %s\n", entry->d_name);
    char path[kUsbPathSize];
    int length = std::snprintf(path, sizeof path, "%s%c%s", kUsbDir, '/', entry->d_name);
    leave_usb(dir);  // entry is not used past this point
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return 0;  // cannot happen for a name the filesystem allows
    }
    int result = image_install(path, 0, 0);
    if (result != 0) {
        install_log_write(path, "USB");
    }
    return result;
}

int tftp_rescue() {
    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    int dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    // "q" here only skips the remaining port questions: the server address
    // is still asked.
    ask_network_settings(&dhcp, &ip, &netmask, &gateway, 0);

    std::uint32_t server = 0;
    if (!ask_ip_address("Server addr:", &server, 1, 1)) {
        return 0;
    }

    char name[kLineSize];
    for (;;) {
        std::fputs("Image Filename: ", stdout);
        std::fflush(stdout);
        read_line(name, sizeof name);
        // The name goes into a shell command line: only a plain file name
        // is taken, so nothing typed here can run a command.
        if (std::strlen(name) >= 2 && tftp_filename_valid(name)) {
            break;
        }
        if (std::strcmp(name, "q") == 0 || interrupted()) {
            return 0;
        }
        std::puts("Invalid filename. Try again please");
    }
    if (interrupted()) {
        return 0;
    }

    // A port without link is reported by the set-up; the download is tried
    // all the same.
    configure_mgmt_port(dhcp, '0', ip, netmask, gateway);

    in_addr server_addr{};
    server_addr.s_addr = server;
    char server_text[INET_ADDRSTRLEN];
    std::snprintf(server_text, sizeof server_text, "%s", inet_ntoa(server_addr));

    char command[kTftpCommandSize];
    std::snprintf(command, sizeof command, "tftp -g -r %s -l %s %s\n", name, kDownload,
                  server_text);
    bool downloaded = false;
    for (int attempt = 1; attempt <= kTftpAttempts; ++attempt) {
        if (interrupted()) {
            return 0;
        }
        std::printf("Installing image %s from TFTP server %s\n", name, server_text);
        std::fflush(stdout);
        remove_old_download();
        plat_system(command);
        if (exists(kDownload)) {
            downloaded = true;
            break;
        }
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        plat_sleep(3);
    }
    if (!downloaded) {
        std::puts("Tftp download failed. Aborting");
        return 0;
    }
    int result = image_install(kDownload, 0, 0);
    if (result != 0) {
        install_log_write(name, server_text);
    }
    return result;
}

int xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    int port = serial_fast_mode();
    if (port < 0) {
        // The port could not be opened and has told why. Without it there
        // is no way to wait for the operator at the new speed, so nothing
        // is received.
        return 0;
    }
    remove_old_download();
    std::fflush(stdout);
    plat_system("/usr/bin/rx /tmp/image");
    serial_restore_mode(port);
    // The receiver creates the file before the first block: an empty one
    // means nothing was received, as a missing one does.
    struct stat st;
    if (stat(kDownload, &st) != 0 || st.st_size == 0) {
        return 0;
    }
    int result = image_install(kDownload, 0, 0);
    if (result != 0) {
        install_log_write("image", "xmodem");
    }
    return result;
}

int show_versions() {
    struct Row {
        std::uint32_t magic;
        int slot;
        const char* format;
    };
    static constexpr Row kRows[] = {
        {0x024D4152, 0, "\tBoot image  : %d.%d.%d.%d\n"},
        {0x044D4152, 0, "\tRFS image   : %d.%d.%d.%d\n"},
        {0x034D4152, 0, "\tKernel image: %d.%d.%d.%d\n"},
        {0x054D4152, 0, "\tDFT image   : %d.%d.%d.%d\n"},
        {0x014D4152, 1, "\tOS image 1  : %d.%d.%d.%d\n"},
        {0x014D4152, 2, "\tOS image 2  : %d.%d.%d.%d\n"},
    };
    std::puts("Installed images versions: ");
    for (const Row& row : kRows) {
        // The reader clears the buffer first: what it cannot read shows as
        // 0.0.0.0.
        std::uint8_t header[16] = {};
        image_installed_header(row.magic, header, row.slot);
        // The version is the header's last word, most significant byte first.
        std::printf(row.format, header[12], header[13], header[14], header[15]);
    }
    return 0;
}

namespace {

void show_options() {
    std::puts("Please select one of the following options:");
    std::printf("\t%c) Configure networking and tftp download an image\n", 'T');
    std::printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    std::printf("\t%c) Physical presence (low security mode)\n", 'P');
    std::printf("\t%c) Filesystem check\n", 'F');
    std::printf("\t%c) Reboot\n", 'R');
    std::printf("\t%c) Exit\n", 'E');
}

// Asks until one of the menu's letters is typed; its upper-case form.
char ask_option() {
    for (;;) {
        std::fputs("\nOption? : ", stdout);
        std::fflush(stdout);
        std::uint8_t key = get_key();
        std::printf("%c\n", key);
        if (interrupted()) {
            clear_interrupt();
            continue;
        }
        if (key == 0) {
            continue;
        }
        char option = static_cast<char>(std::toupper(key));
        if (option != '\0' && std::strchr("TXPFREUVMKD", option) != nullptr) {
            return option;
        }
        std::printf("unknown option \"%c\". Please try again\n", option);
    }
}

}  // namespace

int rescue_menu() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        show_options();
        // Results are not shown: each action reports for itself.
        switch (ask_option()) {
            case 'T':
                tftp_rescue();
                break;
            case 'X':
                xmodem_rescue();
                break;
            case 'P':
                lowsec_physicalPresenceTest();
                break;
            case 'F':
                check_filesystem(0);
                break;
            case 'R':
                plat_sleep(1);
                reboot_board();
            case 'E':
                if (board_is_orvex()) {
                    plat_sleep(1);
                    reboot_board();
                }
                return 1;
            case 'U':
                usb_rescue();
                break;
            case 'V':
                show_versions();
                break;
            case 'M':
                set_mgmt_mac();
                break;
            case 'K':
                imgsign_wipeKeys();
                break;
            case 'D':
                run_standalone_diags();
                break;
            default:
                break;
        }
        // An interrupt during an action ends that action, never the menu.
        clear_interrupt();
    }
}
