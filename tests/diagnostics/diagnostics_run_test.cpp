#include "diagnostics/diagnostics_run.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Phase = DiagnosticsRun::Phase;
using E = RunEffect;
namespace ev = run_event;

DiagnosticsRun at(Phase phase, int run = 1, bool ticking = false) {
    DiagnosticsRun state;
    state.phase = phase;
    state.run = run;
    state.ticking = ticking;
    return state;
}

// A state of run 1 with what the window shows.
DiagnosticsRun showing(Phase phase, double fraction, std::string status, std::string name = "") {
    return {.phase = phase,
            .run = 1,
            .fraction = fraction,
            .status = status,
            .archiveName = name,
            .saved = std::nullopt};
}

ev::ProgressAnswered progress(const char* body, int run = 1) {
    return {run, body ? std::optional<std::string>(body) : std::nullopt};
}

struct Row {
    const char* what;
    DiagnosticsRun given;
    RunEvent event;
    DiagnosticsRun expected;
    std::vector<RunEffect> effects;
};

TEST(DiagnosticsRunTest, EachEventMovesTheRunAsTheWindowShowsIt) {
    const auto polling = at(Phase::polling, 1, true);
    const auto saving = showing(Phase::saving, 0, "", "a.zip");
    const auto savedFile = std::filesystem::path("/home/u/Desktop/a.zip");
    auto listening = polling;
    listening.status = "Listening";
    auto reading = listening, held = polling;
    reading.fraction = 0.4;
    held.fraction = 1;
    auto before = showing(Phase::saved, 1, "");
    before.run = 3;
    before.saved = "/old.zip";
    auto after = at(Phase::starting, 4);
    after.status = "Starting…";
    auto saved = showing(Phase::saved, 0, "", "a.zip");
    saved.saved = savedFile;
    saved.status = "Saved to /home/u/Desktop/a.zip\n\nEmail it to support@vantrel.energy.";
    const Row rows[] = {
        {"a press starts a new run", before, ev::StartPressed{}, after, {E::requestStart}},
        {"a press while following does nothing", polling, ev::StartPressed{}, polling, {}},
        {"the start's answer starts the ticks",
         at(Phase::starting),
         ev::StartAnswered{1},
         polling,
         {E::startTicking}},
        {"an older run's start answer is dropped",
         at(Phase::starting, 2),
         ev::StartAnswered{1},
         at(Phase::starting, 2),
         {}},
        {"running: the message and fraction show",
         polling,
         progress(R"({"running": true, "fraction": 0.4, "message": "Listening"})"),
         reading,
         {}},
        {"running without a message empties the text",
         listening,
         progress(R"({"running": true, "fraction": "half"})"),
         polling,
         {}},
        {"a fraction outside 0…1 is held inside",
         polling,
         progress(R"({"running": true, "fraction": 7})"),
         held,
         {}},
        {"no body is ignored", polling, progress(nullptr), polling, {}},
        {"a body that is not an object is ignored", polling, progress("[1]"), polling, {}},
        {"an older run's answer is dropped",
         polling,
         progress(R"({"running": false})", 0),
         polling,
         {}},
        {"an answer while starting is dropped",
         at(Phase::starting),
         progress(R"({"running": false})"),
         at(Phase::starting),
         {}},
        {"an error ends the run as failed",
         polling,
         progress(R"({"running": false, "fraction": 0.5, "error": "no spool"})"),
         showing(Phase::failed, 0.5, "Could not collect it: no spool"),
         {E::stopTicking}},
        {"over without an error fetches the archive under its name",
         polling,
         progress(R"({"running": false, "fraction": 1, "error": "", "name": "../x/d.zip"})"),
         showing(Phase::saving, 1, "Saving…", "d.zip"),
         {E::stopTicking, E::fetchArchive}},
        {"no \"running\" ends it too, under the default name, closed or not",
         at(Phase::polling),
         progress("{}"),
         showing(Phase::saving, 0, "Saving…", "vantrel-diagnostics.zip"),
         {E::fetchArchive}},
        {"an empty archive is said",
         saving,
         ev::ArchiveFetched{1, true},
         showing(Phase::empty, 0, "The file came back empty.", "a.zip"),
         {}},
        {"a real archive is written",
         saving,
         ev::ArchiveFetched{1, false},
         saving,
         {E::writeArchive}},
        {"an older run's archive is dropped", saving, ev::ArchiveFetched{0, false}, saving, {}},
        {"written: saved, with where and whom to send it",
         saving,
         ev::ArchiveWritten{1, savedFile},
         saved,
         {}},
        {"no folder took it",
         saving,
         ev::ArchiveWritten{1, std::nullopt},
         showing(Phase::unsaved, 0, "Could not save the file anywhere writable.", "a.zip"),
         {}},
        {"closing stops the ticks", polling, ev::Closed{}, at(Phase::polling), {E::stopTicking}},
        {"showing again follows a run closed midway",
         at(Phase::polling),
         ev::Shown{},
         polling,
         {E::startTicking}},
        {"showing while the start is out waits for it",
         at(Phase::starting),
         ev::Shown{},
         at(Phase::starting),
         {}},
    };
    for (const auto& row : rows) {
        const auto [next, effects] = advance(row.given, row.event);
        EXPECT_EQ(next, row.expected) << row.what;
        EXPECT_EQ(effects, row.effects) << row.what;
    }
}

TEST(DiagnosticsRunTest, ControlsFollowThePhase) {
    struct Controls {
        Phase phase;
        std::string title;
        bool enabled, progress, reveal;
    };
    const Controls table[] = {
        {Phase::ready, "Collect diagnostics", true, false, false},
        {Phase::starting, "Collecting…", false, true, false},
        {Phase::polling, "Collecting…", false, true, false},
        {Phase::failed, "Collect again", true, false, false},
        {Phase::saving, "Collect again", true, true, false},
        {Phase::saved, "Collect again", true, true, true},
        {Phase::empty, "Collect again", true, true, false},
        {Phase::unsaved, "Collect again", true, true, false},
    };
    for (const auto& row : table) {
        const auto state = at(row.phase);
        EXPECT_EQ(state.startTitle(), row.title);
        EXPECT_EQ(state.startEnabled(), row.enabled) << row.title;
        EXPECT_EQ(state.progressVisible(), row.progress) << row.title;
        EXPECT_EQ(state.revealVisible(), row.reveal) << row.title;
    }
}

}  // namespace
}  // namespace vantrel
