#include <gtest/gtest.h>

#include "setup/download_naming.h"
#include "setup/setup_loading.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::readFile;

// The first free name, made empty in a folder made when missing; a file, a folder or a dangling
// link takes a name, and nothing is ever replaced, not even with all 99 names taken.
TEST(DownloadReservation, CreatesTheFirstFreeNameEmptyAndLeavesOthersAlone) {
    testing::TempDir dir;
    const auto folder = dir / "Downloads";
    const auto reserve = [&](const char* name) { return reserveDownloadDestination(folder, name); };
    EXPECT_EQ(reserve("report.pdf").path, folder / "report.pdf");
    testing::writeFile(folder / "report.pdf", "first");
    testing::writeFile(folder / "report 3.pdf", "third");
    EXPECT_EQ(reserve("report.pdf").path, folder / "report 2.pdf");
    std::filesystem::create_directory(folder / "notes");
    std::filesystem::create_symlink(dir / "elsewhere", folder / "notes 2");
    EXPECT_EQ(reserve("notes").path, folder / "notes 3");
    EXPECT_EQ(reserve("a/b/archive.tar.gz").path, folder / "archive.tar.gz");  // the last component
    EXPECT_EQ(reserve("archive.tar.gz").path, folder / "archive.tar 2.gz");
    for (int number = 4; number <= 99; ++number) {
        ASSERT_TRUE(reserve("report.pdf").path) << number;
    }
    const auto full = reserve("report.pdf");
    EXPECT_FALSE(full.path);
    EXPECT_NE(full.error.find("report 99.pdf"), std::string::npos) << full.error;
    EXPECT_EQ(readFile(folder / "report.pdf") + readFile(folder / "report 2.pdf") +
                  readFile(folder / "report 3.pdf") + readFile(folder / "report 99.pdf"),
              "firstthird");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
    const auto refused = reserveDownloadDestination(folder / "report.pdf", "a.csv");
    EXPECT_FALSE(refused.path);
    EXPECT_NE(refused.error.find("Not a directory"), std::string::npos) << refused.error;
}

using enum SetupLoadEvent;
using enum SetupLoadEffect;

SetupLoading at(int attempts, bool requested = false, bool timedOut = false) {
    return {attempts, requested, timedOut};
}

// Each row: what it shows, the state, the event, the next state and the effect.
TEST(SetupLoadingTest, RetriesFailedLoadsWithinTheBudget) {
    using Row =
        std::tuple<const char*, SetupLoading, SetupLoadEvent, SetupLoading, SetupLoadEffect>;
    const Row rows[] = {
        // clang-format off
        {"a failure retries", at(0), failedBeforePage, at(1), scheduleRetry},
        {"the 40th retry still runs", at(39), failedBeforePage, at(40), scheduleRetry},
        {"the 41st does not", at(40), failedBeforePage, at(40), none},
        {"a page restores the budget", at(40), finished, at(0), none},
        {"so does a re-show", at(40), shownAgain, at(0), none},
        {"time-out once begun", at(3, true), started, at(3), startTimeout},
        {"none for a load not asked", at(3), started, at(3), none},
        {"out of time: stopped", at(3), timedOut, at(3, false, true), stopLoading},
        {"its end is a failure", at(3, false, true), stopped, at(4), scheduleRetry},
        {"within the budget", at(40, false, true), stopped, at(40), none},
        {"a stop of its own is none", at(3), stopped, at(3), none},
        {"a request forgets a time-out", at(3, false, true), requested, at(3, true), none},
        {"a late page still counts", at(3, false, true), finished, at(0), none},
        // clang-format on
    };
    for (const auto& [what, given, event, expected, effect] : rows) {
        EXPECT_EQ(advance(given, event).next, expected) << what;
        EXPECT_EQ(advance(given, event).effect, effect) << what;
    }
}

}  // namespace
}  // namespace vantrel
