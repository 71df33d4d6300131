#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QTest>

#include "app/main_window.h"
#include "app/splash_screen.h"
#include "fake_dialogs.h"

namespace {

QProgressBar* Bar(QWidget* window)
{
    return window->findChild<QProgressBar*>("ProgressBar1");
}

bool Near(QPoint a, QPoint b)
{
    return (a - b).manhattanLength() <= 2;
}

}  // namespace

class SplashTest : public QObject {
    Q_OBJECT

private slots:
    void window()
    {
        TSplashScreen splash;
        QVERIFY(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(splash.size(), QSize(398, 265));
        QCOMPARE(splash.minimumSize(), splash.maximumSize());
        QVERIFY(splash.timer().isActive());
        QCOMPARE(splash.timer().interval(), 100);
        QCOMPARE(splash.elapsedMs(), 0);

        QProgressBar* bar = Bar(&splash);
        QCOMPARE(bar->geometry(), QRect(248, 168, 145, 20));
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);

        // The 400 x 265 picture is drawn unscaled from the top-left corner, so its right edge is cut off.
        auto* image = splash.findChild<QLabel*>("Image1");
        QCOMPARE(image->geometry(), QRect(0, 0, 398, 265));
        QCOMPARE(image->pixmap().size(), QSize(400, 265));
        QVERIFY(!image->hasScaledContents());
        QCOMPARE(image->alignment(), Qt::AlignLeft | Qt::AlignTop);

        splash.show();
        QVERIFY(QTest::qWaitForWindowExposed(&splash));
        QVERIFY(Near(splash.geometry().center(), splash.screen()->availableGeometry().center()));
    }

    void ticks_data()
    {
        QTest::addColumn<int>("ticks");
        QTest::addColumn<int>("bar");
        QTest::addColumn<bool>("open");
        QTest::newRow("first tick") << 1 << 3 << true;
        QTest::newRow("29 ticks") << 29 << 87 << true;
        QTest::newRow("30 ticks reach 90") << 30 << 90 << true;
        QTest::newRow("the 31st closes") << 31 << 90 << false;
    }

    void ticks()
    {
        QFETCH(int, ticks);
        QFETCH(int, bar);
        QFETCH(bool, open);
        TSplashScreen splash;
        splash.show();
        QTest::keyClick(&splash, Qt::Key_Escape);
        splash.close();
        QVERIFY(splash.isVisible());
        for (int i = 0; i < ticks; ++i)
            splash.Timer1Timer();
        QCOMPARE(splash.elapsedMs(), ticks * 100);
        QCOMPARE(Bar(&splash)->value(), bar);
        QCOMPARE(splash.isVisible(), open);
        QCOMPARE(splash.timer().isActive(), open);
    }

    // Each "About" opens one more framed window that never closes by itself and leaves the
    // main window usable; closing one frees it.
    void aboutWindows()
    {
        FakeDialogs dialogs;
        TMainTramblix mainWindow(dialogs);
        mainWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));
        auto* about = mainWindow.findChild<QAction*>("About1");
        about->trigger();
        about->trigger();

        const QList<TSplashScreen*> windows = mainWindow.findChildren<TSplashScreen*>();
        QCOMPARE(windows.size(), 2);
        for (TSplashScreen* window : windows) {
            QVERIFY(QTest::qWaitForWindowExposed(window));
            QCOMPARE(window->windowTitle(), QStringLiteral("Moravel JPEG Tramblix"));
            QVERIFY(!window->windowFlags().testFlag(Qt::FramelessWindowHint));
            QVERIFY(window->windowFlags().testFlag(Qt::WindowTitleHint));
            QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
            QCOMPARE(window->minimumSize(), window->maximumSize());
            QVERIFY(Bar(window)->isHidden());
            QVERIFY(!window->timer().isActive());
            QVERIFY(!window->isModal());
            QVERIFY(Near(window->geometry().center(), mainWindow.geometry().center()));
        }
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        QPointer<TSplashScreen> first = windows.constFirst();
        first->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        QVERIFY(windows.constLast()->isVisible());
        QVERIFY(dialogs.shown.empty());
    }
};

QTEST_MAIN(SplashTest)
#include "splash_test.moc"
