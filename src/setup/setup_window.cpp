#include "setup/setup_window.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QWidget>

#include "setup/setup_downloads.h"
#include "setup/setup_page.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

const char* const kAddress = "http://127.0.0.1:8787";
const char* const kFrameName = "SetupWindow";
constexpr int kLoadTimeoutMilliseconds = 60'000;
constexpr std::int64_t kRetryBudget = 40;
constexpr double kRetryDelaySeconds = 0.5;

QSettings frameSettings() {
    return QSettings(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent"));
}

// An HTTP error status still delivers a page; every other failure means no page came at all.
bool failedBeforePage(const QWebEngineLoadingInfo& info) {
    return info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
           info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain;
}

}  // namespace

SetupWindow::SetupWindow(std::shared_ptr<Workspace> workspace, std::shared_ptr<Alerts> alerts,
                         QObject* parent, std::shared_ptr<TaskQueue> retryQueue)
    : QObject(parent),
      workspace_(std::move(workspace)),
      alerts_(std::move(alerts)),
      retryQueue_(retryQueue ? std::move(retryQueue) : std::make_shared<QtMainQueue>()) {
    loadTimeout_.setSingleShot(true);
    loadTimeout_.setInterval(kLoadTimeoutMilliseconds);
    connect(&loadTimeout_, &QTimer::timeout, this, &SetupWindow::loadTimedOut);
}

// The page goes before the profile it was made with.
SetupWindow::~SetupWindow() {
    window_.reset();
}

void SetupWindow::show() {
    if (!window_) {
        build();
        load();
    } else if (!window_->isVisible()) {
        attempts_ = 0;
        load();
    }
    bringForward();
}

bool SetupWindow::isOpen() const {
    return window_ && window_->isVisible();
}

void SetupWindow::build() {
    // A private profile without an HTTP cache: every load reaches the agent.
    profile_ = new QWebEngineProfile(this);
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    new SetupDownloads(profile_, workspace_, alerts_, this);

    window_ = std::make_unique<QWidget>();
    window_->setWindowTitle(QStringLiteral("Vantrel Agent"));
    webView_ = new QWebEngineView(window_.get());
    webView_->setPage(new SetupPage(profile_, workspace_, webView_));
    connect(webView_->page(), &QWebEnginePage::loadingChanged, this, &SetupWindow::loadingChanged);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(webView_);
    placeWindow();
    window_->installEventFilter(this);
}

// Centred at 940 × 760 unless an earlier run saved a frame.
void SetupWindow::placeWindow() {
    auto area = QGuiApplication::primaryScreen()->availableGeometry();
    window_->setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, QSize(940, 760), area));
    auto saved = frameSettings().value(kFrameName).toByteArray();
    if (!saved.isEmpty()) {
        window_->restoreGeometry(saved);
    }
}

bool SetupWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
         event->type() == QEvent::Hide)) {
        frameSettings().setValue(kFrameName, window_->saveGeometry());
    }
    return QObject::eventFilter(watched, event);
}

void SetupWindow::bringForward() {
    window_->show();
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->raise();
    window_->activateWindow();
}

void SetupWindow::load() {
    timedOut_ = false;
    webView_->load(QUrl(QString::fromLatin1(kAddress)));
    loadTimeout_.start();
}

void SetupWindow::loadingChanged(const QWebEngineLoadingInfo& info) {
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        return;
    }
    loadTimeout_.stop();
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
        attempts_ = 0;
    } else if (failedBeforePage(info) || timedOut_) {
        scheduleRetry();
    }
    timedOut_ = false;
}

// Stopping the load ends it; that end then counts as a failure.
void SetupWindow::loadTimedOut() {
    timedOut_ = true;
    webView_->stop();
}

void SetupWindow::scheduleRetry() {
    if (attempts_ >= kRetryBudget) {
        return;
    }
    ++attempts_;
    retryQueue_->postAfter(kRetryDelaySeconds, [window = QPointer<SetupWindow>(this)] {
        if (window && window->webView_) {
            window->load();
        }
    });
}

}  // namespace vantrel
