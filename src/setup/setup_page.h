#pragma once

#include <QPointer>
#include <QWebEnginePage>

#include <memory>

#include "support/workspace.h"

namespace vantrel {

// The setup window's page: navigations to the agent's own pages stay, every other one is cancelled
// and handed to the workspace. A link or script that asks for a window of its own is judged alike:
// its page stays in this one's view or opens outside.
class SetupPage final : public QWebEnginePage {
    Q_OBJECT
  public:
    SetupPage(QWebEngineProfile* profile, std::shared_ptr<Workspace> workspace,
              QObject* parent = nullptr);

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;

  private:
    std::shared_ptr<Workspace> workspace_;
    // Set on a page made for a new window, which is never shown: the page that asked for it.
    QPointer<SetupPage> opener_;
};

}  // namespace vantrel
