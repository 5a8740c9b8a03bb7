#include "update/run_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "support/temp_dir.h"
#include "support/unique_fd.h"
#include "update/checksum.h"
#include "update/scratch_folder.h"

namespace vantrel {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(Shell, GivesTheStatusAndBothStreamsInOrder) {
    auto result = runTool("/bin/sh", {"-c", "echo out; echo err >&2; echo out2; exit 3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, "out\nerr\nout2\n");
}

TEST(Shell, ToolThatCannotStartGivesMinusOneAndNothing) {
    auto result = runTool("/nonexistent/tool", {"x"});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output, "");
}

TEST(Shell, OutputThatIsNotUtf8BecomesEmptyButKeepsItsStatus) {
    auto result = runTool("/bin/sh", {"-c", "printf 'ok \\377 bad'; exit 4"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(runTool("/bin/sh", {"-c", "printf 'caf\\303\\251'"}).output, "caf\u00e9");
}

TEST(Shell, OutputLargerThanThePipeDoesNotHang) {
    auto result =
        runTool("/bin/sh", {"-c", "head -c 1000000 /dev/zero | tr '\\0' a; echo; exit 0"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.size(), 1000001u);
}

TEST(Shell, ReadsUntilGrandchildrenCloseThePipe) {
    auto result = runTool("/bin/sh", {"-c", "(sleep 0.3; echo late) & echo early"});
    EXPECT_EQ(result.output, "early\nlate\n");
}

TEST(Shell, ChildInheritsNoneOfOurDescriptors) {
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Above anything ls opens itself, and not close-on-exec on purpose.
    UniqueFd open(::fcntl(null.get(), F_DUPFD, 40));
    ASSERT_TRUE(open.valid());
    auto result = runTool("/bin/sh", {"-c", "ls /proc/self/fd"});
    EXPECT_EQ(result.output.find(std::to_string(open.get()) + "\n"), std::string::npos)
        << result.output;
}

TEST(ChecksumMatches, ComparesTheFilesDigestExactly) {
    TempDir dir;
    writeFile(dir / "update.dmg", "abc");
    const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(checksumMatches(dir / "update.dmg", digest));
    std::string upper = digest;
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(c));
    }
    EXPECT_FALSE(checksumMatches(dir / "update.dmg", upper));
    EXPECT_FALSE(checksumMatches(dir / "missing.dmg", digest));
    EXPECT_FALSE(checksumMatches(dir / "update.dmg", digest + "\n"));
    EXPECT_FALSE(checksumMatches(dir / "update.dmg", ""));
}

TEST(ScratchFolder, IsNamedWithAFreshUpperCaseUuid) {
    static const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        auto name = scratchFolderPath("/some/temp").filename().string();
        ASSERT_TRUE(name.starts_with("vantrel-update-")) << name;
        auto uuid = name.substr(15);
        EXPECT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(scratchFolderPath("/some/temp").parent_path(), "/some/temp");
    EXPECT_EQ(canonicalUuid({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78,
                             0x9a, 0xbc, 0xde, 0xf0}),
              "12345678-9ABC-4EF0-9234-56789ABCDEF0");
}

TEST(RemoveTree, RemovesReadOnlyContentAndIgnoresWhatIsMissing) {
    TempDir dir;
    writeFile(dir / "scratch/locked/file", "x");
    std::filesystem::permissions(dir / "scratch/locked", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
    removeTree(dir / "scratch");
    EXPECT_FALSE(std::filesystem::exists(dir / "scratch"));
    removeTree(dir / "scratch");
}

}  // namespace
}  // namespace vantrel
