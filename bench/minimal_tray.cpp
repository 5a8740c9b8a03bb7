// The floor for the desktop application's idle memory: a Qt program with nothing but a tray icon
// and a small window.
#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QPixmap picture(32, 32);
    picture.fill(Qt::darkYellow);
    QSystemTrayIcon icon{QIcon(picture)};
    icon.show();
    QLabel window(QStringLiteral("Minimal tray program"));
    window.show();
    return application.exec();
}
