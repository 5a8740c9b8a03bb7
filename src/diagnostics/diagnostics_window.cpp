#include "diagnostics/diagnostics_window.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "diagnostics/archive_file.h"
#include "diagnostics/diagnostics_texts.h"
#include "diagnostics/progress_document.h"
#include "support/paths.h"
#include "support/platform_words.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

namespace texts = diagnostics_texts;
constexpr int kWidth = 460;
constexpr int kHeight = 250;
constexpr int kProgressSteps = 1000;

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* makeLabel(const QString& text, double points, bool bold, bool secondary) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setPointSizeF(points);
    font.setBold(bold);
    label->setFont(font);
    if (secondary) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        label->setPalette(palette);
    }
    return label;
}

}  // namespace

DiagnosticsWindow::DiagnosticsWindow(std::shared_ptr<Workspace> workspace,
                                     std::shared_ptr<TaskQueue> background, QObject* parent)
    : QObject(parent),
      workspace_(std::move(workspace)),
      background_(background),
      client_(std::move(background), std::make_shared<QtMainQueue>()) {
    poller_.setInterval(kPollMilliseconds);
    connect(&poller_, &QTimer::timeout, this, &DiagnosticsWindow::poll);
}

DiagnosticsWindow::~DiagnosticsWindow() = default;

void DiagnosticsWindow::setBaseForTesting(const std::string& base) {
    client_ = DiagnosticsClient(background_, std::make_shared<QtMainQueue>(), base);
}

void DiagnosticsWindow::show() {
    if (!window_) {
        build();
    }
    present();
}

void DiagnosticsWindow::build() {
    window_ =
        std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                               Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window_->setWindowTitle(QString::fromUtf8(texts::kTitle));
    auto* stack = new QVBoxLayout(window_.get());
    stack->setContentsMargins(20, 20, 20, 20);
    stack->setSpacing(10);

    auto* heading = makeLabel(QString::fromUtf8(texts::kHeading), 15, true, false);
    heading->setObjectName(QStringLiteral("heading"));
    stack->addWidget(heading, 0, Qt::AlignLeft);
    auto* explanation = makeLabel(QString::fromUtf8(texts::kExplanationStart) +
                                      QString::fromUtf8(platform_words::kNothingLeaves),
                                  12, false, true);
    explanation->setObjectName(QStringLiteral("explanation"));
    explanation->setWordWrap(true);
    explanation->setFixedWidth(400);
    stack->addWidget(explanation, 0, Qt::AlignLeft);

    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setRange(0, kProgressSteps);
    progress_->setTextVisible(false);
    progress_->hide();
    stack->addWidget(progress_);
    label_ = makeLabel(QString(), 11, false, true);
    label_->setObjectName(QStringLiteral("status"));
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack->addWidget(label_);

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    startButton_ = new QPushButton(QString::fromUtf8(texts::kCollect));
    startButton_->setObjectName(QStringLiteral("start"));
    startButton_->setDefault(true);
    connect(startButton_, &QPushButton::clicked, this, &DiagnosticsWindow::startRun);
    revealButton_ = new QPushButton(QString::fromUtf8(platform_words::kReveal));
    revealButton_->setObjectName(QStringLiteral("reveal"));
    revealButton_->hide();
    connect(revealButton_, &QPushButton::clicked, this, &DiagnosticsWindow::revealSaved);
    row->addWidget(startButton_);
    row->addWidget(revealButton_);
    row->addStretch();
    stack->addLayout(row);
    stack->addStretch();

    // A plain window has no default button of its own, so Return is bound here.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        connect(new QShortcut(QKeySequence(key), window_.get()), &QShortcut::activated,
                startButton_, &QPushButton::animateClick);
    }
    window_->setFixedSize(kWidth, kHeight);
    window_->installEventFilter(this);
}

// Centred anew every time. A run left unfollowed by a close is followed again.
void DiagnosticsWindow::present() {
    const auto area = QGuiApplication::primaryScreen()->availableGeometry();
    window_->setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window_->size(), area));
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (following_ && startAnswered_ && !poller_.isActive()) {
        startPolling();
    }
}

bool DiagnosticsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close) {
        windowWillClose();
    }
    return QObject::eventFilter(watched, event);
}

// Answers already on their way are still handled; only the ticks stop.
void DiagnosticsWindow::windowWillClose() {
    poller_.stop();
}

void DiagnosticsWindow::startRun() {
    if (!window_ || !startButton_->isEnabled()) {
        return;
    }
    startButton_->setEnabled(false);
    startButton_->setText(QString::fromUtf8(texts::kCollecting));
    revealButton_->hide();
    progress_->show();
    progress_->setValue(0);
    say(texts::kStarting);
    saved_.reset();
    ++run_;
    following_ = true;
    startAnswered_ = false;
    client_.request("api/diagnostics/start",
                    [self = QPointer(this), run = run_](std::optional<std::string>) {
                        if (self && run == self->run_) {
                            self->startAnswered_ = true;
                            self->startPolling();
                        }
                    });
}

void DiagnosticsWindow::startPolling() {
    poller_.start();
}

// Ticks do not wait for earlier answers; each is handled as it comes, while the run is followed.
void DiagnosticsWindow::poll() {
    client_.request("api/diagnostics/progress",
                    [self = QPointer(this), run = run_](std::optional<std::string> body) {
                        if (!self || run != self->run_ || !self->following_ || !body) {
                            return;
                        }
                        if (auto document = readProgressDocument(*body)) {
                            self->handleProgress(*document);
                        }
                    });
}

void DiagnosticsWindow::handleProgress(const ProgressDocument& document) {
    const double fraction = std::clamp(document.fraction, 0.0, 1.0);
    progress_->setValue(static_cast<int>(std::lround(fraction * kProgressSteps)));
    if (document.running) {
        say(document.message);
        return;
    }
    runEnded();
    if (!document.error.empty()) {
        progress_->hide();
        say(texts::failed(document.error));
        return;
    }
    say(texts::kSaving);
    download(archiveFileName(document.name));
}

void DiagnosticsWindow::runEnded() {
    poller_.stop();
    following_ = false;
    startButton_->setEnabled(true);
    startButton_->setText(QString::fromUtf8(texts::kCollectAgain));
}

void DiagnosticsWindow::download(const std::string& name) {
    client_.request("api/diagnostics/download",
                    [self = QPointer(this), run = run_, name](std::optional<std::string> body) {
                        if (!self || run != self->run_) {
                            return;
                        }
                        if (!body || body->empty()) {
                            self->say(texts::kEmpty);
                            return;
                        }
                        self->saveArchiveBytes(*body, name);
                    });
}

void DiagnosticsWindow::saveArchiveBytes(const std::string& bytes, const std::string& name) {
    auto file = write(bytes, name);
    if (!file) {
        return;
    }
    saved_ = *file;
    revealButton_->show();
    say(texts::saved(*file));
}

std::optional<std::filesystem::path> DiagnosticsWindow::write(const std::string& bytes,
                                                              const std::string& name) {
    std::vector<std::filesystem::path> folders;
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty()) {
        folders.emplace_back(desktop.toStdString());
    }
    folders.push_back(Paths::support());
    auto file = saveArchive(bytes, name, folders);
    if (!file) {
        say(texts::kUnsaved);
    }
    return file;
}

void DiagnosticsWindow::revealSaved() {
    if (saved_) {
        workspace_->revealFile(*saved_);
    }
}

// The window keeps its width and takes the height its content needs.
void DiagnosticsWindow::say(const std::string& text) {
    label_->setText(qt(text));
    QLayout* content = window_->layout();
    content->activate();
    const int height = content->hasHeightForWidth() ? content->totalHeightForWidth(window_->width())
                                                    : content->totalSizeHint().height();
    if (height > 0 && height != window_->height()) {
        window_->setFixedSize(window_->width(), height);
    }
}

}  // namespace vantrel
