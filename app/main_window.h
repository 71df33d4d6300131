#pragma once

#include <memory>
#include <thread>
#include <utility>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QTimer>

#include "app/batch_job.h"
#include "app/dialogs.h"
#include "app/options_row.h"
#include "app/preview_loader.h"
#include "app/window_growth.h"
#include "ui_main_window.h"

class CompareView;
class TGIFPlayerForm;

// The program's working window: the "Process Directory" and "Single Image" tabs and the Help
// menu. The controls are members under the names the form gives them; the handlers of each
// tab live in directory_tab.cpp and single_image_tab.cpp, those of the menu in help_menu.cpp.

class TMainTramblix : public QMainWindow, private Ui::TMainTramblix {
    Q_OBJECT

public:
    explicit TMainTramblix(Dialogs& dialogs, QWidget* parent = nullptr);
    ~TMainTramblix() override;

    // Restores what `settings` holds (nothing on a first start: the defaults stay) and stores the
    // window's state there when it closes.
    void UseSettings(std::unique_ptr<QSettings> settings);
    void SaveSettings();

    // Builds the hidden full-size viewer; start-up calls it right after the window is made.
    void CreateViewer();

    // "Process Directory" tab
    void SpeedButton1Click();
    void SpeedButton2Click();
    void InputEditExit();
    void OutputEditExit();
    void RunBtnClick();
    void OutputLogBoxClick();

    // "Single Image" tab
    void SpeedButton3Click();
    void SpeedButton4Click();
    void RunSingleImageBtnClick();
    void InputSingleImageEditChange();
    void InputSingleImageEditExit();
    void InputSingleImageEditMouseUp();
    void OutputSingleImageEditChange();
    void OutputSingleImageEditExit();
    void OutputSingleImageEditMouseUp();
    void OutputImagePreviewBoxClick();
    void InputStretchClick();
    void OutputStretchClick();
    void InputImageClick();
    void OutputImageClick();
    void Button1Click();
    void Button2Click();
    void CompareBtnClick();
    void UpdateInputPreview();
    void UpdateOutputPreview();
    void InputPreviewLoaded(const PreviewLoader::Result& result);
    void OutputPreviewLoaded(const PreviewLoader::Result& result);
    void RefreshGrownPreviews();

    // Help menu
    void Manual1Click();
    void MoravelStore1Click();
    void OnlineTrambixs1Click();
    void About1Click();

protected:
    // Closing during a run keeps the window up, saying so, until the run has really ended: a
    // directory run is cancelled and its files in flight finish, a single picture is finished.
    // Only then does the window close, so no process lives on without a window.
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void ConnectHandlers();
    void ConnectKeys();
    void RearmRun();
    void SetUpOptionsRows();
    void SetUpGrowth();
    void SetUpScrolling();

    // The directory run's reports, on the GUI thread (directory_tab.cpp).
    void BatchLinesArrived(const QList<BatchLine>& lines);
    void ShowLogLine(const BatchLine& line);
    void ShowLog();
    void BatchProgressed(const tramblix::BatchProgress& progress);
    void BatchFinished(const tramblix::BatchProgress& progress, const QString& error);
    void CancelBatchForClose();
    void UpdateDirectoryControls();
    void UpdateSingleImageControls();
    void SuggestOutputName();
    QString NearbyOf(const QString& otherPath) const;
    void UpdateCompareButton();
    bool SingleImageRunning() const;
    // The compare window's "Use these settings": the "Single Image" tab takes them.
    void ApplyTuning(const Tuning& tuning);

    Dialogs& dialogs_;
    // Each tab's level, AI level, target look, encoder and switches.
    OptionsRow* directoryOptions_ = nullptr;
    OptionsRow* singleOptions_ = nullptr;
    TGIFPlayerForm* GIFPlayerForm = nullptr;  // owned as a child window
    CompareView* compareView_ = nullptr;      // owned as a child window; made on first use
    std::jthread singleImageRun_;             // the "Single Image" compression; joined before the widgets go
    BatchJob batchJob_{this};                 // a child only so tests can find it; joined before the widgets go
    bool closeWhenIdle_ = false;
    std::unique_ptr<QSettings> settings_;
    QString lastImageFolder_;  // where the file choosers start when both edits are empty
    // The directory run's log as it came, for the failures filter and the summary; its paths
    // shown from the chosen folders' names on.
    QList<BatchLine> log_;
    std::pair<QString, QString> shownBases_[2];  // full folder -> its name, the longer one first
    QElapsedTimer runClock_;
    WindowGrowth growth_{QSize()};
    QTimer grownPreviews_;  // a resize drag settles before the panes decode again
    // After a directory run the button rests a moment: a Cancel click that lands just after the
    // run ended must not start the next one.
    QTimer rearmRun_;
    // Before the widgets go, each waits for its decode in progress.
    PreviewLoader inputPreview_{this};
    PreviewLoader outputPreview_{this};
};

// Where "Manual" looks for the user guide: beside the executable, whatever the current directory.
QString UserGuidePath();
