#include "version.hpp"

#include <gtest/gtest.h>

#include <string>

using setup_module::short_version;
using setup_module::version_matches;

TEST(VersionCheck, MatchesOnlyTheSameMinorVersion) {
    EXPECT_TRUE(version_matches("3.8", "3.8.16 (default, Jan 1 2024) [GCC 12]"));
    EXPECT_TRUE(version_matches("3.8", "3.8"));
    EXPECT_TRUE(version_matches("3.8", "3.8+"));
    EXPECT_FALSE(version_matches("3.8", "3.9.1"));
    EXPECT_FALSE(version_matches("3.8", "3.80.0"));
    EXPECT_FALSE(version_matches("3.1", "3.10.4"));
    EXPECT_FALSE(version_matches("3.10", "3.1"));
    EXPECT_TRUE(version_matches("3.10", "3.10.4"));
    EXPECT_TRUE(version_matches("3.10", "3.10"));
    EXPECT_FALSE(version_matches("3.10", "3.100"));
    EXPECT_FALSE(version_matches("3.10", "3.101.2"));
}

TEST(VersionCheck, ShortFormKeepsDigitsAndTheFirstDot) {
    const std::string cases[][2] = {
        {"3.9.1 (main)", "3.9"}, {"3.10.4", "3.10"}, {"3.8", "3.8"},
        {"3.8+", "3.8"},         {"10.1x", "10.1"},  {"3.123", "3.12"},
        {"x3.8", ""},
    };
    for (const auto &c : cases) {
        char out[5];
        short_version(c[0].c_str(), out);
        EXPECT_EQ(std::string(out), c[1]) << "from " << c[0];
    }
}
