#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/notify_listener.h"
#include "support/service_manager.h"
#include "support/temp_dir.h"

namespace vantrel::testing {
namespace {

// Readiness, a status line made one line and the way out, each a datagram of its own. (A socket
// named by its path: the headless run's test.)
TEST(ServiceNotifierTest, SendsEachMessageToAnAbstractSocketAndTakesOnlyUsableNames) {
    const std::string name = "@vantrel-notify-test-" + std::to_string(::getpid());
    NotifyListener manager(name);
    ASSERT_TRUE(manager.bound()) << "expected the socket bound";
    ServiceNotifier notifier(name);
    EXPECT_TRUE(notifier.active()) << "expected the socket taken";
    notifier.ready();
    notifier.status("Solar 2.5 kW \u00b7 exporting\n1.23 kW\r");
    notifier.stopping();
    eventually([&] { return manager.messages(0.1).size() >= 3; });
    EXPECT_EQ(manager.messages(),
              (std::vector<std::string>{"READY=1", "STATUS=Solar 2.5 kW \u00b7 exporting 1.23 kW ",
                                        "STOPPING=1"}));
    for (const std::string name : {"", "relative/notify", "@"}) {
        EXPECT_FALSE(ServiceNotifier(name).active()) << "expected no socket for \"" << name << '"';
    }
}

// The manager names the stream by device and inode; any other descriptor is not it.
TEST(JournalStreamTest, OnlyTheDescriptorWhoseDeviceAndInodeAreNamedIsTheJournal) {
    auto [readEnd, writeEnd] = makePipe(O_CLOEXEC);
    ASSERT_TRUE(writeEnd.valid()) << "expected a pipe";
    struct stat status {};
    ASSERT_EQ(::fstat(writeEnd.get(), &status), 0);
    const std::string named = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    EXPECT_TRUE(isJournalStream(writeEnd.get(), named)) << "expected " << named << " to name it";
    EXPECT_FALSE(isJournalStream(writeEnd.get(), named + "1")) << "expected another inode not";
    EXPECT_FALSE(isJournalStream(writeEnd.get(), "")) << "expected no journal without a name";
    EXPECT_FALSE(isJournalStream(UniqueFd(::open("/", O_RDONLY | O_CLOEXEC)).get(), named))
        << "expected another file not to be the journal";
}

}  // namespace
}  // namespace vantrel::testing
