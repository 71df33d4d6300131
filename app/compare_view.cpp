#include "app/compare_view.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <system_error>
#include <vector>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/compare_canvas.h"
#include "app/dialogs.h"
#include "app/display_image.h"
#include "app/preview_image.h"
#include "app/texts.h"
#include "engine/file_io.h"
#include "engine/look.h"
#include "engine/multi_picture.h"
#include "engine/preview.h"
#include "engine/ssim.h"
#include "engine/target.h"

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
    if (std::optional<tramblix::Image> whole = DecodeAnyForDisplay(bytes)) {
        decoded.pixels = std::move(*whole);
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

QLabel* SideName(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

}  // namespace

QString LookVerdict(double distance)
{
    if (distance <= tramblix::kVisuallyLosslessDistance)
        return CompareView::tr("visually identical");
    if (distance <= tramblix::kGoodDistance)
        return CompareView::tr("small differences");
    return CompareView::tr("visible loss");
}

CompareView::CompareView(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window),
      dialogs_(dialogs),
      canvas_(new CompareCanvas(this)),
      sideBySide_(Button(tr("Side by side"), tr("Input left, output right"), this)),
      split_(Button(tr("Split"), tr("One picture: input left of the line, output right; drag the line"), this)),
      zoomText_(new QLabel(this)),
      status_(new QLabel(this)),
      sideNames_(new QWidget(this))
{
    setObjectName(QStringLiteral("CompareView"));
    setWindowTitle(tr("Compare"));
    canvas_->setObjectName(QStringLiteral("CompareCanvas"));
    status_->setObjectName(QStringLiteral("CompareStatus"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setToolTip(tr("SSIM: structural similarity of the output to the input, 1 for identical.\n"
                           "The verdict comes from butteraugli, a model of how far apart people see two pictures,\n"
                           "measured on copies reduced to about %1 MP (which hides the finest loss):\n"
                           "up to %2 visually identical, up to %3 small differences, beyond that visible loss.")
                            .arg(static_cast<double>(tramblix::kLookPixels) / 1e6, 0, 'f', 1)
                            .arg(tramblix::kVisuallyLosslessDistance, 0, 'f', 1)
                            .arg(tramblix::kGoodDistance, 0, 'f', 1));

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
    QWidget* tuning = BuildTuningRow(tools);
    auto* names = new QHBoxLayout(sideNames_);
    names->setContentsMargins(0, 0, 0, 0);
    names->addWidget(SideName(tr("Input"), sideNames_));
    names->addWidget(SideName(tr("Output"), sideNames_));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(tools);
    layout->addWidget(tuning);
    layout->addWidget(sideNames_);
    layout->addWidget(canvas_, 1);
    layout->addWidget(status_);

    connect(sideBySide_, &QToolButton::toggled, this, [this](bool on) {
        canvas_->setMode(on ? CompareCanvas::Mode::SideBySide : CompareCanvas::Mode::Split);
        sideNames_->setVisible(on);  // split, the canvas names the sides itself
    });
    connect(zoomOut, &QToolButton::clicked, canvas_, &CompareCanvas::zoomOut);
    connect(zoomIn, &QToolButton::clicked, canvas_, &CompareCanvas::zoomIn);
    connect(fit, &QToolButton::clicked, canvas_, &CompareCanvas::fit);
    connect(actual, &QToolButton::clicked, canvas_, &CompareCanvas::actualSize);
    connect(canvas_, &CompareCanvas::zoomChanged, this, &CompareView::UpdateZoomText);
    connect(&live_, &LiveEncoder::encoded, this, &CompareView::LiveEncoded);
    connect(&live_, &LiveEncoder::measured, this, &CompareView::LiveMeasured);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &QWidget::close);

    setFocusProxy(canvas_);  // the zoom keys work wherever the window was clicked
    for (QToolButton* button : findChildren<QToolButton*>())
        button->setFocusPolicy(Qt::NoFocus);

    QSize size(1000, 760);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(size);
    UpdateZoomText(canvas_->zoom());
    UpdateSaveButton();
}

// The tab's level, AI level and options, live: each change re-encodes the input in memory. The
// choices go at the end of `tools`, the sliders and buttons in the row returned.
QWidget* CompareView::BuildTuningRow(QHBoxLayout* tools)
{
    auto* row = new QWidget(this);
    auto* level = new QSlider(Qt::Horizontal, row);
    level->setObjectName(QStringLiteral("LiveLevelSlider"));
    level->setRange(1, 10);
    level->setPageStep(2);
    level->setTickPosition(QSlider::TicksBelow);
    level->setToolTip(tr("Compression Level (1= Min and 10 = Max)"));
    auto* levelText = new QLabel(row);
    levelText->setMinimumWidth(levelText->fontMetrics().horizontalAdvance(LevelText(10) + QStringLiteral("00")));
    auto* strength = new QSlider(Qt::Horizontal, row);
    strength->setObjectName(QStringLiteral("LiveAiSlider"));
    strength->setRange(0, 5);
    strength->setPageStep(2);
    strength->setTickPosition(QSlider::TicksBelow);
    strength->setToolTip(tr("AI Level (0= Off and 5 = Max)"));
    auto* strengthText = new QLabel(row);
    strengthText->setMinimumWidth(strengthText->fontMetrics().horizontalAdvance(AiLevelText(0)));
    auto* targetLook = new QComboBox(row);
    targetLook->setObjectName(QStringLiteral("LiveTargetLookBox"));
    targetLook->addItems({tr("Target look: Off"), tr("Visually lossless"), tr("High"), tr("Good")});
    targetLook->setToolTip(
        tr("Instead of a level: the smallest file whose look stays this close to the input (slower)"));
    auto* encoder = new QComboBox(row);
    encoder->setObjectName(QStringLiteral("LiveEncoderBox"));
    encoder->addItems({tr("Standard encoder"), tr("Efficient encoder")});
    auto* lossless = new QCheckBox(tr("Lossless only"), row);
    lossless->setObjectName(QStringLiteral("LiveLosslessBox"));
    auto* strip = new QCheckBox(tr("Strip metadata"), row);
    strip->setObjectName(QStringLiteral("LiveStripBox"));
    useSettings_ = new QPushButton(tr("Use these settings"), row);
    useSettings_->setObjectName(QStringLiteral("UseSettingsBtn"));
    useSettings_->setToolTip(tr("Set the Single Image tab's level, AI level and options to these"));
    save_ = new QPushButton(tr("Save output..."), row);
    save_->setObjectName(QStringLiteral("SaveOutputBtn"));
    save_->setToolTip(tr("Write the output shown here to a file"));

    level->setMinimumWidth(220);
    strength->setMinimumWidth(130);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(level, 3);
    layout->addWidget(levelText);
    layout->addSpacing(12);
    layout->addWidget(strength, 2);
    layout->addWidget(strengthText);
    layout->addSpacing(12);
    layout->addWidget(useSettings_);
    layout->addWidget(save_);

    for (QWidget* widget : std::initializer_list<QWidget*>{targetLook, encoder, lossless, strip})
        tools->addWidget(widget);

    options_ = new OptionsRow({.level = level,
                               .levelText = levelText,
                               .aiLevel = strength,
                               .aiLevelText = strengthText,
                               .targetLook = targetLook,
                               .encoder = encoder,
                               .lossless = lossless,
                               .strip = strip},
                              this);
    connect(options_, &OptionsRow::changed, this, &CompareView::TuningChanged);
    connect(useSettings_, &QPushButton::clicked, this, [this] { emit tuningChosen(CurrentTuning()); });
    connect(save_, &QPushButton::clicked, this, &CompareView::SaveOutput);
    return row;
}

CompareView::~CompareView()
{
    worker_.request_stop();
    if (worker_.joinable())
        worker_.join();
}

void CompareView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (encoding_) {
        live_.Forget();
        encoding_ = false;
        UpdateSaveButton();
    }
}

void CompareView::UpdateSaveButton()
{
    save_->setEnabled(liveOutput_ && liveOutput_->bytes && !encoding_);
}

void CompareView::TuningChanged()
{
    UpdateSaveButton();
    if (inputPath_.isEmpty())
        return;
    live_.Request(inputPath_, CurrentTuning());
    encoding_ = true;
    UpdateSaveButton();
    UpdateStatus();
}

void CompareView::Compare(const QString& input, const QString& output)
{
    const bool outputThere = FileExists(output);
    setWindowTitle(outputThere ? tr("Compare: %1 and %2").arg(QFileInfo(input).fileName(), QFileInfo(output).fileName())
                               : tr("Compare: %1").arg(QFileInfo(input).fileName()));
    ++load_;
    inputPath_ = input;
    outputPath_ = output;
    if (liveOutput_ || encoding_)
        live_.Forget();  // the files are shown again
    liveOutput_.reset();
    encoding_ = false;
    UpdateSaveButton();
    inputBytes_ = QFileInfo(input).size();
    outputBytes_ = QFileInfo(output).size();
    problem_.clear();
    extras_.clear();
    lookText_ = tr("SSIM: measuring...");
    UpdateStatus();
    const QString shown = outputThere ? output : QString();
    if (running_) {
        worker_.request_stop();  // its SSIM is not wanted any more
        waiting_.emplace(input, shown);
    } else {
        Start(input, shown);
    }
    if (!outputThere)
        TuningChanged();  // no file yet: the output is made in memory at the tab's settings
}

void CompareView::Start(const QString& input, const QString& output)
{
    if (worker_.joinable())
        worker_.join();  // finished: its last report is in
    running_ = true;
    auto compare = [this, input, output, load = load_](std::stop_token stop) {
        const std::optional<Decoded> in = DecodeFile(input);
        const std::optional<Decoded> out = output.isEmpty() ? std::nullopt : DecodeFile(output);
        Pictures pictures;
        if (in)
            pictures.input = {ToQImage(in->pixels), in->size};
        if (out)
            pictures.output = {ToQImage(out->pixels), out->size};
        pictures.extras = ExtrasText(in ? in->extras : QString(), out ? out->extras : QString());
        if (!in)
            pictures.problem = tr("The input is not a picture that can be shown.");
        else if (!out && !output.isEmpty())
            pictures.problem = tr("The output is not a picture that can be shown.");
        QMetaObject::invokeMethod(
            this, [this, load, pictures] { ShowPictures(load, pictures); }, Qt::QueuedConnection);
        std::optional<double> ssim;
        std::optional<double> distance;
        bool reduced = false;
        if (in && out && !stop.stop_requested()) {
            ssim = tramblix::Ssim(in->pixels, out->pixels);
            reduced = in->reduced || out->reduced;
        }
        if (ssim && !stop.stop_requested())
            distance = tramblix::ReducedLookDistance(in->pixels, out->pixels);
        QMetaObject::invokeMethod(
            this,
            [this, load, ssim, distance, reduced] {
                ShowLook(load, ssim, distance, reduced);
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
        ShowLook(load_, std::nullopt, std::nullopt, false);
        LoadDone();
    }
}

void CompareView::ShowPictures(std::uint64_t load, const Pictures& pictures)
{
    if (load != load_)
        return;
    input_ = pictures.input;
    if (liveOutput_)  // a live output arrived first: it stays
        canvas_->setPictures(input_.image, input_.size, liveOutput_->image, liveOutput_->size);
    else
        canvas_->setPictures(input_.image, input_.size, pictures.output.image, pictures.output.size);
    problem_ = pictures.problem;
    extras_ = pictures.extras;
    UpdateStatus();
}

void CompareView::ShowLook(std::uint64_t load, std::optional<double> ssim, std::optional<double> distance, bool reduced)
{
    if (load != load_ || liveOutput_ || encoding_)
        return;
    if (!problem_.isEmpty())
        lookText_.clear();
    else if (!ssim)
        lookText_ = tr("SSIM: none, the pictures differ in size");
    else
        lookText_ = tr("SSIM %1%2").arg(*ssim, 0, 'f', 4).arg(reduced ? tr(" (of reduced pictures)") : QString());
    if (distance)
        lookText_ += tr(", %1").arg(LookVerdict(*distance));
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

void CompareView::LiveEncoded(const LiveEncoder::Output& output)
{
    encoding_ = false;
    if (output.status != tramblix::CompressStatus::Ok) {
        liveOutput_.reset();
        problem_ = texts::kCouldNotCreate.trimmed() + QLatin1Char(' ') +
                   QString::fromStdString(tramblix::ReasonText({output.status, 0, 0, false, output.detail}));
        lookText_.clear();
        UpdateSaveButton();
        UpdateStatus();
        return;
    }
    liveOutput_ = output;
    canvas_->setPictures(input_.image, input_.size, output.image, output.size);
    inputBytes_ = static_cast<qint64>(output.inputSize);
    outputBytes_ = static_cast<qint64>(output.bytes->size());
    problem_ = output.image.isNull() ? tr("The output is not a picture that can be shown.") : QString();
    lookText_ = tr("SSIM: measuring...");
    UpdateSaveButton();
    UpdateStatus();
}

void CompareView::LiveMeasured(const LiveEncoder::Look& look)
{
    if (!liveOutput_)
        return;
    lookText_ = look.ssim ? tr("SSIM %1").arg(*look.ssim, 0, 'f', 4) : tr("SSIM: none, the pictures differ in size");
    if (look.distance)
        lookText_ += tr(", %1").arg(LookVerdict(*look.distance));
    UpdateStatus();
}

// Writes the output shown as a run would: atomically, never larger than the input (the engine
// gave the input's own bytes when it could not do better), with the input's permissions and owner-writable.
void CompareView::SaveOutput()
{
    if (!liveOutput_ || !liveOutput_->bytes)
        return;
    OpenDialog dialog = OutputFileDialog(outputPath_, inputPath_);
    if (!dialogs_.Execute(dialog, this))
        return;
    const QString path = dialog.fileName;
    if (tramblix::SameFile(ToFsPath(inputPath_), ToFsPath(path))) {
        dialogs_.Message(texts::kSameFile, texts::kSameFileCaption);
        return;
    }
    std::error_code error;
    tramblix::WriteRules rules;
    rules.permissions = liveOutput_->inputFacts.permissions | tramblix::kOwnerWrite;
    if (CurrentTuning().engine.keepFileDates)
        rules.times = &liveOutput_->inputFacts.times;
    if (QFileInfo(path).isDir())
        error = std::make_error_code(std::errc::is_a_directory);
    else if (tramblix::WriteWholeFile(ToFsPath(path), *liveOutput_->bytes, rules, &error) == tramblix::WriteStatus::Ok)
        error.clear();
    else if (!error)
        error = std::make_error_code(std::errc::io_error);
    if (error) {
        dialogs_.Message(texts::kCannotSave + QString::fromLocal8Bit(error.message().c_str()),
                         texts::kCannotSaveCaption);
        return;
    }
    outputPath_ = path;
    problem_ = tr("Saved as %1").arg(QDir::toNativeSeparators(path));
    UpdateStatus();
}

QString CompareView::StatusText() const
{
    return status_->text();
}

void CompareView::UpdateStatus()
{
    const QLocale locale;
    QStringList parts{tr("Input %1 bytes").arg(locale.toString(inputBytes_))};
    if (encoding_)
        parts << tr("Output: encoding...");
    else
        parts << (!liveOutput_ ? tr("Output %1 bytes")
                  : liveOutput_->copiedInput
                      ? tr("Output %1 bytes (not saved; no smaller file possible: the input's own bytes)")
                      : tr("Output %1 bytes (not saved)"))
                     .arg(locale.toString(outputBytes_));
    if (inputBytes_ > 0 && !encoding_) {
        const double saved = 100.0 * static_cast<double>(inputBytes_ - outputBytes_) / static_cast<double>(inputBytes_);
        parts << (saved >= 0 ? tr("%1% saved").arg(saved, 0, 'f', 1) : tr("%1% larger").arg(-saved, 0, 'f', 1));
    }
    if (!lookText_.isEmpty() && !encoding_)
        parts << lookText_;
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
