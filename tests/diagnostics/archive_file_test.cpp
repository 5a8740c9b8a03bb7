#include "diagnostics/archive_file.h"

#include <gtest/gtest.h>

#include "diagnostics/archive_name.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

// The fuzz target proves every name safe; these rows pin what is kept.
TEST(OfferedFileNameTest, KeepsTheNameInsideTheFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"vantrel-diagnostics-20261206-101500.zip", "vantrel-diagnostics-20261206-101500.zip"},
        {"", "vantrel-diagnostics.zip"},
        {"../../.bashrc", ".bashrc"},
        {"a/..", "vantrel-diagnostics.zip"},
        {"report.zip\0/../../x"s, "report.zip"},
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
    std::filesystem::path desktop = dir / "Desktop", support = dir / "share" / "Vantrel";
};

TEST_F(SaveArchiveTest, ReplacesAnEarlierFileWhole) {
    ASSERT_EQ(saveArchive("PK a longer first archive", "a.zip", {desktop, support}),
              desktop / "a.zip");
    ASSERT_EQ(saveArchive("PK short", "a.zip", {desktop, support}), desktop / "a.zip");
    EXPECT_EQ(testing::readFile(desktop / "a.zip"), "PK short");
    EXPECT_FALSE(std::filesystem::exists(support));
}

// A file where the folder should be, then a folder in the target's place, then nowhere at all.
TEST_F(SaveArchiveTest, FallsBackWhenAFolderCannotBeMadeOrWritten) {
    testing::writeFile(desktop, "a file where the Desktop should be");
    EXPECT_EQ(saveArchive("PK", "a.zip", {desktop, support}), support / "a.zip");
    EXPECT_EQ(testing::readFile(support / "a.zip"), "PK");
    std::filesystem::remove(desktop);
    std::filesystem::create_directories(desktop / "b.zip");
    EXPECT_EQ(saveArchive("PK", "b.zip", {desktop, support}), support / "b.zip");
    testing::writeFile(dir / "blocker", "");
    EXPECT_EQ(saveArchive("PK", "b.zip", {desktop, dir / "blocker" / "Vantrel"}), std::nullopt);
}

}  // namespace
}  // namespace vantrel
