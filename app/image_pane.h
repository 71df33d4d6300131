#pragma once

#include <QImage>
#include <QWidget>

#include "app/preview_image.h"

// A preview pane: shows one picture, either squeezed into the whole pane or at its own size
// from the top-left corner (the rest shows the background behind the pane); reports clicks.
// "Own size" is in screen pixels, so a picture shows pixel for pixel on a scaled desktop too.
class ImagePane : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    // `ownSize` is the picture's real size when `picture` was decoded at a reduced scale for
    // stretching; unstretched, the picture is then drawn at that size. Empty: picture.size().
    // `source`, the file's bytes, lets the pane decode it again at its own size when stretching
    // is switched off later, instead of blowing up the reduced picture.
    void setPicture(const QImage& picture, QSize ownSize = {}, JpegBytes source = {});
    const QImage& picture() const { return picture_; }
    QSize ownSize() const { return ownSize_; }
    const JpegBytes& source() const { return source_; }

    void setStretch(bool stretch);
    bool stretch() const { return stretch_; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage picture_;
    QSize ownSize_;
    JpegBytes source_;
    bool stretch_ = false;
    bool pressed_ = false;
};
