// app-screenshots: shows the windows on a real (virtual) X display and saves what the screen
// shows, for docs/window.md and the user guide. Run it through docs/screenshots/take.sh.

#include <cstdio>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include "app/appearance.h"
#include "app/main_window.h"
#include "app/splash_screen.h"
#include "fake_dialogs.h"

namespace {

bool Save(const QRect& area, const QString& path)
{
    QTest::qWait(300);
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Jpegtramblix"));
    QApplication::setWindowIcon(MainIcon());
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    bool ok = true;

    {
        TSplashScreen splash;
        for (int tick = 0; tick < 18; ++tick)
            splash.Timer1Timer();
        splash.show();
        ok &= QTest::qWaitForWindowExposed(&splash) && Save(splash.frameGeometry(), out.filePath("splash.png"));
    }

    FakeDialogs dialogs;
    TMainTramblix window(dialogs);
    window.move(40, 40);
    window.show();
    ok &= QTest::qWaitForWindowExposed(&window);
    ok &= Save(window.frameGeometry(), out.filePath("single-image.png"));

    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("MainPageCtrl"));
    pages->setCurrentIndex(0);
    ok &= Save(window.frameGeometry(), out.filePath("process-directory.png"));
    pages->setCurrentIndex(1);

    window.findChild<QAction*>(QStringLiteral("About1"))->trigger();
    ok &= Save(window.frameGeometry(), out.filePath("about.png"));
    return ok ? 0 : 1;
}
