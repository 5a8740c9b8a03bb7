#include "support/paths.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

// The XDG variables or their defaults; whatever they hold, every folder is absolute and has no
// trailing separator.
TEST(Paths, OddVariablesStillGiveAbsoluteFolders) {
    testing::SandboxedHome sandbox;
    struct Case {
        const char* home;
        const char* dataHome;
        const char* stateHome;
        std::filesystem::path support;  // empty: any absolute folder
        std::filesystem::path logs;
    } cases[] = {
        {"/h", nullptr, nullptr, "/h/.local/share/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"/h", "/h/data/", "relative/ignored", "/h/data/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"/h", "/", "/s", "/Vantrel", "/s/Logs/Vantrel"},
        {"/h", "//", nullptr, "/Vantrel", {}},
        {"/h", "", "", "/h/.local/share/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"", nullptr, nullptr, {}, {}},
        {"relative", nullptr, nullptr, {}, {}},
        {"/h/", "/d/./", nullptr, "/d/Vantrel", {}},
    };
    for (const auto& c : cases) {
        ::setenv("HOME", c.home, 1);
        c.dataHome ? ::setenv("XDG_DATA_HOME", c.dataHome, 1) : ::unsetenv("XDG_DATA_HOME");
        c.stateHome ? ::setenv("XDG_STATE_HOME", c.stateHome, 1) : ::unsetenv("XDG_STATE_HOME");
        SCOPED_TRACE(std::string("HOME=") + c.home +
                     " XDG_DATA_HOME=" + (c.dataHome ? c.dataHome : "unset"));
        for (const auto& path : {Paths::support(), Paths::logDirectory(), Paths::state()}) {
            EXPECT_TRUE(path.is_absolute()) << path;
            EXPECT_NE(path.string().back(), '/') << path;
        }
        if (!c.support.empty()) {
            EXPECT_EQ(Paths::support(), c.support);
            EXPECT_EQ(Paths::state(), c.support / "agent.json");
            EXPECT_EQ(Paths::spool(), c.support / "spool.db");
        }
        if (!c.logs.empty()) {
            EXPECT_EQ(Paths::log(), c.logs / "agent.log");
        }
    }
}

// Only what is missing is made; a file in the way fails before the log folder is tried.
TEST(Paths, CreateDirectoriesMakesOnlyWhatIsMissing) {
    testing::SandboxedHome sandbox;
    testing::writeFile(Paths::support() / "agent.json", "{}");
    Paths::createDirectories();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::logDirectory()));
    EXPECT_EQ(testing::readFile(Paths::support() / "agent.json"), "{}");
    EXPECT_FALSE(std::filesystem::exists(Paths::log()));

    std::filesystem::remove_all(sandbox.home() / ".local");
    testing::writeFile(Paths::support(), "in the way");
    EXPECT_THROW(Paths::createDirectories(), std::system_error);
    EXPECT_FALSE(std::filesystem::exists(sandbox.home() / ".local/state"));
}

}  // namespace
}  // namespace vantrel
