// What the window remembers between starts: its place and size, the last folders, both tabs'
// sliders and options. Nothing stored yet (a first start): the form's own defaults stay.

#include <algorithm>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include "app/main_window.h"

namespace {

QString Key(bool singleImageTab, const char* name)
{
    return QString::fromLatin1(singleImageTab ? "single/" : "directory/") + QString::fromLatin1(name);
}

void WriteTuning(QSettings& settings, bool singleImageTab, const Tuning& tuning)
{
    settings.setValue(Key(singleImageTab, "level"), tuning.level);
    settings.setValue(Key(singleImageTab, "aiLevel"), tuning.strength);
    settings.setValue(Key(singleImageTab, "encoder"), tuning.encoder);
    settings.setValue(Key(singleImageTab, "targetLook"), tuning.targetLook);
    settings.setValue(Key(singleImageTab, "lossless"), tuning.lossless);
    settings.setValue(Key(singleImageTab, "strip"), tuning.strip);
    settings.setValue(Key(singleImageTab, "keepDates"), tuning.keepDates);
}

Tuning ReadTuning(const QSettings& settings, bool singleImageTab, const Tuning& defaults)
{
    Tuning tuning;
    tuning.level = settings.value(Key(singleImageTab, "level"), defaults.level).toInt();
    tuning.strength = settings.value(Key(singleImageTab, "aiLevel"), defaults.strength).toInt();
    tuning.encoder = settings.value(Key(singleImageTab, "encoder"), defaults.encoder).toInt();
    tuning.targetLook = settings.value(Key(singleImageTab, "targetLook"), defaults.targetLook).toInt();
    tuning.lossless = settings.value(Key(singleImageTab, "lossless"), defaults.lossless).toBool();
    tuning.strip = settings.value(Key(singleImageTab, "strip"), defaults.strip).toBool();
    tuning.keepDates = settings.value(Key(singleImageTab, "keepDates"), defaults.keepDates).toBool();
    if (tuning.lossless && tuning.targetLook > 0)
        tuning.targetLook = 0;  // the tabs never allow both
    return tuning;
}

void SetIndex(QComboBox* box, int index)
{
    box->setCurrentIndex(std::clamp(index, 0, box->count() - 1));
}

}  // namespace

void TMainTramblix::UseSettings(std::unique_ptr<QSettings> settings)
{
    settings_ = std::move(settings);
    QSettings& stored = *settings_;
    if (stored.contains(QStringLiteral("window/geometry")))
        restoreGeometry(stored.value(QStringLiteral("window/geometry")).toByteArray());
    for (const bool single : {false, true})
        SetTuning(single, ReadTuning(stored, single, TuningOf(single)));
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
    for (const bool single : {false, true})
        WriteTuning(stored, single, TuningOf(single));
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

void TMainTramblix::SetTuning(bool singleImageTab, const Tuning& tuning)
{
    (singleImageTab ? CompressionLevelSingleImageSlider : CompressionLevelSlider)->setValue(tuning.level);
    (singleImageTab ? AISingleTrackBar : AIBatchTrackBar)->setValue(tuning.strength);
    SetIndex(singleImageTab ? EncoderSingleImageBox : EncoderBatchBox, tuning.encoder);
    (singleImageTab ? LosslessSingleImageBox : LosslessBatchBox)->setChecked(tuning.lossless);
    SetIndex(singleImageTab ? TargetLookSingleImageBox : TargetLookBatchBox, tuning.targetLook);
    (singleImageTab ? StripMetadataSingleImageBox : StripMetadataBatchBox)->setChecked(tuning.strip);
    (singleImageTab ? KeepDatesSingleImageBox : KeepDatesBatchBox)->setChecked(tuning.keepDates);
    if (singleImageTab)
        UpdateSingleImageControls();
    else
        UpdateDirectoryControls();
}
