// The timed question at its end of input. The rejected list (MD5 digests,
// one per content, md5sum run once) and the question answered "n" are the
// USB story (tests/console/test_stories.py).
#include "boot/usb.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

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
