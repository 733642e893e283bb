// The rejected list and the timed question, on the switch's own shell
// tools and a real pseudo-terminal.
#include "boot/usb.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

// The list's entries are the images' MD5 digests, one per content whatever
// the file name, and a second add runs nothing: the USB story
// (tests/console/test_stories.py) reads the list and counts the md5sum runs.
TEST(RejectedList, UnreadableImageWarnsAndAddsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(rejected_contains("/tmp/missing.img"), 0);
    rejected_add("/tmp/missing.img");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Cannot determine if image is in rejected list!\n"
              "Warning: Cannot add image to rejected list!\n");
    struct stat st;
    EXPECT_NE(stat("/user/images/rejected", &st), 0);
}

// The console's input is a pseudo-terminal whose other end the test types on.
class TimedQuestion : public ::testing::Test {
   protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        saved_stdin_ = dup(0);
        dup2(slave, 0);
        close(slave);
    }
    void TearDown() override {
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        close(master_);
    }
    void type(const char* keys) {
        ASSERT_EQ(write(master_, keys, strlen(keys)), (ssize_t)strlen(keys));
    }
    int ask(std::string* shown) {
        testing::internal::CaptureStdout();
        int answer = confirm_timed("Load it? ");
        *shown = testing::internal::GetCapturedStdout();
        return answer;
    }
    int master_ = -1;
    int saved_stdin_ = -1;
};

TEST_F(TimedQuestion, OnlyLowerCaseYAndNAnswer) {
    std::string shown;
    type("y\n");
    EXPECT_EQ(ask(&shown), 1);
    EXPECT_EQ(shown, "Load it? (y/n) ");
    type("Y\nn\n");  // Y and the line end ask again; the line end after y is still pending
    EXPECT_EQ(ask(&shown), 0);
    EXPECT_EQ(shown, "Load it? (y/n) (y/n) (y/n) (y/n) ");
}

TEST_F(TimedQuestion, NoAnswerWithinFiveSecondsIsNo) {
    std::string shown;
    EXPECT_EQ(ask(&shown), 0);
    EXPECT_EQ(shown, "Load it? (y/n) \nTimeout. Assuming \"no\".\n");
}

TEST(TimedQuestionEnd, EndOfInputIsNoInsteadOfAskingForever) {
    int saved = dup(0);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    close(null);
    testing::internal::CaptureStdout();
    int answer = confirm_timed("Load it? ");
    std::string shown = testing::internal::GetCapturedStdout();
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(shown, "Load it? (y/n) \nTimeout. Assuming \"no\".\n");
}

}  // namespace
