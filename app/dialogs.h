#pragma once

#include <optional>

#include <QString>

class QWidget;

// A file-open dialog's settings, kept between uses the way a dialog component keeps them.
struct OpenDialog {
    QString defaultExtension;  // added to a name typed without one ("JPG")
    QString fileName;          // before: the name or pattern offered ("*.JPG"); after OK: the chosen path
};

// Every message box and file or folder dialog of the program goes through this seam,
// so tests can read what would have been shown and answer for the user.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A plain message: no icon, an OK button only, centred on the screen; returns when dismissed.
    virtual void Message(const QString& text, const QString& caption) = 0;

    // The last-resort error report: error icon, OK button.
    virtual void Error(const QString& text, const QString& caption) = 0;

    // Runs `dialog` modally; on OK stores the full path in dialog.fileName and returns true.
    virtual bool Execute(OpenDialog& dialog, QWidget* parent) = 0;

    // A folder chooser; nothing when the user cancels.
    virtual std::optional<QString> ChooseDirectory(const QString& title, const QString& initialDirectory,
                                                   QWidget* parent) = 0;
};

class QMessageBox;

// Widens a message box to show its whole caption in the title bar, which would otherwise be cut
// to the width of a short text.
void FitCaption(QMessageBox& box);

class QtDialogs final : public Dialogs {
public:
    void Message(const QString& text, const QString& caption) override;
    void Error(const QString& text, const QString& caption) override;
    bool Execute(OpenDialog& dialog, QWidget* parent) override;
    std::optional<QString> ChooseDirectory(const QString& title, const QString& initialDirectory,
                                           QWidget* parent) override;
};
