#pragma once

#include <QWebEnginePage>

#include <memory>

#include "support/workspace.h"

namespace vantrel {

// The setup window's page: navigations to the agent's own pages stay, every other one is cancelled
// and handed to the workspace.
class SetupPage final : public QWebEnginePage {
    Q_OBJECT
  public:
    SetupPage(QWebEngineProfile* profile, std::shared_ptr<Workspace> workspace,
              QObject* parent = nullptr);

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

  private:
    std::shared_ptr<Workspace> workspace_;
};

}  // namespace vantrel
