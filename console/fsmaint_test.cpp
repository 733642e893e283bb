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

#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::BoardFiles;
using sandbox_test::capture_stdout;

constexpr const char* kFakes[] = {"sfdisk", "mkfs.ext3", "mount", "cp", "e2fsck"};

class Rebuild : public ::testing::Test {
   protected:
    // Scripted answers count calls from this test on; the keys the
    // operator types come from a pipe on standard input.
    void SetUp() override {
        for (const char* fake : kFakes) {
            board_.remove(std::string("answers/.") + fake + ".calls");
        }
        board_.set("commands.log", "");
        saved_stdin_ = dup(0);
    }
    // The next test finds /user mounted with its images folder.
    void TearDown() override {
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        for (const char* fake : kFakes) {
            board_.remove(std::string("answers/") + fake);
            board_.remove(std::string("answers/.") + fake + ".calls");
        }
        std::system(
            "rm -rf /tmp/backup; mount /dev/mmcblk0p1 /user 2>/dev/null;"
            " mkdir -p /user/images");
    }
    void type(const char* keys) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], keys, strlen(keys)), static_cast<ssize_t>(strlen(keys)));
        close(fds[1]);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    // The rebuild without a question, as after a failed repair: /user is
    // unmounted first, as the check does.
    std::string rebuild(int expected) {
        std::system("umount /dev/mmcblk0p1");
        int result = -1;
        std::string shown = capture_stdout([&] { result = update_filesystem(0, 0); });
        EXPECT_EQ(result, expected);
        return shown;
    }
    std::string last_command() {
        std::string log = board_.get("commands.log");
        log.pop_back();
        return log.substr(log.rfind('\n') + 1);
    }
    BoardFiles board_;
    int saved_stdin_ = -1;
};

// A failed partitioning, its log and /user mounted again: test_fsmaint.py.
TEST_F(Rebuild, FailedFormatOfEitherPartitionShowsItsLog) {
    board_.set("answers/mkfs.ext3", "1\n");
    EXPECT_EQ(rebuild(0),
              "\tCreating new filesystem partitions\n"
              "\tReformatting main partition\n"
              "\tFailed to format main partition. Quitting\n"
              "log:\n"
              "mkfs.ext3: /dev/mmcblk0p1: failed (status 1)\n");
    EXPECT_EQ(last_command(), "mount /dev/mmcblk0p1 /user");

    board_.remove("answers/.mkfs.ext3.calls");
    board_.set("answers/mkfs.ext3", "0\n1\n");
    EXPECT_EQ(rebuild(0),
              "\tCreating new filesystem partitions\n"
              "\tReformatting main partition\n"
              "\tVerifying main partition\n"
              "\tReformatting config partition\n"
              "\tFailed to format config partition. Quitting\n"
              "log:\n"
              "mkfs.ext3: /dev/mmcblk0p4: failed (status 1)\n");
    EXPECT_EQ(last_command(), "mount /dev/mmcblk0p1 /user");
}

TEST_F(Rebuild, FailedMountEndsTheRebuild) {
    board_.set("answers/mount", "255\n");
    std::string shown = rebuild(0);
    EXPECT_EQ(shown.substr(shown.rfind("\tMounting")),
              "\tMounting main filesystem\n\tFailed to remount filesystem. Quitting\n");
}

TEST_F(Rebuild, LeftoverBackupDirectoryStopsBeforeAnythingChanges) {
    mkdir("/tmp/backup", 0755);
    type("y");
    int result = -1;
    std::string shown = capture_stdout([&] { result = update_filesystem(0, 1); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(shown,
              "It is recommended to backup your configuration before performing this update.\n"
              "Confirm: update filesystem y/N: \n"
              "\tBacking up files. This can take a few minutes\n"
              "\tFailed to create backup directory. Quitting\n");
    EXPECT_EQ(board_.get("commands.log").find("sfdisk"), std::string::npos);
}

}  // namespace
