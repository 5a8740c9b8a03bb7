#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/notify_listener.h"
#include "support/service_manager.h"
#include "support/temp_dir.h"

namespace vantrel::testing {
namespace {

// Through a socket by path and an abstract one: readiness, a status line made one line, the way
// out, each a datagram of its own.
TEST(ServiceNotifierTest, SendsEachMessageToTheSocketNamedByPathOrAbstractName) {
    TempDir folder;
    const std::string names[] = {(folder.path() / "notify").string(),
                                 "@vantrel-notify-test-" + std::to_string(::getpid())};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        NotifyListener manager(name);
        ASSERT_TRUE(manager.bound());
        ServiceNotifier notifier(name);
        EXPECT_TRUE(notifier.active());
        notifier.ready();
        notifier.status("Solar 2.5 kW \u00b7 exporting\n1.23 kW\r");
        notifier.stopping();
        ASSERT_TRUE(manager.waitFor("STOPPING=1", 10));
        const std::vector<std::string> expected = {
            "READY=1", "STATUS=Solar 2.5 kW \u00b7 exporting 1.23 kW ", "STOPPING=1"};
        EXPECT_EQ(manager.messages(), expected);
    }
}

TEST(ServiceNotifierTest, WithoutAManagersSocketNothingIsSent) {
    for (const std::string name : {"", "relative/notify", "@"}) {
        EXPECT_FALSE(ServiceNotifier(name).active()) << name;
    }
}

// The manager names the stream by device and inode; any other descriptor is not it.
TEST(JournalStreamTest, OnlyTheDescriptorWhoseDeviceAndInodeAreNamedIsTheJournal) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    struct stat status {};
    ASSERT_EQ(::fstat(writeEnd.get(), &status), 0);
    const std::string named = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    EXPECT_TRUE(isJournalStream(writeEnd.get(), named));
    EXPECT_FALSE(isJournalStream(writeEnd.get(), named + "1"));
    EXPECT_FALSE(isJournalStream(writeEnd.get(), ""));
    TempDir folder;
    UniqueFd file(::open(folder.path().c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(isJournalStream(file.get(), named));
}

}  // namespace
}  // namespace vantrel::testing
