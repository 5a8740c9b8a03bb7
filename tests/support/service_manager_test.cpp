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

}  // namespace
}  // namespace vantrel::testing
