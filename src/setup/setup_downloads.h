#pragma once

#include <QObject>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>

#include "support/alerts.h"
#include "support/workspace.h"

class QWebEngineDownloadRequest;
class QWebEngineProfile;

namespace vantrel {

// Saves every download of a profile into the user's Downloads folder under a name that is free,
// shows the finished file in the file manager and reports a failed one in an alert.
class SetupDownloads final : public QObject {
    Q_OBJECT
  public:
    SetupDownloads(QWebEngineProfile* profile, std::shared_ptr<Workspace> workspace,
                   std::shared_ptr<Alerts> alerts, QObject* parent = nullptr);

    // The Downloads folder, or the home folder when the desktop names none.
    static std::filesystem::path downloadsFolder();

    // Whether a download is still running.
    bool busy() const { return !destinations_.empty(); }

  signals:
    // The last running download has ended.
    void idle();

  private:
    void start(QWebEngineDownloadRequest* request);
    void accept(QWebEngineDownloadRequest* request, const std::filesystem::path& destination);
    void stateChanged(QWebEngineDownloadRequest* request);
    void fail(const QString& reason);

    std::shared_ptr<Workspace> workspace_;
    std::shared_ptr<Alerts> alerts_;
    // Destinations of the downloads in progress, by download id. The engine resumes a broken
    // download by asking again under the same id; it keeps the name reserved the first time.
    std::map<std::uint32_t, std::filesystem::path> destinations_;
};

}  // namespace vantrel
