#include "support/qt_workspace.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include "gui_harness.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

// Stands in for the desktop's handlers, so that nothing really opens.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// A file manager on the test's private session bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
  public:
    std::vector<QStringList> shown;
  public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown.push_back(uris); }
};

// An address goes to its handler; a file is shown selected by the file manager on the session
// bus, or its folder is opened when none answers.
TEST(QtWorkspaceTest, OpensAddressesAndShowsFilesInTheirFolder) {
    startGuiApplication();
    UrlRecorder recorder;
    for (const auto* scheme : {"file", "https"}) {
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &recorder, "open");
    }
    QtWorkspace workspace;
    workspace.openUrl("https://vantrel.example/help?a=1%202");
    workspace.revealFile("/tmp/Downloads/readings.csv");
    ASSERT_TRUE(waitFor([&] { return recorder.urls.size() == 2; }, 10));
    EXPECT_EQ(recorder.urls[0].toString(QUrl::FullyEncoded),
              QStringLiteral("https://vantrel.example/help?a=1%202"));
    EXPECT_EQ(recorder.urls[1], QUrl::fromLocalFile(QStringLiteral("/tmp/Downloads")));

    auto bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected()) << "run under dbus-run-session";
    FakeFileManager manager;
    ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                   QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    workspace.revealFile("/tmp/Downloads/readings 3.csv");
    EXPECT_TRUE(waitFor([&] { return !manager.shown.empty(); }, 5));
    bus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    bus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    ASSERT_EQ(manager.shown.size(), 1u);
    EXPECT_EQ(manager.shown[0],
              QStringList{QStringLiteral("file:///tmp/Downloads/readings%203.csv")});
    EXPECT_EQ(recorder.urls.size(), 2u);
    for (const auto* scheme : {"file", "https"}) {
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
}

}  // namespace
}  // namespace vantrel

#include "qt_workspace_test.moc"
