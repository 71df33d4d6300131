// Handlers of the "Single Image" tab, its two preview panes and the full-size viewer.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <optional>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringList>

#include "app/compare_view.h"
#include "app/gif_player_form.h"
#include "app/main_window.h"
#include "app/preview_image.h"
#include "app/preview_loader.h"
#include "app/texts.h"
#include "engine/compress.h"
#include "engine/file_io.h"
#include "engine/target.h"

namespace {

// Runs on the worker thread. What happened is the engine's word, not the sizes of files on disk:
// an old output that a failed run could not replace would look like a saving.
tramblix::CompressOutcome CompressOne(const std::filesystem::path& input, const std::filesystem::path& output,
                                      tramblix::CompressionLevel level, tramblix::FilterStrength strength,
                                      const tramblix::EngineOptions& options)
{
    try {
        return tramblix::CompressFile(input, output, level, strength, options);
    } catch (const std::exception& error) {
        tramblix::CompressOutcome outcome;
        outcome.status = tramblix::CompressStatus::InternalError;
        outcome.detail = error.what();
        return outcome;
    }
}

// What was done, under the result line: the encoder and options, and why a copy was kept.
QString HowText(const tramblix::CompressOutcome& outcome, const tramblix::EngineOptions& options)
{
    QStringList parts{options.lossless                                  ? texts::kLosslessRewrite
                      : options.encoder == tramblix::Encoder::Efficient ? texts::kEfficientEncoder
                                                                        : texts::kStandardEncoder};
    if (options.stripMetadata)
        parts << texts::kMetadataStripped;
    if (options.keepFileDates)
        parts << texts::kDatesKept;
    QString text = parts.join(QStringLiteral(", "));
    if (outcome.kept == tramblix::KeepReason::NotSmaller)
        text += texts::kKeptNoSmaller;
    else if (outcome.kept == tramblix::KeepReason::BelowMinSaving)
        text += texts::kKeptBelowMinSaving;
    else if (outcome.kept == tramblix::KeepReason::OwnOutput)
        text += texts::kKeptOwnOutput;
    return text;
}

// The memo's text: the saving (with the quality a target chose), or "Could not create file." with
// the reason on the next line.
QString ResultText(const tramblix::CompressOutcome& outcome, int level, int strength,
                   const tramblix::EngineOptions& options)
{
    if (outcome.status != tramblix::CompressStatus::Ok)
        return texts::kCouldNotCreate + QString::fromStdString(tramblix::ReasonText(outcome)) +
               (outcome.oldOutputLeft ? texts::kOldOutputLeft : QString());
    const auto inputSize = static_cast<std::int64_t>(outcome.inputSize);
    const auto outputSize = static_cast<std::int64_t>(outcome.outputSize);
    QString line;
    if (options.lossless)
        line = QString::fromStdString(tramblix::LosslessResultLine(inputSize, outputSize));
    else if (options.targetDistance > 0.0)
        line = QString::fromStdString(tramblix::TargetResultLine(inputSize, outputSize, outcome.quality,
                                                                 options.targetDistance, outcome.targetKept));
    else
        line = QString::fromStdString(tramblix::ResultLine(inputSize, outputSize, level, strength));
    return QString::fromStdString(tramblix::WithExtrasNote(line.toStdString(), outcome)) + QLatin1Char('\n') +
           HowText(outcome, options);
}

// Asks for one pane's picture from the file its edit names. Every failure leaves the pane's
// picture as it was; the stretch switch applies to it all the same (ShowPreview).
void RefreshPreview(const QLineEdit& edit, const QCheckBox& previewSwitch, const QCheckBox& stretchSwitch,
                    const ImagePane& pane, PreviewLoader& loader)
{
    const QString path = edit.text();
    if (!FileExists(path) || !previewSwitch.isChecked())
        return;
    PreviewLoader::Request request;
    request.path = path;
    request.stretch = stretchSwitch.isChecked();
    // Stretched, the pane needs no more pixels than it has; this keeps typing a path to a large
    // photo, which reloads it on every keystroke, quick.
    if (request.stretch)
        request.box = (QSizeF(pane.size()) * pane.devicePixelRatioF()).toSize();
    else if (pane.picture().size() != pane.ownSize())
        request.fallback = pane.source();  // drawn at its own size, a reduced picture needs all its pixels
    loader.Load(std::move(request));
}

void ShowPreview(const PreviewLoader::Result& result, ImagePane& pane)
{
    if (result.picture)
        pane.setPicture(result.picture->image, result.picture->fullSize, result.picture->bytes);
    pane.setStretch(result.request.stretch);  // after the picture, so a new one is never decoded twice
    if (result.picture)
        pane.show();
}

// On OK puts the chosen path into `edit`.
bool BrowseForFile(Dialogs& dialogs, OpenDialog dialog, QLineEdit& edit, QWidget* parent)
{
    if (!dialogs.Execute(dialog, parent))
        return false;
    edit.setText(dialog.fileName);
    return true;
}

}  // namespace

// The other edit's path, or with none the folder the last picture came from.
QString TMainTramblix::NearbyOf(const QString& otherPath) const
{
    if (!otherPath.isEmpty() || lastImageFolder_.isEmpty())
        return otherPath;
    return QDir(lastImageFolder_).filePath(QStringLiteral("."));
}

void TMainTramblix::SpeedButton3Click()
{
    if (!BrowseForFile(dialogs_, InputFileDialog(InputSingleImageEdit->text(), NearbyOf(OutputSingleImageEdit->text())),
                       *InputSingleImageEdit, this))
        return;
    UpdateInputPreview();
    SuggestOutputName();
}

void TMainTramblix::SpeedButton4Click()
{
    if (BrowseForFile(dialogs_, OutputFileDialog(OutputSingleImageEdit->text(), NearbyOf(InputSingleImageEdit->text())),
                      *OutputSingleImageEdit, this))
        UpdateOutputPreview();
}

// With no output named yet, offers "<name>-small.jpg" beside a chosen input, numbered on when
// that name is taken, so no file the user did not name is replaced.
void TMainTramblix::SuggestOutputName()
{
    const QString input = InputSingleImageEdit->text();
    if (!OutputSingleImageEdit->text().isEmpty() || !FileExists(input))
        return;
    const QFileInfo file(input);
    const QString base = file.completeBaseName() + QStringLiteral("-small");
    QString candidate = file.dir().filePath(base + QStringLiteral(".jpg"));
    for (int number = 2; QFileInfo::exists(candidate); ++number)
        candidate = file.dir().filePath(QStringLiteral("%1-%2.jpg").arg(base).arg(number));
    OutputSingleImageEdit->setText(QDir::toNativeSeparators(candidate));
}

// While a picture is compressed its settings stay as they were when it started.
void TMainTramblix::UpdateSingleImageControls()
{
    const bool idle = !SingleImageRunning();
    for (QWidget* widget :
         std::initializer_list<QWidget*>{InputSingleImageEdit, OutputSingleImageEdit, SpeedButton3, SpeedButton4})
        widget->setEnabled(idle);
    singleOptions_->SetLocked(!idle);
}

void TMainTramblix::RunSingleImageBtnClick()
{
    if (SingleImageRunning())
        return;
    const QString input = InputSingleImageEdit->text();
    const QString output = OutputSingleImageEdit->text();
    if (!FileExists(input)) {
        dialogs_.Message(texts::kCannotFind + input, texts::kMissingFileCaption);
        return;
    }
    if (tramblix::SameFile(ToFsPath(input), ToFsPath(output))) {
        dialogs_.Message(texts::kSameFile, texts::kSameFileCaption);
        return;
    }

    const Tuning tuning = singleOptions_->Value();
    const int level = tuning.level;
    const int strength = tuning.strength;
    const tramblix::EngineOptions options = tuning.engine;
    // A large picture takes seconds; the window keeps painting meanwhile and takes no second run.
    RunSingleImageBtn->setEnabled(false);
    UpdateSingleImageControls();
    SingleImageLogMemo->setPlainText(texts::kCompressing);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    if (singleImageRun_.joinable())
        singleImageRun_.join();  // finished: its result is already in
    auto work = [this, in = ToFsPath(input), out = ToFsPath(output), level, strength, options] {
        const tramblix::CompressOutcome result =
            CompressOne(in, out, static_cast<tramblix::CompressionLevel>(level), strength, options);
        QMetaObject::invokeMethod(
            this,
            [this, result, level, strength, options] {
                QApplication::restoreOverrideCursor();
                RunSingleImageBtn->setEnabled(true);
                UpdateSingleImageControls();
                if (closeWhenIdle_) {  // the user closed the window meanwhile
                    close();
                    return;
                }
                // Disabled, the button lost the focus to the next control; Space must run again.
                if (MainPageCtrl->currentWidget() == TabSheet1)
                    RunSingleImageBtn->setFocus(Qt::OtherFocusReason);
                // The output became a link to the input after the check above; the engine touched nothing.
                if (result.status == tramblix::CompressStatus::SameFile) {
                    SingleImageLogMemo->clear();
                    dialogs_.Message(texts::kSameFile, texts::kSameFileCaption);
                    return;
                }
                UpdateInputPreview();
                UpdateOutputPreview();
                UpdateCompareButton();
                if (compareView_ != nullptr && compareView_->isVisible() && CompareBtn->isEnabled())
                    compareView_->Compare(InputSingleImageEdit->text(), OutputSingleImageEdit->text());
                SingleImageLogMemo->setPlainText(ResultText(result, level, strength, options));
            },
            Qt::QueuedConnection);
    };
    try {
        singleImageRun_ = std::jthread(std::move(work));
    } catch (const std::exception& e) {
        // No thread for the work (no memory for its stack): say so rather than compress here,
        // which would freeze the window.
        QApplication::restoreOverrideCursor();
        RunSingleImageBtn->setEnabled(true);
        UpdateSingleImageControls();
        SingleImageLogMemo->setPlainText(
            ResultText({tramblix::CompressStatus::OutOfMemory, 0, 0, false, e.what()}, level, strength, options));
    }
}

bool TMainTramblix::SingleImageRunning() const
{
    return !RunSingleImageBtn->isEnabled();
}

void TMainTramblix::InputSingleImageEditChange()
{
    UpdateInputPreview();
    UpdateCompareButton();
}

void TMainTramblix::InputSingleImageEditExit()
{
    UpdateInputPreview();
    SuggestOutputName();
}

void TMainTramblix::InputSingleImageEditMouseUp()
{
    UpdateInputPreview();
}

void TMainTramblix::OutputSingleImageEditChange()
{
    UpdateOutputPreview();
    UpdateCompareButton();
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
void TMainTramblix::OutputImagePreviewBoxClick()
{}

void TMainTramblix::InputStretchClick()
{
    UpdateInputPreview();
}

void TMainTramblix::OutputStretchClick()
{
    UpdateOutputPreview();
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
        dialogs_.Message(texts::kNeedInputFile, texts::kNeedFileCaption);
        return;
    }
    CreateViewer();
    GIFPlayerForm->ShowFile(path);
}

void TMainTramblix::Button2Click()
{
    const QString path = OutputSingleImageEdit->text();
    if (!FileExists(path)) {
        dialogs_.Message(texts::kNeedOutputFile, texts::kNeedFileCaption);
        return;
    }
    CreateViewer();
    GIFPlayerForm->ShowFile(path);
}

// An input is enough: without an output file the compare window makes one in memory.
void TMainTramblix::UpdateCompareButton()
{
    CompareBtn->setEnabled(FileExists(InputSingleImageEdit->text()));
}

void TMainTramblix::CompareBtnClick()
{
    UpdateCompareButton();
    if (!CompareBtn->isEnabled()) {  // a file went away since the button was enabled
        dialogs_.Message(texts::kNeedInputFile, texts::kNeedFileCaption);
        return;
    }
    if (compareView_ == nullptr) {
        compareView_ = new CompareView(dialogs_, this);
        connect(compareView_, &CompareView::tuningChosen, this, &TMainTramblix::ApplyTuning);
    }
    if (!compareView_->isVisible())  // an open one keeps what the user is trying
        compareView_->SetTuning(singleOptions_->Value());
    compareView_->Compare(InputSingleImageEdit->text(), OutputSingleImageEdit->text());
    compareView_->show();
    compareView_->raise();
    compareView_->activateWindow();
}

void TMainTramblix::UpdateInputPreview()
{
    RefreshPreview(*InputSingleImageEdit, *InputImagePreviewBox, *InputStretch, *InputImage, inputPreview_);
}

void TMainTramblix::UpdateOutputPreview()
{
    RefreshPreview(*OutputSingleImageEdit, *OutputImagePreviewBox, *OutputStretch, *OutputImage, outputPreview_);
}

void TMainTramblix::InputPreviewLoaded(const PreviewLoader::Result& result)
{
    ShowPreview(result, *InputImage);
}

void TMainTramblix::OutputPreviewLoaded(const PreviewLoader::Result& result)
{
    ShowPreview(result, *OutputImage);
}

// Grown panes want more pixels than a picture decoded for a smaller one holds.
void TMainTramblix::RefreshGrownPreviews()
{
    const auto needsMore = [](const ImagePane& pane) {
        const QSize wanted = (QSizeF(pane.size()) * pane.devicePixelRatioF()).toSize();
        return pane.stretch() && pane.picture().size() != pane.ownSize() &&
               (pane.picture().width() < wanted.width() || pane.picture().height() < wanted.height());
    };
    if (needsMore(*InputImage))
        UpdateInputPreview();
    if (needsMore(*OutputImage))
        UpdateOutputPreview();
}
