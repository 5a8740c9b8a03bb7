#include "diagnostics/diagnostics_run.h"

#include <algorithm>

#include "support/offered_file_name.h"
#include "diagnostics/diagnostics_texts.h"
#include "diagnostics/progress_document.h"

namespace vantrel {
namespace {

namespace texts = diagnostics_texts;
using Phase = DiagnosticsRun::Phase;
using Effects = std::vector<RunEffect>;

bool following(const DiagnosticsRun& state) {
    return state.phase == Phase::starting || state.phase == Phase::polling;
}

RunStep startPressed(DiagnosticsRun state) {
    if (following(state)) {
        return {state, {}};
    }
    ++state.run;
    state.phase = Phase::starting;
    state.fraction = 0;
    state.status = texts::kStarting;
    state.saved.reset();
    return {state, {RunEffect::requestStart}};
}

RunStep startAnswered(DiagnosticsRun state, const run_event::StartAnswered& event) {
    if (event.run != state.run || state.phase != Phase::starting) {
        return {state, {}};
    }
    state.phase = Phase::polling;
    state.ticking = true;
    return {state, {RunEffect::startTicking}};
}

RunStep progressAnswered(DiagnosticsRun state, const run_event::ProgressAnswered& event) {
    const auto document = event.body ? readProgressDocument(*event.body) : std::nullopt;
    if (event.run != state.run || state.phase != Phase::polling || !document) {
        return {state, {}};
    }
    state.fraction = std::clamp(document->fraction, 0.0, 1.0);
    if (document->running) {
        state.status = document->message;
        return {state, {}};
    }
    Effects effects;
    if (state.ticking) {
        effects.push_back(RunEffect::stopTicking);
    }
    state.ticking = false;
    if (!document->error.empty()) {
        state.phase = Phase::failed;
        state.status = texts::failed(document->error);
        return {state, effects};
    }
    state.phase = Phase::saving;
    state.status = texts::kSaving;
    state.archiveName = offeredFileName(document->name);
    effects.push_back(RunEffect::fetchArchive);
    return {state, effects};
}

RunStep archiveFetched(DiagnosticsRun state, const run_event::ArchiveFetched& event) {
    if (event.run != state.run || state.phase != Phase::saving) {
        return {state, {}};
    }
    if (event.empty) {
        state.phase = Phase::empty;
        state.status = texts::kEmpty;
        return {state, {}};
    }
    return {state, {RunEffect::writeArchive}};
}

RunStep archiveWritten(DiagnosticsRun state, const run_event::ArchiveWritten& event) {
    if (event.run != state.run || state.phase != Phase::saving) {
        return {state, {}};
    }
    state.saved = event.file;
    state.phase = event.file ? Phase::saved : Phase::unsaved;
    state.status = event.file ? texts::saved(*event.file) : texts::kUnsaved;
    return {state, {}};
}

// Answers already on their way are still taken; only the ticks stop while the window is closed.
RunStep closed(DiagnosticsRun state) {
    if (!state.ticking) {
        return {state, {}};
    }
    state.ticking = false;
    return {state, {RunEffect::stopTicking}};
}

// A run left unfollowed by a close is followed again.
RunStep shown(DiagnosticsRun state) {
    if (state.phase != Phase::polling || state.ticking) {
        return {state, {}};
    }
    state.ticking = true;
    return {state, {RunEffect::startTicking}};
}

}  // namespace

const char* DiagnosticsRun::startTitle() const {
    if (phase == Phase::ready) {
        return texts::kCollect;
    }
    return following(*this) ? texts::kCollecting : texts::kCollectAgain;
}

bool DiagnosticsRun::startEnabled() const {
    return !following(*this);
}

bool DiagnosticsRun::progressVisible() const {
    return phase != Phase::ready && phase != Phase::failed;
}

RunStep advance(DiagnosticsRun state, const RunEvent& event) {
    struct Visitor {
        DiagnosticsRun& state;
        RunStep operator()(const run_event::StartPressed&) { return startPressed(state); }
        RunStep operator()(const run_event::StartAnswered& e) { return startAnswered(state, e); }
        RunStep operator()(const run_event::ProgressAnswered& e) {
            return progressAnswered(state, e);
        }
        RunStep operator()(const run_event::ArchiveFetched& e) { return archiveFetched(state, e); }
        RunStep operator()(const run_event::ArchiveWritten& e) { return archiveWritten(state, e); }
        RunStep operator()(const run_event::Closed&) { return closed(state); }
        RunStep operator()(const run_event::Shown&) { return shown(state); }
    };
    return std::visit(Visitor{state}, event);
}

}  // namespace vantrel
