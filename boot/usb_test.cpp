// The timed question at its end of input and when nothing is typed, and the
// rejected list's edges.
// The list itself (MD5 digests, one per content, md5sum run once) and the
// question answered "n" are the USB story (tests/console/test_stories.py).
#include "boot/usb.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

TEST(TimedQuestionEnd, EndOfInputIsNoInsteadOfAskingForever) {
    int answer = -1;
    EXPECT_EQ(sandbox_test::on_console("", [&] { answer = confirm_timed("Load it? "); }),
              "Load it? (y/n) \nTimeout. Assuming \"no\".\n");
    EXPECT_EQ(answer, 0);
    // A console that stays open but answers nothing: "no" after the wait.
    int quiet[2];
    ASSERT_EQ(0, pipe(quiet));
    int saved = dup(STDIN_FILENO);
    dup2(quiet[0], STDIN_FILENO);
    close(quiet[0]);
    answer = -1;
    std::string said = sandbox_test::capture(1, [&] { answer = confirm_timed("Load it? "); });
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(quiet[1]);
    EXPECT_EQ("Load it? (y/n) \nTimeout. Assuming \"no\".\n", said);
    EXPECT_EQ(answer, 0);
}

// The path forms open the file for one look and close it again; a file
// md5sum cannot read (a directory's descriptor) has no digest, rather than
// whatever the digest file held, and is neither found in the list nor
// added to it.
TEST(RejectedList, PathFormsKeepNoDescriptorAndAnUnreadableFileHasNoDigest) {
    std::system("rm -rf /user/images/rejected");
    sandbox_test::write_file("/tmp/stick-image", "an image seen once");
    int before = sandbox_test::open_descriptors();
    rejected_add("/tmp/stick-image");
    EXPECT_EQ(1, rejected_contains("/tmp/stick-image"));
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    char digest[33];
    int dir = open("/tmp", O_RDONLY | O_DIRECTORY);
    int result = -1;
    sandbox_test::capture(2, [&] { result = image_md5(dir, digest); });
    EXPECT_EQ(0, result);
    // Without a digest the list is neither looked at nor written: no entry
    // named by whatever the digest buffer held.
    std::system("rm -rf /user/images/rejected");
    EXPECT_EQ("Warning: Cannot determine if image is in rejected list!\n",
              sandbox_test::capture(1, [&] { result = rejected_contains(dir); }));
    EXPECT_EQ(0, result);
    EXPECT_EQ("Warning: Cannot add image to rejected list!\n",
              sandbox_test::capture(1, [&] { rejected_add(dir); }));
    EXPECT_NE(0, access("/user/images/rejected", F_OK));
    close(dir);
    std::system("rm -rf /user/images/rejected /tmp/stick-image");
}

}  // namespace
