#pragma once

#include <optional>

#include <QString>
#include <QStringList>

class QWidget;

// A file dialog's settings.
struct OpenDialog {
    QString defaultExtension;  // added to a name typed without one ("jpg")
    QString fileName;          // before: the file offered (empty: none); after OK: the chosen path
    QString directory;         // where it opens when no file is offered; empty: the system's choice
    QStringList filters;       // name filters, the first one selected
    bool save = false;         // a Save dialog: the file may be new, and replacing one is confirmed
};

// The choosers of the single-image files: they open in the folder of the current path (or of
// `nearby`, the other side's, when that names none) with the current file selected. The input
// offers JPEG images first, then every picture the engine reads; the output is a Save dialog.
OpenDialog InputFileDialog(const QString& current, const QString& nearby);
OpenDialog OutputFileDialog(const QString& current, const QString& nearby);

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
