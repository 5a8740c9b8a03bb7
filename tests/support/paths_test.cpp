#include "support/paths.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

TEST(Paths, PerUserFoldersFollowTheXdgVariablesOrTheirDefaults) {
    testing::SandboxedHome sandbox;
    auto home = sandbox.home();
    EXPECT_EQ(Paths::support(), home / ".local/share/Vantrel");
    EXPECT_EQ(Paths::state(), home / ".local/share/Vantrel/agent.json");
    EXPECT_EQ(Paths::spool(), home / ".local/share/Vantrel/spool.db");
    EXPECT_EQ(Paths::log(), home / ".local/state/Logs/Vantrel/agent.log");

    ::setenv("XDG_DATA_HOME", (home / "data/").c_str(), 1);
    ::setenv("XDG_STATE_HOME", "relative/ignored", 1);
    EXPECT_EQ(Paths::support().string(), (home / "data/Vantrel").string());
    EXPECT_EQ(Paths::logDirectory(), home / ".local/state/Logs/Vantrel");
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(Paths::logDirectory(), home / ".local/state/Logs/Vantrel");
}

// Whatever the variables hold, every folder is absolute and has no trailing separator.
TEST(Paths, OddVariablesStillGiveAbsoluteFolders) {
    testing::SandboxedHome sandbox;
    struct Case {
        const char* home;
        const char* dataHome;
        std::filesystem::path support;  // empty: any absolute folder
    } cases[] = {
        {"/h", "/", "/Vantrel"}, {"/h", "//", "/Vantrel"},  {"/h", "", "/h/.local/share/Vantrel"},
        {"", nullptr, {}},       {"relative", nullptr, {}}, {"/h/", "/d/./", "/d/Vantrel"},
    };
    for (const auto& c : cases) {
        ::setenv("HOME", c.home, 1);
        c.dataHome ? ::setenv("XDG_DATA_HOME", c.dataHome, 1) : ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_STATE_HOME");
        SCOPED_TRACE(std::string("HOME=") + c.home);
        for (const auto& path : {Paths::support(), Paths::logDirectory(), Paths::state()}) {
            EXPECT_TRUE(path.is_absolute()) << path;
            EXPECT_NE(path.string().back(), '/') << path;
        }
        if (!c.support.empty()) {
            EXPECT_EQ(Paths::support(), c.support);
        }
    }
}

TEST(Paths, ResourcesComeFromTheRunningBundle) {
    EXPECT_EQ(Paths::python().filename(), "python3");
    EXPECT_EQ(Paths::python().parent_path().parent_path(), Paths::pythonHome());
    EXPECT_EQ(Paths::pythonHome().parent_path(), Paths::pythonPath().parent_path());
    EXPECT_EQ(Paths::pythonPath().filename(), "lib");
}

TEST(Paths, CreateDirectoriesMakesOnlyWhatIsMissing) {
    testing::SandboxedHome sandbox;
    std::filesystem::create_directories(Paths::support());
    testing::writeFile(Paths::support() / "agent.json", "{}");
    Paths::createDirectories();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::logDirectory()));
    EXPECT_EQ(testing::readFile(Paths::support() / "agent.json"), "{}");
    EXPECT_FALSE(std::filesystem::exists(Paths::log()));
}

TEST(Paths, AFileInTheWayFailsBeforeTheLogFolderIsTried) {
    testing::SandboxedHome sandbox;
    testing::writeFile(sandbox.home() / ".local/share/Vantrel", "in the way");
    try {
        Paths::createDirectories();
        FAIL() << "expected an error";
    } catch (const std::system_error& error) {
        EXPECT_FALSE(error.code().message().empty());
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox.home() / ".local/state"));
}

}  // namespace
}  // namespace vantrel
