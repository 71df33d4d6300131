#include "app/main_window.h"

#include <algorithm>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

#include "app/appearance.h"
#include "app/batch_folder_drop.h"
#include "app/gif_player_form.h"

namespace {

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
    setFont(WindowFont());
    SetGroupBoxStyle(this);
    setWindowIcon(MainIcon());
    move(StoredPosition(size()));
    ConnectHandlers();
    UpdateInputPreview();
    UpdateOutputPreview();
}

TMainTramblix::~TMainTramblix() = default;

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
        QMainWindow::closeEvent(event);
        return;
    }
    closeWhenIdle_ = true;
    if (batch)
        CancelBatchForClose();
    if (single)
        SingleImageLogMemo->setPlainText(QStringLiteral("Closing: finishing the picture in progress..."));
    event->ignore();
}

void TMainTramblix::ConnectHandlers()
{
    connect(SpeedButton1, &QToolButton::clicked, this, &TMainTramblix::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TMainTramblix::SpeedButton2Click);
    connect(InputEdit, &PathEdit::exited, this, &TMainTramblix::InputEditExit);
    connect(OutputEdit, &PathEdit::exited, this, &TMainTramblix::OutputEditExit);
    connect(RunBtn, &QPushButton::clicked, this, &TMainTramblix::RunBtnClick);
    connect(OutputLogBox, &QCheckBox::clicked, this, &TMainTramblix::OutputLogBoxClick);
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

    connect(Manual1, &QAction::triggered, this, &TMainTramblix::Manual1Click);
    connect(MoravelStore1, &QAction::triggered, this, &TMainTramblix::MoravelStore1Click);
    connect(OnlineTrambixs1, &QAction::triggered, this, &TMainTramblix::OnlineTrambixs1Click);
    connect(About1, &QAction::triggered, this, &TMainTramblix::About1Click);
}
