#include "diagnostics/diagnostics_window.h"

#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QWidget>

#include "diagnostics/archive_file.h"
#include "support/qt_window.h"

namespace vantrel {

DiagnosticsWindow::DiagnosticsWindow(std::shared_ptr<Workspace> workspace,
                                     std::shared_ptr<TaskQueue> background,
                                     std::shared_ptr<TaskQueue> mainQueue,
                                     std::filesystem::path dataFolder, QObject* parent)
    : QObject(parent),
      workspace_(std::move(workspace)),
      background_(std::move(background)),
      mainQueue_(std::move(mainQueue)),
      dataFolder_(std::move(dataFolder)),
      client_(background_, mainQueue_) {
    poller_.setInterval(kPollMilliseconds);
    connect(&poller_, &QTimer::timeout, this, [this] {
        request("api/diagnostics/progress", [](auto&, int run, std::optional<std::string> body) {
            return run_event::ProgressAnswered{run, std::move(body)};
        });
    });
}

DiagnosticsWindow::~DiagnosticsWindow() = default;

void DiagnosticsWindow::setBaseForTesting(const std::string& base) {
    client_ = DiagnosticsClient(background_, mainQueue_, base);
}

void DiagnosticsWindow::show() {
    if (!view_.window) {
        build();
    }
    present();
}

void DiagnosticsWindow::build() {
    view_ = DiagnosticsView::build();
    connect(view_.start, &QPushButton::clicked, this, &DiagnosticsWindow::startRun);
    connect(view_.reveal, &QPushButton::clicked, this, &DiagnosticsWindow::revealSaved);
    view_.window->installEventFilter(this);
    view_.draw(run_);
}

// Centred anew every time.
void DiagnosticsWindow::present() {
    centre(*view_.window, view_.window->size());
    bringForward(*view_.window);
    handle(run_event::Shown{});
}

bool DiagnosticsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_.window.get() && event->type() == QEvent::Close) {
        handle(run_event::Closed{});
    }
    return QObject::eventFilter(watched, event);
}

void DiagnosticsWindow::startRun() {
    if (view_.window) {
        handle(run_event::StartPressed{});
    }
}

void DiagnosticsWindow::revealSaved() {
    if (run_.saved) {
        workspace_->revealFile(*run_.saved);
    }
}

void DiagnosticsWindow::handle(const RunEvent& event) {
    auto [next, effects] = advance(run_, event);
    run_ = std::move(next);
    view_.draw(run_);
    for (auto effect : effects) {
        carryOut(effect);
    }
}

void DiagnosticsWindow::carryOut(RunEffect effect) {
    switch (effect) {
        case RunEffect::requestStart:
            return request("api/diagnostics/start",
                           [](auto&, int run, auto) { return run_event::StartAnswered{run}; });
        case RunEffect::startTicking:
            return poller_.start();
        case RunEffect::stopTicking:
            return poller_.stop();
        case RunEffect::fetchArchive:
            return request("api/diagnostics/download",
                           [](DiagnosticsWindow& self, int run, std::optional<std::string> body) {
                               self.archive_ = std::move(body).value_or("");
                               return run_event::ArchiveFetched{run, self.archive_.empty()};
                           });
        case RunEffect::writeArchive:
            return writeArchive();
    }
}

// Each answer names the run it was asked for; an answer for a window that is gone is dropped.
void DiagnosticsWindow::request(const char* path, Answer answer) {
    client_.request(path, [self = QPointer(this), run = run_.run,
                           answer = std::move(answer)](std::optional<std::string> body) {
        if (self) {
            self->handle(answer(*self, run, std::move(body)));
            self->archive_.clear();
        }
    });
}

void DiagnosticsWindow::writeArchive() {
    const auto desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const auto folders = archiveFolders(desktop.toStdString(), dataFolder_);
    handle(run_event::ArchiveWritten{run_.run, saveArchive(archive_, run_.archiveName, folders)});
}

}  // namespace vantrel
