// What may reach a shell command line from the console.
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

TEST(Validate, MacAddressesAreExactlySixHexGroups) {
    for (const char* good : {"00:1a:2B:3c:4D:ff", "0:1:2:3:4:5"}) {
        EXPECT_EQ(mac_address_valid(good), 1) << good;
    }
    for (const char* bad :
         {"", "q", "0:1:2:3:4", "0:1:2:3:4:5:6", "0:1:2:3:4:5 ", " 0:1:2:3:4:5", "0:1:2:3:4:5;",
          "000:1:2:3:4:5", "0x1:2:3:4:5:6", "0:1::3:4:5", "g:1:2:3:4:5", "$(reboot)",
          "0:1:2:3:4:5$(x)", "+1:2:3:4:5:6", "0-1-2-3-4-5"}) {
        EXPECT_EQ(mac_address_valid(bad), 0) << bad;
    }
    EXPECT_EQ(mac_address_valid(nullptr), 0);
}

}  // namespace
