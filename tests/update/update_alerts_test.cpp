#include "update/update_alerts.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(UpdateAlerts, EachResultHasItsMessageAndInformativeText) {
    struct Case {
        UpdateAlert shown;
        UpdateAlert alert;
    } cases[] = {
        {resultAlert(UpdateResult::current("1.4.2")), {"Vantrel Agent 1.4.2 is up to date", ""}},
        {resultAlert(UpdateResult::installed("2.0")),
         {"Updating to 2.0", "Vantrel Agent will restart in a moment."}},
        {resultAlert(UpdateResult::failed(reasons::kNotSigned)),
         {"Could not update",
          "the downloaded app is not signed by Vantrel \u2014 refusing to install it"}},
        {testBuildAlert("127.0.0.1"),
         {"This is a test build",
          "It talks to 127.0.0.1 and does not update itself \u2014 "
          "updating would replace it with the production app."}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.shown, c.alert) << c.alert.message;
    }
}

}  // namespace
}  // namespace vantrel
