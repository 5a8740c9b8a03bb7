#include "app/reopen_server.h"

#include <QLocalSocket>

#include "app/reopen_request.h"

namespace vantrel {
namespace {

// A request is a few bytes; a peer that sends more is not one of ours.
constexpr qint64 kLongestRequest = 64;

}  // namespace

ReopenServer::ReopenServer(QObject* parent) : QObject(parent) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &ReopenServer::accept);
}

bool ReopenServer::listen(const std::filesystem::path& socket) {
    if (socket.empty()) {
        return false;
    }
    auto name = QString::fromStdString(socket.string());
    QLocalServer::removeServer(name);
    return server_.listen(name);
}

void ReopenServer::accept() {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
            if (peer->bytesAvailable() > kLongestRequest) {
                peer->abort();
                return;
            }
            if (!peer->canReadLine()) {
                return;
            }
            bool ours = peer->readLine(kLongestRequest).toStdString() == kReopenRequest;
            if (ours) {
                emit reopenRequested();
                peer->write(kReopenAcknowledged.data(),
                            static_cast<qint64>(kReopenAcknowledged.size()));
            }
            peer->disconnectFromServer();
        });
    }
}

}  // namespace vantrel
