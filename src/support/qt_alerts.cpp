#include "support/qt_alerts.h"

#include <QMessageBox>

namespace vantrel {

void QtAlerts::show(const std::string& message, const std::string& informative,
                    std::function<void()> dismissed) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Vantrel Agent"),
                                QString::fromStdString(message), QMessageBox::Ok);
    box->setInformativeText(QString::fromStdString(informative));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [dismissed = std::move(dismissed)](int) {
        if (dismissed) {
            dismissed();
        }
    });
    box->open();
}

}  // namespace vantrel
