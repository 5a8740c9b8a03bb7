#include "update/version.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

// The reader's other edges are fuzzed; these are the rules a release depends on.
TEST(Version, TheManifestIsNewerOnlyWhenTheFirstDifferingNumberIsGreater) {
    struct Case {
        const char* manifest;
        const char* installed;
        bool newer;
    } cases[] = {
        {"1.10", "1.9", true},
        {"1.2.0", "1.2", false},
        {"1.2", "1.2.1", false},
        {"1.3b", "1.3", false},  // 3b counts as 0
        {"2.0-beta", "2.0", false},
        {"1..3", "1.2", true},  // the empty piece is dropped
        {"+2", "1", true},
        {"-1", "", false},
        {"0.0.1", "0", true},
        {"9223372036854775807", "9223372036854775806", true},
        {"9223372036854775808", "1", false},  // out of range counts as 0
        {"1. 2", "1.1", false},               // a space makes the piece 0
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewerVersion(c.manifest, c.installed), c.newer)
            << c.manifest << " against " << c.installed;
    }
}

}  // namespace
}  // namespace vantrel
