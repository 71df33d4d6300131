#include "app/compare_canvas.h"

#include <algorithm>
#include <cmath>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

namespace {

constexpr double kMinZoom = 1.0 / 64;
constexpr double kMaxZoom = 32;
const double kZoomStep = std::sqrt(2.0);  // two steps double the zoom: 100% to 400% in four
constexpr double kSplitGrip = 6;          // how near the line a press grabs it, in pixels
constexpr double kGap = 4;                // between the two sides

// Steps from an odd fitted zoom land on the round ones (100%, 141%, 200%, ...) when near them.
double Rounded(double zoom)
{
    const double halfSteps = std::log2(zoom) * 2;
    return std::abs(halfSteps - std::round(halfSteps)) < 0.1 ? std::exp2(std::round(halfSteps) / 2) : zoom;
}

// Whole pixels, so both sides fall on the pixel grid alike and look exactly alike.
double HalfWidth(const QRectF& all)
{
    return std::max(0.0, std::floor((all.width() - kGap) / 2));
}

}  // namespace

CompareCanvas::CompareCanvas(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);  // the cursor shows where the split line can be grabbed
    setAutoFillBackground(true);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, QColor(64, 64, 64));
    setPalette(dark);
}

void CompareCanvas::setPictures(const QImage& input, QSize inputSize, const QImage& output, QSize outputSize)
{
    const QSize frame = inputSize.isEmpty() ? outputSize : inputSize;
    const bool sameFrame = frame == frame_;
    input_ = input;
    output_ = output;
    frame_ = frame;
    if (!sameFrame || fitted_)
        fit();
    update();
}

void CompareCanvas::setMode(Mode mode)
{
    mode_ = mode;
    if (fitted_)
        fit();
    update();
}

QRectF CompareCanvas::LeftView() const
{
    const QRectF all = rect();
    if (mode_ == Mode::Split)
        return all;
    return {all.left(), all.top(), HalfWidth(all), all.height()};
}

QRectF CompareCanvas::RightView() const
{
    const QRectF all = rect();
    if (mode_ == Mode::Split)
        return all;
    const double width = HalfWidth(all);
    return {all.right() - width, all.top(), width, all.height()};
}

QRectF CompareCanvas::ViewOf(QPointF point) const
{
    return RightView().contains(point) ? RightView() : LeftView();
}

double CompareCanvas::Scale() const
{
    return zoom_ / devicePixelRatioF();
}

QRectF CompareCanvas::PictureRect(const QRectF& view) const
{
    const double scale = Scale();
    return {view.center() - centre_ * scale, QSizeF(frame_) * scale};
}

void CompareCanvas::fit()
{
    fitted_ = true;
    const QRectF view = LeftView();
    if (frame_.isEmpty() || view.isEmpty())
        return;
    const double scale = std::min(view.width() / frame_.width(), view.height() / frame_.height());
    zoom_ = std::clamp(scale * devicePixelRatioF(), kMinZoom, kMaxZoom);
    centre_ = QPointF(frame_.width() / 2.0, frame_.height() / 2.0);
    update();
    emit zoomChanged(zoom_);
}

void CompareCanvas::actualSize()
{
    ZoomAround(1, LeftView().center());
}

void CompareCanvas::zoomIn()
{
    ZoomAround(Rounded(zoom_ * kZoomStep), LeftView().center());
}

void CompareCanvas::zoomOut()
{
    ZoomAround(Rounded(zoom_ / kZoomStep), LeftView().center());
}

// The picture point under `point` stays under it.
void CompareCanvas::ZoomAround(double zoom, QPointF point)
{
    zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
    const QPointF offset = point - ViewOf(point).center();
    const QPointF under = centre_ + offset / Scale();
    zoom_ = zoom;
    centre_ = under - offset / Scale();
    fitted_ = false;
    update();
    emit zoomChanged(zoom_);
}

void CompareCanvas::DrawSide(QPainter& painter, const QImage& image, const QRectF& view, const QRectF& clip) const
{
    if (image.isNull() || clip.isEmpty())
        return;
    painter.save();
    painter.setClipRect(clip);
    // Enlarged, pixels show as squares, which is what a close look is for.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, zoom_ < 1);
    painter.drawImage(PictureRect(view), image, QRectF(image.rect()));
    painter.restore();
}

void CompareCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (mode_ == Mode::SideBySide) {
        DrawSide(painter, input_, LeftView(), LeftView());
        DrawSide(painter, output_, RightView(), RightView());
        return;
    }
    const QRectF all = rect();
    const double x = all.left() + split_ * all.width();
    DrawSide(painter, input_, all, QRectF(all.left(), all.top(), x - all.left(), all.height()));
    DrawSide(painter, output_, all, QRectF(x, all.top(), all.right() - x, all.height()));
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(QPointF(x, all.top()), QPointF(x, all.bottom()));
    const QRectF grip(x - 5, all.center().y() - 16, 10, 32);
    painter.fillRect(grip, Qt::white);
    painter.drawText(QRectF(all.left() + 6, all.top() + 4, 200, 20), Qt::AlignLeft, tr("Input"));
    painter.drawText(QRectF(all.right() - 206, all.top() + 4, 200, 20), Qt::AlignRight, tr("Output"));
}

void CompareCanvas::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (fitted_)
        fit();
}

void CompareCanvas::wheelEvent(QWheelEvent* event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0)
        return;
    ZoomAround(zoom_ * std::pow(kZoomStep, steps), event->position());
    event->accept();
}

void CompareCanvas::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::ZoomIn) || event->key() == Qt::Key_Plus || event->key() == Qt::Key_Equal)
        zoomIn();
    else if (event->matches(QKeySequence::ZoomOut) || event->key() == Qt::Key_Minus)
        zoomOut();
    else if (event->key() == Qt::Key_F || event->key() == Qt::Key_0)
        fit();
    else if (event->key() == Qt::Key_1)
        actualSize();
    else
        QWidget::keyPressEvent(event);
}

bool CompareCanvas::NearSplit(QPointF point) const
{
    return mode_ == Mode::Split && std::abs(point.x() - (rect().left() + split_ * width())) <= kSplitGrip;
}

void CompareCanvas::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    drag_ = NearSplit(event->position()) ? Drag::Split : Drag::Pan;
    last_ = event->position();
    if (drag_ == Drag::Pan)
        setCursor(Qt::ClosedHandCursor);
}

void CompareCanvas::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF point = event->position();
    if (drag_ == Drag::Split) {
        split_ = std::clamp(point.x() / std::max(1, width()), 0.0, 1.0);
        update();
        return;
    }
    if (drag_ == Drag::Pan) {
        centre_ -= (point - last_) / Scale();
        last_ = point;
        fitted_ = false;
        update();
        return;
    }
    setCursor(NearSplit(point) ? Qt::SplitHCursor : Qt::OpenHandCursor);
}

void CompareCanvas::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    drag_ = Drag::None;
    setCursor(NearSplit(event->position()) ? Qt::SplitHCursor : Qt::OpenHandCursor);
}
