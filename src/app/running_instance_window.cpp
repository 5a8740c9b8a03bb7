#include "app/running_instance_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "app/running_instance_notice.h"

namespace vantrel {
namespace {

constexpr double kQuitHandOverSeconds = 5;

}  // namespace

int showRunningInstance(int argc, char** argv, const std::optional<HandoverAnswer>& answer,
                        const std::filesystem::path& socket) {
    QApplication application(argc, argv);
    const auto notice = runningInstanceNotice(answer);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Vantrel Agent"),
                    QString::fromStdString(notice.text), QMessageBox::Ok);
    box.setInformativeText(QString::fromStdString(notice.details));
    QPushButton* quit = nullptr;
    if (notice.offersQuit) {
        quit = box.addButton(QStringLiteral("Quit Vantrel Agent"), QMessageBox::DestructiveRole);
    }
    box.exec();
    if (quit && box.clickedButton() == quit) {
        return requestQuit(socket, kQuitHandOverSeconds) ? 0 : 1;
    }
    return answer ? 0 : 1;
}

}  // namespace vantrel
