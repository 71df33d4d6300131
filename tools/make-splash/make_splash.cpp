// make-splash: draws JPEG Tramblix's artwork.
//   make-splash splash OUT.jpg      the 400 x 265 splash and About picture
//   make-splash icon SIZE OUT.png   the program icon, SIZE x SIZE pixels

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

constexpr int kSplashWidth = 400;
constexpr int kSplashHeight = 265;

// A small landscape (sky, sun, two hills) filling `frame`; the motif of both splash and icon.
void DrawLandscape(QPainter& painter, const QRectF& frame)
{
    painter.save();
    painter.setClipRect(frame);
    QLinearGradient sky(frame.topLeft(), frame.bottomLeft());
    sky.setColorAt(0.0, QColor(70, 150, 230));
    sky.setColorAt(1.0, QColor(190, 225, 250));
    painter.fillRect(frame, sky);

    const qreal w = frame.width();
    const qreal h = frame.height();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 205, 60));
    painter.drawEllipse(QPointF(frame.left() + 0.72 * w, frame.top() + 0.30 * h), 0.13 * w, 0.13 * w);

    QPainterPath far;
    far.moveTo(frame.left(), frame.top() + 0.75 * h);
    far.lineTo(frame.left() + 0.35 * w, frame.top() + 0.38 * h);
    far.lineTo(frame.left() + 0.70 * w, frame.top() + 0.80 * h);
    far.lineTo(frame.left(), frame.bottom());
    painter.setBrush(QColor(60, 120, 90));
    painter.drawPath(far);

    QPainterPath near;
    near.moveTo(frame.left() + 0.25 * w, frame.bottom());
    near.lineTo(frame.left() + 0.68 * w, frame.top() + 0.52 * h);
    near.lineTo(frame.right(), frame.top() + 0.70 * h);
    near.lineTo(frame.right(), frame.bottom());
    painter.setBrush(QColor(90, 170, 80));
    painter.drawPath(near);
    painter.restore();
}

// Replaces the part of `image` right of `fromX` inside `area` by blocks that grow to the right:
// the picture turning into ever coarser JPEG blocks.
void Blockify(QImage& image, const QRect& area, int fromX)
{
    int x = fromX;
    int block = 4;
    while (x < area.right()) {
        for (int y = area.top(); y <= area.bottom(); y += block) {
            const int bw = std::min(block, area.right() + 1 - x);
            const int bh = std::min(block, area.bottom() + 1 - y);
            long r = 0, g = 0, b = 0;
            for (int yy = y; yy < y + bh; ++yy)
                for (int xx = x; xx < x + bw; ++xx) {
                    const QRgb p = image.pixel(xx, yy);
                    r += qRed(p);
                    g += qGreen(p);
                    b += qBlue(p);
                }
            const long n = static_cast<long>(bw) * bh;
            const QRgb mean = qRgb(static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n));
            for (int yy = y; yy < y + bh; ++yy)
                for (int xx = x; xx < x + bw; ++xx)
                    image.setPixel(xx, yy, mean);
        }
        x += block;
        block = std::min(block + 2, 16);
    }
}

QImage DrawSplash()
{
    QImage image(kSplashWidth, kSplashHeight, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient background(0, 0, kSplashWidth, kSplashHeight);
        background.setColorAt(0.0, QColor(18, 36, 74));
        background.setColorAt(1.0, QColor(16, 96, 112));
        painter.fillRect(image.rect(), background);

        // Faint 8 x 8 grid: the JPEG block structure.
        painter.setPen(QColor(255, 255, 255, 14));
        for (int x = 0; x < kSplashWidth; x += 8)
            painter.drawLine(x, 0, x, kSplashHeight);
        for (int y = 0; y < kSplashHeight; y += 8)
            painter.drawLine(0, y, kSplashWidth, y);

        // The photograph, with a white border and a soft shadow.
        const QRectF photo(22, 62, 196, 148);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 90));
        painter.drawRoundedRect(photo.adjusted(-4, -4, 10, 10), 4, 4);
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(photo.adjusted(-6, -6, 6, 6), 3, 3);
        DrawLandscape(painter, photo);
    }
    Blockify(image, QRect(22 + 98, 62, 98, 148), 22 + 98);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    QFont brand(QStringLiteral("DejaVu Sans"));
    brand.setPixelSize(13);
    brand.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    painter.setFont(brand);
    painter.setPen(QColor(150, 210, 230));
    painter.drawText(QRect(22, 18, 360, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("MORAVEL"));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(30);
    title.setBold(true);
    painter.setFont(title);
    painter.setPen(Qt::white);
    painter.drawText(QRect(240, 60, 150, 36), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("JPEG"));
    painter.setPen(QColor(255, 196, 64));
    painter.drawText(QRect(240, 94, 150, 36), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tramblix"));

    QFont line(QStringLiteral("DejaVu Sans"));
    line.setPixelSize(11);
    painter.setFont(line);
    painter.setPen(QColor(205, 225, 235));
    painter.drawText(QRect(242, 134, 150, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Smaller JPEG files"));
    painter.setPen(QColor(150, 190, 205));
    painter.drawText(QRect(242, 194, 150, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Version 1.0"));
    painter.drawText(QRect(22, 232, 360, 16), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Compression levels 1-10, AI levels 0-5"));
    return image;
}

QImage DrawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);

    QLinearGradient background(0, 0, 256, 256);
    background.setColorAt(0.0, QColor(24, 48, 96));
    background.setColorAt(1.0, QColor(16, 110, 128));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);

    const QRectF photo(64, 60, 128, 112);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(photo.adjusted(-10, -10, 10, 10), 8, 8);
    DrawLandscape(painter, photo);

    // Two arrows pressing the picture together from the sides.
    painter.setBrush(QColor(255, 190, 50));
    for (int side : {-1, 1}) {
        QPainterPath arrow;
        const qreal tip = 128 + side * 92;
        const qreal base = 128 + side * 124;
        arrow.moveTo(tip, 116);
        arrow.lineTo(base, 80);
        arrow.lineTo(base, 152);
        arrow.closeSubpath();
        painter.drawPath(arrow);
    }

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(44);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(8, 188, 240, 52), Qt::AlignCenter, QStringLiteral("JPG"));
    return image;
}

int Usage()
{
    std::fputs("usage: make-splash splash OUT.jpg\n       make-splash icon SIZE OUT.png\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QImage image;
    const char* out = nullptr;
    int quality = -1;
    if (argc == 3 && std::strcmp(argv[1], "splash") == 0) {
        image = DrawSplash();
        out = argv[2];
        quality = 92;
    } else if (argc == 4 && std::strcmp(argv[1], "icon") == 0) {
        const int size = std::atoi(argv[2]);
        if (size < 16 || size > 1024)
            return Usage();
        image = DrawIcon(size);
        out = argv[3];
    } else {
        return Usage();
    }

    QImageWriter writer(QString::fromLocal8Bit(out));
    writer.setQuality(quality);
    if (!writer.write(image)) {
        std::fprintf(stderr, "make-splash: cannot write %s: %s\n", out, qPrintable(writer.errorString()));
        return 1;
    }
    return 0;
}
