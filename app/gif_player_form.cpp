#include "app/gif_player_form.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <QGuiApplication>
#include <QMargins>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>

#include "app/preview_image.h"
#include "app/texts.h"
#include "engine/file_io.h"

namespace {

// Room for a title bar with its close button, and for the message when there is no picture.
constexpr QSize kMinimumClient(280, 120);

// The frame around a window's client area; empty for a window that has none (yet).
QMargins FrameOf(const QWidget& window)
{
    const QRect outer = window.frameGeometry();
    const QRect inner = window.geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

}  // namespace

TGIFPlayerForm::TGIFPlayerForm(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    setObjectName(QStringLiteral("GIFPlayerForm"));
    // A thin title bar with a close button only; the fixed size set at each showing keeps the
    // user from resizing it.
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    connect(InputImage, &ImagePane::clicked, this, &TGIFPlayerForm::InputImageClick);
}

void TGIFPlayerForm::ShowFile(const QString& path)
{
    ImageFileName = path;
    const QString title = ViewerTitle(path);
    setWindowTitle(title);
    setToolTip(title);
    exec();
}

void TGIFPlayerForm::GetImageDimensions(std::int32_t& width, std::int32_t& height) const
{
    width = 0;
    height = 0;
    if (!FileExists(ImageFileName))
        return;
    const QSize size = JpegDisplaySize(ImageFileName);
    if (size.isEmpty())
        return;
    width = size.width();
    height = size.height();
}

void TGIFPlayerForm::DisplayImage()
{
    std::optional<DisplayPicture> picture;
    // Scaled down, only as many pixels as the screen shows are decoded: a huge photo never costs
    // a full decode.
    if (!shownSize_.isEmpty() && FileExists(ImageFileName))
        picture = LoadJpegForDisplay(ImageFileName, scaledDown_ ? shownSize_ : QSize());
    InputImage->setStretch(true);
    // Another file's picture under this file's title would mislead; show none instead.
    InputImage->setPicture(picture ? picture->image : QImage());
    InputImage->setVisible(picture.has_value());
    MessageLabel->setVisible(!picture);
}

void TGIFPlayerForm::showEvent(QShowEvent* event)
{
    // Qt sends this before the window appears, so the size and place are set before it is drawn.
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

void TGIFPlayerForm::FormShow()
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    GetImageDimensions(width, height);
    // The picture is shown in screen pixels, pixel for pixel, unless it would not fit on the
    // screen with the frame around it; then it is scaled down to fit, keeping its proportions.
    const qreal ratio = devicePixelRatioF();
    const QMargins frame = FrameExtent();
    const QSize room = (AvailableArea().size() - QSize(frame.left() + frame.right(), frame.top() + frame.bottom()))
                           .expandedTo(kMinimumClient);
    QSize shown(static_cast<int>(std::lround(width / ratio)), static_cast<int>(std::lround(height / ratio)));
    scaledDown_ = shown.width() > room.width() || shown.height() > room.height();
    if (scaledDown_)
        shown = shown.scaled(room, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    shownSize_ = width > 0 && height > 0 ? (QSizeF(shown) * ratio).toSize() : QSize();
    if (!shownSize_.isEmpty())
        InputImage->setFixedSize(shown);
    // A small picture or none still gets a window whose title bar and close button show.
    setFixedSize(shown.expandedTo(kMinimumClient));
    DisplayImage();
    Place();
}

void TGIFPlayerForm::InputImageClick()
{
    close();
}

void TGIFPlayerForm::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
}

// A click beside a small picture, or on the message, closes the viewer like one on the picture.
void TGIFPlayerForm::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click)
        close();
}

QRect TGIFPlayerForm::AvailableArea() const
{
    const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    const QScreen* screen = owner != nullptr ? owner->screen() : this->screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1 << 20, 1 << 20);
}

QMargins TGIFPlayerForm::FrameExtent() const
{
    // Once shown, the viewer knows its own frame; before that the owner's is the best guess.
    const QMargins own = FrameOf(*this);
    if (!own.isNull())
        return own;
    const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    return owner != nullptr ? FrameOf(*owner) : QMargins();
}

// The first showing is centred over the main window; later ones keep the place the user left
// it at. Either way the whole window, title bar first, stays inside the screen's free area.
void TGIFPlayerForm::Place()
{
    const QRect area = AvailableArea();
    const QMargins frame = FrameExtent();
    const QSize outer = size() + QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
    QPoint topLeft = frameGeometry().topLeft();
    if (!placed_) {
        const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
        const QRect over = owner != nullptr ? owner->frameGeometry() : area;
        topLeft =
            QPoint(over.left() + (over.width() - outer.width()) / 2, over.top() + (over.height() - outer.height()) / 2);
        placed_ = true;
    }
    topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())));
    topLeft.setY(std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())));
    // Placed by its client area: where a window manager puts the frame of a window moved before
    // it has one varies, and the frame could land off the screen.
    setGeometry(QRect(topLeft + QPoint(frame.left(), frame.top()), size()));
}

QString ViewerTitle(const QString& path)
{
    return path + texts::kViewerSize + QString::number(tramblix::FileSizeOf(ToFsPath(path))) + texts::kViewerBytes;
}
