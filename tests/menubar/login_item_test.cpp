#include <sys/stat.h>

#include <gtest/gtest.h>

#include "menubar/autostart_entry.h"
#include "menubar/login_item.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::readFile;
using testing::writeFile;

// Each executable is quoted only as the rules need, and the entry reads back to it.
TEST(AutostartEntryTest, TheEntryRunsTheExecutableAtLoginAndReadsBackToIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/VantrelAgent/bin/VantrelAgent", "/opt/VantrelAgent/bin/VantrelAgent"},
        {"/home/a b/Vantrel (2)/x", "\"/home/a b/Vantrel (2)/x\""},
        {"/it's", "\"/it's\""},
        {"/a\"b$5`", "\"/a\\\"b\\$5\\`\""},
        {"/back\\slash", "\"/back\\\\slash\""},
        {"/100%", "/100%%"},
        {"/100% sure", "\"/100%% sure\""},
        {"/tab\there", "\"/tab\there\""},
        {"", "\"\""},
    };
    for (const auto& [executable, quoted] : cases) {
        SCOPED_TRACE(executable);
        EXPECT_EQ(quoteExecArgument(executable), quoted);
        if (executable.empty()) {
            continue;
        }
        auto entry = autostartEntry(executable);
        EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n")) << entry;
        EXPECT_NE(entry.find(" --login-item\n"), std::string::npos) << entry;
        EXPECT_EQ(autostartProgram(entry), executable) << entry;
    }
    // A literal backslash in a quoted argument is written as four.
    EXPECT_NE(autostartEntry("/a b\\c").find("Exec=\"/a b\\\\\\\\c\" --login-item"),
              std::string::npos);
    // Only the main group's Exec line counts, and an unterminated quote reads as nothing.
    EXPECT_EQ(autostartProgram("[Desktop Action x]\nExec=/wrong\n[Desktop Entry]\nExec=/right\n"),
              "/right");
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=\"/unterminated\n"), std::nullopt);
    EXPECT_EQ(autostartProgram("Exec=/outside/any/group\n"), std::nullopt);
}

class LoginItemTest : public ::testing::Test {
  protected:
    std::filesystem::path config() const { return home.home() / ".config"; }
    std::filesystem::path entry() const { return config() / "autostart/vantrel-agent.desktop"; }

    testing::SandboxedHome home;
    const std::filesystem::path executable = "/opt/Vantrel Agent/bin/VantrelAgent";
    std::unique_ptr<LoginItem> item = makeLoginItem(executable);
};

TEST_F(LoginItemTest, EnableWritesOurEntryWholeAndDisableRemovesIt) {
    writeFile(entry(), autostartEntry("/elsewhere/VantrelAgent"));
    EXPECT_FALSE(item->isEnabled()) << "an entry for another executable is not ours";
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(item->isEnabled());
    EXPECT_EQ(readFile(entry()), autostartEntry(executable));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry().parent_path()), {}), 1);
    EXPECT_EQ(item->disable(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entry()));

    testing::TempDir other;  // the folder follows the environment at each call
    ::setenv("XDG_CONFIG_HOME", other.path().c_str(), 1);
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(other / "autostart/vantrel-agent.desktop"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(item->isEnabled()) << "the default is $HOME/.config";
}

TEST_F(LoginItemTest, AFolderOrFifoInTheEntrysPlaceIsNoEntry) {
    std::filesystem::create_directories(entry());
    EXPECT_FALSE(item->isEnabled());
    std::filesystem::remove(entry());
    ASSERT_EQ(::mkfifo(entry().c_str(), 0600), 0);
    EXPECT_FALSE(item->isEnabled());
}

// Root ignores permission bits, so the folder is made unusable by a file standing in its place.
TEST_F(LoginItemTest, AnAutostartFolderThatCannotBeMadeGivesTheSystemsReason) {
    writeFile(config() / "autostart", "not a folder");
    auto failure = item->enable();
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->empty());
    EXPECT_FALSE(item->isEnabled());

    std::filesystem::remove(config() / "autostart");
    writeFile(entry() / "keep", "x");  // a folder where the entry goes
    EXPECT_EQ(item->enable(), "Is a directory");
    EXPECT_EQ(item->disable(), "Directory not empty");
}

}  // namespace
}  // namespace vantrel
