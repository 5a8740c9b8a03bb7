#include <gtest/gtest.h>

#include "setup/download_naming.h"
#include "setup/setup_loading.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::TempDir;
using testing::writeFile;

// The first free name, made empty; nothing is ever replaced, not even with all 99 names taken. A
// folder or a dangling link counts as taken; a missing folder is made, an unusable one reported.
TEST(DownloadReservation, CreatesTheFirstFreeNameEmptyAndLeavesOthersAlone) {
    struct Row {
        const char* suggested;
        std::vector<std::string> taken;
        const char* expected;
    };
    const Row rows[] = {
        {"report.pdf", {"report.pdf", "report 3.pdf"}, "report 2.pdf"},
        {"notes", {"notes"}, "notes 2"},
        {"archive.tar.gz", {"archive.tar.gz"}, "archive.tar 2.gz"},
        {"", {"vantrel-diagnostics.zip"}, "vantrel-diagnostics 2.zip"},
        {"a/b/c.txt", {"c.txt"}, "c 2.txt"},  // a path keeps only its last component
    };
    for (const auto& row : rows) {
        TempDir dir;
        for (const auto& name : row.taken) {
            writeFile(dir / name, "old " + name);
        }
        auto reserved = reserveDownloadDestination(dir.path(), row.suggested);
        ASSERT_EQ(reserved.path, dir / row.expected) << row.suggested << reserved.error;
        EXPECT_EQ(std::filesystem::file_size(*reserved.path), 0u);
        for (const auto& name : row.taken) {
            EXPECT_EQ(testing::readFile(dir / name), "old " + name);
        }
    }
    TempDir dir;
    for (const auto& name : downloadCandidates("report.pdf")) {
        writeFile(dir / name, name);
    }
    auto full = reserveDownloadDestination(dir.path(), "report.pdf");
    EXPECT_FALSE(full.path.has_value());
    EXPECT_NE(full.error.find("report 99.pdf"), std::string::npos) << full.error;
    EXPECT_EQ(testing::readFile(dir / "report 99.pdf"), "report 99.pdf");
    std::filesystem::create_directory(dir / "notes");
    std::filesystem::create_symlink(dir / "elsewhere", dir / "notes 2");
    EXPECT_EQ(reserveDownloadDestination(dir.path(), "notes").path, dir / "notes 3");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
    EXPECT_EQ(reserveDownloadDestination(dir / "Downloads", "a.csv").path,
              dir / "Downloads" / "a.csv");
    auto refused = reserveDownloadDestination(dir / "report.pdf", "a.csv");
    EXPECT_FALSE(refused.path.has_value());
    EXPECT_NE(refused.error.find("Not a directory"), std::string::npos) << refused.error;
}

using Event = SetupLoadEvent;
using Effect = SetupLoadEffect;

SetupLoading at(int attempts, bool requested = false, bool timedOut = false) {
    return {attempts, requested, timedOut};
}

TEST(SetupLoadingTest, RetriesFailedLoadsWithinTheBudget) {
    struct Row {
        const char* what;
        SetupLoading given;
        Event event;
        SetupLoading expected;
        Effect effect;
    };
    // Each row: what it shows, the state, the event, the next state and the effect.
    const Row rows[] = {
        {"a failure retries", at(0), Event::failedBeforePage, at(1), Effect::scheduleRetry},
        {"the 40th retry still runs", at(39), Event::failedBeforePage, at(40),
         Effect::scheduleRetry},
        {"the 41st does not", at(40), Event::failedBeforePage, at(40), Effect::none},
        {"a page restores the budget", at(40), Event::finished, at(0), Effect::none},
        {"so does a re-show", at(40), Event::shownAgain, at(0), Effect::none},
        {"time-out once begun", at(3, true), Event::started, at(3), Effect::startTimeout},
        {"none for a load not asked", at(3), Event::started, at(3), Effect::none},
        {"out of time: stopped", at(3), Event::timedOut, at(3, false, true), Effect::stopLoading},
        {"its end is a failure", at(3, false, true), Event::stopped, at(4), Effect::scheduleRetry},
        {"within the budget", at(40, false, true), Event::stopped, at(40), Effect::none},
        {"a stop of its own is none", at(3), Event::stopped, at(3), Effect::none},
        {"a request forgets a time-out", at(3, false, true), Event::requested, at(3, true),
         Effect::none},
        {"a late page still counts", at(3, false, true), Event::finished, at(0), Effect::none},
    };
    for (const auto& row : rows) {
        const auto [next, effect] = advance(row.given, row.event);
        EXPECT_EQ(next, row.expected) << row.what;
        EXPECT_EQ(effect, row.effect) << row.what;
    }
}

}  // namespace
}  // namespace vantrel
