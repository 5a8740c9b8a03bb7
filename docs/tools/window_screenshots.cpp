// Makes the pictures of the setup and diagnostics windows in docs/screenshots/: the setup window
// on the reference agent's page, and the diagnostics window after a saved and after a failed run.
// Run through docs/tools/window-screenshots, which gives it a network namespace of its own (the
// agent serves the fixed port 8787), a temporary home and a virtual display.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <QWebEngineView>
#include <QWidget>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>

#include "diagnostics/diagnostics_window.h"
#include "setup/setup_window.h"
#include "support/background_queue.h"
#include "support/child_process.h"

namespace vantrel {
namespace {

// Pictures open nothing and show no alert.
class NoWorkspace final : public Workspace {
    void openUrl(const std::string&) override {}
    void revealFile(const std::filesystem::path&) override {}
};
class NoAlerts final : public Alerts {
    void show(const std::string&, const std::string&, std::function<void()> dismissed) override {
        if (dismissed) {
            dismissed();
        }
    }
};

bool waitFor(const std::function<bool()>& condition, int seconds = 30) {
    QDeadlineTimer deadline(seconds * 1000);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool agentAnswers() {
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8787);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// The reference agent from the source tree on 127.0.0.1:8787, with extra NAME=value knobs.
class ReferenceAgent {
  public:
    ReferenceAgent(const std::filesystem::path& source, const std::vector<std::string>& knobs) {
        auto environment = currentEnvironment();
        const auto state = std::filesystem::temp_directory_path();
        setVariable(environment, "PYTHONPATH", (source / "reference-agent").string());
        setVariable(environment, "PYTHONDONTWRITEBYTECODE", "1");
        setVariable(environment, "AGENT_STATE", (state / "agent.json").string());
        setVariable(environment, "AGENT_SPOOL", (state / "spool.db").string());
        setVariable(environment, "VANTREL_SIM_DIAG_SECONDS", "1");
        for (const auto& knob : knobs) {
            const auto equals = knob.find('=');
            setVariable(environment, knob.substr(0, equals), knob.substr(equals + 1));
        }
        UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        child_ = ChildProcess::spawn({"/usr/bin/python3",
                                      {"-m", "vantrel_agent", "run"},
                                      std::move(environment),
                                      quiet.get()})
                     .child;
        waitFor(agentAnswers);
    }
    ~ReferenceAgent() {
        if (child_) {
            child_->signal(SIGTERM);
            child_->wait();
        }
    }

  private:
    std::optional<ChildProcess> child_;
};

// A finished load is not yet a painted page: grab until the heading's dark text shows.
bool savePainted(QWidget* window, const std::filesystem::path& file) {
    QImage image;
    const bool painted = waitFor([&] {
        image = window->grab().toImage();
        for (int y = 0; y < image.height() / 4; ++y) {
            for (int x = 0; x < image.width() / 2; ++x) {
                if (qGray(image.pixel(x, y)) < 64) {
                    return true;
                }
            }
        }
        return false;
    });
    return painted && image.save(QString::fromStdString(file.string()), "PNG");
}

bool setupWindow(const std::filesystem::path& source, const std::filesystem::path& out) {
    ReferenceAgent agent(source, {});
    SetupWindow window(std::make_shared<NoWorkspace>(), std::make_shared<NoAlerts>());
    window.show();
    auto* page = window.webViewForTesting()->page();
    return waitFor([&] {
               return page->title() == QStringLiteral("Vantrel Agent setup") && !page->isLoading();
           }) &&
           savePainted(window.windowForTesting(), out / "setup-window.png");
}

bool diagnosticsRun(DiagnosticsWindow& window, const std::filesystem::path& source,
                    const std::vector<std::string>& knobs, DiagnosticsRun::Phase end,
                    const std::filesystem::path& file) {
    ReferenceAgent agent(source, knobs);
    window.show();
    window.startRun();
    if (!waitFor([&] { return window.runForTesting().phase == end; })) {
        return false;
    }
    QApplication::processEvents();
    return window.windowForTesting()->grab().save(QString::fromStdString(file.string()), "PNG");
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
    using namespace vantrel;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path source = argv[1], out = argv[2];
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    if (!setupWindow(source, out)) {
        std::fputs("the setup window never showed the agent's page\n", stderr);
        return 1;
    }
    DiagnosticsWindow diagnostics(std::make_shared<NoWorkspace>(),
                                  std::make_shared<BackgroundQueue>(2));
    using Phase = DiagnosticsRun::Phase;
    if (!diagnosticsRun(diagnostics, source, {}, Phase::saved, out / "diagnostics-saved.png") ||
        !diagnosticsRun(diagnostics, source, {"VANTREL_SIM_DIAG_ERROR=the inverter did not answer"},
                        Phase::failed, out / "diagnostics-failed.png")) {
        std::fputs("a diagnostics run did not end as expected\n", stderr);
        return 1;
    }
    return 0;
}
