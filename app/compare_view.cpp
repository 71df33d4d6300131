#include "app/compare_view.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <vector>

#include <QButtonGroup>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMetaObject>
#include <QScreen>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/compare_canvas.h"
#include "app/display_image.h"
#include "app/preview_image.h"
#include "engine/file_io.h"
#include "engine/multi_picture.h"
#include "engine/preview.h"
#include "engine/ssim.h"

namespace {

// A picture too large to decode whole (over the pixel limit or the memory budget) is shown from
// a reduced decode that still covers this box.
constexpr int kReducedBox = 4096;

struct Decoded {
    tramblix::Image pixels;
    QSize size;  // the picture's own size
    bool reduced = false;
    QString extras;  // what the file carries beyond the picture ("an HDR gain map")
};

std::optional<Decoded> DecodeFile(const QString& path)
{
    std::vector<std::uint8_t> bytes;
    if (tramblix::ReadWholeFile(ToFsPath(path), bytes) != tramblix::ReadStatus::Ok)
        return std::nullopt;
    Decoded decoded;
    decoded.extras = QString::fromStdString(tramblix::DescribeExtras(bytes));
    if (tramblix::DecodeJpegForDisplay(bytes, decoded.pixels)) {
        decoded.size = QSize(decoded.pixels.width, decoded.pixels.height);
        return decoded;
    }
    if (!tramblix::DecodeJpegForDisplay(bytes, decoded.pixels, kReducedBox, kReducedBox))
        return std::nullopt;
    decoded.size = JpegDisplaySize(path);
    decoded.reduced = true;
    return decoded;
}

// "Both carry an HDR gain map", or what each side carries; empty when neither carries anything.
QString ExtrasText(const QString& input, const QString& output)
{
    if (input == output)
        return input.isEmpty() ? QString() : CompareView::tr("Both carry %1").arg(input);
    QStringList parts;
    if (!input.isEmpty())
        parts << CompareView::tr("Input carries %1").arg(input);
    if (!output.isEmpty())
        parts << CompareView::tr("Output carries %1").arg(output);
    return parts.join(QStringLiteral("   "));
}

QToolButton* Button(const QString& text, const QString& hint, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(hint);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return button;
}

}  // namespace

CompareView::CompareView(QWidget* parent)
    : QWidget(parent, Qt::Window),
      canvas_(new CompareCanvas(this)),
      sideBySide_(Button(tr("Side by side"), tr("Input left, output right"), this)),
      split_(Button(tr("Split"), tr("One picture: input left of the line, output right; drag the line"), this)),
      zoomText_(new QLabel(this)),
      status_(new QLabel(this))
{
    setObjectName(QStringLiteral("CompareView"));
    setWindowTitle(tr("Compare"));
    canvas_->setObjectName(QStringLiteral("CompareCanvas"));
    status_->setObjectName(QStringLiteral("CompareStatus"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    sideBySide_->setCheckable(true);
    split_->setCheckable(true);
    sideBySide_->setChecked(true);
    auto* modes = new QButtonGroup(this);
    modes->addButton(sideBySide_);
    modes->addButton(split_);

    auto* zoomOut = Button(tr("-"), tr("Zoom out (-)"), this);
    auto* zoomIn = Button(tr("+"), tr("Zoom in (+)"), this);
    auto* fit = Button(tr("Fit"), tr("Whole picture (F)"), this);
    auto* actual = Button(tr("100%"), tr("One picture pixel per screen pixel (1)"), this);
    zoomText_->setMinimumWidth(zoomText_->fontMetrics().horizontalAdvance(QStringLiteral("0000%")));

    auto* tools = new QHBoxLayout;
    for (QWidget* widget : std::initializer_list<QWidget*>{sideBySide_, split_})
        tools->addWidget(widget);
    tools->addSpacing(16);
    for (QWidget* widget : std::initializer_list<QWidget*>{zoomOut, zoomIn, fit, actual, zoomText_})
        tools->addWidget(widget);
    tools->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(tools);
    layout->addWidget(canvas_, 1);
    layout->addWidget(status_);

    connect(sideBySide_, &QToolButton::toggled, this,
            [this](bool on) { canvas_->setMode(on ? CompareCanvas::Mode::SideBySide : CompareCanvas::Mode::Split); });
    connect(zoomOut, &QToolButton::clicked, canvas_, &CompareCanvas::zoomOut);
    connect(zoomIn, &QToolButton::clicked, canvas_, &CompareCanvas::zoomIn);
    connect(fit, &QToolButton::clicked, canvas_, &CompareCanvas::fit);
    connect(actual, &QToolButton::clicked, canvas_, &CompareCanvas::actualSize);
    connect(canvas_, &CompareCanvas::zoomChanged, this, &CompareView::UpdateZoomText);

    setFocusProxy(canvas_);  // the zoom keys work wherever the window was clicked
    for (QToolButton* button : findChildren<QToolButton*>())
        button->setFocusPolicy(Qt::NoFocus);

    QSize size(1000, 700);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(size);
    UpdateZoomText(canvas_->zoom());
}

CompareView::~CompareView()
{
    worker_.request_stop();
    if (worker_.joinable())
        worker_.join();
}

void CompareView::Compare(const QString& input, const QString& output)
{
    setWindowTitle(tr("Compare: %1 and %2").arg(QFileInfo(input).fileName(), QFileInfo(output).fileName()));
    ++load_;
    inputBytes_ = QFileInfo(input).size();
    outputBytes_ = QFileInfo(output).size();
    problem_.clear();
    extras_.clear();
    ssimText_ = tr("SSIM: measuring...");
    UpdateStatus();
    if (running_) {
        worker_.request_stop();  // its SSIM is not wanted any more
        waiting_.emplace(input, output);
        return;
    }
    Start(input, output);
}

void CompareView::Start(const QString& input, const QString& output)
{
    if (worker_.joinable())
        worker_.join();  // finished: its last report is in
    running_ = true;
    auto compare = [this, input, output, load = load_](std::stop_token stop) {
        const std::optional<Decoded> in = DecodeFile(input);
        const std::optional<Decoded> out = DecodeFile(output);
        Pictures pictures;
        if (in)
            pictures.input = {ToQImage(in->pixels), in->size};
        if (out)
            pictures.output = {ToQImage(out->pixels), out->size};
        pictures.extras = ExtrasText(in ? in->extras : QString(), out ? out->extras : QString());
        if (!in || !out)
            pictures.problem = !in ? tr("The input is not a JPEG picture that can be shown.")
                                   : tr("The output is not a JPEG picture that can be shown.");
        QMetaObject::invokeMethod(
            this, [this, load, pictures] { ShowPictures(load, pictures); }, Qt::QueuedConnection);
        std::optional<double> ssim;
        bool reduced = false;
        if (in && out && !stop.stop_requested()) {
            ssim = tramblix::Ssim(in->pixels, out->pixels);
            reduced = in->reduced || out->reduced;
        }
        QMetaObject::invokeMethod(
            this,
            [this, load, ssim, reduced] {
                ShowSsim(load, ssim, reduced);
                LoadDone();
            },
            Qt::QueuedConnection);
    };
    try {
        worker_ = std::jthread(std::move(compare));
    } catch (const std::exception& e) {
        // No thread (no memory for its stack): the view says why instead of freezing the window.
        Pictures pictures;
        pictures.problem = tr("The pictures cannot be compared now (%1).").arg(QString::fromLocal8Bit(e.what()));
        ShowPictures(load_, pictures);
        ShowSsim(load_, std::nullopt, false);
        LoadDone();
    }
}

void CompareView::ShowPictures(std::uint64_t load, const Pictures& pictures)
{
    if (load != load_)
        return;
    canvas_->setPictures(pictures.input.image, pictures.input.size, pictures.output.image, pictures.output.size);
    problem_ = pictures.problem;
    extras_ = pictures.extras;
    UpdateStatus();
}

void CompareView::ShowSsim(std::uint64_t load, std::optional<double> ssim, bool reduced)
{
    if (load != load_)
        return;
    if (!problem_.isEmpty())
        ssimText_.clear();
    else if (!ssim)
        ssimText_ = tr("SSIM: none, the pictures differ in size");
    else
        ssimText_ = tr("SSIM %1%2").arg(*ssim, 0, 'f', 4).arg(reduced ? tr(" (of reduced pictures)") : QString());
    UpdateStatus();
}

void CompareView::LoadDone()
{
    running_ = false;
    if (!waiting_)
        return;
    const auto [input, output] = *waiting_;
    waiting_.reset();
    Start(input, output);
}

QString CompareView::StatusText() const
{
    return status_->text();
}

void CompareView::UpdateStatus()
{
    const QLocale locale;
    QStringList parts{tr("Input %1 bytes").arg(locale.toString(inputBytes_)),
                      tr("Output %1 bytes").arg(locale.toString(outputBytes_))};
    if (inputBytes_ > 0) {
        const double saved = 100.0 * static_cast<double>(inputBytes_ - outputBytes_) / static_cast<double>(inputBytes_);
        parts << (saved >= 0 ? tr("%1% saved").arg(saved, 0, 'f', 1) : tr("%1% larger").arg(-saved, 0, 'f', 1));
    }
    if (!ssimText_.isEmpty())
        parts << ssimText_;
    if (!extras_.isEmpty())
        parts << extras_;
    if (!problem_.isEmpty())
        parts << problem_;
    status_->setText(parts.join(QStringLiteral("   ")));
}

void CompareView::UpdateZoomText(double zoom)
{
    zoomText_->setText(QStringLiteral("%1%").arg(std::lround(zoom * 100)));
}
