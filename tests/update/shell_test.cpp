#include "update/run_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>

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

// Both streams in order, read until grandchildren close the pipe, past the pipe's size; output
// that is not UTF-8 becomes empty but keeps its status; a tool that cannot start gives -1.
TEST(Shell, GivesTheStatusAndBothStreamsInOrder) {
    struct Case {
        std::string script;
        int status;
        std::string output;
    } cases[] = {
        {"echo out; echo err >&2; (sleep 0.3; echo late) & echo out2; exit 3", 3,
         "out\nerr\nout2\nlate\n"},
        {"head -c 1000000 /dev/zero | tr '\\0' a", 0, std::string(1000000, 'a')},
        {"printf 'ok \\377 bad'; exit 4", 4, ""},
        {"printf 'caf\\303\\251'", 0, "caf\u00e9"},
    };
    for (const auto& c : cases) {
        auto result = runTool("/bin/sh", {"-c", c.script});
        EXPECT_EQ(result.status, c.status) << c.script;
        EXPECT_EQ(result.output, c.output) << c.script;
    }
    auto missing = runTool("/nonexistent/tool", {"x"});
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.output, "");
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
    for (const auto& wrong : {upper, digest + "\n", std::string()}) {
        EXPECT_FALSE(checksumMatches(dir / "update.dmg", wrong)) << wrong;
    }
    EXPECT_FALSE(checksumMatches(dir / "missing.dmg", digest));
}

TEST(ScratchFolder, IsNamedWithAFreshUuidAndRemovedWholeEvenReadOnly) {
    static const std::regex canonical(
        "vantrel-update-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        auto path = scratchFolderPath("/some/temp");
        EXPECT_EQ(path.parent_path(), "/some/temp");
        EXPECT_TRUE(std::regex_match(path.filename().string(), canonical)) << path;
        seen.insert(path.filename());
    }
    EXPECT_EQ(seen.size(), 50u);
    TempDir dir;
    writeFile(dir / "scratch/locked/file", "x");
    std::filesystem::permissions(dir / "scratch/locked", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
    removeTree(dir / "scratch");
    EXPECT_FALSE(std::filesystem::exists(dir / "scratch"));
    removeTree(dir / "scratch");  // what is missing is ignored
}

}  // namespace
}  // namespace vantrel
