#include "setup/download_naming.h"

#include <gtest/gtest.h>

#include <set>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TempDir;
using testing::writeFile;

std::set<std::string> allNumbered(const std::string& name) {
    auto candidates = downloadCandidates(name);
    return {candidates.begin(), candidates.end()};
}

TEST(DownloadReservation, CreatesTheFirstFreeNameEmptyAndLeavesOthersAlone) {
    struct Row {
        const char* suggested;
        std::set<std::string> taken;
        const char* expected;
    };
    const Row rows[] = {
        {"report.pdf", {}, "report.pdf"},
        {"report.pdf", {"report.pdf", "report 3.pdf"}, "report 2.pdf"},
        {"notes", {"notes"}, "notes 2"},
        {"archive.tar.gz", {"archive.tar.gz"}, "archive.tar 2.gz"},
        {"", {"vantrel-diagnostics.zip"}, "vantrel-diagnostics 2.zip"},
        {"a/b/c.txt", {"c.txt"}, "c 2.txt"},  // a path keeps only its last component
    };
    for (const auto& row : rows) {
        TempDir dir;
        for (const auto& name : row.taken) {
            writeFile(dir / name, "old " + name);
        }
        auto reserved = reserveDownloadDestination(dir.path(), row.suggested);
        ASSERT_EQ(reserved.path, dir / row.expected) << row.suggested << reserved.error;
        EXPECT_EQ(std::filesystem::file_size(*reserved.path), 0u);
        for (const auto& name : row.taken) {
            EXPECT_EQ(testing::readFile(dir / name), "old " + name);
        }
    }
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

// A folder or a dangling link counts as taken; a missing folder is made, an unusable one reported.
TEST(DownloadReservation, CreatesAMissingFolderAndReportsAnUnusableOne) {
    TempDir dir;
    std::filesystem::create_directory(dir / "notes");
    std::filesystem::create_symlink(dir / "elsewhere", dir / "notes 2");
    EXPECT_EQ(reserveDownloadDestination(dir.path(), "notes").path, dir / "notes 3");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));

    auto reserved = reserveDownloadDestination(dir / "Downloads", "a.csv");
    EXPECT_EQ(reserved.path, dir / "Downloads" / "a.csv") << reserved.error;

    writeFile(dir / "file", "");
    auto refused = reserveDownloadDestination(dir / "file", "a.csv");
    EXPECT_FALSE(refused.path.has_value());
    EXPECT_NE(refused.error.find("Not a directory"), std::string::npos) << refused.error;
}

}  // namespace
}  // namespace vantrel
