#include "update/update_alerts.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(UpdateAlerts, EachResultHasItsMessageAndInformativeText) {
    struct Case {
        UpdateResult result;
        UpdateAlert alert;
    };
    const Case cases[] = {
        {UpdateResult::current("1.4.2"), {"Vantrel Agent 1.4.2 is up to date", ""}},
        {UpdateResult::installed("2.0"),
         {"Updating to 2.0", "Vantrel Agent will restart in a moment."}},
        {UpdateResult::failed("could not reach updates.vantrel.energy"),
         {"Could not update", "could not reach updates.vantrel.energy"}},
        {UpdateResult::failed(reasons::kNotSigned),
         {"Could not update",
          "the downloaded app is not signed by Vantrel \u2014 refusing to install it"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resultAlert(c.result), c.alert) << c.result.text();
    }
}

TEST(UpdateAlerts, ATestBuildNamesItsApiAndRefuses) {
    EXPECT_EQ(testBuildAlert("127.0.0.1"),
              (UpdateAlert{"This is a test build",
                           "It talks to 127.0.0.1 and does not update itself \u2014 updating "
                           "would replace it with the production app."}));
}

TEST(UpdateAlerts, TheReasonsOfTheFirstStagesAreWordedExactly) {
    EXPECT_EQ(reasons::couldNotReach("updates.vantrel.energy"),
              "could not reach updates.vantrel.energy");
    EXPECT_EQ(reasons::cannotReplaceItself("2.1"),
              "2.1 is available, but this copy of the app is somewhere it cannot replace itself. "
              "Install it in a folder you can write to, such as ~/.local/opt.");
}

}  // namespace
}  // namespace vantrel
