#include <sys/stat.h>

#include <gtest/gtest.h>

#include "menubar/autostart_entry.h"
#include "menubar/login_item.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::readFile;
using testing::writeFile;

class LoginItemTest : public ::testing::Test {
  protected:
    std::filesystem::path autostart() const { return home.home() / ".config/autostart"; }
    std::filesystem::path entry() const { return autostart() / "vantrel-agent.desktop"; }

    testing::SandboxedHome home;
    std::unique_ptr<LoginItem> item = makeLoginItem("/opt/Vantrel Agent/bin/VantrelAgent");
};

// Each executable is quoted only as the rules need; the entry, written whole, runs it at login and
// reads back to it, and an entry for another executable is not ours (was AutostartEntryTest).
TEST_F(LoginItemTest, EnableWritesAnEntryThatReadsBackToItsExecutableAndDisableRemovesIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/VantrelAgent/bin/VantrelAgent", "/opt/VantrelAgent/bin/VantrelAgent"},
        {"/home/a b/Vantrel (2)/x", "\"/home/a b/Vantrel (2)/x\""},
        {"/it's", "\"/it's\""},
        {"/a\"b$5`", "\"/a\\\"b\\$5\\`\""},
        {"/back\\slash", "\"/back\\\\slash\""},
        {"/100%", "/100%%"},
        {"/100% sure", "\"/100%% sure\""},
        {"/tab\there", "\"/tab\there\""},
    };
    for (const auto& [executable, quoted] : cases) {
        SCOPED_TRACE(executable);
        EXPECT_EQ(quoteExecArgument(executable), quoted);
        auto ours = makeLoginItem(executable);
        EXPECT_FALSE(ours->isEnabled());
        EXPECT_EQ(ours->enable(), std::nullopt);
        EXPECT_TRUE(ours->isEnabled());
        const auto text = readFile(entry());
        EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n")) << text;
        EXPECT_NE(text.find(" --login-item\n"), std::string::npos) << text;
        EXPECT_EQ(autostartProgram(text), executable);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(autostart()), {}), 1);
    }
    EXPECT_EQ(makeLoginItem("/tab\there")->disable(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entry()));
    // A literal backslash in a quoted argument is written as four.
    EXPECT_NE(autostartEntry("/a b\\c").find("Exec=\"/a b\\\\\\\\c\" --login-item"),
              std::string::npos);
    // Only the main group's Exec line counts, and an unterminated quote reads as nothing.
    EXPECT_EQ(autostartProgram("[Desktop Action x]\nExec=/wrong\n[Desktop Entry]\nExec=/right\n"),
              "/right");
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=\"/unterminated\n"), std::nullopt);
    EXPECT_EQ(autostartProgram("Exec=/outside/any/group\n"), std::nullopt);

    testing::TempDir other;  // the folder follows the environment at each call
    ::setenv("XDG_CONFIG_HOME", other.path().c_str(), 1);
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(other / "autostart/vantrel-agent.desktop"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(item->isEnabled()) << "the default is $HOME/.config";
}

// Only a regular file is an entry. What stands in the way is refused with the system's reason
// (root ignores permission bits, so a file or folder stands in the way instead).
TEST_F(LoginItemTest, AFolderOrFifoInTheEntrysPlaceIsNoEntry) {
    writeFile(autostart(), "not a folder");
    auto failure = item->enable();
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->empty());
    std::filesystem::remove(autostart());
    writeFile(entry() / "keep", "x");
    EXPECT_FALSE(item->isEnabled());
    EXPECT_EQ(item->enable(), "Is a directory");
    EXPECT_EQ(item->disable(), "Directory not empty");
    std::filesystem::remove_all(entry());
    ASSERT_EQ(::mkfifo(entry().c_str(), 0600), 0);
    EXPECT_FALSE(item->isEnabled());
}

}  // namespace
}  // namespace vantrel
