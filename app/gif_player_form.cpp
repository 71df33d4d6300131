#include "app/gif_player_form.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <QShowEvent>

#include "app/preview_image.h"
#include "engine/file_io.h"

TGIFPlayerForm::TGIFPlayerForm(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    setObjectName(QStringLiteral("GIFPlayerForm"));
    // A thin title bar with a close button only; the fixed size set at each showing keeps the
    // user from resizing it.
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint);
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
    if (!FileExists(ImageFileName))
        return;
    InputImage->setStretch(true);
    std::optional<DisplayPicture> picture = LoadJpegForDisplay(ImageFileName);
    // Another file's picture under this file's title would mislead; show none instead.
    InputImage->setPicture(picture ? picture->image : QImage());
    InputImage->show();
    InputImage->update();
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
    // The client area has the picture's size in screen pixels, so it shows pixel for pixel. An
    // unreadable file gets the smallest window the platform allows, little more than a title bar.
    const qreal ratio = devicePixelRatioF();
    setFixedSize(std::max(1, static_cast<int>(std::lround(width / ratio))),
                 std::max(1, static_cast<int>(std::lround(height / ratio))));
    DisplayImage();
    if (!placed_) {
        CentreOverOwner();
        placed_ = true;
    }
}

void TGIFPlayerForm::InputImageClick()
{
    close();
}

void TGIFPlayerForm::CentreOverOwner()
{
    const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (owner == nullptr)
        return;
    const QRect ownerOuter = owner->frameGeometry();
    const QRect ownerInner = owner->geometry();
    // The viewer has no frame before its first showing; take the owner's as its likely size.
    const QSize frame = ownerOuter.size() - ownerInner.size();
    const QSize outer = size() + frame;
    const int left = ownerOuter.left() + (ownerOuter.width() - outer.width()) / 2;
    const int top = ownerOuter.top() + (ownerOuter.height() - outer.height()) / 2;
    // Placed by its client area: where a window manager puts the frame of a window moved before
    // it has one varies, and the frame could land at a negative position.
    const QPoint frameOffset = ownerInner.topLeft() - ownerOuter.topLeft();
    setGeometry(QRect(QPoint(std::max(left, 0), std::max(top, 0)) + frameOffset, size()));
}

QString ViewerTitle(const QString& path)
{
    return path + QStringLiteral(" Size: ") + QString::number(tramblix::FileSizeOf(ToFsPath(path))) + QStringLiteral(" Bytes");
}
