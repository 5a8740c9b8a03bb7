#include "setup/setup_window.h"

#include <signal.h>
#include <sys/socket.h>

#include <QSocketNotifier>

#include <cstdio>

#include "setup/setup_window_protocol.h"
#include "support/error_text.h"

namespace vantrel {

namespace protocol = setup_protocol;

SetupWindow::SetupWindow(std::filesystem::path program, std::vector<std::string> arguments,
                         QObject* parent)
    : QObject(parent), program_(std::move(program)), arguments_(std::move(arguments)) {}

SetupWindow::~SetupWindow() {
    if (child_) {
        child_->signal(SIGTERM);
        child_->wait();
    }
}

void SetupWindow::show() {
    if (!child_) {
        start();
        return;
    }
    showAfterEnd_ = true;
    open_ = true;
    send(protocol::kShow);
}

void SetupWindow::close() {
    if (child_) {
        send(protocol::kClose);
    }
}

std::optional<pid_t> SetupWindow::pidForTesting() const {
    return child_ ? std::optional(child_->pid()) : std::nullopt;
}

// The window's process talks over its standard input, one end of a socket pair; it is told to end
// when this process ends, however that happens.
void SetupWindow::start() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        std::perror("VantrelAgent: the setup window cannot start");
        return;
    }
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    auto started = ChildProcess::spawn({.executable = program_.string(),
                                        .arguments = arguments_,
                                        .environment = currentEnvironment(),
                                        .parentDeathSignal = SIGTERM,
                                        .input = theirs.get()});
    if (!started.child) {
        std::fprintf(stderr, "VantrelAgent: the setup window cannot start: %s\n",
                     describe(started.error).c_str());
        return;
    }
    child_ = std::move(started.child);
    channel_ = std::move(ours);
    open_ = true;
    minimised_ = false;
    reports_ = std::make_unique<QSocketNotifier>(channel_.get(), QSocketNotifier::Read);
    connect(reports_.get(), &QSocketNotifier::activated, this, &SetupWindow::readReports);
    exit_ = std::make_unique<QSocketNotifier>(child_->descriptor(), QSocketNotifier::Read);
    connect(exit_.get(), &QSocketNotifier::activated, this, &SetupWindow::ended);
}

// A process that has gone or stopped reading loses the command; its end closes the window here.
void SetupWindow::send(std::string_view command) {
    const auto line = protocol::line(command);
    (void)::send(channel_.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void SetupWindow::readReports() {
    char buffer[256];
    auto count = ::recv(channel_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (count <= 0) {
        // The end itself arrives through the process descriptor.
        reports_->setEnabled(false);
        return;
    }
    protocol::takeLines(pending_, std::string_view(buffer, static_cast<std::size_t>(count)),
                        [this](const std::string& report) { take(report); });
}

void SetupWindow::take(const std::string& report) {
    if (report == protocol::kQuit) {
        emit quitRequested();
        return;
    }
    open_ = report != protocol::kClosed;
    minimised_ = report == protocol::kMinimised;
    if (open_) {
        showAfterEnd_ = false;
    }
}

void SetupWindow::ended() {
    child_->wait();
    child_.reset();
    reports_.reset();
    exit_.reset();
    channel_.reset();
    pending_.clear();
    open_ = false;
    minimised_ = false;
    if (std::exchange(showAfterEnd_, false)) {
        start();
    }
}

}  // namespace vantrel
