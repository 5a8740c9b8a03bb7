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
    std::filesystem::path entry() const { return config() / "autostart/vantrel-agent.desktop"; }
    std::filesystem::path config() const { return home.home() / ".config"; }

    testing::SandboxedHome home;
    const std::filesystem::path executable = "/opt/Vantrel Agent/bin/VantrelAgent";
    std::unique_ptr<LoginItem> item = makeLoginItem(executable);
};

TEST_F(LoginItemTest, EnableWritesTheEntryThatReadsBackAndDisableRemovesIt) {
    EXPECT_FALSE(item->isEnabled());
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(item->isEnabled());
    EXPECT_EQ(readFile(entry()), autostartEntry(executable));
    // Written whole: nothing but the entry is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry().parent_path()), {}), 1);

    EXPECT_EQ(item->disable(), std::nullopt);
    EXPECT_FALSE(item->isEnabled());
    EXPECT_FALSE(std::filesystem::exists(entry()));
}

TEST_F(LoginItemTest, AnEntryForAnotherExecutableIsNotOursAndEnablingReplacesIt) {
    writeFile(entry(), autostartEntry("/elsewhere/VantrelAgent"));
    EXPECT_FALSE(item->isEnabled());
    EXPECT_TRUE(makeLoginItem("/elsewhere/VantrelAgent")->isEnabled());
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(item->isEnabled());
}

TEST_F(LoginItemTest, AFolderOrFifoInTheEntrysPlaceIsNoEntry) {
    std::filesystem::create_directories(entry());
    EXPECT_FALSE(item->isEnabled());
    std::filesystem::remove(entry());
    ASSERT_EQ(::mkfifo(entry().c_str(), 0600), 0);
    EXPECT_FALSE(item->isEnabled());
}

TEST_F(LoginItemTest, TheConfigFolderFollowsTheEnvironmentAtEachCall) {
    testing::TempDir other;
    ::setenv("XDG_CONFIG_HOME", other.path().c_str(), 1);
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(other / "autostart/vantrel-agent.desktop"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(item->isEnabled()) << "the default is $HOME/.config";
}

// Root ignores permission bits, so the folder is made unusable by a file standing in its place.
TEST_F(LoginItemTest, AnAutostartFolderThatCannotBeMadeGivesTheSystemsReason) {
    writeFile(config() / "autostart", "not a folder");
    auto failure = item->enable();
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->empty());
    EXPECT_FALSE(item->isEnabled());

    std::filesystem::remove(config() / "autostart");
    std::filesystem::create_directories(entry());  // a folder where the entry goes
    writeFile(entry() / "keep", "x");
    failure = item->enable();
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "Is a directory");
    failure = item->disable();
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "Directory not empty");
}

}  // namespace
}  // namespace vantrel
