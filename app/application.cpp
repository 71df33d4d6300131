#include "app/application.h"

#include <exception>

#include "app/dialogs.h"
#include "app/startup.h"

TramblixApplication::TramblixApplication(int& argc, char** argv, Dialogs& dialogs)
    : QApplication(argc, argv), dialogs_(dialogs)
{}

bool TramblixApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        dialogs_.Error(ErrorBoxText(QString::fromLocal8Bit(error.what())), QString::fromLatin1(kApplicationTitle));
    } catch (...) {
        dialogs_.Error(QString(), QString::fromLatin1(kApplicationTitle));
    }
    return false;
}
