#include "gui_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <memory>
#include <stdexcept>

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vantrel::testing {

void startGuiApplication() {
    static SandboxedHome* home = nullptr;
    if (home) {
        return;
    }
    home = new SandboxedHome;
    if (!::getenv("DISPLAY") && !::getenv("WAYLAND_DISPLAY")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    if (::geteuid() == 0) {
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "setup_window_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

const std::filesystem::path& sandboxHome() {
    static const std::filesystem::path home = ::getenv("HOME");
    return home;
}

bool waitFor(const std::function<bool()>& condition, double timeoutSeconds) {
    QDeadlineTimer deadline(static_cast<qint64>(timeoutSeconds * 1000));
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

LoopbackServer LoopbackServer::referenceAgent(const std::vector<std::string>& knobs) {
    return LoopbackServer(std::make_unique<TempDir>(), {"-m", "vantrel_agent", "run"}, knobs);
}

LoopbackServer LoopbackServer::pythonScript(const std::string& script) {
    auto dir = std::make_unique<TempDir>();
    writeFile(*dir / "server.py", script);
    auto path = (*dir / "server.py").string();
    return LoopbackServer(std::move(dir), {path}, {});
}

LoopbackServer::LoopbackServer(std::unique_ptr<TempDir> dir, std::vector<std::string> arguments,
                               const std::vector<std::string>& knobs)
    : dir_(std::move(dir)) {
    auto environment = currentEnvironment();
    setVariable(environment, "PYTHONPATH", VANTREL_SOURCE_DIR "/reference-agent");
    setVariable(environment, "PYTHONDONTWRITEBYTECODE", "1");
    setVariable(environment, "AGENT_STATE", (*dir_ / "agent.json").string());
    setVariable(environment, "AGENT_SPOOL", (*dir_ / "spool.db").string());
    setVariable(environment, "VANTREL_SIM_INTERVAL", "0.2");
    for (const auto& knob : knobs) {
        auto equals = knob.find('=');
        setVariable(environment, knob.substr(0, equals), knob.substr(equals + 1));
    }
    UniqueFd log(::open((*dir_ / "output.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    auto started = ChildProcess::spawn(
        {"/usr/bin/python3", std::move(arguments), std::move(environment), log.get()});
    if (!started.child) {
        throw std::runtime_error("could not start python3");
    }
    child_ = std::move(started.child);
}

LoopbackServer::~LoopbackServer() {
    if (child_) {
        child_->signal(SIGTERM);
        child_->wait();
    }
}

bool LoopbackServer::waitUntilListening(double timeoutSeconds) const {
    return eventually([] { return portAnswers(8787); }, timeoutSeconds);
}

}  // namespace vantrel::testing
