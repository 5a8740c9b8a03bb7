#include "diagnostics/archive_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

TEST(ArchiveFileNameTest, KeepsTheNameInsideTheFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"vantrel-diagnostics-20261206-101500.zip", "vantrel-diagnostics-20261206-101500.zip"},
        {"report.zip", "report.zip"},
        {"", "vantrel-diagnostics.zip"},
        {"../../.bashrc", ".bashrc"},
        {"/etc/passwd", "passwd"},
        {"archives/today.zip", "today.zip"},
        {"..", "vantrel-diagnostics.zip"},
        {".", "vantrel-diagnostics.zip"},
        {"a/..", "vantrel-diagnostics.zip"},
        {"folder/", "vantrel-diagnostics.zip"},
        {"/", "vantrel-diagnostics.zip"},
        {"report.zip\0/../../x"s, "report.zip"},
        {"\0evil"s, "vantrel-diagnostics.zip"},
        {"..\\windows.zip", "..\\windows.zip"},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(archiveFileName(name), expected) << name;
    }
}

class SaveArchiveTest : public ::testing::Test {
  protected:
    testing::TempDir dir;
    std::filesystem::path desktop = dir / "Desktop";
    std::filesystem::path support = dir / "share" / "Vantrel";
};

TEST_F(SaveArchiveTest, WritesIntoTheFirstFolderThatTakesIt) {
    auto saved = saveArchive("PK first", "a.zip", {desktop, support});
    ASSERT_EQ(saved, desktop / "a.zip");
    EXPECT_EQ(testing::readFile(*saved), "PK first");

    // The same name again replaces the earlier file.
    saved = saveArchive("PK second", "a.zip", {desktop, support});
    ASSERT_EQ(saved, desktop / "a.zip");
    EXPECT_EQ(testing::readFile(*saved), "PK second");
    EXPECT_FALSE(std::filesystem::exists(support));
}

TEST_F(SaveArchiveTest, FallsBackWhenAFolderCannotBeMadeOrWritten) {
    testing::writeFile(desktop, "a file where the Desktop should be");
    auto saved = saveArchive("PK", "a.zip", {desktop, support});
    ASSERT_EQ(saved, support / "a.zip");
    EXPECT_EQ(testing::readFile(*saved), "PK");

    // A folder in the target's place makes the write itself fail.
    std::filesystem::remove(desktop);
    std::filesystem::create_directories(desktop / "b.zip");
    EXPECT_EQ(saveArchive("PK", "b.zip", {desktop, support}), support / "b.zip");
}

TEST_F(SaveArchiveTest, NothingWritableGivesNone) {
    testing::writeFile(dir / "blocker", "");
    EXPECT_EQ(saveArchive("PK", "a.zip", {dir / "blocker" / "Desktop", dir / "blocker" / "x"}),
              std::nullopt);
    EXPECT_EQ(saveArchive("PK", "a.zip", {}), std::nullopt);
}

}  // namespace
}  // namespace vantrel
