// tour-screenshots: the window at the sizes users meet it and the compare window's live tuning,
// on a real (virtual) X display. Run it through docs/screenshots/take-tour.sh.
//   tour-screenshots CORPUS_DIR OUTPUT_DIR
// Writes single-image-534x700.png, single-image-534x500.png (and -scrolled), compare-live-before.png,
// compare-live-after.png, directory-failures.png, single-image-1920x1080.png, and prints the time
// from the level change to the new output.

#include <chrono>
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "app/appearance.h"
#include "app/batch_job.h"
#include "app/compare_canvas.h"
#include "app/compare_view.h"
#include "app/main_window.h"
#include "fake_dialogs.h"

namespace {

bool Save(const QWidget& window, const QString& path, int settle = 700)
{
    QTest::qWait(settle);
    const QRect area = window.frameGeometry();
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

template <typename T>
T* Find(const QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: tour-screenshots CORPUS_DIR OUTPUT_DIR\n");
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Jpegtramblix"));
    QApplication::setWindowIcon(MainIcon());
    const QDir corpus(QString::fromLocal8Bit(argv[1]));
    const QDir out(QString::fromLocal8Bit(argv[2]));
    QTemporaryDir work;

    FakeDialogs dialogs;
    TMainTramblix window(dialogs);
    window.move(40, 40);
    window.show();
    bool ok = QTest::qWaitForWindowExposed(&window);

    // A 12 MP photo, run once at the defaults.
    const QString photo = corpus.filePath(QStringLiteral("photos/42_IndexError.jpg"));
    Find<QLineEdit>(window, "InputSingleImageEdit")->setText(photo);
    Find<QLineEdit>(window, "OutputSingleImageEdit")->setText(work.filePath(QStringLiteral("42-small.jpg")));
    auto* run = Find<QPushButton>(window, "RunSingleImageBtn");
    run->click();
    ok &= QTest::qWaitFor([run] { return run->isEnabled(); }, 120000);
    ok &= Save(window, out.filePath(QStringLiteral("single-image-534x700.png")));
    window.resize(534, 500);
    ok &= Save(window, out.filePath(QStringLiteral("single-image-534x500.png")));
    if (auto* scroller = Find<QScrollArea>(window, "MainScroller")) {
        scroller->verticalScrollBar()->setValue(scroller->verticalScrollBar()->maximum());
        ok &= Save(window, out.filePath(QStringLiteral("single-image-534x500-scrolled.png")));
        scroller->verticalScrollBar()->setValue(0);
    }
    window.resize(534, 700);

    // The compare window while its level slider moves, before and after the new output.
    Find<QPushButton>(window, "CompareBtn")->click();
    auto* compare = Find<CompareView>(window, "CompareView");
    ok &= compare != nullptr && QTest::qWaitForWindowExposed(compare) &&
          QTest::qWaitFor([compare] { return compare->Idle(); }, 120000);
    if (compare != nullptr) {
        compare->move(20, 20);
        compare->Canvas()->actualSize();  // the loss shows at 100%
        QTest::qWait(500);
        QElapsedTimer clock;
        clock.start();
        Find<QSlider>(*compare, "LiveLevelSlider")->setValue(9);
        double shown = 0;
        QObject::connect(&compare->Live(), &LiveEncoder::encoded, [&] { shown = clock.elapsed() / 1000.0; });
        ok &= Save(*compare, out.filePath(QStringLiteral("compare-live-before.png")), 60);
        ok &= QTest::qWaitFor([compare] { return compare->Idle(); }, 120000);
        std::printf("level 5 -> 9 on a 12 MP photo: new output shown after %.2f s, look measured after %.2f s\n", shown,
                    clock.elapsed() / 1000.0);
        ok &= Save(*compare, out.filePath(QStringLiteral("compare-live-after.png")));
        compare->close();
    }

    // A directory run with failures: two photos, two damaged files and a text file named .jpg.
    const QDir tree(work.filePath(QStringLiteral("holiday")));
    ok &= QDir().mkpath(tree.filePath(QStringLiteral("day 2")));
    ok &=
        QFile::copy(corpus.filePath(QStringLiteral("photos/DSCN0010.jpg")), tree.filePath(QStringLiteral("beach.jpg")));
    ok &= QFile::copy(corpus.filePath(QStringLiteral("photos/Sony_DSLR-A200.jpg")),
                      tree.filePath(QStringLiteral("day 2/harbour.jpg")));
    const QDir faults(corpus.filePath(QStringLiteral("../faults")));
    ok &= QFile::copy(faults.filePath(QStringLiteral("arith-testimgari-height-149-to-213.jpg")),
                      tree.filePath(QStringLiteral("day 2/cut-short.jpg")));
    ok &= QFile::copy(faults.filePath(QStringLiteral("cmyk-app14-len-minus7.jpg")),
                      tree.filePath(QStringLiteral("scan.jpg")));
    QFile text(tree.filePath(QStringLiteral("notes.jpg")));
    ok &= text.open(QIODevice::WriteOnly) && text.write("not a picture\n") > 0;
    text.close();
    Find<QTabWidget>(window, "MainPageCtrl")->setCurrentIndex(0);
    Find<QLineEdit>(window, "InputEdit")->setText(tree.path());
    Find<QLineEdit>(window, "OutputEdit")->setText(work.filePath(QStringLiteral("smaller")));
    auto* runBatch = Find<QPushButton>(window, "RunBtn");
    runBatch->click();
    auto* job = window.findChild<BatchJob*>();
    ok &= job != nullptr && QTest::qWaitFor([job] { return !job->Running(); }, 120000);
    ok &= Save(window, out.filePath(QStringLiteral("directory-failures.png")));

    // Maximised on the full screen.
    Find<QTabWidget>(window, "MainPageCtrl")->setCurrentIndex(1);
    window.showMaximized();
    QTest::qWait(1500);
    ok &= Save(window, out.filePath(QStringLiteral("single-image-1920x1080.png")));
    return ok ? 0 : 1;
}
