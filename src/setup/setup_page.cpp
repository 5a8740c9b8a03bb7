#include "setup/setup_page.h"

#include <QPointer>
#include <QTimer>

#include "setup/link_policy.h"

namespace vantrel {

SetupPage::SetupPage(QWebEngineProfile* profile, std::shared_ptr<Workspace> workspace,
                     QObject* parent)
    : QWebEnginePage(profile, parent), workspace_(std::move(workspace)) {}

bool SetupPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool) {
    auto address = url.toEncoded().toStdString();
    if (decideLink(address) == LinkDecision::stayInView) {
        return true;
    }
    // The navigation is cancelled first; the outside application is asked once that answer is
    // given.
    QTimer::singleShot(0, this, [workspace = workspace_, address] { workspace->openUrl(address); });
    return false;
}

}  // namespace vantrel
