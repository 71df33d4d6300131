#include "app/main_window.h"

#include <algorithm>
#include <initializer_list>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>

#include "app/appearance.h"
#include "app/batch_folder_drop.h"
#include "app/gif_player_form.h"
#include "app/texts.h"

namespace {

// Room for the frame and title bar, which are not known before the window is shown.
constexpr QSize kFrameRoom(16, 40);

// The window's stored place; kept on the screen when the screen is smaller than the one it was laid out on.
QPoint StoredPosition(const QSize& size)
{
    const QPoint stored(876, 98);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return stored;
    const QRect available = screen->availableGeometry();
    return {std::clamp(stored.x(), available.left(), std::max(available.left(), available.right() + 1 - size.width())),
            std::clamp(stored.y(), available.top(), std::max(available.top(), available.bottom() + 1 - size.height()))};
}

}  // namespace

TMainTramblix::TMainTramblix(Dialogs& dialogs, QWidget* parent) : QMainWindow(parent), dialogs_(dialogs)
{
    setupUi(this);
    SetUpOptionsRows();
    setFont(WindowFont());
    SetGroupBoxStyle(this);
    setWindowIcon(MainIcon());
    SetUpScrolling();
    move(StoredPosition(size() + kFrameRoom));
    SetUpGrowth();
    inputPreview_.setObjectName(QStringLiteral("InputPreviewLoader"));
    outputPreview_.setObjectName(QStringLiteral("OutputPreviewLoader"));
    grownPreviews_.setSingleShot(true);
    grownPreviews_.setInterval(200);
    rearmRun_.setSingleShot(true);
    rearmRun_.setInterval(600);
    ConnectHandlers();
    ConnectKeys();
    // The front tab's first path edit takes the keyboard when the window is first shown.
    InputSingleImageEdit->setFocus(Qt::OtherFocusReason);
    UpdateInputPreview();
    UpdateOutputPreview();
}

TMainTramblix::~TMainTramblix() = default;

void TMainTramblix::SetUpOptionsRows()
{
    directoryOptions_ = new OptionsRow({.level = CompressionLevelSlider,
                                        .levelText = LevelBatchLabel,
                                        .aiLevel = AIBatchTrackBar,
                                        .aiLevelText = AiLevelBatchLabel,
                                        .targetLook = TargetLookBatchBox,
                                        .targetLookLabel = TargetLookBatchLabel,
                                        .encoder = EncoderBatchBox,
                                        .lossless = LosslessBatchBox,
                                        .strip = StripMetadataBatchBox,
                                        .keepDates = KeepDatesBatchBox},
                                       this);
    singleOptions_ = new OptionsRow({.level = CompressionLevelSingleImageSlider,
                                     .levelText = LevelSingleImageLabel,
                                     .aiLevel = AISingleTrackBar,
                                     .aiLevelText = AiLevelSingleImageLabel,
                                     .targetLook = TargetLookSingleImageBox,
                                     .targetLookLabel = TargetLookSingleImageLabel,
                                     .encoder = EncoderSingleImageBox,
                                     .lossless = LosslessSingleImageBox,
                                     .strip = StripMetadataSingleImageBox,
                                     .keepDates = KeepDatesSingleImageBox},
                                    this);
}

void TMainTramblix::ApplyTuning(const Tuning& tuning)
{
    if (!SingleImageRunning())  // a run's settings stay as they were when it started
        singleOptions_->SetValue(tuning);
}

void TMainTramblix::CreateViewer()
{
    if (GIFPlayerForm == nullptr)
        GIFPlayerForm = new TGIFPlayerForm(this);
}

void TMainTramblix::closeEvent(QCloseEvent* event)
{
    const bool batch = batchJob_.Running();
    const bool single = SingleImageRunning();
    if (!batch && !single) {
        SaveSettings();
        QMainWindow::closeEvent(event);
        return;
    }
    closeWhenIdle_ = true;
    if (batch)
        CancelBatchForClose();
    if (single)
        SingleImageLogMemo->setPlainText(texts::kClosingSingle);
    event->ignore();
}

void TMainTramblix::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    growth_.Apply(event->size());
    grownPreviews_.start();
}

// Below the stored size the tabs scroll instead of cutting off the Compress buttons and the options
// rows (down to any height); the window never opens larger than the screen's free area.
void TMainTramblix::SetUpScrolling()
{
    const QSize stored = size();
    auto* scroller = new QScrollArea(Panel2);
    scroller->setObjectName(QStringLiteral("MainScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    Panel2->layout()->removeWidget(MainPageCtrl);
    // The tabs' right margin makes room for a vertical scroll bar, so a short window needs no
    // horizontal one.
    const int bar = scroller->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    MainPageCtrl->setMinimumSize(stored.width() - bar, stored.height() - menuBar()->sizeHint().height());
    scroller->setWidget(MainPageCtrl);
    Panel2->layout()->addWidget(scroller);
    setMinimumSize(200, 200);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        resize(stored.boundedTo(screen->availableGeometry().size() - kFrameRoom));
}

// Grown, the previews and the log take the extra room and the path edits widen; buttons keep
// their size and stay by the edge they sit at.
void TMainTramblix::SetUpGrowth()
{
    growth_ = WindowGrowth(size());
    const Follow fill{0, 0, 1, 1};
    const Follow widen{0, 0, 1, 0};
    const Follow right{1, 0, 1, 0};
    const Follow bottom{0, 1, 0, 1};
    const Follow bottomWiden{0, 1, 1, 1};
    using Widgets = std::initializer_list<QWidget*>;
    for (QWidget* widget : Widgets{GroupBox5, GroupBox3, LogMemo, GroupBox10, GroupBox12})
        growth_.Add(widget, fill);
    for (QWidget* widget : Widgets{InputEdit, OutputEdit, InputSingleImageEdit, OutputSingleImageEdit, GroupBox7,
                                   CompressionLevelSlider, GroupBox2, AIBatchTrackBar, GroupBox6, GroupBox11,
                                   CompressionLevelSingleImageSlider, GroupBox1, AISingleTrackBar})
        growth_.Add(widget, widen);
    for (QWidget* widget :
         Widgets{SpeedButton1, SpeedButton2, SpeedButton3, SpeedButton4, LevelBatchLabel, LevelSingleImageLabel,
                 AiLevelBatchLabel, AiLevelSingleImageLabel, TargetLookBatchLabel, TargetLookBatchBox,
                 TargetLookSingleImageLabel, TargetLookSingleImageBox})
        growth_.Add(widget, right);
    growth_.Add(OutputLogBox, bottom);
    growth_.Add(FailuresOnlyBox, bottom);
    growth_.Add(RunBtn, {1, 1, 1, 1});
    growth_.Add(BatchProgressLabel, bottomWiden);
    growth_.Add(BatchProgressBar, bottomWiden);
    // The two previews share the extra width; their switches and buttons stay over and under them.
    growth_.Add(Panel1, {0, 0, 0.5, 1});
    growth_.Add(InputImage, {0, 0, 0.5, 1});
    growth_.Add(Panel3, {0.5, 0, 1, 1});
    growth_.Add(OutputImage, {0, 0, 0.5, 1});
    growth_.Add(OutputImagePreviewBox, {0.5, 0, 0.5, 0});
    growth_.Add(OutputStretch, {0.5, 0, 0.5, 0});
    growth_.Add(Button1, {0.25, 1, 0.25, 1});
    growth_.Add(Button2, {0.75, 1, 0.75, 1});
    growth_.Add(CompareBtn, {0.5, 1, 0.5, 1});
    growth_.Add(RunSingleImageBtn, bottom);
    growth_.Add(BatchOptions, bottom);
    growth_.Add(SingleImageOptions, bottom);
    growth_.Add(SingleImageLogMemo, bottomWiden);
}

// Enter in a path edit does what leaving it does, then presses the tab's Compress; Esc cancels a
// directory run.
void TMainTramblix::ConnectKeys()
{
    const auto enter = [this](PathEdit* edit, void (TMainTramblix::*exit)(), QPushButton* run, bool batch) {
        connect(edit, &QLineEdit::returnPressed, this, [this, exit, run, batch] {
            (this->*exit)();
            if (run->isEnabled() && !(batch && batchJob_.Running()))
                run->click();
        });
    };
    enter(InputEdit, &TMainTramblix::InputEditExit, RunBtn, true);
    enter(OutputEdit, &TMainTramblix::OutputEditExit, RunBtn, true);
    enter(InputSingleImageEdit, &TMainTramblix::InputSingleImageEditExit, RunSingleImageBtn, false);
    enter(OutputSingleImageEdit, &TMainTramblix::OutputSingleImageEditExit, RunSingleImageBtn, false);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (batchJob_.Running())
            CancelBatchForClose();
    });
    connect(&rearmRun_, &QTimer::timeout, this, &TMainTramblix::RearmRun);
}

void TMainTramblix::ConnectHandlers()
{
    connect(SpeedButton1, &QToolButton::clicked, this, &TMainTramblix::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TMainTramblix::SpeedButton2Click);
    connect(InputEdit, &PathEdit::exited, this, &TMainTramblix::InputEditExit);
    connect(OutputEdit, &PathEdit::exited, this, &TMainTramblix::OutputEditExit);
    connect(RunBtn, &QPushButton::clicked, this, &TMainTramblix::RunBtnClick);
    connect(OutputLogBox, &QCheckBox::clicked, this, &TMainTramblix::OutputLogBoxClick);
    connect(FailuresOnlyBox, &QCheckBox::toggled, this, &TMainTramblix::ShowLog);
    FolderDrop::Install(InputEdit);
    FolderDrop::Install(OutputEdit);
    connect(&batchJob_, &BatchJob::linesArrived, this, &TMainTramblix::BatchLinesArrived);
    connect(&batchJob_, &BatchJob::progressed, this, &TMainTramblix::BatchProgressed);
    connect(&batchJob_, &BatchJob::finished, this, &TMainTramblix::BatchFinished);

    connect(SpeedButton3, &QToolButton::clicked, this, &TMainTramblix::SpeedButton3Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TMainTramblix::SpeedButton4Click);
    connect(RunSingleImageBtn, &QPushButton::clicked, this, &TMainTramblix::RunSingleImageBtnClick);
    connect(InputSingleImageEdit, &QLineEdit::textChanged, this, &TMainTramblix::InputSingleImageEditChange);
    connect(InputSingleImageEdit, &PathEdit::exited, this, &TMainTramblix::InputSingleImageEditExit);
    connect(InputSingleImageEdit, &PathEdit::mouseReleased, this, &TMainTramblix::InputSingleImageEditMouseUp);
    connect(FolderDrop::Install(InputSingleImageEdit, FolderDrop::Takes::File), &FolderDrop::dropped, this,
            &TMainTramblix::SuggestOutputName);
    connect(OutputSingleImageEdit, &QLineEdit::textChanged, this, &TMainTramblix::OutputSingleImageEditChange);
    connect(OutputSingleImageEdit, &PathEdit::exited, this, &TMainTramblix::OutputSingleImageEditExit);
    connect(OutputSingleImageEdit, &PathEdit::mouseReleased, this, &TMainTramblix::OutputSingleImageEditMouseUp);
    connect(OutputImagePreviewBox, &QCheckBox::clicked, this, &TMainTramblix::OutputImagePreviewBoxClick);
    connect(InputStretch, &QCheckBox::clicked, this, &TMainTramblix::InputStretchClick);
    connect(OutputStretch, &QCheckBox::clicked, this, &TMainTramblix::OutputStretchClick);
    connect(InputImage, &ImagePane::clicked, this, &TMainTramblix::InputImageClick);
    connect(OutputImage, &ImagePane::clicked, this, &TMainTramblix::OutputImageClick);
    connect(Button1, &QPushButton::clicked, this, &TMainTramblix::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TMainTramblix::Button2Click);
    connect(CompareBtn, &QPushButton::clicked, this, &TMainTramblix::CompareBtnClick);
    connect(&inputPreview_, &PreviewLoader::loaded, this, &TMainTramblix::InputPreviewLoaded);
    connect(&outputPreview_, &PreviewLoader::loaded, this, &TMainTramblix::OutputPreviewLoaded);
    connect(&grownPreviews_, &QTimer::timeout, this, &TMainTramblix::RefreshGrownPreviews);

    connect(Manual1, &QAction::triggered, this, &TMainTramblix::Manual1Click);
    connect(MoravelStore1, &QAction::triggered, this, &TMainTramblix::MoravelStore1Click);
    connect(OnlineTrambixs1, &QAction::triggered, this, &TMainTramblix::OnlineTrambixs1Click);
    connect(About1, &QAction::triggered, this, &TMainTramblix::About1Click);
}
