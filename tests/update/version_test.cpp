#include "update/version.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(Version, TheManifestIsNewerOnlyWhenTheFirstDifferingNumberIsGreater) {
    struct Case {
        const char* manifest;
        const char* installed;
        bool newer;
    };
    const Case cases[] = {
        {"1.10", "1.9", true},
        {"1.2.0", "1.2", false},
        {"2", "1.9.9", true},
        {"1.2", "1.2.1", false},
        {"1.3b", "1.3", false},      // 3b counts as 0
        {"r2.0", "1.5", false},      // r2 counts as 0
        {"2.0-beta", "2.0", false},  // 0-beta counts as 0
        {"1..3", "1.2", true},       // the empty piece is dropped
        {".1.2.", "1.1", true},
        {"+2", "2", false},
        {"+2", "1", true},
        {"-1", "", false},  // -1 is less than the missing 0
        {"", "", false},
        {"0.0.1", "0", true},
        {"0", "0", false},
        {"", "0", false},
        {"1.0.0.0.1", "1", true},
        {"1.2", "1.10", false},
        {"9223372036854775807", "9223372036854775806", true},
        {"9223372036854775808", "1", false},  // out of range counts as 0
        {"12345678901234567890", "1", false},
        {"1. 2", "1.1", false},  // a space makes the piece 0
        {"1.+-2", "1.0", false},
        {"1.-0", "1.0", false},
        {"2.1", "2.0.9", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewerVersion(c.manifest, c.installed), c.newer)
            << c.manifest << " against " << c.installed;
    }
}

TEST(Version, PiecesAreStrictSigned64BitDecimalsAndUnparsableOnesCountAsZero) {
    using Numbers = std::vector<std::int64_t>;
    EXPECT_EQ(versionNumbers("1..2"), (Numbers{1, 2}));
    EXPECT_EQ(versionNumbers(".1.2"), (Numbers{1, 2}));
    EXPECT_EQ(versionNumbers("1.2."), (Numbers{1, 2}));
    EXPECT_EQ(versionNumbers(""), Numbers{});
    EXPECT_EQ(versionNumbers("..."), Numbers{});
    EXPECT_EQ(versionNumbers("1.3b"), (Numbers{1, 0}));
    EXPECT_EQ(versionNumbers("+7.-7"), (Numbers{7, -7}));
    EXPECT_EQ(versionNumbers("++7.--7.+.-"), (Numbers{0, 0, 0, 0}));
    EXPECT_EQ(versionNumbers(" 1.1 .0x1.1e2"), (Numbers{0, 0, 0, 0}));
    EXPECT_EQ(versionNumbers("-9223372036854775808"), Numbers{INT64_MIN});
    EXPECT_EQ(versionNumbers("-9223372036854775809"), Numbers{0});
    EXPECT_EQ(versionNumbers("007"), Numbers{7});
    EXPECT_EQ(versionNumbers("\xd9\xa3"), Numbers{0});  // a non-ASCII digit
}

}  // namespace
}  // namespace vantrel
