// jpegtramblix: the window program. It takes no arguments of its own; Qt's standard options
// (-style, -platform, ...) work as in any Qt program.

#include "app/appearance.h"
#include "app/application.h"
#include "app/dialogs.h"
#include "app/instance_lock.h"
#include "app/live_encoder.h"
#include "app/startup.h"

int main(int argc, char* argv[])
{
    QtDialogs dialogs;
    TramblixApplication app(argc, argv, dialogs);
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    QGuiApplication::setDesktopFileName(QStringLiteral("jpegtramblix"));
    QApplication::setWindowIcon(MainIcon());
    const int status = RunTramblix(dialogs, DefaultInstanceLockFile(), DefaultStartupWindows(dialogs));
    LiveEncoder::JoinLeftovers();  // the windows are gone: an encode still running ends unseen
    return status;
}
