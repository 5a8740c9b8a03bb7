#pragma once

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/diagnostics_client.h"
#include "support/task_queue.h"
#include "support/workspace.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace vantrel {

struct ProgressDocument;

// The window that has the agent collect a diagnostics archive, follows its progress and saves
// the result for the user. Built on the first show(); closing only hides it and stops polling.
// A run still in progress when the window is shown again is followed again.
class DiagnosticsWindow final : public QObject {
    Q_OBJECT

  public:
    static constexpr int kPollMilliseconds = 700;

    DiagnosticsWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<TaskQueue> background,
                      QObject* parent = nullptr);
    ~DiagnosticsWindow() override;

    void show();
    void startRun();
    void revealSaved();

    // Points the requests at another agent, such as a reference agent on a test port.
    void setBaseForTesting(const std::string& base);
    QWidget* windowForTesting() const { return window_.get(); }
    bool isPollingForTesting() const { return poller_.isActive(); }

    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void build();
    void present();
    void windowWillClose();
    void startPolling();
    void poll();
    void handleProgress(const ProgressDocument& document);
    void download(const std::string& name);
    void saveArchiveBytes(const std::string& bytes, const std::string& name);
    std::optional<std::filesystem::path> write(const std::string& bytes, const std::string& name);
    void runEnded();
    void say(const std::string& text);

    std::shared_ptr<Workspace> workspace_;
    std::shared_ptr<TaskQueue> background_;
    DiagnosticsClient client_;
    std::unique_ptr<QWidget> window_;
    QProgressBar* progress_ = nullptr;
    QLabel* label_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* revealButton_ = nullptr;
    QTimer poller_;
    std::optional<std::filesystem::path> saved_;
    int run_ = 0;                 // which run the answers in flight belong to
    bool following_ = false;      // a run was started and has not been reported over
    bool startAnswered_ = false;  // its start request has completed
};

}  // namespace vantrel
