#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantrel {

// One diagnostics run as its window shows it: the state, the events that move it and the one
// function that maps them. The window draws the state and carries out the effects.
struct DiagnosticsRun {
    enum class Phase { ready, starting, polling, failed, saving, saved, empty, unsaved };

    Phase phase = Phase::ready;
    int run = 0;           // answers carry the run they were asked for; older ones are dropped
    bool ticking = false;  // the progress poll runs
    double fraction = 0;   // 0 … 1
    std::string status;
    std::string archiveName;
    std::optional<std::filesystem::path> saved;

    bool operator==(const DiagnosticsRun&) const = default;

    // What the controls show.
    const char* startTitle() const;
    bool startEnabled() const;
    bool progressVisible() const;
    bool revealVisible() const { return phase == Phase::saved; }
};

namespace run_event {
struct StartPressed {};
struct StartAnswered {
    int run;
};
struct ProgressAnswered {
    int run;
    std::optional<std::string> body;
};
struct ArchiveFetched {
    int run;
    bool empty;  // no body, or an empty one
};
struct ArchiveWritten {
    int run;
    std::optional<std::filesystem::path> file;  // none: no folder took it
};
struct Closed {};
struct Shown {};
}  // namespace run_event

using RunEvent = std::variant<run_event::StartPressed, run_event::StartAnswered,
                              run_event::ProgressAnswered, run_event::ArchiveFetched,
                              run_event::ArchiveWritten, run_event::Closed, run_event::Shown>;

enum class RunEffect { requestStart, startTicking, stopTicking, fetchArchive, writeArchive };

struct RunStep {
    DiagnosticsRun next;
    std::vector<RunEffect> effects;
};

RunStep advance(DiagnosticsRun state, const RunEvent& event);

}  // namespace vantrel
