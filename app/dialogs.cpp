#include "app/dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

void FitCaption(QMessageBox& box)
{
    QFont title = box.font();
    title.setBold(true);  // most title bars set their caption bold
    // Room beside the caption for the window menu and the close button.
    constexpr int kTitleBarButtons = 120;
    const int wanted = QFontMetrics(title).horizontalAdvance(box.windowTitle()) + kTitleBarButtons;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
}

void QtDialogs::Message(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    FitCaption(box);
    box.exec();
}

void QtDialogs::Error(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    FitCaption(box);
    box.exec();
}

bool QtDialogs::Execute(OpenDialog& dialog, QWidget* parent)
{
    QFileDialog fileDialog(parent);
    fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The same dialog names outputs too, so the chosen file need not exist.
    fileDialog.setFileMode(QFileDialog::AnyFile);
    fileDialog.setDefaultSuffix(dialog.defaultExtension);
    const QFileInfo offered(dialog.fileName);
    if (dialog.fileName.contains(QLatin1Char('*')) || dialog.fileName.contains(QLatin1Char('?'))) {
        fileDialog.setNameFilters({dialog.fileName, QStringLiteral("*")});
        if (offered.path() != QStringLiteral("."))
            fileDialog.setDirectory(offered.path());
    } else if (!dialog.fileName.isEmpty()) {
        fileDialog.selectFile(dialog.fileName);
    }
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty())
        return false;
    dialog.fileName = QDir::toNativeSeparators(fileDialog.selectedFiles().constFirst());
    return true;
}

std::optional<QString> QtDialogs::ChooseDirectory(const QString& title, const QString& initialDirectory,
                                                  QWidget* parent)
{
    const QString chosen = QFileDialog::getExistingDirectory(parent, title, initialDirectory);
    if (chosen.isEmpty())
        return std::nullopt;
    return QDir::toNativeSeparators(chosen);
}
