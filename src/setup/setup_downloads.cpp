#include "setup/setup_downloads.h"

#include <QDir>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>

#include "setup/download_naming.h"

namespace vantrel {
namespace {

const char* const kFailureMessage = "The file could not be saved";

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
    auto reserved =
        reserveDownloadDestination(downloadsFolder(), request->suggestedFileName().toStdString());
    if (!reserved.path) {
        request->cancel();
        fail(QString::fromStdString(reserved.error));
        return;
    }
    request->setDownloadDirectory(QString::fromStdString(reserved.path->parent_path().string()));
    request->setDownloadFileName(QString::fromStdString(reserved.path->filename().string()));
    follow(request, *reserved.path);
    request->accept();
}

void SetupDownloads::follow(QWebEngineDownloadRequest* request,
                            const std::filesystem::path& destination) {
    connect(request, &QWebEngineDownloadRequest::stateChanged, this,
            [this, request, destination](QWebEngineDownloadRequest::DownloadState state) {
                if (state == QWebEngineDownloadRequest::DownloadCompleted) {
                    workspace_->revealFile(destination);
                } else if (state == QWebEngineDownloadRequest::DownloadInterrupted ||
                           state == QWebEngineDownloadRequest::DownloadCancelled) {
                    // The reserved name belongs to this download alone; a failed one leaves
                    // nothing.
                    std::error_code ignored;
                    std::filesystem::remove(destination, ignored);
                    fail(request->interruptReasonString());
                }
            });
}

void SetupDownloads::fail(const QString& reason) {
    alerts_->show(kFailureMessage, reason.toStdString());
}

}  // namespace vantrel
