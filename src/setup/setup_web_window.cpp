#include "setup/setup_web_window.h"

#include <QEvent>
#include <QPointer>
#include <QSettings>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QWidget>

#include <cmath>

#include "setup/setup_downloads.h"
#include "setup/setup_page.h"
#include "support/qt_window.h"

namespace vantrel {
namespace {

const char* const kAddress = "http://127.0.0.1:8787";
const char* const kFrameName = "SetupWindow";

SetupLoadEvent endOf(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
        case QWebEngineLoadingInfo::LoadSucceededStatus:
            return SetupLoadEvent::finished;
        case QWebEngineLoadingInfo::LoadFailedStatus:
            // An HTTP error status still delivers a page.
            return info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain
                       ? SetupLoadEvent::finished
                       : SetupLoadEvent::failedBeforePage;
        default:
            return SetupLoadEvent::stopped;
    }
}

}  // namespace

SetupWebWindow::SetupWebWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<Alerts> alerts,
                               std::shared_ptr<QSettings> settings,
                               std::shared_ptr<TaskQueue> mainQueue, double loadTimeoutSeconds,
                               QObject* parent)
    : QObject(parent),
      workspace_(std::move(workspace)),
      alerts_(std::move(alerts)),
      settings_(std::move(settings)),
      mainQueue_(std::move(mainQueue)) {
    loadTimeout_.setSingleShot(true);
    loadTimeout_.setInterval(static_cast<int>(std::lround(loadTimeoutSeconds * 1000)));
    connect(&loadTimeout_, &QTimer::timeout, this, [this] { step(SetupLoadEvent::timedOut); });
}

// The page goes before the profile it was made with.
SetupWebWindow::~SetupWebWindow() {
    window_.reset();
}

void SetupWebWindow::show() {
    if (!window_) {
        buildWindow();
        load();
    } else if (!window_->isVisible()) {
        step(SetupLoadEvent::shownAgain);
        load();
    }
    bringForward(*window_);
}

void SetupWebWindow::close() {
    if (window_) {
        window_->close();
    }
}

// The window, its page and a private profile without an HTTP cache: every load reaches the agent.
void SetupWebWindow::buildWindow() {
    window_ = std::make_unique<QWidget>();
    window_->setWindowTitle(QStringLiteral("Vantrel Agent"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    profile_ = new QWebEngineProfile(this);
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    downloads_ = new SetupDownloads(profile_, workspace_, alerts_, profile_);
    connect(downloads_, &SetupDownloads::idle, this, &SetupWebWindow::endIfClosed,
            Qt::QueuedConnection);
    webView_ = new QWebEngineView(window_.get());
    webView_->setPage(new SetupPage(profile_, workspace_, webView_));
    connect(webView_->page(), &QWebEnginePage::loadingChanged, this,
            &SetupWebWindow::loadingChanged);
    layout->addWidget(webView_);
    placeWindow();
    window_->installEventFilter(this);
}

// Centred at 940 × 760 unless an earlier run saved a frame.
void SetupWebWindow::placeWindow() {
    centre(*window_, QSize(940, 760));
    auto saved = settings_->value(kFrameName).toByteArray();
    if (!saved.isEmpty()) {
        window_->restoreGeometry(saved);
    }
}

bool SetupWebWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_.get()) {
        return QObject::eventFilter(watched, event);
    }
    const auto type = event->type();
    if (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Hide) {
        settings_->setValue(kFrameName, window_->saveGeometry());
    }
    if (type == QEvent::Show || type == QEvent::Hide || type == QEvent::WindowStateChange) {
        emit stateChanged(window_->isVisible(), window_->isMinimized());
    }
    // Once the close has taken effect, and only if it did.
    if (type == QEvent::Close) {
        QTimer::singleShot(0, this, &SetupWebWindow::endIfClosed);
    }
    return QObject::eventFilter(watched, event);
}

// A download still running keeps the window's process until it ends.
void SetupWebWindow::endIfClosed() {
    if (!window_->isVisible() && !downloads_->busy()) {
        loadTimeout_.stop();
        emit ended();
    }
}

void SetupWebWindow::load() {
    step(SetupLoadEvent::requested);
    webView_->load(QUrl(QString::fromLatin1(kAddress)));
}

void SetupWebWindow::loadingChanged(const QWebEngineLoadingInfo& info) {
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        step(SetupLoadEvent::started);
        return;
    }
    loadTimeout_.stop();
    step(endOf(info));
}

void SetupWebWindow::step(SetupLoadEvent event) {
    const auto [next, effect] = advance(loading_, event);
    loading_ = next;
    if (effect == SetupLoadEffect::startTimeout) {
        loadTimeout_.start();
    } else if (effect == SetupLoadEffect::stopLoading) {
        webView_->stop();
    } else if (effect == SetupLoadEffect::scheduleRetry) {
        mainQueue_->postAfter(SetupLoading::kRetryDelaySeconds,
                              [window = QPointer<SetupWebWindow>(this)] {
                                  if (window) {
                                      window->load();
                                  }
                              });
    }
}

}  // namespace vantrel
