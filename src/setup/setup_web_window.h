#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

#include "setup/setup_loading.h"
#include "support/alerts.h"
#include "support/task_queue.h"
#include "support/workspace.h"

class QSettings;
class QWebEngineLoadingInfo;
class QWebEngineProfile;
class QWebEngineView;
class QWidget;

namespace vantrel {

class SetupDownloads;

// The window onto the agent's own setup page at http://127.0.0.1:8787, in the setup window's own
// process. Closing it ends nothing by itself: `ended` tells the process that it may go, once no
// download runs. A show() after a close loads the page anew with the whole retry budget.
class SetupWebWindow : public QObject {
    Q_OBJECT
  public:
    // Failed loads are retried on `mainQueue`; `settings` keeps the window's frame.
    SetupWebWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<Alerts> alerts,
                   std::shared_ptr<QSettings> settings, std::shared_ptr<TaskQueue> mainQueue,
                   double loadTimeoutSeconds = SetupLoading::kLoadTimeoutSeconds,
                   QObject* parent = nullptr);
    ~SetupWebWindow() override;

    void show();
    void close();

    QWidget* windowForTesting() const { return window_.get(); }
    QWebEngineView* webViewForTesting() const { return webView_; }
    const SetupLoading& loadingForTesting() const { return loading_; }

    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    // The window was shown, minimised, restored, hidden or closed.
    void stateChanged(bool visible, bool minimised);
    // Closed with no download running.
    void ended();

  private:
    void buildWindow();
    void placeWindow();
    void load();
    void loadingChanged(const QWebEngineLoadingInfo& info);
    void step(SetupLoadEvent event);
    void endIfClosed();

    std::shared_ptr<Workspace> workspace_;
    std::shared_ptr<Alerts> alerts_;
    std::shared_ptr<QSettings> settings_;
    std::shared_ptr<TaskQueue> mainQueue_;
    std::unique_ptr<QWidget> window_;
    QWebEngineProfile* profile_ = nullptr;
    SetupDownloads* downloads_ = nullptr;
    QWebEngineView* webView_ = nullptr;
    SetupLoading loading_;
    QTimer loadTimeout_;
};

}  // namespace vantrel
