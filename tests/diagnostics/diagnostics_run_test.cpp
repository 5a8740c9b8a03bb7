#include "diagnostics/diagnostics_run.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using enum DiagnosticsRun::Phase;
using enum RunEffect;
using namespace run_event;

// A state of run 1 (unless given) with what the window shows.
DiagnosticsRun S(DiagnosticsRun::Phase phase, bool ticking = false, double fraction = 0,
                 std::string status = "", std::string name = "", int run = 1) {
    return {.phase = phase,
            .run = run,
            .ticking = ticking,
            .fraction = fraction,
            .status = std::move(status),
            .archiveName = std::move(name),
            .saved = {}};
}

ProgressAnswered P(const char* body, int run = 1) {
    return {run, body ? std::optional<std::string>(body) : std::nullopt};
}

// Each row: what it shows, the state, the event, the next state and the effects. The progress
// bodies also pin how the agent's answer is read: only members of the right JSON type count.
TEST(DiagnosticsRunTest, EachEventMovesTheRunAsTheWindowShowsIt) {
    const auto file = std::filesystem::path("/home/u/Desktop/a.zip");
    auto before = S(saved, false, 1, "", "", 3), done = S(saved, false, 0, "", "a.zip");
    before.saved = "/old.zip";
    done.saved = file;
    done.status = "Saved to /home/u/Desktop/a.zip\n\nEmail it to support@vantrel.energy.";
    const auto following = S(polling, true), fetching = S(saving, false, 0, "", "a.zip");
    const struct {
        const char* what;
        DiagnosticsRun given;
        RunEvent event;
        DiagnosticsRun expected;
        std::vector<RunEffect> effects;
    } rows[] = {
        // clang-format off
        {"a press starts a new run", before, StartPressed{}, S(starting, 0, 0, "Starting…", "", 4),
         {requestStart}},
        {"a press while following does nothing", following, StartPressed{}, following, {}},
        {"the start's answer starts the ticks", S(starting), StartAnswered{1}, following,
         {startTicking}},
        {"an older run's start answer is dropped", S(starting, 0, 0, "", "", 2), StartAnswered{1},
         S(starting, 0, 0, "", "", 2), {}},
        {"running: the message and fraction show", following,
         P(R"({"running": true, "fraction": 0.4, "message": "Listening"})"),
         S(polling, true, 0.4, "Listening"), {}},
        {"running, a message or fraction of another type empties them",
         S(polling, true, 0.4, "Listening"),
         P(R"({"running": true, "fraction": "half", "message": 7})"), following, {}},
        {"a fraction outside 0…1 is held inside", following,
         P(R"({"running": true, "fraction": 7})"), S(polling, true, 1), {}},
        {"no body is ignored", following, P(nullptr), following, {}},
        {"a body that is not an object is ignored", following, P(R"([{"running": true}])"),
         following, {}},
        {"an older run's answer is dropped", following, P(R"({"running": false})", 0), following,
         {}},
        {"an answer while starting is dropped", S(starting), P(R"({"running": false})"),
         S(starting), {}},
        {"an error ends the run as failed", following,
         P(R"({"running": "true", "fraction": 0.5, "error": "no spool"})"),
         S(failed, false, 0.5, "Could not collect it: no spool"), {stopTicking}},
        {"over without an error fetches the archive under its name", following,
         P(R"({"running": false, "fraction": 1, "error": "", "name": "../x/d.zip"})"),
         S(saving, false, 1, "Saving…", "d.zip"), {stopTicking, fetchArchive}},
        {"running 1, error false and name 3 end it under the default name", following,
         P(R"({"running": 1, "fraction": null, "error": false, "name": 3})"),
         S(saving, false, 0, "Saving…", "vantrel-diagnostics.zip"), {stopTicking, fetchArchive}},
        {"no \"running\" ends it too, closed or not", S(polling), P("{}"),
         S(saving, false, 0, "Saving…", "vantrel-diagnostics.zip"), {fetchArchive}},
        {"an empty archive is said", fetching, ArchiveFetched{1, true},
         S(empty, false, 0, "The file came back empty.", "a.zip"), {}},
        {"a real archive is written", fetching, ArchiveFetched{1, false}, fetching, {writeArchive}},
        {"an older run's archive is dropped", fetching, ArchiveFetched{0, false}, fetching, {}},
        {"written: saved, with where and whom to send it", fetching, ArchiveWritten{1, file}, done,
         {}},
        {"no folder took it", fetching, ArchiveWritten{1, std::nullopt},
         S(unsaved, false, 0, "Could not save the file anywhere writable.", "a.zip"), {}},
        {"closing stops the ticks", following, Closed{}, S(polling), {stopTicking}},
        {"showing again follows a run closed midway", S(polling), Shown{}, following,
         {startTicking}},
        {"showing while the start is out waits for it", S(starting), Shown{}, S(starting), {}},
        // clang-format on
    };
    for (const auto& row : rows) {
        const auto [next, effects] = advance(row.given, row.event);
        EXPECT_EQ(next, row.expected) << row.what;
        EXPECT_EQ(effects, row.effects) << row.what;
    }
}

TEST(DiagnosticsRunTest, ControlsFollowThePhase) {
    const struct {
        DiagnosticsRun::Phase phase;
        std::string title;
        bool enabled, progress, reveal;
    } rows[] = {
        {ready, "Collect diagnostics", true, false, false},
        {starting, "Collecting…", false, true, false},
        {polling, "Collecting…", false, true, false},
        {failed, "Collect again", true, false, false},
        {saving, "Collect again", true, true, false},
        {saved, "Collect again", true, true, true},
        {empty, "Collect again", true, true, false},
        {unsaved, "Collect again", true, true, false},
    };
    for (const auto& row : rows) {
        const auto state = S(row.phase);
        EXPECT_EQ(state.startTitle(), row.title);
        EXPECT_EQ(state.startEnabled(), row.enabled) << row.title;
        EXPECT_EQ(state.progressVisible(), row.progress) << row.title;
        EXPECT_EQ(state.revealVisible(), row.reveal) << row.title;
    }
}

}  // namespace
}  // namespace vantrel
