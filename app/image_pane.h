#pragma once

#include <QImage>
#include <QWidget>

// A preview pane: shows one picture, either squeezed into the whole pane or at its own size
// from the top-left corner (the rest shows the background behind the pane); reports clicks.
class ImagePane : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }

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
    bool stretch_ = false;
    bool pressed_ = false;
};
