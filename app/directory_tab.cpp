// Handlers of the "Process Directory" tab. The checks, the walk and the compression are the
// batch library's; this file reads the controls, starts and cancels the run and shows what the
// run reports.

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPalette>

#include "app/batch_folder_drop.h"
#include "app/main_window.h"
#include "app/texts.h"
#include "batch/batch_run.h"

namespace {

std::string LocalPath(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

QString WithSeparator(const QString& text)
{
    return QFile::decodeName(QByteArray::fromStdString(tramblix::WithTrailingSeparator(LocalPath(text))));
}

void AppendSeparator(QLineEdit* edit)
{
    const QString text = WithSeparator(edit->text());
    if (text != edit->text())
        edit->setText(text);
}

// The chooser starts in the folder the edit names, or the one above it when that is gone; with
// neither, on Windows in Program Files where that exists, elsewhere nothing is preselected.
QString InitialChooserDirectory(const QString& text)
{
    const QString path = QDir::cleanPath(QDir::fromNativeSeparators(text));
    if (!text.isEmpty() && QDir::isAbsolutePath(path)) {
        for (const QString& candidate : {path, QFileInfo(path).path()})
            if (QFileInfo(candidate).isDir())
                return QDir::toNativeSeparators(candidate);
    }
#ifdef Q_OS_WIN
    const QString programFiles = QStringLiteral("C:\\Program Files");
    if (QFileInfo(programFiles).isDir())
        return programFiles;
#endif
    return {};
}

void ChooseDirectoryInto(Dialogs& dialogs, QLineEdit* edit, QWidget* parent)
{
    if (const std::optional<QString> chosen =
            dialogs.ChooseDirectory(texts::kChooserTitle, InitialChooserDirectory(edit->text()), parent))
        edit->setText(WithoutTrailingSeparator(*chosen));
}

QString Amount(std::uint64_t bytes)
{
    if (bytes >= 1'000'000)
        return texts::kMegabytes.arg(static_cast<double>(bytes) / 1e6, 0, 'f', 1);
    if (bytes >= 1'000)
        return texts::kKilobytes.arg(static_cast<double>(bytes) / 1e3, 0, 'f', 1);
    return texts::kBytes.arg(bytes);
}

QString ProgressText(const tramblix::BatchProgress& p)
{
    if (!p.walkComplete)
        return texts::kLookingForFiles.arg(p.filesTotal);
    QString text = texts::kProgress.arg(p.filesFinished)
                       .arg(p.filesTotal)
                       .arg(p.filesTotal == 1 ? texts::kFile : texts::kFiles)
                       .arg(Amount(p.bytesIn > p.bytesOut ? p.bytesIn - p.bytesOut : 0));
    if (p.filesFailed > 0)
        text += texts::kFailed.arg(p.filesFailed);
    if (p.directoriesUnreadable > 0)
        text += texts::kUnreadable.arg(p.directoriesUnreadable)
                    .arg(p.directoriesUnreadable == 1 ? texts::kFolder : texts::kFolders);
    return text;
}

void ShowProgress(QProgressBar* bar, const tramblix::BatchProgress& p)
{
    if (!p.walkComplete) {
        bar->setRange(0, 0);  // busy: the total is not known yet
        return;
    }
    bar->setRange(0, static_cast<int>(std::max<std::size_t>(p.filesTotal, 1)));
    bar->setValue(static_cast<int>(p.filesTotal == 0 ? 1 : p.filesFinished));
}

// The line left of the button has a fixed width; a text too long for it is cut with an ellipsis
// and shown whole as the label's hint.
void ShowProgressText(QLabel* label, const QString& text)
{
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, label->width());
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

bool IsFailure(tramblix::LogKind kind)
{
    return kind == tramblix::LogKind::FileFailed || kind == tramblix::LogKind::UnreadableDirectory;
}

QString SummaryLine(const tramblix::BatchProgress& p, qint64 milliseconds)
{
    const auto files = [](std::size_t n) { return n == 1 ? texts::kFile : texts::kFiles; };
    QString line = p.cancelled
                       ? texts::kSummaryCancelled.arg(p.filesFinished).arg(p.filesTotal).arg(files(p.filesTotal))
                       : texts::kSummaryDone.arg(p.filesTotal).arg(files(p.filesTotal));
    const double saved = p.bytesIn == 0 ? 0.0
                                        : (static_cast<double>(p.bytesIn) - static_cast<double>(p.bytesOut)) * 100.0 /
                                              static_cast<double>(p.bytesIn);
    return line + texts::kSummaryCounts.arg(p.filesDone - p.filesKept)
                      .arg(p.filesKept)
                      .arg(p.filesFailed)
                      .arg(p.filesUpToDate + p.filesSkipped)
                      .arg(Amount(p.bytesIn), Amount(p.bytesOut))
                      .arg(saved, 0, 'f', 1)
                      .arg(static_cast<double>(milliseconds) / 1000.0, 0, 'f', 1);
}

// The chosen folder as the log shows it: its own name, so long paths read from there on.
std::pair<QString, QString> ShownBase(const QString& base)
{
    const QString name = QDir(base).dirName();
    return {base, name.isEmpty() ? base : name + QDir::separator()};
}

void CancelRun(BatchJob& job, QPushButton* button, QLabel* label)
{
    if (job.CancelRequested())
        return;
    job.Cancel();
    button->setEnabled(false);  // until the files in flight are done
    ShowProgressText(label, texts::kCancellingRun);
}

}  // namespace

void TMainTramblix::SpeedButton1Click()
{
    ChooseDirectoryInto(dialogs_, InputEdit, this);
}

void TMainTramblix::SpeedButton2Click()
{
    ChooseDirectoryInto(dialogs_, OutputEdit, this);
}

void TMainTramblix::InputEditExit()
{
    AppendSeparator(InputEdit);
}

void TMainTramblix::OutputEditExit()
{
    AppendSeparator(OutputEdit);
}

void TMainTramblix::RunBtnClick()
{
    if (rearmRun_.isActive())
        return;
    if (batchJob_.Running()) {
        CancelRun(batchJob_, RunBtn, BatchProgressLabel);
        return;
    }

    const std::string input = LocalPath(InputEdit->text());
    const std::string output = LocalPath(OutputEdit->text());
    tramblix::DirectoryCheck check = tramblix::CheckDirectories(input, output);
    if (check == tramblix::DirectoryCheck::Ok)
        check = tramblix::ClaimOutputDirectory(input, output);
    if (check != tramblix::DirectoryCheck::Ok) {
        const tramblix::MessageText message = tramblix::MessageFor(check);
        dialogs_.Message(QString::fromUtf8(message.text), QString::fromUtf8(message.caption));
        return;
    }
    AppendSeparator(InputEdit);
    AppendSeparator(OutputEdit);

    const bool writeLog = OutputLogBox->isChecked();
    if (writeLog) {
        LogMemo->clear();  // the run's first line, "Start Processing...", comes from the runner
        log_.clear();
    }
    shownBases_[0] = ShownBase(InputEdit->text());
    shownBases_[1] = ShownBase(OutputEdit->text());
    if (shownBases_[0].first.size() < shownBases_[1].first.size())
        std::swap(shownBases_[0], shownBases_[1]);
    runClock_.start();

    tramblix::BatchSettings settings;
    settings.inputDirectory = LocalPath(InputEdit->text());
    settings.outputDirectory = LocalPath(OutputEdit->text());
    const Tuning tuning = directoryOptions_->Value();
    settings.level = static_cast<tramblix::CompressionLevel>(tuning.level);
    settings.strength = static_cast<tramblix::FilterStrength>(tuning.strength);
    settings.recurse = RecurseDirBox->isChecked();
    settings.engine = tuning.engine;
    if (JpegExtensionBox->isChecked())
        settings.extensions.push_back("jpeg");
    if (!batchJob_.Start(std::move(settings), writeLog))
        return;

    RunBtn->setText(texts::kCancelText);
    UpdateDirectoryControls();
    BatchProgressed({});
    BatchProgressLabel->show();
    BatchProgressBar->show();
}

void TMainTramblix::OutputLogBoxClick()
{
    const bool on = OutputLogBox->isChecked();
    LogMemo->setEnabled(on);
    const QPalette standard = QApplication::palette(LogMemo);
    QPalette palette = LogMemo->palette();
    // Set for every colour group: a disabled memo paints with the disabled group's colour.
    palette.setColor(QPalette::Base, standard.color(QPalette::Active, on ? QPalette::Base : QPalette::Midlight));
    LogMemo->setPalette(palette);
}

// A run's settings are fixed when it starts; the controls that make them wait for its end.
void TMainTramblix::UpdateDirectoryControls()
{
    const bool idle = !batchJob_.Running();
    for (QWidget* widget : std::initializer_list<QWidget*>{InputEdit, OutputEdit, SpeedButton1, SpeedButton2,
                                                           RecurseDirBox, OutputLogBox, JpegExtensionBox})
        widget->setEnabled(idle);
    directoryOptions_->SetLocked(!idle);
}

void TMainTramblix::CancelBatchForClose()
{
    CancelRun(batchJob_, RunBtn, BatchProgressLabel);
}

void TMainTramblix::BatchLinesArrived(const QList<BatchLine>& lines)
{
    for (const BatchLine& line : lines) {
        log_.append(line);
        ShowLogLine(line);
    }
}

// Failures in red, as the only file lines when "Show failures only" is on.
void TMainTramblix::ShowLogLine(const BatchLine& line)
{
    const bool failure = IsFailure(line.kind);
    const bool frame = line.kind == tramblix::LogKind::Start || line.kind == tramblix::LogKind::End;
    if (FailuresOnlyBox->isChecked() && !failure && !frame)
        return;
    QString text = line.text;
    for (const auto& [full, shown] : shownBases_)
        if (!full.isEmpty())
            text.replace(full, shown);
    text = text.toHtmlEscaped();
    if (text.startsWith(QLatin1Char(' ')))
        text.replace(0, 1, QStringLiteral("&nbsp;"));  // HTML would drop it
    LogMemo->appendHtml(failure ? QStringLiteral("<span style=\"color:#b00000\">%1</span>").arg(text)
                                : QStringLiteral("<span>%1</span>").arg(text));
}

void TMainTramblix::ShowLog()
{
    if (log_.isEmpty())
        return;  // the memo holds no run's log to filter
    LogMemo->clear();
    for (const BatchLine& line : std::as_const(log_))
        ShowLogLine(line);
}

void TMainTramblix::BatchProgressed(const tramblix::BatchProgress& progress)
{
    ShowProgress(BatchProgressBar, progress);
    QString text = ProgressText(progress);
    if (batchJob_.CancelRequested())
        text.prepend(texts::kCancelling);
    ShowProgressText(BatchProgressLabel, text);
}

void TMainTramblix::BatchFinished(const tramblix::BatchProgress& progress, const QString& error)
{
    ShowProgress(BatchProgressBar, progress);
    QString text = ProgressText(progress);
    if (!error.isEmpty())
        text = texts::kStopped.arg(error);
    else if (progress.cancelled)
        text.prepend(texts::kCancelled);
    ShowProgressText(BatchProgressLabel, text);
    if (OutputLogBox->isChecked() && error.isEmpty()) {
        const BatchLine summary{tramblix::LogKind::End, SummaryLine(progress, runClock_.elapsed())};
        log_.append(summary);
        ShowLogLine(summary);
    }
    RunBtn->setText(texts::kRunText);
    UpdateDirectoryControls();
    if (closeWhenIdle_) {
        close();
        return;
    }
    RunBtn->setEnabled(false);
    rearmRun_.start();
}

// The focus goes back to Compress, so Space or Enter runs again rather than toggling whatever
// control the focus moved on to while the button was disabled.
void TMainTramblix::RearmRun()
{
    RunBtn->setEnabled(true);
    if (MainPageCtrl->currentWidget() == ProcessSheet)
        RunBtn->setFocus(Qt::OtherFocusReason);
}
