// What the window remembers between starts: its place and size, the last folders, both tabs'
// sliders and options. Nothing stored yet (a first start): the form's own defaults stay.

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include "app/main_window.h"

namespace {

// Where each tab's options row keeps its values; the keys under them are the row's.
const QString kDirectoryPrefix = QStringLiteral("directory/");
const QString kSinglePrefix = QStringLiteral("single/");

}  // namespace

void TMainTramblix::UseSettings(std::unique_ptr<QSettings> settings)
{
    settings_ = std::move(settings);
    QSettings& stored = *settings_;
    if (stored.contains(QStringLiteral("window/geometry")))
        restoreGeometry(stored.value(QStringLiteral("window/geometry")).toByteArray());
    directoryOptions_->Restore(stored, kDirectoryPrefix);
    singleOptions_->Restore(stored, kSinglePrefix);
    InputEdit->setText(stored.value(QStringLiteral("directory/input"), InputEdit->text()).toString());
    OutputEdit->setText(stored.value(QStringLiteral("directory/output"), OutputEdit->text()).toString());
    RecurseDirBox->setChecked(stored.value(QStringLiteral("directory/recurse"), RecurseDirBox->isChecked()).toBool());
    JpegExtensionBox->setChecked(
        stored.value(QStringLiteral("directory/jpeg"), JpegExtensionBox->isChecked()).toBool());
    if (stored.value(QStringLiteral("directory/writeLog"), true).toBool() != OutputLogBox->isChecked())
        OutputLogBox->click();  // as the user would, so the memo shows the state
    lastImageFolder_ = stored.value(QStringLiteral("single/folder")).toString();
}

void TMainTramblix::SaveSettings()
{
    if (!settings_)
        return;
    QSettings& stored = *settings_;
    stored.setValue(QStringLiteral("window/geometry"), saveGeometry());
    directoryOptions_->Save(stored, kDirectoryPrefix);
    singleOptions_->Save(stored, kSinglePrefix);
    stored.setValue(QStringLiteral("directory/input"), InputEdit->text());
    stored.setValue(QStringLiteral("directory/output"), OutputEdit->text());
    stored.setValue(QStringLiteral("directory/recurse"), RecurseDirBox->isChecked());
    stored.setValue(QStringLiteral("directory/jpeg"), JpegExtensionBox->isChecked());
    stored.setValue(QStringLiteral("directory/writeLog"), OutputLogBox->isChecked());
    const QFileInfo input(InputSingleImageEdit->text());
    if (input.isAbsolute() && input.dir().exists())
        lastImageFolder_ = QDir::toNativeSeparators(input.absolutePath());
    stored.setValue(QStringLiteral("single/folder"), lastImageFolder_);
    stored.sync();
}
