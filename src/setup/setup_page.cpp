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
    const bool stays = decideLink(address) == LinkDecision::stayInView;
    if (opener_) {
        // A new window starts blank before its address arrives.
        if (url.isEmpty() || url == QUrl(QStringLiteral("about:blank"))) {
            return true;
        }
        deleteLater();
        if (stays) {
            opener_->setUrl(url);
            return false;
        }
    } else if (stays) {
        return true;
    }
    // The navigation is cancelled first; the outside application is asked once that answer is
    // given, by the page that stays.
    QObject* context = opener_ ? static_cast<QObject*>(opener_) : this;
    QTimer::singleShot(0, context,
                       [workspace = workspace_, address] { workspace->openUrl(address); });
    return false;
}

QWebEnginePage* SetupPage::createWindow(WebWindowType) {
    auto* opened = new SetupPage(profile(), workspace_, this);
    opened->opener_ = this;
    return opened;
}

}  // namespace vantrel
