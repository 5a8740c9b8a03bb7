#include "support/instance_lock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// The fallback runtime folder in a shared /tmp: made private, or refused when it cannot be.
TEST(PrivateFolder, IsMadeOnlyThisUsersOrRefused) {
    testing::TempDir dir;
    std::filesystem::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0777);
    std::filesystem::create_directory(dir / "foreign");
    ::chmod((dir / "foreign").c_str(), 0777);
    bool canGiveAway = ::chown((dir / "foreign").c_str(), 4242, 4242) == 0;
    std::filesystem::create_directory_symlink(dir / "open", dir / "link");
    testing::writeFile(dir / "file", "");
    struct Case {
        const char* name;
        bool usable;
    } cases[] = {
        {"new", true},
        {"open", true},
        {"link", false},
        {"file", false},
    };
    for (const auto& c : cases) {
        auto problem = preparePrivateFolder(dir / c.name);
        EXPECT_EQ(problem.empty(), c.usable) << c.name << ": " << problem;
        if (c.usable) {
            EXPECT_EQ(modeOf(dir / c.name), 0700u) << c.name;
        }
    }
    if (canGiveAway) {  // only root can hand a folder to another user
        EXPECT_EQ(preparePrivateFolder(dir / "foreign"), "it belongs to another user");
        EXPECT_EQ(modeOf(dir / "foreign"), 0777u) << "left as found";
    }
}

TEST(InstanceLock, OneHolderAtATimeAndAMissingRuntimeFolderIsAProblemNotAHolder) {
    testing::SandboxedHome sandbox;
    auto first = InstanceLock::acquire();
    ASSERT_TRUE(first.lock) << first.problem;
    auto second = InstanceLock::acquire();
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.problem, "");
    first.lock.reset();
    EXPECT_TRUE(InstanceLock::acquire().lock);

    ::setenv("XDG_RUNTIME_DIR", (sandbox.home() / "missing").c_str(), 1);
    auto missing = InstanceLock::acquire();
    EXPECT_FALSE(missing.lock);
    EXPECT_EQ(missing.problem, "cannot use the runtime folder " +
                                   (sandbox.home() / "missing").string() +
                                   ": No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(sandbox.home() / "missing"));
}

}  // namespace
}  // namespace vantrel
