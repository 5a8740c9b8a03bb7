#pragma once

#include <QLocalServer>
#include <QObject>

#include <filesystem>

namespace vantrel {

// The running desktop instance's end of the reopen handover (reopen_request.h): answers each
// second start's request and announces it.
class ReopenServer final : public QObject {
    Q_OBJECT

  public:
    explicit ReopenServer(QObject* parent = nullptr);

    // Only the holder of the instance lock listens, so a socket file found there was left by an
    // instance that died and is replaced. False when listening fails.
    bool listen(const std::filesystem::path& socket);

  signals:
    void reopenRequested();

  private:
    void accept();

    QLocalServer server_;
};

}  // namespace vantrel
