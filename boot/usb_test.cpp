// The timed question at its end of input. The rejected list (MD5 digests,
// one per content, md5sum run once) and the question answered "n" are the
// USB story (tests/console/test_stories.py).
#include "boot/usb.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

TEST(TimedQuestionEnd, EndOfInputIsNoInsteadOfAskingForever) {
    int answer = -1;
    EXPECT_EQ(sandbox_test::on_console("", [&] { answer = confirm_timed("Load it? "); }),
              "Load it? (y/n) \nTimeout. Assuming \"no\".\n");
    EXPECT_EQ(answer, 0);
}

}  // namespace
