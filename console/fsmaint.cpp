#include "console/fsmaint.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "auth/lowsec.h"
#include "auth/signature.h"
#include "boot/diagnostics.h"
#include "console/input.h"
#include "platform/platform.h"

namespace {

constexpr const char* kPartition1 = "/sys/block/mmcblk0/mmcblk0p1";
constexpr const char* kPartition4 = "/sys/block/mmcblk0/mmcblk0p4";
constexpr const char* kMountUser = "mount /dev/mmcblk0p1 /user";

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// Runs a shell command after everything written so far is on the console,
// so that the command's own output follows it. True when it exited with 0.
bool run(const char* command) {
    std::fflush(stdout);
    return plat_system(command) == 0;
}

// Asks a y/N question with one key; true only for y or Y. Nothing is
// echoed: the key is followed by a line end.
bool confirmed(const char* question, unsigned limit) {
    std::fputs(question, stdout);
    std::fflush(stdout);
    std::uint8_t key = get_key_timed(limit);  // 0 waits without limit
    std::putchar('\n');
    return std::toupper(key) == 'Y';
}

// Whether /user holds anything of the operator's: any entry but "." and
// "..", dot files too (/user/.ssh). An unreadable /user counts as holding
// files.
bool user_has_files() {
    DIR* dir = opendir("/user");
    if (dir == nullptr) {
        return true;
    }
    bool found = false;
    for (dirent* entry = readdir(dir); entry != nullptr && !found; entry = readdir(dir)) {
        const char* name = entry->d_name;
        found = !(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')));
    }
    closedir(dir);
    return found;
}

// /tmp is RAM: a backup there is lost at the next power-off, and nothing
// else would tell the operator so.
constexpr const char* kBackupInRam =
    "\tYour files are in /tmp/backup until the switch is powered off or rebooted";

// Puts the backup back on /user, which the caller has mounted. The backup
// stays in /tmp/backup either way; when the copy fails the operator is told
// where the files are.
bool restore_backup() {
    std::puts("\tRestoring filesystem with backup. This can take a few minutes");
    // "dir/." copies every entry, dot files too, and an empty backup
    // copies nothing without failing: a star would leave out /user/.ssh.
    if (run("cp -r /tmp/backup/. /user/")) {
        return true;
    }
    std::puts("\tFailed to restore backup");
    std::puts(kBackupInRam);
    return false;
}

// A failed rebuild step: its line, the captured output of the command, and
// /user mounted again so that start-up finds it. Every such step comes
// after sfdisk was run, which may have rewritten the partition table even
// when it failed (a table written that the kernel could not re-read), so
// with a backup in RAM the operator's files go back on /user, or the
// operator learns where they are when /user cannot be mounted.
int rebuild_failed(bool backup, const char* line, const char* log_command) {
    std::puts(line);
    std::puts("log:");
    run(log_command);
    bool mounted = run(kMountUser);
    if (backup) {
        if (mounted) {
            restore_backup();
        } else {
            std::puts(kBackupInRam);
        }
    }
    return 0;
}

// Copies /user to /tmp/backup before the eMMC is changed. false when the
// rebuild must stop (with nothing changed on the eMMC); *made tells
// whether there is a backup to restore.
bool back_up_user(bool* made) {
    std::puts("\tBacking up files. This can take a few minutes");
    run(kMountUser);
    if (!run("mkdir /tmp/backup")) {
        std::puts("\tFailed to create backup directory. Quitting");
        return false;
    }
    // A copy that fails while /user holds files would lose them to the
    // repartitioning below: stop while the eMMC is untouched and /user
    // still mounted, and drop the partial copy so /tmp keeps its room.
    // The copy takes dot files too ("/user/." rather than a star). An
    // empty /user leaves nothing to restore.
    bool has_files = user_has_files();
    if (run("cp -r /user/. /tmp/backup")) {
        *made = has_files;
    } else if (has_files) {
        std::puts("\tFailed to back up files; nothing was changed. Quitting");
        run("rm -rf /tmp/backup");
        return false;
    }
    std::puts("\tUnmounting filesystem");
    if (!run("umount /dev/mmcblk0p1")) {
        std::puts("\tFailed to unmount filesystem. Quitting");
        return false;
    }
    return true;
}

}  // namespace

int check_filesystem(unsigned limit) {
    if (!exists(kPartition4)) {
        std::puts("Filesystem partitions need updating.");
        update_filesystem(limit, 1);
        return 1;
    }
    run("umount /dev/mmcblk0p1 &> /dev/null");
    if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null")) {
        std::puts("*** Your filesystem has errors. Attempting to recover but data may be lost.***");
        run("/sbin/e2fsck -fy /dev/mmcblk0p1");
        if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null")) {
            std::puts("****** ERROR: Your filesystem is corrupted beyond automated repair ******");
            // The operator must decide whether to lose the data: no time
            // limit here, not even at start-up.
            if (confirmed("Confirm: Recreate filesystem. Any data will be lost y/N: ", 0)) {
                return update_filesystem(limit, 0);
            }
        }
    }
    run("/bin/mount /dev/mmcblk0p1 /user");
    return 1;
}

int update_filesystem(unsigned limit, int interactive) {
    if (interactive) {
        std::puts("It is recommended to backup your configuration before performing this update.");
        if (!confirmed("Confirm: update filesystem y/N: ", limit)) {
            run(kMountUser);
            return 1;
        }
    }

    bool backup = false;
    if (interactive && exists(kPartition1) && !back_up_user(&backup)) {
        return 0;
    }

    std::puts("\tCreating new filesystem partitions");
    if (!run("sfdisk /dev/mmcblk0 < /etc/partsetup &> /tmp/repart.txt")) {
        return rebuild_failed(backup, "\tFailed to create partitions. Quitting",
                              "cat /tmp/repart.txt");
    }
    // The partitions keep their places, so the old filesystems are still
    // there: e2fsprogs' mkfs.ext3 would ask whether to proceed, on the
    // console, with its question sent to the log file. The operator has
    // confirmed already; -F formats without the invisible question, which
    // would stop the rebuild until a key was typed.
    std::puts("\tReformatting main partition");
    if (!run("mkfs.ext3 -F -b 4096 /dev/mmcblk0p1 &> /tmp/velmopart.txt")) {
        return rebuild_failed(backup, "\tFailed to format main partition. Quitting",
                              "cat /tmp/velmopart.txt");
    }
    std::puts("\tVerifying main partition");
    if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null")) {
        std::puts("WARNING: main partition not created cleanly");
    }
    std::puts("\tReformatting config partition");
    if (!run("mkfs.ext3 -F -b 4096 /dev/mmcblk0p4 &> /tmp/cfgpart.txt")) {
        return rebuild_failed(backup, "\tFailed to format config partition. Quitting",
                              "cat /tmp/cfgpart.txt");
    }
    std::puts("\tMounting main filesystem");
    if (!run(kMountUser)) {
        std::puts("\tFailed to remount filesystem. Quitting");
        if (backup) {
            std::puts(kBackupInRam);
        }
        return 0;
    }
    if (backup && !restore_backup()) {
        return 0;
    }
    return 1;
}

int run_standalone_diags() {
    bool developer = imgsign_developerImages() != 0;
    if (developer) {
        std::puts("NOTE: switch running developer signed images");
    } else if (!lowsec_active()) {
        std::puts("Standalone diags cannot be run on a secured switch");
        std::puts("Please establish physical presence first");
        return 0;
    }
    if (confirmed(
            "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
            0)) {
        // The diagnostics start from a clean flash user filesystem; no
        // status is looked at, the diagnostics image boots either way.
        std::puts("unmount filesystem");
        run("/bin/umount /user &> /dev/null");
        std::puts("\nErasing filesystem for clean install");
        run("flash_eraseall /dev/mtd-user-char");
        std::puts("Mounting...");
        run("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
        std::puts("creating default filesystem");
        run("mkdir /user/images &> /dev/null");
    }
    std::puts("Booting diags image...");
    launch_diagnostics();
    return 1;
}
