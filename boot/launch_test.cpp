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

TEST(EnvSetup, LongWordsAreSplitAfter511Characters) {
    std::string name(600, 'N');
    apply(name + " value");
    // The first 511 characters name the variable; the remaining 89 are its
    // value, and "value" is left without a partner.
    EXPECT_STREQ(getenv(std::string(511, 'N').c_str()), std::string(89, 'N').c_str());
    EXPECT_STREQ(getenv("value"), "");
}

}  // namespace
