// What may reach a shell command line from the console as a TFTP file name.
// (MAC addresses: through their dialogue, tests/console/test_rescue.py.)
#include "console/validate.h"

#include <gtest/gtest.h>

namespace {

TEST(Validate, TftpFileNamesArePlainPathsOnly) {
    for (const char* good : {"a", "image.bin", "rel/1.2/VKT3390_OS+dbg.img", "x-1", "./a"}) {
        EXPECT_EQ(tftp_filename_valid(good), 1) << good;
    }
    for (const char* bad : {"", "-r", "--help", "a;reboot", "$(reboot)", "a b", "a`id`", "a|b",
                            "a&b", "a>b", "a\\b", "'a'", "a\"b", "a\tb", "a\nb", "\x80"}) {
        EXPECT_EQ(tftp_filename_valid(bad), 0) << bad;
    }
    EXPECT_EQ(tftp_filename_valid(nullptr), 0);
}

}  // namespace
