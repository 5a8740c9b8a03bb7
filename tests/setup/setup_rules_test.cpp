#include <gtest/gtest.h>

#include "setup/download_naming.h"
#include "setup/link_policy.h"
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
    EXPECT_EQ(reserve("report.pdf").path, folder / "report.pdf") << "a missing folder is made";
    testing::writeFile(folder / "report.pdf", "first");
    testing::writeFile(folder / "report 3.pdf", "third");
    EXPECT_EQ(reserve("report.pdf").path, folder / "report 2.pdf") << "the first free number";
    std::filesystem::create_directory(folder / "notes");
    std::filesystem::create_symlink(dir / "elsewhere", folder / "notes 2");
    EXPECT_EQ(reserve("notes").path, folder / "notes 3")
        << "a folder or dangling link takes a name";
    EXPECT_EQ(reserve("a/b/archive.tar.gz").path, folder / "archive.tar.gz") << "the last part";
    EXPECT_EQ(reserve("archive.tar.gz").path, folder / "archive.tar 2.gz");
    for (int number = 4; number <= 99; ++number) {
        ASSERT_TRUE(reserve("report.pdf").path) << "expected a free name up to 99, at " << number;
    }
    const auto full = reserve("report.pdf");
    EXPECT_FALSE(full.path) << "expected none past 99";
    EXPECT_NE(full.error.find("report 99.pdf"), std::string::npos) << full.error;
    EXPECT_EQ(readFile(folder / "report.pdf") + readFile(folder / "report 2.pdf") +
                  readFile(folder / "report 3.pdf") + readFile(folder / "report 99.pdf"),
              "firstthird")
        << "expected nothing replaced";
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere")) << "expected the link not followed";
    const auto refused = reserveDownloadDestination(folder / "report.pdf", "a.csv");
    EXPECT_FALSE(refused.path) << "expected no name in a file";
    EXPECT_NE(refused.error.find("Not a directory"), std::string::npos) << refused.error;
}

// A dot that starts or ends a name begins no extension.
TEST(DownloadCandidates, TheNumberGoesBeforeTheExtension) {
    const std::pair<const char*, const char*> rows[] = {
        {"report.pdf", "report 2.pdf"}, {".profile", ".profile 2"}, {"notes.", "notes. 2"}};
    for (const auto& [name, second] : rows) {
        EXPECT_EQ(downloadCandidates(name).at(1), second) << "the second name for " << name;
    }
}

// The agent's own pages (no host, or 127.0.0.1 or localhost in any scheme) stay in the window;
// an address naming any other host, or one the parser refuses after "scheme://", opens outside.
TEST(LinkPolicy, OnlyTheAgentsOwnPagesStayInTheWindow) {
    for (const char* url : {"http://127.0.0.1:8787/pair", "http://localhost:8787/",
                            "vantrel://localhost/x", "file:///etc/hosts", "about:blank"}) {
        EXPECT_EQ(decideLink(url), LinkDecision::stayInView) << url << " expected in view";
    }
    for (const char* url : {"https://example.com/", "http://localhost./", "http://[::1/"}) {
        EXPECT_EQ(decideLink(url), LinkDecision::openOutside) << url << " expected outside";
    }
}

using enum SetupLoadEvent;
using enum SetupLoadEffect;
using Row = std::tuple<const char*, SetupLoading, SetupLoadEvent, SetupLoading, SetupLoadEffect>;

// Each row: what it shows, the state, the event, the next state and the effect.
TEST(SetupLoadingTest, RetriesFailedLoadsWithinTheBudget) {
    const Row rows[] = {
        // clang-format off
        {"a failure retries", {0}, failedBeforePage, {1}, scheduleRetry},
        {"the 40th retry still runs", {39}, failedBeforePage, {40}, scheduleRetry},
        {"the 41st does not", {40}, failedBeforePage, {40}, none},
        {"a page restores the budget", {40}, finished, {0}, none},
        {"so does a re-show", {40}, shownAgain, {0}, none},
        {"time-out once begun", {3, true}, started, {3}, startTimeout},
        {"none for a load not asked", {3}, started, {3}, none},
        {"out of time: stopped", {3}, timedOut, {3, false, true}, stopLoading},
        {"its end is a failure", {3, false, true}, stopped, {4}, scheduleRetry},
        {"within the budget", {40, false, true}, stopped, {40}, none},
        {"a stop of its own forgets the request", {3, true}, stopped, {3}, none},
        {"a request forgets a time-out", {3, false, true}, requested, {3, true}, none},
        {"a late page still counts", {3, false, true}, finished, {0}, none},
        // clang-format on
    };
    for (const auto& [what, given, event, expected, effect] : rows) {
        EXPECT_EQ(advance(given, event).next, expected) << what;
        EXPECT_EQ(advance(given, event).effect, effect) << what;
    }
}

}  // namespace
}  // namespace vantrel
