#pragma once

#include <functional>
#include <memory>

#include <QString>

#include "app/texts.h"

class Dialogs;
class TMainTramblix;

// The windows start-up makes, in order; tests put quicker or failing ones in their place.
struct StartupWindows {
    std::function<void()> showSplash;  // returns when the splash has closed
    std::function<std::unique_ptr<TMainTramblix>()> createMainWindow;
};

// The real splash, shown modally, and the real main window.
StartupWindows DefaultStartupWindows(Dialogs& dialogs);

// The life of the program once the application object exists: the single-instance lock, the
// splash, the main window and its hidden viewer, the event loop until the main window closes.
// Anything that escapes is shown in an error box. Returns the exit status, 0 on every path.
int RunTramblix(Dialogs& dialogs, const QString& lockFile, const StartupWindows& windows);

// An error box's text: the message with a full stop added when it ends in a character after
// the full stop (so "failed" and "code 7" get one; "done.", "stop!", "(see log)" and "" do not).
QString ErrorBoxText(const QString& message);
