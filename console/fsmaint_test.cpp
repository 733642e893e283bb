// The rebuild's failure paths that a whole start-up cannot reach: each step
// failing in turn, with its line, its captured log and /user mounted again.
// The interactive rebuild's failures with a backup to restore are console
// tests (tests/console/test_fsmaint.py).
#include "console/fsmaint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "auth/signature.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "board/test_support.h"
#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::BoardFiles;
using sandbox_test::capture_stdout;
using sandbox_test::on_console;

constexpr const char* kFakes[] = {"sfdisk", "mkfs.ext3", "mount", "cp", "e2fsck"};

class Rebuild : public ::testing::Test {
   protected:
    // Scripted answers count calls from this test on.
    void SetUp() override {
        for (const char* fake : kFakes) {
            board_.remove(std::string("answers/.") + fake + ".calls");
        }
        board_.set("commands.log", "");
    }
    // The next test finds /user mounted with its images folder.
    void TearDown() override {
        for (const char* fake : kFakes) {
            board_.remove(std::string("answers/") + fake);
            board_.remove(std::string("answers/.") + fake + ".calls");
        }
        std::system(
            "rm -rf /tmp/backup; mount /dev/mmcblk0p1 /user 2>/dev/null;"
            " mkdir -p /user/images");
    }
    std::string last_command() {
        std::string log = board_.get("commands.log");
        log.pop_back();
        return log.substr(log.rfind('\n') + 1);
    }
    BoardFiles board_;
};

// The rebuild without a question, as after a failed repair (/user is
// unmounted first, as the check does): each failure ends it with its line
// and log, and /user mounted again. A failed partitioning: test_fsmaint.py.
TEST_F(Rebuild, FailedFormatOrMountEndsTheRebuildWithItsLog) {
    const std::string steps =
        "\tCreating new filesystem partitions\n"
        "\tReformatting main partition\n";
    const std::string config = steps +
                               "\tVerifying main partition\n"
                               "\tReformatting config partition\n";
    const struct {
        const char* fake;
        const char* answers;
        std::string shown;
    } rows[] = {
        {"mkfs.ext3", "1\n",
         steps + "\tFailed to format main partition. Quitting\nlog:\n"
                 "mkfs.ext3: /dev/mmcblk0p1: failed (status 1)\n"},
        {"mkfs.ext3", "0\n1\n",
         config + "\tFailed to format config partition. Quitting\nlog:\n"
                  "mkfs.ext3: /dev/mmcblk0p4: failed (status 1)\n"},
        {"mount", "255\n",
         config + "\tMounting main filesystem\n\tFailed to remount filesystem. Quitting\n"},
    };
    for (const auto& row : rows) {
        board_.set(std::string("answers/") + row.fake, row.answers);
        board_.remove(std::string("answers/.") + row.fake + ".calls");
        std::system("umount /dev/mmcblk0p1");
        int result = -1;
        EXPECT_EQ(capture_stdout([&] { result = update_filesystem(0, 0); }), row.shown);
        EXPECT_EQ(result, 0);
        board_.remove(std::string("answers/") + row.fake);
        if (row.shown.find("log:") != std::string::npos) {
            EXPECT_EQ(last_command(), "mount /dev/mmcblk0p1 /user");
        }
    }
}

// The whole rebuild, its backup put back: done, as its caller is told.
TEST_F(Rebuild, RebuildWithItsBackupRestoredIsDone) {
    int result = -1;
    std::string out = on_console("y", [&] { result = update_filesystem(0, 1); });
    EXPECT_TRUE(out.ends_with("\tRestoring filesystem with backup. This can take a few minutes\n"))
        << out;
    EXPECT_EQ(result, 1);
    EXPECT_NE(board_.get("commands.log").find("cp -r /tmp/backup/. /user/"), std::string::npos);
    // The backup taken, the rebuild done, the copy back fails: not done,
    // and the operator is told where the files are.
    std::system("rm -rf /tmp/backup");
    board_.set("answers/cp", "0\n1\n");
    board_.remove("answers/.cp.calls");
    out = on_console("y", [&] { result = update_filesystem(0, 1); });
    board_.remove("answers/cp");
    EXPECT_TRUE(out.ends_with("\tRestoring filesystem with backup. This can take a few minutes\n"
                              "\tFailed to restore backup\n"
                              "\tYour files are in /tmp/backup until the switch is powered off or "
                              "rebooted\n"))
        << out;
    EXPECT_EQ(result, 0);
}

TEST_F(Rebuild, LeftoverBackupDirectoryStopsBeforeAnythingChanges) {
    mkdir("/tmp/backup", 0755);
    int result = -1;
    EXPECT_EQ(on_console("y", [&] { result = update_filesystem(0, 1); }),
              "It is recommended to backup your configuration before performing this update.\n"
              "Confirm: update filesystem y/N: \n"
              "\tBacking up files. This can take a few minutes\n"
              "\tFailed to create backup directory. Quitting\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(board_.get("commands.log").find("sfdisk"), std::string::npos);
}

// The results the callers may rely on: a declined update is done (and
// /user mounted again); the diagnostics give 0 when a secured switch
// refuses them and 1 when the rescue partition boots nothing, so that the
// start-up goes on.
TEST_F(Rebuild, DeclinedUpdateAndDiagnosticsThatReturnEndWithTheirResults) {
    int result = -1;
    EXPECT_EQ(on_console("n", [&] { result = update_filesystem(0, 1); }),
              "It is recommended to backup your configuration before performing this update.\n"
              "Confirm: update filesystem y/N: \n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(board_.get("commands.log"), "mount /dev/mmcblk0p1 /user\n");

    // The diagnostics ask the root filesystem's signature (flash, EEPROM).
    i2c_open_buses();
    mtd_open_partitions();
    imgsign_forgetDeveloperImages();
    EXPECT_EQ(capture_stdout([&] { result = run_standalone_diags(); }),
              "Standalone diags cannot be run on a secured switch\n"
              "Please establish physical presence first\n");
    EXPECT_EQ(result, 0);
    ASSERT_EQ(std::system("touch /tmp/lowsec"), 0);
    testing::internal::CaptureStderr();
    std::string out = on_console("n", [&] { result = run_standalone_diags(); });
    unlink("/tmp/lowsec");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Image not found... \n");
    EXPECT_TRUE(out.ends_with("y/N: \nBooting diags image...\n")) << out;
    EXPECT_EQ(result, 1);
    imgsign_forgetDeveloperImages();
    i2c_close_buses();
    board_test::close_mtd_partitions();
}

}  // namespace

namespace {

// Without partition 1 there is nothing to back up: the rebuild goes
// straight to the partitioning (which fails here, ending it).
TEST_F(Rebuild, NoMainPartitionNoBackup) {
    ASSERT_EQ(rmdir("/sys/block/mmcblk0/mmcblk0p1"), 0);
    board_.set("answers/sfdisk", "1\n");
    int result = -1;
    std::string out = on_console("y", [&] { result = update_filesystem(0, 1); });
    mkdir("/sys/block/mmcblk0/mmcblk0p1", 0755);
    EXPECT_TRUE(out.starts_with(
        "It is recommended to backup your configuration before performing this update.\n"
        "Confirm: update filesystem y/N: \n"
        "\tCreating new filesystem partitions\n"
        "\tFailed to create partitions. Quitting\n"))
        << out;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(board_.get("commands.log").find("mkdir /tmp/backup"), std::string::npos);
}

}  // namespace
