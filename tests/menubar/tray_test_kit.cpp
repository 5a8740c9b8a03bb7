#include "tray_test_kit.h"

#include <QTimer>

#include "support/qt_main_queue.h"

namespace vantrel::testing {

AgentConfig scriptAgent(const TempDir& dir, const std::string& script) {
    writeFile(dir / "agent.sh", "#!/bin/sh\n" + script, true);
    return AgentConfig{
        .python = dir / "agent.sh",
        .pythonHome = dir.path(),
        .pythonPath = dir.path(),
        .state = dir / "agent.json",
        .spool = dir / "spool.db",
        .pidFile = dir / "agent.pid",
        .log = dir / "agent.log",
        .apiBase = std::nullopt,
    };
}

void FakeKeepAwake::hold(Answer answer) {
    ++requests;
    if (onRequest) {
        onRequest();
    }
    QTimer::singleShot(0, &context_, [this, answer = std::move(answer)] {
        held = grants;
        answer(held);
    });
}

std::optional<std::string> FakeLoginItem::enable() {
    if (failure) {
        return failure;
    }
    enabled = true;
    return std::nullopt;
}

std::optional<std::string> FakeLoginItem::disable() {
    if (failure) {
        return failure;
    }
    enabled = false;
    return std::nullopt;
}

MenuUnderTest::MenuUnderTest(BuildFlavour build, const std::string& agentScript,
                             std::unique_ptr<KeepAwake> realKeepAwake) {
    auto mainQueue = std::make_shared<QtMainQueue>();
    agent = AgentProcess::create(scriptAgent(dir, agentScript), mainQueue, background);
    if (!realKeepAwake) {
        auto fake = std::make_unique<FakeKeepAwake>();
        keepAwake = fake.get();
        realKeepAwake = std::move(fake);
    }
    auto fakeLogin = std::make_unique<FakeLoginItem>();
    loginItem = fakeLogin.get();
    auto ownSettings = std::make_shared<QSettings>(
        QString::fromStdString((dir / "settings.ini").string()), QSettings::IniFormat);
    settings = ownSettings.get();
    menu = std::make_unique<StatusMenu>(StatusMenu::Parts{
        .agent = agent,
        .updater = Updater::create(updateMain, updateWorker, std::make_shared<RefusingInstaller>(),
                                   dir.path()),
        .setup = std::make_unique<SetupWindow>(std::filesystem::path(VANTREL_BUNDLE_DIR) /
                                               SetupWindow::kProgram),
        .diagnostics = std::make_unique<DiagnosticsWindow>(workspace, background, mainQueue),
        .networkWarning = std::make_unique<NetworkWarning>(
            background, mainQueue, [verdict = verdict] { return verdict->load(); }),
        .keepAwake = std::move(realKeepAwake),
        .loginItem = std::move(fakeLogin),
        .settings = ownSettings,
        .alerts = alerts,
        .workspace = workspace,
        .build = std::move(build),
    });
}

QAction* actionTitled(const QMenu& menu, const std::string& title) {
    for (auto* action : menu.actions()) {
        if (action->text().toStdString() == title) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace vantrel::testing
