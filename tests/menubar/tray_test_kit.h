#pragma once

#include <QMenu>
#include <QObject>
#include <QSettings>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../setup/gui_harness.h"
#include "agent/agent_config.h"
#include "menubar/keep_awake.h"
#include "menubar/login_item.h"
#include "menubar/status_menu.h"
#include "support/background_queue.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// A stand-in agent: a /bin/sh script in `dir` run as the agent's interpreter.
AgentConfig scriptAgent(const TempDir& dir, const std::string& script);

// Keep-awake that grants (or refuses) each request on the next turn of the event loop.
class FakeKeepAwake final : public KeepAwake {
  public:
    void hold(Answer answer) override;
    void release() override { held = false; }
    bool isHeld() const override { return held; }

    bool grants = true;
    bool held = false;
    int requests = 0;
    std::function<void()> onRequest;

  private:
    QObject context_;  // the pending answers die with the fake
};

class FakeLoginItem final : public LoginItem {
  public:
    bool isEnabled() const override { return enabled; }
    std::optional<std::string> enable() override;
    std::optional<std::string> disable() override;

    bool enabled = false;
    std::optional<std::string> failure;
};

// An installer that must never be reached: menu tests stop before any download.
class RefusingInstaller final : public UpdateInstaller {
  public:
    UpdateResult install(const Manifest&) override {
        return UpdateResult::failed(reasons::kCouldNotPrepare);
    }
};

// A status menu over stand-ins, each reachable by the test. The updater's main queue and worker
// are manual, so no check runs unless the test runs it; the network probe answers `verdict`.
struct MenuUnderTest {
    // With `keepAwake` given, the menu uses it and the fake below stays unset.
    explicit MenuUnderTest(BuildFlavour build, const std::string& agentScript = "sleep 30\n",
                           std::unique_ptr<KeepAwake> keepAwake = nullptr);

    TempDir dir;
    std::shared_ptr<BackgroundQueue> background = std::make_shared<BackgroundQueue>();
    std::shared_ptr<AgentProcess> agent;
    std::shared_ptr<ManualQueue> updateMain = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> updateWorker = std::make_shared<ManualQueue>();
    std::shared_ptr<std::atomic<LocalNetwork::Verdict>> verdict =
        std::make_shared<std::atomic<LocalNetwork::Verdict>>(LocalNetwork::Verdict::reachable);
    FakeKeepAwake* keepAwake = nullptr;
    FakeLoginItem* loginItem;
    QSettings* settings;
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::unique_ptr<StatusMenu> menu;
};

QAction* actionTitled(const QMenu& menu, const std::string& title);

}  // namespace vantrel::testing
