#include "fake_login_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <QDBusError>

#include <stdexcept>

namespace vantrel::testing {

PrivateSystemBus::PrivateSystemBus() {
    auto socket = dir_ / "system_bus_socket";
    writeFile(dir_ / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <listen>unix:path=" +
                  socket.string() +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow user=\"*\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "    <allow send_destination=\"*\"/>\n"
                  "    <allow receive_sender=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
    UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    auto started = ChildProcess::spawn(
        {"/usr/bin/dbus-daemon",
         {"--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--nopidfile"},
         currentEnvironment(),
         quiet.get()});
    if (!started.child) {
        throw std::runtime_error("could not start dbus-daemon");
    }
    daemon_ = std::move(started.child);
    if (!eventually([&] { return std::filesystem::exists(socket); })) {
        throw std::runtime_error("dbus-daemon did not listen");
    }
    address_ = QString::fromStdString("unix:path=" + socket.string());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toUtf8().constData(), 1);
}

PrivateSystemBus::~PrivateSystemBus() {
    daemon_->signal(SIGTERM);
    daemon_->wait();
}

FakeLoginManager::FakeLoginManager(const QString& busAddress)
    : bus_(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-login-manager"))) {
    registered_ = bus_.registerObject(QStringLiteral("/org/freedesktop/login1"), this,
                                      QDBusConnection::ExportAllSlots) &&
                  bus_.registerService(QStringLiteral("org.freedesktop.login1"));
}

FakeLoginManager::~FakeLoginManager() {
    unregister();
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-login-manager"));
}

void FakeLoginManager::unregister() {
    bus_.unregisterService(QStringLiteral("org.freedesktop.login1"));
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
}

int FakeLoginManager::locksHeld() const {
    int held = 0;
    for (const auto& end : readEnds_) {
        pollfd entry{end.get(), POLLIN, 0};
        if (::poll(&entry, 1, 0) == 0) {
            ++held;
        }
    }
    return held;
}

QDBusUnixFileDescriptor FakeLoginManager::Inhibit(const QString& what, const QString& who,
                                                  const QString& why, const QString& mode) {
    requests.push_back({what, who, why, mode});
    if (refuses) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
        return {};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    readEnds_.emplace_back(ends[0]);
    UniqueFd writeEnd(ends[1]);
    // The descriptor object keeps a copy of its own until the reply has gone out.
    return QDBusUnixFileDescriptor(writeEnd.get());
}

}  // namespace vantrel::testing
