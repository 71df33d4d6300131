#include "app/appearance.h"

#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QStyle>
#include <QStyleFactory>

#include "app/display_image.h"

// The artwork is compiled into the static app library, where nothing else would keep it.
// (Outside any namespace: the macro declares the registration function where it stands.)
static void LoadArtwork()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(app_resources);
        return true;
    }();
    (void)loaded;
}

QFont WindowFont()
{
    QFont font;
    // Faces with Arial's metrics first: the layout's fixed places were made for them.
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(12);
    // A wider fallback face (DejaVu Sans, say) gets a smaller size until the tightest caption,
    // the "Output Image" check box with 81 pixels for its text, fits again.
    constexpr int kTightestCaptionRoom = 81;
    while (font.pixelSize() > 9 &&
           QFontMetrics(font).horizontalAdvance(QStringLiteral("Output Image")) > kTightestCaptionRoom)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

void SetGroupBoxStyle(QWidget* window)
{
    // A widget's own style is not passed on to its children, so only the boxes change.
    QStyle* style = QStyleFactory::create(QStringLiteral("Windows"));
    if (style == nullptr)
        return;
    style->setParent(window);
    for (QGroupBox* box : window->findChildren<QGroupBox*>())
        box->setStyle(style);
}

QIcon MainIcon()
{
    LoadArtwork();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/jpegtramblix-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/jpegtramblix-256.png"), QSize(256, 256));
    return icon;
}

QImage SplashPicture()
{
    LoadArtwork();
    QFile file(QStringLiteral(":/splash.jpg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return DecodeJpegToQImage(file.readAll());
}
