#include "app/startup.h"

#include <exception>

#include <QApplication>
#include <QSettings>
#include <QtDebug>

#include "app/dialogs.h"
#include "app/instance_lock.h"
#include "app/main_window.h"
#include "app/splash_screen.h"

StartupWindows DefaultStartupWindows(Dialogs& dialogs)
{
    return {
        [] {
            TSplashScreen splash;
            splash.exec();
        },
        [&dialogs] {
            auto window = std::make_unique<TMainTramblix>(dialogs);
            window->UseSettings(
                std::make_unique<QSettings>(QStringLiteral("Moravel"), QStringLiteral("JPEG Tramblix")));
            return window;
        },
    };
}

int RunTramblix(Dialogs& dialogs, const QString& lockFile, const StartupWindows& windows)
{
    const QString title = QString::fromLatin1(kApplicationTitle);
    InstanceLock lock(lockFile);
    switch (lock.TryAcquire()) {
    case InstanceLock::Outcome::Acquired: break;
    case InstanceLock::Outcome::HeldElsewhere: dialogs.Message(texts::kAlreadyRunning, title); return 0;
    case InstanceLock::Outcome::Unavailable:
        // Better a working program without the guard than none at all.
        qWarning("Cannot create the single-instance lock %s; running without it", qUtf8Printable(lockFile));
        break;
    }

    try {
        windows.showSplash();
        std::unique_ptr<TMainTramblix> mainWindow = windows.createMainWindow();
        mainWindow->CreateViewer();
        mainWindow->show();
        QApplication::exec();
    } catch (const std::exception& error) {
        dialogs.Error(ErrorBoxText(QString::fromLocal8Bit(error.what())), title);
    } catch (...) {
        dialogs.Error(QString(), title);
    }
    lock.Release();
    return 0;
}

QString ErrorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}
