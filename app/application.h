#pragma once

#include <QApplication>

class Dialogs;

// Reports an exception escaping an event handler in an error box and carries on with the next
// event, instead of letting it end the program.
class TramblixApplication : public QApplication {
    Q_OBJECT

public:
    TramblixApplication(int& argc, char** argv, Dialogs& dialogs);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    Dialogs& dialogs_;
};
