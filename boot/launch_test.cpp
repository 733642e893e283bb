// The environment file of an application archive.
#include "boot/launch.h"

#include <stdlib.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

void apply(const std::string& text) {
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    apply_env_setup(file);
    std::fclose(file);
}

TEST(EnvSetup, WordsArePairedAndALastWordGetsTheEmptyValue) {
    setenv("B", "old", 1);
    apply("A 1\n  B");
    EXPECT_STREQ(getenv("A"), "1");
    EXPECT_STREQ(getenv("B"), "");
}

// Words longer than 511 characters: tests/console/test_boot.py.

}  // namespace
