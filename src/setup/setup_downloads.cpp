#include "setup/setup_downloads.h"

#include <QDir>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>

#include "setup/download_naming.h"

namespace vantrel {
namespace {

const char* const kFailureMessage = "The file could not be saved";

// The engine knows interruptions that this version's texts do not: those it would describe as
// "canceled by the user", which no user did.
QString failureReason(const QWebEngineDownloadRequest& request) {
    constexpr int kContentLengthMismatch = 38;
    constexpr int kCrossOriginRedirect = 39;
    switch (static_cast<int>(request.interruptReason())) {
        case kContentLengthMismatch:
            return QStringLiteral("The server ended the transfer before the whole file arrived.");
        case kCrossOriginRedirect:
            return QStringLiteral("The server redirected the download to another site.");
        default:
            return request.interruptReasonString();
    }
}

std::filesystem::path toPath(const QString& text) {
    return std::filesystem::path(text.toStdString());
}

}  // namespace

SetupDownloads::SetupDownloads(QWebEngineProfile* profile, std::shared_ptr<Workspace> workspace,
                               std::shared_ptr<Alerts> alerts, QObject* parent)
    : QObject(parent), workspace_(std::move(workspace)), alerts_(std::move(alerts)) {
    connect(profile, &QWebEngineProfile::downloadRequested, this, &SetupDownloads::start);
}

std::filesystem::path SetupDownloads::downloadsFolder() {
    auto folders = QStandardPaths::standardLocations(QStandardPaths::DownloadLocation);
    return toPath(folders.isEmpty() ? QDir::homePath() : folders.first());
}

void SetupDownloads::start(QWebEngineDownloadRequest* request) {
    if (auto known = destinations_.find(request->id()); known != destinations_.end()) {
        accept(request, known->second);
        return;
    }
    auto reserved =
        reserveDownloadDestination(downloadsFolder(), request->suggestedFileName().toStdString());
    if (!reserved.path) {
        request->cancel();
        fail(QString::fromStdString(reserved.error));
        return;
    }
    destinations_[request->id()] = *reserved.path;
    accept(request, *reserved.path);
}

void SetupDownloads::accept(QWebEngineDownloadRequest* request,
                            const std::filesystem::path& destination) {
    request->setDownloadDirectory(QString::fromStdString(destination.parent_path().string()));
    request->setDownloadFileName(QString::fromStdString(destination.filename().string()));
    connect(request, &QWebEngineDownloadRequest::stateChanged, this,
            [this, request] { stateChanged(request); });
    request->accept();
}

// A download ends once, although the engine may report an interruption and then a cancellation.
void SetupDownloads::stateChanged(QWebEngineDownloadRequest* request) {
    auto state = request->state();
    auto known = destinations_.find(request->id());
    if (known == destinations_.end() || state == QWebEngineDownloadRequest::DownloadRequested ||
        state == QWebEngineDownloadRequest::DownloadInProgress) {
        return;
    }
    auto destination = known->second;
    destinations_.erase(known);
    if (state == QWebEngineDownloadRequest::DownloadCompleted) {
        workspace_->revealFile(destination);
    } else {
        // The reserved name belongs to this download alone; a failed one leaves nothing behind.
        std::error_code ignored;
        std::filesystem::remove(destination, ignored);
        fail(failureReason(*request));
    }
    if (destinations_.empty()) {
        emit idle();
    }
}

void SetupDownloads::fail(const QString& reason) {
    alerts_->show(kFailureMessage, reason.toStdString());
}

}  // namespace vantrel
