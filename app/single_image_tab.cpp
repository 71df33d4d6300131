// Handlers of the "Single Image" tab, its two preview panes and the full-size viewer.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>

#include <QApplication>
#include <QMetaObject>

#include "app/gif_player_form.h"
#include "app/main_window.h"
#include "app/preview_image.h"
#include "engine/compress.h"
#include "engine/file_io.h"

namespace {

const QString kSameFileText = QStringLiteral("Please select a different output file");
const QString kSameFileCaption = QStringLiteral("Input and Output Files are the same");

// Runs on the worker thread. What happened is the engine's word, not the sizes of files on disk:
// an old output that a failed run could not replace would look like a saving.
tramblix::CompressOutcome CompressOne(const std::filesystem::path& input, const std::filesystem::path& output,
                                      tramblix::CompressionLevel level, tramblix::FilterStrength strength)
{
    try {
        return tramblix::CompressFile(input, output, level, strength);
    } catch (const std::exception& error) {
        tramblix::CompressOutcome outcome;
        outcome.status = tramblix::CompressStatus::InternalError;
        outcome.detail = error.what();
        return outcome;
    }
}

// The memo's text: the saving, or "Could not create file." with the reason on the next line.
QString ResultText(const tramblix::CompressOutcome& outcome, int level, int strength)
{
    if (outcome.status != tramblix::CompressStatus::Ok)
        return QStringLiteral("Could not create file.\n") + QString::fromStdString(tramblix::ReasonText(outcome));
    return QString::fromStdString(tramblix::ResultLine(static_cast<std::int64_t>(outcome.inputSize),
                                                       static_cast<std::int64_t>(outcome.outputSize), level, strength));
}

// Reloads one pane from the file its edit names. Every failure leaves the pane's picture as it
// was; the stretch switch applies to it all the same.
void RefreshPreview(const QLineEdit& edit, const QCheckBox& previewSwitch, const QCheckBox& stretchSwitch,
                    ImagePane& pane)
{
    const QString path = edit.text();
    if (!FileExists(path) || !previewSwitch.isChecked())
        return;
    const bool stretch = stretchSwitch.isChecked();
    // Stretched, the pane needs no more pixels than it has; this keeps typing a path to a large
    // photo, which reloads it on every keystroke, quick.
    const QSize box = stretch ? (QSizeF(pane.size()) * pane.devicePixelRatioF()).toSize() : QSize();
    const std::optional<DisplayPicture> picture = LoadJpegForDisplay(path, box);
    if (picture)
        pane.setPicture(picture->image, picture->fullSize, picture->bytes);
    pane.setStretch(stretch);  // after the picture, so a new one is never decoded twice
    if (!picture)
        return;
    pane.show();
    pane.repaint();
}

// Asks for a file with the one open dialog; on OK puts the path into `edit`.
bool BrowseForFile(Dialogs& dialogs, OpenDialog& dialog, QLineEdit& edit, QWidget* parent)
{
    dialog.defaultExtension = QStringLiteral("JPG");
    dialog.fileName = QStringLiteral("*.JPG");
    if (!dialogs.Execute(dialog, parent))
        return false;
    edit.setText(dialog.fileName);
    return true;
}

}  // namespace

void TMainTramblix::SpeedButton3Click()
{
    if (BrowseForFile(dialogs_, OpenDialog1, *InputSingleImageEdit, this))
        UpdateInputPreview();
}

void TMainTramblix::SpeedButton4Click()
{
    if (BrowseForFile(dialogs_, OpenDialog1, *OutputSingleImageEdit, this))
        UpdateOutputPreview();
}

void TMainTramblix::RunSingleImageBtnClick()
{
    if (SingleImageRunning())
        return;
    const QString input = InputSingleImageEdit->text();
    const QString output = OutputSingleImageEdit->text();
    if (!FileExists(input)) {
        dialogs_.Message(QStringLiteral("Can not find: ") + input, QStringLiteral("Missing File"));
        return;
    }
    if (tramblix::SameFile(ToFsPath(input), ToFsPath(output))) {
        dialogs_.Message(kSameFileText, kSameFileCaption);
        return;
    }

    const int level = CompressionLevelSingleImageSlider->value();
    const int strength = AISingleTrackBar->value();
    // A large picture takes seconds; the window keeps painting meanwhile and takes no second run.
    RunSingleImageBtn->setEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    if (singleImageRun_.joinable())
        singleImageRun_.join();  // finished: its result is already in
    singleImageRun_ = std::jthread([this, in = ToFsPath(input), out = ToFsPath(output), level, strength] {
        const tramblix::CompressOutcome result =
            CompressOne(in, out, static_cast<tramblix::CompressionLevel>(level), strength);
        QMetaObject::invokeMethod(
            this,
            [this, result, level, strength] {
                QApplication::restoreOverrideCursor();
                RunSingleImageBtn->setEnabled(true);
                if (closeWhenIdle_) {  // the user closed the window meanwhile
                    close();
                    return;
                }
                // The output became a link to the input after the check above; the engine touched nothing.
                if (result.status == tramblix::CompressStatus::SameFile) {
                    dialogs_.Message(kSameFileText, kSameFileCaption);
                    return;
                }
                UpdateInputPreview();
                UpdateOutputPreview();
                SingleImageLogMemo->setPlainText(ResultText(result, level, strength));
            },
            Qt::QueuedConnection);
    });
}

bool TMainTramblix::SingleImageRunning() const
{
    return !RunSingleImageBtn->isEnabled();
}

void TMainTramblix::InputSingleImageEditChange()
{
    UpdateInputPreview();
}

void TMainTramblix::InputSingleImageEditExit()
{
    UpdateInputPreview();
}

void TMainTramblix::InputSingleImageEditMouseUp()
{
    UpdateInputPreview();
}

void TMainTramblix::OutputSingleImageEditChange()
{
    UpdateOutputPreview();
}

void TMainTramblix::OutputSingleImageEditExit()
{
    UpdateOutputPreview();
}

void TMainTramblix::OutputSingleImageEditMouseUp()
{
    UpdateOutputPreview();
}

// The switch is only read by later refreshes; switching a preview off keeps its picture.
void TMainTramblix::OutputImagePreviewBoxClick() {}

void TMainTramblix::InputStretchClick()
{
    UpdateInputPreview();
    InputImage->repaint();
}

void TMainTramblix::OutputStretchClick()
{
    UpdateOutputPreview();
    OutputImage->repaint();
}

// A click on a pane does what its "View Full Size" button does.
void TMainTramblix::InputImageClick()
{
    Button1Click();
}

void TMainTramblix::OutputImageClick()
{
    Button2Click();
}

void TMainTramblix::Button1Click()
{
    const QString path = InputSingleImageEdit->text();
    if (!FileExists(path)) {
        dialogs_.Message(QStringLiteral("Please select an input JPEG File"), QStringLiteral("Need additional file"));
        return;
    }
    CreateViewer();
    GIFPlayerForm->ShowFile(path);
}

void TMainTramblix::Button2Click()
{
    const QString path = OutputSingleImageEdit->text();
    if (!FileExists(path)) {
        dialogs_.Message(QStringLiteral("Please select an output JPEG File"), QStringLiteral("Need additional file"));
        return;
    }
    CreateViewer();
    GIFPlayerForm->ShowFile(path);
}

void TMainTramblix::UpdateInputPreview()
{
    RefreshPreview(*InputSingleImageEdit, *InputImagePreviewBox, *InputStretch, *InputImage);
}

void TMainTramblix::UpdateOutputPreview()
{
    RefreshPreview(*OutputSingleImageEdit, *OutputImagePreviewBox, *OutputStretch, *OutputImage);
}
