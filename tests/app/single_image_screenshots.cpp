// single-image-screenshots: compresses real photos on the "Single Image" tab on a real
// (virtual) X display and saves what the screen shows: the tab with both previews after a run,
// and the full-size viewer over the window. Run it through docs/screenshots/take-single-image.sh.
//   single-image-screenshots CORPUS_PHOTOS_DIR OUTPUT_DIR

#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "app/appearance.h"
#include "app/compare_canvas.h"
#include "app/compare_view.h"
#include "app/gif_player_form.h"
#include "app/main_window.h"
#include "fake_dialogs.h"

namespace {

bool Save(const QRect& area, const QString& path)
{
    QTest::qWait(500);
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

bool Compress(TMainTramblix& window, const QString& input, const QString& output)
{
    window.findChild<QLineEdit*>(QStringLiteral("InputSingleImageEdit"))->setText(input);
    window.findChild<QLineEdit*>(QStringLiteral("OutputSingleImageEdit"))->setText(output);
    auto* run = window.findChild<QPushButton*>(QStringLiteral("RunSingleImageBtn"));
    run->click();
    return QTest::qWaitFor([run] { return run->isEnabled(); }, 120000);
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: single-image-screenshots CORPUS_PHOTOS_DIR OUTPUT_DIR\n");
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Jpegtramblix"));
    QApplication::setWindowIcon(MainIcon());
    const QDir photos(QString::fromLocal8Bit(argv[1]));
    const QDir out(QString::fromLocal8Bit(argv[2]));
    QTemporaryDir work;

    FakeDialogs dialogs;
    TMainTramblix window(dialogs);
    window.move(40, 40);
    window.show();
    bool ok = QTest::qWaitForWindowExposed(&window);

    // A phone photo taken in portrait: both panes show it upright.
    window.findChild<QSlider*>(QStringLiteral("CompressionLevelSingleImageSlider"))->setValue(7);
    window.findChild<QSlider*>(QStringLiteral("AISingleTrackBar"))->setValue(1);
    ok &= Compress(window, photos.filePath(QStringLiteral("Xiaomi_Mi_9T_KeyError.jpg")),
                   work.filePath(QStringLiteral("Xiaomi_Mi_9T-small.jpg")));
    ok &= Save(window.frameGeometry(), out.filePath(QStringLiteral("single-image-run.png")));

    // The viewer over the window, showing a smaller photo's output at its own size.
    ok &= Compress(window, photos.filePath(QStringLiteral("DSCN0010.jpg")),
                   work.filePath(QStringLiteral("DSCN0010-small.jpg")));
    QTimer::singleShot(0, &window, [&] {
        auto* viewer = window.findChild<TGIFPlayerForm*>(QStringLiteral("GIFPlayerForm"));
        ok &= viewer != nullptr && QTest::qWaitForWindowExposed(viewer);
        if (viewer != nullptr) {
            ok &= Save(window.frameGeometry().united(viewer->frameGeometry()),
                       out.filePath(QStringLiteral("viewer.png")));
            viewer->close();
        }
    });
    window.findChild<QPushButton*>(QStringLiteral("Button2"))->click();

    // The compare view on the same photo: whole, at 100% and at 400%, then split.
    window.findChild<QPushButton*>(QStringLiteral("CompareBtn"))->click();
    auto* compare = window.findChild<CompareView*>(QStringLiteral("CompareView"));
    ok &= compare != nullptr && QTest::qWaitForWindowExposed(compare) &&
          QTest::qWaitFor([compare] { return compare->Idle(); }, 60000);
    if (compare != nullptr) {
        compare->move(60, 60);
        compare->Canvas()->actualSize();
        ok &= Save(compare->frameGeometry(), out.filePath(QStringLiteral("compare-100.png")));
        for (int step = 0; step < 4; ++step)
            compare->Canvas()->zoomIn();
        ok &= Save(compare->frameGeometry(), out.filePath(QStringLiteral("compare-400.png")));
        compare->Canvas()->fit();
        for (QToolButton* button : compare->findChildren<QToolButton*>())
            if (button->text() == QStringLiteral("Split"))
                button->click();
        ok &= Save(compare->frameGeometry(), out.filePath(QStringLiteral("compare-split.png")));
        compare->close();
    }

    // The window maximised: the previews and the log take the room.
    ok &= Compress(window, photos.filePath(QStringLiteral("Xiaomi_Mi_9T_KeyError.jpg")),
                   work.filePath(QStringLiteral("Xiaomi_Mi_9T-level7.jpg")));
    window.showMaximized();
    QTest::qWait(1000);
    ok &= Save(window.frameGeometry(), out.filePath(QStringLiteral("single-image-maximised.png")));
    ok &= dialogs.shown.empty();
    return ok ? 0 : 1;
}
