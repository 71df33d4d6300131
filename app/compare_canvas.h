#pragma once

#include <QImage>
#include <QPointF>
#include <QSize>
#include <QWidget>

// Shows an input picture and its compressed output at one zoom and one spot: side by side, or
// as one picture cut by a split line the user drags (input left of it, output right). Wheel,
// +/- and the zoom calls zoom; dragging pans. Both sides always show the same spot, because
// they share a single view: the picture point at the centre and the zoom.
class CompareCanvas : public QWidget {
    Q_OBJECT

public:
    enum class Mode { SideBySide, Split };

    explicit CompareCanvas(QWidget* parent = nullptr);

    // `inputSize` and `outputSize` are the pictures' own sizes; each image may be decoded
    // smaller. The output is laid over the input's frame. A new pair keeps the view when the
    // input's size is the same, so a refresh after another run shows the same spot.
    void setPictures(const QImage& input, QSize inputSize, const QImage& output, QSize outputSize);

    void setMode(Mode mode);
    Mode mode() const { return mode_; }

    // Screen pixels per picture pixel: 1 is 100%.
    double zoom() const { return zoom_; }
    void zoomIn();
    void zoomOut();
    void fit();
    void actualSize();
    QPointF centre() const { return centre_; }

    // Where the split line stands, as a share of the canvas width.
    double split() const { return split_; }

signals:
    void zoomChanged(double zoom);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The area one side is drawn in: its half side by side, the whole canvas split.
    QRectF ViewOf(QPointF point) const;
    QRectF LeftView() const;
    QRectF RightView() const;
    double Scale() const;  // logical pixels per picture pixel
    QRectF PictureRect(const QRectF& view) const;
    void ZoomAround(double zoom, QPointF point);
    void DrawSide(QPainter& painter, const QImage& image, const QRectF& view, const QRectF& clip) const;
    bool NearSplit(QPointF point) const;

    QImage input_;
    QImage output_;
    QSize frame_;  // the input's own size: the picture space both sides are drawn in
    Mode mode_ = Mode::SideBySide;
    double zoom_ = 1;
    QPointF centre_;
    bool fitted_ = true;  // follows the canvas size until the user zooms or pans
    double split_ = 0.5;
    enum class Drag { None, Pan, Split } drag_ = Drag::None;
    QPointF last_;
};
