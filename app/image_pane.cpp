#include "app/image_pane.h"

#include <QMouseEvent>
#include <QPainter>

void ImagePane::setPicture(const QImage& picture, QSize ownSize, JpegBytes source)
{
    picture_ = picture;
    ownSize_ = ownSize.isEmpty() ? picture.size() : ownSize;
    source_ = std::move(source);
    update();
}

void ImagePane::setStretch(bool stretch)
{
    stretch_ = stretch;
    if (!stretch_ && picture_.size() != ownSize_ && source_) {
        // Decoded small for stretching: drawn at its own size it needs all of its pixels. When
        // that decode fails the reduced picture, enlarged, is still better than none.
        if (const std::optional<DisplayPicture> full = DecodeJpegBytesForDisplay(source_))
            picture_ = full->image;
    }
    update();
}

void ImagePane::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (stretch_)
        painter.drawImage(rect(), picture_);
    else
        painter.drawImage(QRectF(QPointF(0, 0), QSizeF(ownSize_) / devicePixelRatioF()), picture_);
}

void ImagePane::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
}

void ImagePane::mouseReleaseEvent(QMouseEvent* event)
{
    // A click is a press and a release of the left button over the pane.
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click)
        emit clicked();
}
