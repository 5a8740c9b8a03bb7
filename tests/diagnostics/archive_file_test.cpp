#include "diagnostics/archive_file.h"

#include <gtest/gtest.h>

#include "diagnostics/archive_name.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

TEST(OfferedFileNameTest, KeepsTheNameInsideTheFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"vantrel-diagnostics-20261206-101500.zip", "vantrel-diagnostics-20261206-101500.zip"},
        {"", "vantrel-diagnostics.zip"},
        {"../../.bashrc", ".bashrc"},
        {"/etc/passwd", "passwd"},
        {"a/b/c.txt", "c.txt"},
        {"..", "vantrel-diagnostics.zip"},
        {".", "vantrel-diagnostics.zip"},
        {"a/..", "vantrel-diagnostics.zip"},
        {"folder/", "vantrel-diagnostics.zip"},
        {"report.zip\0/../../x"s, "report.zip"},
        {"\0evil"s, "vantrel-diagnostics.zip"},
        {"..\\windows.zip", "..\\windows.zip"},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(offeredFileName(name), expected) << name;
    }
}

TEST(ArchiveFoldersTest, TheDesktopFirstWhenThereIsOne) {
    EXPECT_EQ(archiveFolders("/home/u/Desktop", "/s"),
              (std::vector<std::filesystem::path>{"/home/u/Desktop", "/s"}));
    EXPECT_EQ(archiveFolders("", "/s"), std::vector<std::filesystem::path>{"/s"});
}

class SaveArchiveTest : public ::testing::Test {
  protected:
    testing::TempDir dir;
    std::filesystem::path desktop = dir / "Desktop";
    std::filesystem::path support = dir / "share" / "Vantrel";
};

TEST_F(SaveArchiveTest, ReplacesAnEarlierFileWhole) {
    auto saved = saveArchive("PK a longer first archive", "a.zip", {desktop, support});
    ASSERT_EQ(saved, desktop / "a.zip");
    saved = saveArchive("PK short", "a.zip", {desktop, support});
    ASSERT_EQ(saved, desktop / "a.zip");
    EXPECT_EQ(testing::readFile(*saved), "PK short");
    EXPECT_FALSE(std::filesystem::exists(support));
}

TEST_F(SaveArchiveTest, FallsBackWhenAFolderCannotBeMadeOrWritten) {
    testing::writeFile(desktop, "a file where the Desktop should be");
    EXPECT_EQ(saveArchive("PK", "a.zip", {desktop, support}), support / "a.zip");
    EXPECT_EQ(testing::readFile(support / "a.zip"), "PK");

    // A folder in the target's place makes the write itself fail.
    std::filesystem::remove(desktop);
    std::filesystem::create_directories(desktop / "b.zip");
    EXPECT_EQ(saveArchive("PK", "b.zip", {desktop, support}), support / "b.zip");

    testing::writeFile(dir / "blocker", "");
    EXPECT_EQ(saveArchive("PK", "b.zip", {desktop, dir / "blocker" / "Vantrel"}), std::nullopt);
}

}  // namespace
}  // namespace vantrel
