#include "setup/setup_window.h"

#include <signal.h>
#include <sys/socket.h>

#include <QSocketNotifier>

#include <cstdio>

#include "support/error_text.h"

namespace vantrel {

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
    send("show");
}

void SetupWindow::close() {
    if (child_) {
        send("close");
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
void SetupWindow::send(const char* command) {
    std::string line = std::string(command) + "\n";
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
    pending_.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        take(pending_.substr(0, end));
        pending_.erase(0, end + 1);
    }
}

void SetupWindow::take(const std::string& report) {
    if (report == "quit") {
        emit quitRequested();
        return;
    }
    open_ = report != "closed";
    minimised_ = report == "minimised";
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
