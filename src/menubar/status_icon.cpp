#include "menubar/status_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QtMath>

namespace vantrel {
namespace {

constexpr int kPoints = 18;
const QColor kFill(245, 180, 0);
const QColor kRim(74, 46, 0);

}  // namespace

QIcon drawnSun() {
    // Drawn at twice the size so that it stays sharp on dense screens.
    QPixmap pixmap(2 * kPoints, 2 * kPoints);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPointF centre(kPoints, kPoints);
    painter.setPen(QPen(kRim, 5, Qt::SolidLine, Qt::RoundCap));
    for (int ray = 0; ray < 8; ++ray) {
        double angle = ray * M_PI / 4;
        QPointF direction(qCos(angle), qSin(angle));
        painter.drawLine(centre + 12 * direction, centre + 15 * direction);
    }
    painter.setPen(QPen(kRim, 1.5));
    painter.setBrush(kFill);
    painter.drawEllipse(centre, 8, 8);
    painter.end();
    return QIcon(pixmap);
}

// The artwork is large (128 px); the icon engine scales it down for each size asked for.
QIcon statusIcon(const std::filesystem::path& artwork) {
    QPixmap pixmap(QString::fromStdString(artwork.string()));
    if (!pixmap.isNull()) {
        return QIcon(pixmap);
    }
    QIcon themed = QIcon::fromTheme(QStringLiteral("weather-clear"));
    return themed.isNull() ? drawnSun() : themed;
}

QIcon themedIcon(const std::string& name, const std::filesystem::path& artwork) {
    QIcon themed = QIcon::fromTheme(QString::fromStdString(name));
    return themed.isNull() ? statusIcon(artwork) : themed;
}

void addIconFolder(const std::filesystem::path& folder) {
    QStringList paths = QIcon::themeSearchPaths();
    paths.append(QString::fromStdString(folder.string()));
    QIcon::setThemeSearchPaths(paths);
}

}  // namespace vantrel
