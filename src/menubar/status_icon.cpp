#include "menubar/status_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QtMath>

namespace vantrel {
namespace {

constexpr int kPoints = 18;

QIcon asTemplate(QIcon icon) {
    icon.setIsMask(true);
    return icon;
}

}  // namespace

QIcon drawnSun() {
    // Drawn at twice the size so that it stays sharp on dense screens.
    QPixmap pixmap(2 * kPoints, 2 * kPoints);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 3, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::black);
    QPointF centre(kPoints, kPoints);
    painter.drawEllipse(centre, 7, 7);
    for (int ray = 0; ray < 8; ++ray) {
        double angle = ray * M_PI / 4;
        QPointF direction(qCos(angle), qSin(angle));
        painter.drawLine(centre + 11 * direction, centre + 16 * direction);
    }
    painter.end();
    return QIcon(pixmap);
}

QIcon statusIcon(const std::filesystem::path& artwork) {
    QPixmap pixmap(QString::fromStdString(artwork.string()));
    if (!pixmap.isNull()) {
        return asTemplate(QIcon(pixmap.scaled(2 * kPoints, 2 * kPoints, Qt::KeepAspectRatio,
                                              Qt::SmoothTransformation)));
    }
    QIcon themed = QIcon::fromTheme(QStringLiteral("weather-clear"));
    return asTemplate(themed.isNull() ? drawnSun() : themed);
}

}  // namespace vantrel
