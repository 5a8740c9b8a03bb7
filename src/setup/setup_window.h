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

// The window onto the agent's own setup page at http://127.0.0.1:8787. The window is built on the
// first show() and kept; closing it releases the web view, its page, profile and renderer, so a
// closed window costs nothing, and the next show() loads the page anew.
class SetupWindow : public QObject {
    Q_OBJECT
  public:
    // Failed loads are retried on `mainQueue`; `settings` keeps the window's frame.
    SetupWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<Alerts> alerts,
                std::shared_ptr<QSettings> settings, std::shared_ptr<TaskQueue> mainQueue,
                double loadTimeoutSeconds = SetupLoading::kLoadTimeoutSeconds,
                QObject* parent = nullptr);
    ~SetupWindow() override;

    void show();
    bool isOpen() const;

    QWidget* windowForTesting() const { return window_.get(); }
    // None while the window is closed.
    QWebEngineView* webViewForTesting() const { return webView_; }
    const SetupLoading& loadingForTesting() const { return loading_; }

    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildWindow();
    void buildView();
    void releaseView();
    void placeWindow();
    void bringForward();
    void load();
    void loadingChanged(const QWebEngineLoadingInfo& info);
    void step(SetupLoadEvent event);

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
