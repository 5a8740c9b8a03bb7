#include "setup/download_naming.h"

#include <gtest/gtest.h>

#include <set>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TempDir;
using testing::writeFile;

struct NamingCase {
    const char* suggested;
    std::set<std::string> taken;
    const char* expected;
};

class DownloadNamingTest : public ::testing::TestWithParam<NamingCase> {};

TEST_P(DownloadNamingTest, ChoosesTheFirstFreeName) {
    const auto& param = GetParam();
    auto destination = chooseDownloadDestination("/downloads", param.suggested,
                                                 [&](const std::filesystem::path& path) {
                                                     EXPECT_EQ(path.parent_path(), "/downloads");
                                                     return param.taken.count(path.filename()) > 0;
                                                 });
    ASSERT_TRUE(destination.has_value());
    EXPECT_EQ(*destination, std::filesystem::path("/downloads") / param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DownloadNamingTest,
    ::testing::Values(NamingCase{"report.pdf", {}, "report.pdf"},
                      NamingCase{"report.pdf", {"report.pdf"}, "report 2.pdf"},
                      NamingCase{"report.pdf", {"report.pdf", "report 2.pdf"}, "report 3.pdf"},
                      NamingCase{"report.pdf", {"report.pdf", "report 3.pdf"}, "report 2.pdf"},
                      NamingCase{"notes", {"notes"}, "notes 2"},
                      NamingCase{"archive.tar.gz", {"archive.tar.gz"}, "archive.tar 2.gz"},
                      NamingCase{"", {}, "vantrel-diagnostics.zip"},
                      NamingCase{"", {"vantrel-diagnostics.zip"}, "vantrel-diagnostics 2.zip"},
                      NamingCase{".profile", {".profile"}, ".profile 2"},
                      NamingCase{"notes.", {"notes."}, "notes. 2"},
                      // A suggestion carrying a path keeps only its last component.
                      NamingCase{"../../etc/passwd", {}, "passwd"},
                      NamingCase{"a/b/c.txt", {"c.txt"}, "c 2.txt"},
                      NamingCase{"/abs/x.csv", {}, "x.csv"},
                      NamingCase{"dir/", {}, "vantrel-diagnostics.zip"},
                      NamingCase{"..", {}, "vantrel-diagnostics.zip"},
                      NamingCase{"x/..", {}, "vantrel-diagnostics.zip"}));

std::set<std::string> allNumbered(const std::string& name) {
    auto candidates = downloadCandidates(name);
    return {candidates.begin(), candidates.end()};
}

TEST(DownloadNaming, TriesNinetyNineNamesThenGivesUp) {
    auto candidates = downloadCandidates("report.pdf");
    ASSERT_EQ(candidates.size(), 99u);
    EXPECT_EQ(candidates[1], "report 2.pdf");
    EXPECT_EQ(candidates.back(), "report 99.pdf");
    auto taken = allNumbered("report.pdf");
    EXPECT_FALSE(chooseDownloadDestination("/d", "report.pdf", [&](const auto& path) {
                     return taken.count(path.filename()) > 0;
                 }).has_value());
}

TEST(DownloadReservation, CreatesTheFirstFreeNameEmptyAndLeavesOthersAlone) {
    TempDir dir;
    writeFile(dir / "report.pdf", "old");
    std::filesystem::create_directory(dir / "report 2.pdf");
    auto reserved = reserveDownloadDestination(dir.path(), "report.pdf");
    ASSERT_TRUE(reserved.path.has_value()) << reserved.error;
    EXPECT_EQ(*reserved.path, dir / "report 3.pdf");
    EXPECT_EQ(std::filesystem::file_size(*reserved.path), 0u);
    EXPECT_EQ(testing::readFile(dir / "report.pdf"), "old");
}

TEST(DownloadReservation, ADanglingLinkCountsAsTaken) {
    TempDir dir;
    std::filesystem::create_symlink(dir / "elsewhere", dir / "notes");
    auto reserved = reserveDownloadDestination(dir.path(), "notes");
    ASSERT_TRUE(reserved.path.has_value()) << reserved.error;
    EXPECT_EQ(*reserved.path, dir / "notes 2");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST(DownloadReservation, FailsWithoutTouchingAnythingWhenEveryNameIsTaken) {
    TempDir dir;
    for (const auto& name : allNumbered("report.pdf")) {
        writeFile(dir / name, name);
    }
    auto reserved = reserveDownloadDestination(dir.path(), "report.pdf");
    EXPECT_FALSE(reserved.path.has_value());
    EXPECT_NE(reserved.error.find("report 99.pdf"), std::string::npos) << reserved.error;
    EXPECT_EQ(testing::readFile(dir / "report 99.pdf"), "report 99.pdf");
}

TEST(DownloadReservation, CreatesAMissingFolderAndReportsAnUnusableOne) {
    TempDir dir;
    auto reserved = reserveDownloadDestination(dir / "Downloads", "a.csv");
    ASSERT_TRUE(reserved.path.has_value()) << reserved.error;
    EXPECT_EQ(*reserved.path, dir / "Downloads" / "a.csv");

    writeFile(dir / "file", "");
    auto refused = reserveDownloadDestination(dir / "file", "a.csv");
    EXPECT_FALSE(refused.path.has_value());
    EXPECT_NE(refused.error.find("Not a directory"), std::string::npos) << refused.error;
}

}  // namespace
}  // namespace vantrel
