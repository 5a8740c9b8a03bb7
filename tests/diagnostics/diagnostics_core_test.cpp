#include <gtest/gtest.h>

#include "diagnostics/archive_file.h"
#include "diagnostics/diagnostics_client.h"
#include "diagnostics/diagnostics_run.h"
#include "support/manual_queue.h"
#include "support/offered_file_name.h"

namespace vantrel {
namespace {

// The fuzz target proves every name safe and a safe one kept; these rows pin the others.
TEST(OfferedFileNameTest, KeepsTheNameInsideTheFolderAndVisible) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "vantrel-diagnostics.zip"},
        {"../../.bashrc", "bashrc"},
        {"a/..", "vantrel-diagnostics.zip"},
        {"a/.", "vantrel-diagnostics.zip"},
        {std::string("report.zip\0/../../x", 19), "report.zip"}};
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(offeredFileName(name), expected) << "offered: " << name;
    }
}

// An earlier file is replaced whole; the support folder takes it when the Desktop's target is a
// folder, the Desktop a file or no Desktop; nowhere when no folder can be made.
TEST(SaveArchiveTest, WritesToTheFirstFolderThatTakesTheFile) {
    testing::TempDir dir;
    const auto desktop = dir / "Desktop", support = dir / "share" / "Vantrel";
    const auto folders = archiveFolders(desktop, support);
    testing::writeFile(desktop / "a.zip", "PK a longer, earlier archive");
    std::filesystem::create_directories(desktop / "b.zip");
    EXPECT_EQ(saveArchive("PK short", "a.zip", folders), desktop / "a.zip");
    EXPECT_EQ(testing::readFile(desktop / "a.zip"), "PK short") << "expected replaced whole";
    EXPECT_FALSE(std::filesystem::exists(dir / "share")) << "expected the next folder untouched";
    EXPECT_EQ(saveArchive("PK", "b.zip", folders), support / "b.zip") << "a folder in its place";
    EXPECT_EQ(archiveFolders("", support), std::vector{support})
        << "expected only the support folder without a Desktop";
    std::filesystem::remove_all(desktop);
    testing::writeFile(desktop, "a file where the Desktop should be");
    EXPECT_EQ(saveArchive("PK", "c.zip", folders), support / "c.zip") << "a file as the Desktop";
    EXPECT_EQ(saveArchive("PK", "c.zip", {desktop / "Vantrel"}), std::nullopt)
        << "no folder can be made";
}

// The answer, or none when nobody answered, comes on the main queue, never inline (the window's
// run asks a real agent); a body is taken only up to a bound.
TEST(DiagnosticsClientTest, AnswersOnTheMainQueue) {
    auto background = std::make_shared<testing::ManualQueue>(),
         main = std::make_shared<testing::ManualQueue>();
    DiagnosticsClient client(background, main, "", [](const HttpRequest& request) {
        EXPECT_TRUE(request.longestBody > 0 && request.longestBody <= (1u << 30))
            << "expected a bounded body, not " << request.longestBody;
        return HttpResult{};
    });
    std::vector<std::optional<std::string>> answers;
    client.request("api/diagnostics/archive", [&](auto body) { answers.push_back(body); });
    background->runDue();
    EXPECT_TRUE(answers.empty()) << "expected the answer to wait for the main queue";
    main->runDue();
    EXPECT_EQ(answers, std::vector<std::optional<std::string>>{std::nullopt});
}

using enum DiagnosticsRun::Phase;
using enum RunEffect;
using namespace run_event;

// A state of run 1 (unless given) with what the window shows.
DiagnosticsRun S(DiagnosticsRun::Phase phase, bool ticking = false, double fraction = 0,
                 std::string status = "", std::string name = "", int run = 1) {
    return {phase, run, ticking, fraction, std::move(status), std::move(name), {}};
}

ProgressAnswered P(const char* body, int run = 1) {
    return {run, body ? std::optional<std::string>(body) : std::nullopt};
}

// Each row: what it shows, the state, the event, the next state and the effects (the window's
// scenario takes a run through to the end). The progress bodies also pin how the agent's answer is
// read: only members of the right JSON type count (the fuzz target holds the rest).
TEST(DiagnosticsRunTest, EachEventMovesTheRunAsTheWindowShowsIt) {
    auto old = S(saved, false, 1, "", "", 3);
    old.saved = "/old.zip";
    const auto following = S(polling, true), fetching = S(saving, false, 0, "", "a.zip");
    const auto unnamed = S(saving, false, 0, "Saving…", "vantrel-diagnostics.zip");
    const auto listening = S(polling, true, 0.4, "Listening");
    using Effects = std::vector<RunEffect>;
    const std::tuple<const char*, DiagnosticsRun, RunEvent, DiagnosticsRun, Effects> rows[] = {
        // clang-format off
        {"a press starts a new run", old, StartPressed{}, S(starting, 0, 0, "Starting…", "", 4),
         {requestStart}},
        {"a press while following does nothing", following, StartPressed{}, following, {}},
        {"an older run's start answer is dropped", S(starting, 0, 0, "", "", 2), StartAnswered{1},
         S(starting, 0, 0, "", "", 2), {}},
        {"a second start answer is dropped", following, StartAnswered{1}, following, {}},
        {"running: the message and fraction show", following,
         P(R"({"running":true,"fraction":0.4,"message":"Listening"})"), listening, {}},
        {"running, a message or fraction of another type empties them", listening,
         P(R"({"running":true,"fraction":"half","message":7})"), following, {}},
        {"a fraction outside 0…1 is held inside", following, P(R"({"running":true,"fraction":7})"),
         S(polling, true, 1), {}},
        {"so is one below 0", listening, P(R"({"running":true,"fraction":-2})"), following, {}},
        {"no body is ignored", following, P(nullptr), following, {}},
        {"a body that is no JSON object is ignored", following, P("[]"), following, {}},
        {"an older run's answer is dropped", following, P("{}", 0), following, {}},
        {"an answer while starting is dropped", S(starting), P("{}"), S(starting), {}},
        {"an error ends the run as failed", following,
         P(R"({"running":"true","fraction":0.5,"error":"no spool"})"),
         S(failed, false, 0.5, "Could not collect it: no spool"), {stopTicking}},
        {"over without an error fetches the archive under its name", following,
         P(R"({"running":false,"fraction":1,"error":"","name":"../x/d.zip"})"),
         S(saving, false, 1, "Saving…", "d.zip"), {stopTicking, fetchArchive}},
        {"no \"running\" and an error of no string end it, closed or not, under the default name",
         S(polling), P(R"({"error":false})"), unnamed, {fetchArchive}},
        {"an empty archive is said", fetching, ArchiveFetched{1, true},
         S(empty, false, 0, "The file came back empty.", "a.zip"), {}},
        {"an older run's archive is dropped", fetching, ArchiveFetched{0, false}, fetching, {}},
        {"no folder took it", fetching, ArchiveWritten{1, std::nullopt},
         S(unsaved, false, 0, "Could not save the file anywhere writable.", "a.zip"), {}},
        {"closing stops the ticks", following, Closed{}, S(polling), {stopTicking}},
        {"a show follows a run closed midway", S(polling), Shown{}, following, {startTicking}},
        {"a show while the start is out waits for it", S(starting), Shown{}, S(starting), {}},
        {"a show while followed changes nothing", following, Shown{}, following, {}},
        // clang-format on
    };
    for (const auto& [what, given, event, expected, effects] : rows) {
        EXPECT_EQ(advance(given, event).next, expected) << what;
        EXPECT_EQ(advance(given, event).effects, effects) << what;
    }
}

}  // namespace
}  // namespace vantrel
