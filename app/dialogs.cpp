#include "app/dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

#include "app/texts.h"

namespace {

// The folder of the file a path names, when that folder exists.
QString ExistingFolderOf(const QString& path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo file(path);
    return file.isAbsolute() && file.dir().exists() ? QDir::toNativeSeparators(file.absolutePath()) : QString();
}

OpenDialog FileDialogNear(const QString& current, const QString& nearby)
{
    OpenDialog dialog;
    dialog.defaultExtension = QStringLiteral("jpg");
    dialog.directory = ExistingFolderOf(current);
    if (dialog.directory.isEmpty())
        dialog.directory = ExistingFolderOf(nearby);
    else if (!QFileInfo(current).isDir())
        dialog.fileName = current;
    return dialog;
}

}  // namespace

OpenDialog InputFileDialog(const QString& current, const QString& nearby)
{
    OpenDialog dialog = FileDialogNear(current, nearby);
    if (!QFileInfo(dialog.fileName).isFile())
        dialog.fileName.clear();  // an open dialog offers only a file that is there
    dialog.filters = {texts::kJpegFilter, texts::kPicturesFilter, texts::kAllFilesFilter};
    return dialog;
}

OpenDialog OutputFileDialog(const QString& current, const QString& nearby)
{
    OpenDialog dialog = FileDialogNear(current, nearby);
    dialog.filters = {texts::kJpegFilter, texts::kAllFilesFilter};
    dialog.save = true;
    return dialog;
}

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
    fileDialog.setAcceptMode(dialog.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    fileDialog.setFileMode(dialog.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    fileDialog.setDefaultSuffix(dialog.defaultExtension);
    if (!dialog.filters.isEmpty())
        fileDialog.setNameFilters(dialog.filters);
    if (!dialog.directory.isEmpty())
        fileDialog.setDirectory(dialog.directory);
    if (!dialog.fileName.isEmpty())
        fileDialog.selectFile(dialog.fileName);
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
