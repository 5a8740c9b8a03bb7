#pragma once

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/diagnostics_client.h"
#include "diagnostics/diagnostics_run.h"
#include "diagnostics/diagnostics_view.h"
#include "support/task_queue.h"
#include "support/workspace.h"

namespace vantrel {

// The window that has the agent collect a diagnostics archive, follows its progress and saves
// the result for the user. It draws a DiagnosticsRun and carries out what the run asks for.
// Built on the first show(); closing only hides it and stops polling.
class DiagnosticsWindow final : public QObject {
    Q_OBJECT

  public:
    static constexpr int kPollMilliseconds = 700;

    // The exchange runs on `background`; its answers come back on `mainQueue`.
    // `dataFolder` keeps the archive when the desktop folder cannot.
    DiagnosticsWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<TaskQueue> background,
                      std::shared_ptr<TaskQueue> mainQueue, std::filesystem::path dataFolder,
                      QObject* parent = nullptr);
    ~DiagnosticsWindow() override;

    void show();
    void startRun();
    void revealSaved();

    // Points the requests at another agent, such as a reference agent on a test port.
    void setBaseForTesting(const std::string& base);
    QWidget* windowForTesting() const { return view_.window.get(); }
    const DiagnosticsRun& runForTesting() const { return run_; }

    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Turns an answer into the run's event; called only while the window exists.
    using Answer =
        std::function<RunEvent(DiagnosticsWindow& self, int run, std::optional<std::string> body)>;

    void build();
    void present();
    void handle(const RunEvent& event);
    void carryOut(RunEffect effect);
    void request(const char* path, Answer answer);
    void writeArchive();

    std::shared_ptr<Workspace> workspace_;
    std::shared_ptr<TaskQueue> background_;
    std::shared_ptr<TaskQueue> mainQueue_;
    std::filesystem::path dataFolder_;
    DiagnosticsClient client_;
    DiagnosticsView view_;
    QTimer poller_;
    DiagnosticsRun run_;
    std::string archive_;  // the fetched bytes, while they are being written
};

}  // namespace vantrel
