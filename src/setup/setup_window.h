#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>

#include "support/alerts.h"
#include "support/task_queue.h"
#include "support/workspace.h"

class QWebEngineLoadingInfo;
class QWebEngineProfile;
class QWebEngineView;
class QWidget;

namespace vantrel {

// The window onto the agent's own setup page at http://127.0.0.1:8787. Built on the first show();
// closing it only hides it. Failed loads are retried on `retryQueue` (the Qt main queue when
// none is given).
class SetupWindow : public QObject {
    Q_OBJECT
  public:
    SetupWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<Alerts> alerts,
                QObject* parent = nullptr, std::shared_ptr<TaskQueue> retryQueue = nullptr);
    ~SetupWindow() override;

    void show();
    bool isOpen() const;

    QWidget* windowForTesting() const { return window_.get(); }
    QWebEngineView* webViewForTesting() const { return webView_; }
    std::int64_t attemptsForTesting() const { return attempts_; }
    void setLoadTimeoutForTesting(int milliseconds) { loadTimeout_.setInterval(milliseconds); }

    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void build();
    void placeWindow();
    void bringForward();
    void load();
    void loadingChanged(const QWebEngineLoadingInfo& info);
    void loadTimedOut();
    void scheduleRetry();

    std::shared_ptr<Workspace> workspace_;
    std::shared_ptr<Alerts> alerts_;
    std::shared_ptr<TaskQueue> retryQueue_;
    QWebEngineProfile* profile_ = nullptr;
    std::unique_ptr<QWidget> window_;
    QWebEngineView* webView_ = nullptr;
    std::int64_t attempts_ = 0;
    QTimer loadTimeout_;
    bool timedOut_ = false;
};

}  // namespace vantrel
