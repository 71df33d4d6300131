// The "Single Image" tab end to end on the offscreen platform: the run, the preview panes and
// the full-size viewer, on JPEG files the test makes itself.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include "app/compare_canvas.h"
#include "app/compare_view.h"
#include "app/display_image.h"
#include "app/gif_player_form.h"
#include "app/image_pane.h"
#include "app/main_window.h"
#include "app/path_edit.h"
#include "app/preview_loader.h"
#include "engine/codec.h"
#include "engine/compress.h"
#include "fake_dialogs.h"
#include "tests/support/multi_picture_files.h"

namespace {

// An EXIF APP1 payload holding nothing but the orientation.
std::vector<std::uint8_t> ExifOrientation(int orientation)
{
    return {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 0x2A,
            0,    0,    0,   8,  // TIFF header, IFD0 at 8
            0,    1,             // one entry
            0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, static_cast<std::uint8_t>(orientation),
            0,    0,    0,   0,   0, 0};  // no next IFD
}

// The left half red, the right half blue, so turning and mirroring show. With `noise` the
// picture is photo-like and a high-quality encoding of it shrinks on re-encoding.
QByteArray MakeJpeg(int width, int height, int quality = 90, int orientation = 1, bool noise = false)
{
    tramblix::DecodedImage image;
    image.pixels = tramblix::Image(width, height, 3);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = image.pixels.row(y) + x * 3;
            const bool left = x < width / 2;
            const int wobble = noise ? static_cast<int>(random() % 60) : 0;
            pixel[0] = static_cast<std::uint8_t>(left ? 220 - wobble : 20 + wobble);
            pixel[1] = static_cast<std::uint8_t>(20 + wobble);
            pixel[2] = static_cast<std::uint8_t>(left ? 20 + wobble : 220 - wobble);
        }
    if (orientation != 1)
        image.markers.push_back({0xE1, ExifOrientation(orientation)});
    std::vector<std::uint8_t> bytes;
    if (!tramblix::EncodeJpeg(image, quality, bytes))
        return {};
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Red 20000 x 64 in a frame claiming 14000 rows: over the pixel limit, the data ending early.
QByteArray OverThePixelLimit()
{
    QImage red(20000, 64, QImage::Format_RGB32);
    red.fill(Qt::red);
    QBuffer buffer;
    red.save(&buffer, "JPG");
    return buffer.buffer().replace(buffer.buffer().indexOf("\xFF\xC0") + 5, 2, "\x36\xB0");
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool IsReddish(QRgb pixel)
{
    return qRed(pixel) > 150 && qBlue(pixel) < 100;
}

// What the viewer showed while it was open.
struct ViewerState {
    bool shown = false;
    bool closedByClick = false;
    QString title;
    QString toolTip;
    QSize clientSize;
    QRect frame;
    QSize decodedSize;  // of the picture the pane holds
    bool message = false;
    QImage screen;
};

}  // namespace

class SingleImageTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        dialogs_ = std::make_unique<FakeDialogs>();
        window_ = std::make_unique<TMainTramblix>(*dialogs_);
        input_ = Find<QLineEdit>("InputSingleImageEdit");
        output_ = Find<QLineEdit>("OutputSingleImageEdit");
        inputPane_ = Find<ImagePane>("InputImage");
        outputPane_ = Find<ImagePane>("OutputImage");
        memo_ = Find<QPlainTextEdit>("SingleImageLogMemo");
        run_ = Find<QPushButton>("RunSingleImageBtn");
        QVERIFY(WriteFile(Path("a.jpg"), MakeJpeg(64, 48)));
    }

    void cleanup()
    {
        window_.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // Which message a run gives, and that it then touches neither file nor memo.
    void refusedRun_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");  // "a.jpg" etc. lie in the test directory; "=" names the input
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("caption");

        const QString same = "Please select a different output file";
        const QString sameCaption = "Input and Output Files are the same";
        QTest::newRow("empty input") << ""
                                     << "out.jpg"
                                     << "Can not find: "
                                     << "Missing File";
        QTest::newRow("directory") << "sub"
                                   << "out.jpg"
                                   << "Can not find: {dir}/sub"
                                   << "Missing File";
        QTest::newRow("missing") << "nothing.jpg"
                                 << "out.jpg"
                                 << "Can not find: {dir}/nothing.jpg"
                                 << "Missing File";
        QTest::newRow("same text") << "a.jpg"
                                   << "=" << same << sameCaption;
        QTest::newRow("other spelling") << "a.jpg"
                                        << "sub/../a.jpg" << same << sameCaption;
        QTest::newRow("symbolic link") << "a.jpg"
                                       << "link.jpg" << same << sameCaption;
        QTest::newRow("hard link") << "a.jpg"
                                   << "hard.jpg" << same << sameCaption;
    }

    void refusedRun()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, text);
        QFETCH(QString, caption);
        QVERIFY(QDir(dir_->path()).mkdir("sub"));
        QVERIFY(QFile::link(Path("a.jpg"), Path("link.jpg")));
        std::error_code error;
        std::filesystem::create_hard_link(Path("a.jpg").toStdString(), Path("hard.jpg").toStdString(), error);
        QVERIFY(!error);
        const QByteArray before = ReadFile(Path("a.jpg"));
        memo_->setPlainText("earlier line");

        input_->setText(input.isEmpty() ? QString() : Path(input));
        output_->setText(output == "=" ? input_->text() : Path(output));
        run_->click();

        QCOMPARE(dialogs_->shown.size(), 1u);
        QCOMPARE(dialogs_->shown.front().text, QString(text).replace("{dir}", dir_->path()));
        QCOMPARE(dialogs_->shown.front().caption, caption);
        QVERIFY(run_->isEnabled());
        QCOMPARE(memo_->toPlainText(), QStringLiteral("earlier line"));
        QCOMPARE(ReadFile(Path("a.jpg")), before);
        QVERIFY(!QFile::exists(Path("out.jpg")));
    }

    // The memo's one line, checked against the files' sizes on disk and the sliders.
    void resultLine_data()
    {
        QTest::addColumn<int>("sourceQuality");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("aiLevel");
        QTest::addColumn<bool>("shrinks");
        QTest::addColumn<QString>("how");  // the line under it
        QTest::newRow("shrinks") << 98 << 9 << 3 << true << "Standard encoder";
        // A coarse source of standard tables, as this program writes them, is left as it is.
        QTest::newRow("copy") << 10 << 1 << 0 << false
                              << "Standard encoder; already compressed by this program at the same or a coarser "
                                 "level: the input was kept";
    }

    void resultLine()
    {
        QFETCH(int, sourceQuality);
        QFETCH(int, level);
        QFETCH(int, aiLevel);
        QFETCH(bool, shrinks);
        QFETCH(QString, how);
        QVERIFY(WriteFile(Path("photo.jpg"), MakeJpeg(300, 200, sourceQuality, 1, true)));
        Find<QSlider>("CompressionLevelSingleImageSlider")->setValue(level);
        Find<QSlider>("AISingleTrackBar")->setValue(aiLevel);
        input_->setText(Path("photo.jpg"));
        output_->setText(Path("out.jpg"));

        for (int run = 0; run < 2; ++run)
            RunAndWait();

        const qint64 in = QFileInfo(Path("photo.jpg")).size();
        const qint64 out = QFileInfo(Path("out.jpg")).size();
        QVERIFY(out > 0);
        QCOMPARE(out < in, shrinks);
        const auto percent = static_cast<long long>(std::trunc(100.0 - out * 100.0 / in));
        QCOMPARE(memo_->toPlainText(), QStringLiteral("Image Compressed by %1% at Compression Level %2 and AILevel %3 "
                                                      "and reduced by %4 bytes. \n%5")
                                           .arg(percent)
                                           .arg(level)
                                           .arg(aiLevel)
                                           .arg(in - out)
                                           .arg(how));
        QVERIFY(dialogs_->shown.empty());
    }

    // The options row reaches the engine: the output is what the engine makes with the same options.
    void options_data()
    {
        QTest::addColumn<int>("encoder");
        QTest::addColumn<bool>("lossless");
        QTest::addColumn<bool>("strip");
        QTest::addColumn<bool>("keepDates");
        QTest::newRow("efficient encoder") << 1 << false << false << false;
        QTest::newRow("lossless, stripped") << 0 << true << true << false;
        QTest::newRow("file dates kept") << 0 << false << false << true;
    }

    void options()
    {
        QFETCH(int, encoder);
        QFETCH(bool, lossless);
        QFETCH(bool, strip);
        QFETCH(bool, keepDates);
        QVERIFY(WriteFile(Path("photo.jpg"), MakeJpeg(300, 200, 98, 6, true)));
        QFile photo(Path("photo.jpg"));
        const QDateTime past = QDateTime::currentDateTime().addDays(-3);
        QVERIFY(photo.open(QIODevice::ReadWrite) && photo.setFileTime(past, QFileDevice::FileModificationTime));
        photo.close();
        Find<QComboBox>("EncoderSingleImageBox")->setCurrentIndex(encoder);
        Find<QCheckBox>("LosslessSingleImageBox")->setChecked(lossless);
        Find<QCheckBox>("StripMetadataSingleImageBox")->setChecked(strip);
        Find<QCheckBox>("KeepDatesSingleImageBox")->setChecked(keepDates);
        for (const char* name : {"CompressionLevelSingleImageSlider", "AISingleTrackBar", "EncoderSingleImageBox"})
            QVERIFY2(Find<QWidget>(name)->isEnabled() != lossless, name);
        input_->setText(Path("photo.jpg"));
        output_->setText(Path("out.jpg"));
        RunAndWait();
        QCOMPARE(Find<QWidget>("AISingleTrackBar")->isEnabled(), !lossless);  // still after the run
        QCOMPARE(memo_->toPlainText().contains(" losslessly and reduced by "), lossless);

        tramblix::EngineOptions same;
        same.encoder = encoder == 1 ? tramblix::Encoder::Efficient : tramblix::Encoder::Standard;
        same.lossless = lossless;
        same.stripMetadata = strip;
        QCOMPARE(
            tramblix::CompressFile(Path("photo.jpg").toStdString(), Path("again.jpg").toStdString(), 5, 0, same).status,
            tramblix::CompressStatus::Ok);
        QCOMPARE(ReadFile(Path("out.jpg")), ReadFile(Path("again.jpg")));
        const qint64 age = QFileInfo(Path("out.jpg")).lastModified().secsTo(past);
        QCOMPARE(std::abs(age) < 2, keepDates);
    }

    // A failed run gives the engine's reason, also when an old output it could not replace is there.
    void failedRun_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no output name") << MakeJpeg(64, 48) << ""
                                        << "cannot write the output file";
        QTest::newRow("not a picture") << QByteArray("text") << "out.jpg"
                                       << "not a decodable image";
        QTest::newRow("old output kept") << MakeJpeg(64, 48) << "old.jpg"
                                         << "cannot write the output file";
        QTest::newRow("rotted input, old output kept") << QByteArray("\xFF\xD8 rotted") << "old.jpg"
                                                       << "damaged image data";
    }

    void failedRun()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, output);
        QFETCH(QString, reason);
        const QByteArray old = MakeJpeg(16, 16);
        QVERIFY(WriteFile(Path("old.jpg"), old) && QFile::setPermissions(Path("old.jpg"), QFile::ReadOwner));
        QVERIFY(WriteFile(Path("in.jpg"), input));
        input_->setText(Path("in.jpg"));
        output_->setText(output.isEmpty() ? output : Path(output));
        RunAndWait();
        QVERIFY2(memo_->toPlainText().startsWith("Could not create file.\n" + reason),
                 qPrintable(memo_->toPlainText()));
        QCOMPARE(memo_->toPlainText().contains("left as it was"), output == "old.jpg");
        QCOMPARE(ReadFile(Path("old.jpg")), old);
    }

    // The button is off and the cursor busy until the result is in; then both panes show.
    void runRefreshesPanes()
    {
        input_->setText(Path("a.jpg"));
        output_->setText(Path("out.jpg"));
        const qint64 inputKey = inputPane_->picture().cacheKey();
        run_->click();
        QVERIFY(!run_->isEnabled());
        QCOMPARE(memo_->toPlainText(), QStringLiteral("Compressing..."));
        for (QWidget* locked :
             {static_cast<QWidget*>(input_), static_cast<QWidget*>(output_), Find<QWidget>("SpeedButton3"),
              Find<QWidget>("CompressionLevelSingleImageSlider"), Find<QWidget>("AISingleTrackBar")})
            QVERIFY2(!locked->isEnabled(), qPrintable(locked->objectName()));
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QTRY_VERIFY(run_->isEnabled());
        QVERIFY(input_->isEnabled() && Find<QWidget>("AISingleTrackBar")->isEnabled());
        QVERIFY(Settled());
        QVERIFY(!outputPane_->picture().isNull());
        QVERIFY(inputPane_->picture().cacheKey() != inputKey);  // reloaded, not cached

        // Switched off, the output pane keeps the old picture; the memo still gets its line.
        Find<QCheckBox>("OutputImagePreviewBox")->click();
        const qint64 outputKey = outputPane_->picture().cacheKey();
        memo_->clear();
        RunAndWait();
        QVERIFY(Settled());
        QCOMPARE(outputPane_->picture().cacheKey(), outputKey);
        QVERIFY(!memo_->toPlainText().isEmpty());
    }

    // Closing during a run keeps the window up and saying so until the picture is written.
    void closeDuringARun()
    {
        window_->show();
        input_->setText(Path("a.jpg"));
        output_->setText(Path("out.jpg"));
        run_->click();
        QVERIFY(!window_->close() && memo_->toPlainText().startsWith("Closing"));
        QTRY_VERIFY_WITH_TIMEOUT(!window_->isVisible(), 20000);
        QVERIFY(QFileInfo(Path("out.jpg")).size() > 0);
    }

    // Whatever the edit names next, a pane that cannot load it keeps its picture.
    void paneKeepsPicture_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("bytes");  // written to `file` unless empty; "-" for none
        QTest::newRow("PNG") << "b.png" << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
        QTest::newRow("text") << "b.jpg" << QByteArray("not a picture\n");
        QTest::newRow("empty file") << "b.jpg" << QByteArray("");
        QTest::newRow("JPEG header only") << "b.jpg" << MakeJpeg(8, 8).left(20);
        QTest::newRow("missing") << "b.jpg" << QByteArray("-");
        QTest::newRow("directory") << "" << QByteArray("-");
    }

    void paneKeepsPicture()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, bytes);
        if (bytes != "-")
            QVERIFY(WriteFile(Path(file), bytes));
        input_->setText(Path("a.jpg"));
        QVERIFY(Settled());
        const qint64 shown = inputPane_->picture().cacheKey();
        QVERIFY(shown != 0);

        input_->setText(file.isEmpty() ? dir_->path() : Path(file));
        emit Find<PathEdit>("InputSingleImageEdit")->mouseReleased();
        QVERIFY(Settled());
        QCOMPARE(inputPane_->picture().cacheKey(), shown);
        QVERIFY(dialogs_->shown.empty());
    }

    // Stretched, a large photo is decoded only as far as the pane needs; at its own size in full.
    void stretchToggling()
    {
        QVERIFY(WriteFile(Path("big.jpg"), MakeJpeg(2000, 1600)));
        auto* stretch = Find<QCheckBox>("InputStretch");
        input_->setText(Path("big.jpg"));
        QVERIFY(Settled());
        QVERIFY(inputPane_->stretch());
        QCOMPARE(inputPane_->picture().size(), QSize(250, 200));  // 1/8 still covers 169 x 153
        QCOMPARE(inputPane_->ownSize(), QSize(2000, 1600));

        QVERIFY(WriteFile(Path("big.jpg"), "garbage"));  // the pane decodes its kept copy in full
        stretch->click();
        QVERIFY(Settled());
        QVERIFY(!inputPane_->stretch());
        QCOMPARE(inputPane_->picture().size(), QSize(2000, 1600));

        // A file gone: the switch changes nothing in the pane.
        QVERIFY(QFile::remove(Path("big.jpg")));
        stretch->click();
        QVERIFY(stretch->isChecked());
        QVERIFY(!inputPane_->stretch());

        // A file that no longer loads still hands the pane the stretch setting.
        QVERIFY(WriteFile(Path("big.jpg"), "garbage"));
        emit Find<PathEdit>("InputSingleImageEdit")->mouseReleased();
        QVERIFY(Settled());
        QVERIFY(inputPane_->stretch());
        QCOMPARE(inputPane_->picture().size(), QSize(2000, 1600));

        // With the preview switched off the pane is left alone entirely.
        QVERIFY(WriteFile(Path("big.jpg"), MakeJpeg(2000, 1600)));
        Find<QCheckBox>("InputImagePreviewBox")->click();
        stretch->click();
        QVERIFY(inputPane_->stretch());
        QCOMPARE(inputPane_->picture().size(), QSize(2000, 1600));
    }

    // Decodes run off the GUI thread; one overtaken by a newer path never lands in the pane.
    void staleDecodeDropped()
    {
        QVERIFY(WriteFile(Path("big.jpg"), MakeJpeg(4000, 3000)));
        Find<QCheckBox>("InputStretch")->click();  // the whole picture: a slow decode
        input_->setText(Path("big.jpg"));
        QVERIFY(window_->findChild<PreviewLoader*>("InputPreviewLoader")->Busy());
        QVERIFY(inputPane_->picture().isNull());
        input_->setText(Path("a.jpg"));
        QVERIFY(Settled());
        QCOMPARE(inputPane_->picture().size(), QSize(64, 48));
    }

    // A phone photo shot in portrait (stored sideways, EXIF orientation 6) shows upright.
    void upright()
    {
        QVERIFY(WriteFile(Path("portrait.jpg"), MakeJpeg(80, 40, 90, 6)));
        Find<QCheckBox>("InputStretch")->click();
        input_->setText(Path("portrait.jpg"));
        QVERIFY(Settled());
        const QImage picture = inputPane_->picture();
        QCOMPARE(picture.size(), QSize(40, 80));
        QVERIFY(IsReddish(picture.pixel(20, 5)));  // the stored left half is now the top
        QVERIFY(!IsReddish(picture.pixel(20, 75)));
    }

    void browse_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("pane");
        QTest::newRow("input") << "SpeedButton3"
                               << "InputSingleImageEdit"
                               << "InputImage";
        QTest::newRow("output") << "SpeedButton4"
                                << "OutputSingleImageEdit"
                                << "OutputImage";
    }

    void browse()
    {
        QFETCH(QString, button);
        QFETCH(QString, edit);
        QFETCH(QString, pane);
        auto* browseButton = Find<QToolButton>(button);
        browseButton->click();  // cancelled
        QCOMPARE(Find<QLineEdit>(edit)->text(), QString());

        dialogs_->fileReplies.push_back(Path("a.jpg"));
        browseButton->click();
        // JPEG first, by its usual extensions; the output is named in a Save dialog.
        const bool input = button == "SpeedButton3";
        const QString filters = input ? "JPEG images (*.jpg *.jpeg *.jpe *.jfif);;All pictures (*.jpg *.jpeg *.jpe "
                                        "*.jfif *.png *.bmp *.gif *.tif *.tiff *.webp);;All files (*)"
                                      : "JPEG images (*.jpg *.jpeg *.jpe *.jfif);;All files (*)";
        const FakeDialogs::Shown offered{input ? FakeDialogs::Kind::OpenFile : FakeDialogs::Kind::SaveFile, "",
                                         filters};
        QCOMPARE(dialogs_->shown, std::vector<FakeDialogs::Shown>(2, offered));
        QVERIFY(Settled());
        QCOMPARE(Find<QLineEdit>(edit)->text(), Path("a.jpg"));
        QCOMPARE(Find<ImagePane>(pane)->picture().size(), QSize(64, 48));
        QVERIFY(inputPane_->picture().isNull() || outputPane_->picture().isNull());  // the other side untouched
    }

    // The file chooser offers the edit's file, or starts in its folder or the other edit's; the
    // folder never ends up in a name pattern.
    void browseStartsInFolder_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("offered");
        QTest::newRow("input's file") << "SpeedButton3"
                                      << "@/a.jpg"
                                      << ""
                                      << "@/a.jpg";
        QTest::newRow("input gone, its folder") << "SpeedButton3"
                                                << "@/gone.jpg"
                                                << ""
                                                << "@";
        QTest::newRow("output beside the input") << "SpeedButton4"
                                                 << "@/a.jpg"
                                                 << ""
                                                 << "@";
        QTest::newRow("new output's name") << "SpeedButton4"
                                           << ""
                                           << "@/sub/new.jpg"
                                           << "@/sub/new.jpg";
        QTest::newRow("folder gone") << "SpeedButton3"
                                     << "@/gone/a.jpg"
                                     << ""
                                     << "";
    }

    void browseStartsInFolder()
    {
        QFETCH(QString, button);
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, offered);
        QVERIFY(QDir(dir_->path()).mkdir("sub"));
        input_->setText(input.replace("@", dir_->path()));
        output_->setText(output.replace("@", dir_->path()));
        Find<QToolButton>(button)->click();
        QCOMPARE(dialogs_->shown.size(), 1u);
        QCOMPARE(dialogs_->shown.front().text, offered.replace("@", dir_->path()));
    }

    // A chosen input with no output named yet gets "<name>-small.jpg" beside it, never a taken name.
    void outputSuggested_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("output");  // before
        QTest::addColumn<QString>("suggested");
        QTest::newRow("browsed") << "browse"
                                 << ""
                                 << "a-small.jpg";
        QTest::newRow("dropped") << "drop"
                                 << ""
                                 << "a-small.jpg";
        QTest::newRow("name taken") << "browse"
                                    << ""
                                    << "a-small-3.jpg";
        QTest::newRow("output named") << "drop"
                                      << "mine.jpg"
                                      << "mine.jpg";
    }

    void outputSuggested()
    {
        QFETCH(QString, how);
        QFETCH(QString, output);
        QFETCH(QString, suggested);
        if (QString(QTest::currentDataTag()) == "name taken")
            QVERIFY(WriteFile(Path("a-small.jpg"), "x") && WriteFile(Path("a-small-2.jpg"), "x"));
        output_->setText(output.isEmpty() ? output : Path(output));
        if (how == "browse") {
            dialogs_->fileReplies.push_back(Path("a.jpg"));
            Find<QToolButton>("SpeedButton3")->click();
        } else {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(Path("a.jpg"))});
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(input_, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(input_, &drop);
        }
        QCOMPARE(input_->text(), Path("a.jpg"));
        QCOMPARE(output_->text(), Path(suggested));
    }

    // Enabled once the input exists: with no output file yet the output is made in memory, nothing
    // is written. Opens beside the main window, which stays usable, and says what the files weigh,
    // what was saved and how alike they look.
    void compareOpens()
    {
        auto* compare = Find<QPushButton>("CompareBtn");
        QVERIFY(!compare->isEnabled());
        input_->setText(Path("a.jpg"));
        output_->setText(Path("new.jpg"));
        QVERIFY(compare->isEnabled());
        CompareView* view = OpenCompare();
        QVERIFY2(view->ShowsLiveOutput() && view->StatusText().contains("(not saved)"), qPrintable(view->StatusText()));
        QVERIFY(!QFileInfo::exists(Path("new.jpg")));
        view->close();

        QVERIFY(WriteFile(Path("same.jpg"), ReadFile(Path("a.jpg"))));
        output_->setText(Path("same.jpg"));
        view = OpenCompare();
        QVERIFY(!view->ShowsLiveOutput());
        QVERIFY(view->isVisible() && view->windowModality() == Qt::NonModal && window_->isEnabled());
        const QString size = QLocale().toString(QFileInfo(Path("a.jpg")).size());
        QCOMPARE(view->StatusText(),
                 QStringLiteral("Input %1 bytes   Output %1 bytes   0.0% saved   SSIM 1.0000, visually identical")
                     .arg(size));
    }

    // The status says that a phone photo carries an HDR gain map.
    void compareSaysWhatThePhotoCarries()
    {
        const QByteArray plain = ReadFile(Path("a.jpg"));
        const tramblix::test::Bytes primary(plain.begin(), plain.end());
        const tramblix::test::Bytes photo = tramblix::test::MakeGainMapPhoto(primary, primary, false);
        QVERIFY(WriteFile(Path("hdr.jpg"), QByteArray(reinterpret_cast<const char*>(photo.data()), std::ssize(photo))));
        input_->setText(Path("hdr.jpg"));
        output_->setText(Path("a.jpg"));
        const QString status = OpenCompare()->StatusText();
        QVERIFY2(status.endsWith("Input carries an HDR gain map"), qPrintable(status));
    }

    // Side by side, identical files look identical on both sides whatever the zoom and spot.
    void compareSidesInStep_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("fit") << "";
        QTest::newRow("100%") << "1";
        QTest::newRow("400% by keys") << "1++++";
        QTest::newRow("wheel over the right side") << "wheel";
        QTest::newRow("zoomed and panned") << "1+++drag";
    }

    void compareSidesInStep()
    {
        QFETCH(QString, action);
        QVERIFY(WriteFile(Path("photo.jpg"), MakeJpeg(300, 200, 95, 1, true)));
        QVERIFY(WriteFile(Path("copy.jpg"), ReadFile(Path("photo.jpg"))));
        input_->setText(Path("photo.jpg"));
        output_->setText(Path("copy.jpg"));
        CompareView* view = OpenCompare();
        CompareCanvas* canvas = view->Canvas();
        const QImage fitted = canvas->grab().toImage();
        for (const QChar key : action.startsWith('1') ? action.left(action.indexOf('d')) : QString())
            QTest::keyClick(canvas, key.toLatin1());
        if (action == "wheel") {
            const QPointF at(canvas->width() * 0.9, canvas->height() * 0.2);
            QWheelEvent wheel(at, canvas->mapToGlobal(at), {}, {0, 360}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
            QApplication::sendEvent(canvas, &wheel);
        }
        if (action.endsWith("drag")) {
            QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(100, 100));
            QMouseEvent move(QEvent::MouseMove, QPointF(160, 130), canvas->mapToGlobal(QPointF(160, 130)), Qt::NoButton,
                             Qt::LeftButton, {});
            QApplication::sendEvent(canvas, &move);
            QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(160, 130));
        }
        if (action.startsWith("1"))
            QCOMPARE(canvas->zoom(), std::pow(2.0, action.count('+') / 2.0));
        const QImage shot = canvas->grab().toImage();
        QVERIFY(action.isEmpty() || shot != fitted);
        const int half = (shot.width() - 4) / 2;
        QCOMPARE(shot.copy(0, 0, half, shot.height()), shot.copy(shot.width() - half, 0, half, shot.height()));
    }

    // Split: input left of the line, output right of it; the user drags the line.
    void compareSplit()
    {
        QImage green(64, 48, QImage::Format_RGB32);
        green.fill(Qt::green);
        QVERIFY(green.save(Path("green.jpg"), "JPG"));
        input_->setText(Path("a.jpg"));  // red left half, blue right half
        output_->setText(Path("green.jpg"));
        CompareView* view = OpenCompare();
        for (QToolButton* button : view->findChildren<QToolButton*>())
            if (button->text() == "Split")
                button->click();
        CompareCanvas* canvas = view->Canvas();
        QCOMPARE(canvas->mode(), CompareCanvas::Mode::Split);
        const int middle = canvas->width() / 2;
        const int y = canvas->height() / 2;
        QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(middle, y));
        QMouseEvent move(QEvent::MouseMove, QPointF(middle / 2, y), canvas->mapToGlobal(QPointF(middle / 2, y)),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(canvas, &move);
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(middle / 2, y));
        QVERIFY(std::abs(canvas->split() - 0.25) < 0.02);
        const QImage shot = canvas->grab().toImage();
        const QRgb left = shot.pixel(middle / 4, y / 2);
        const QRgb right = shot.pixel(middle + middle / 4, y / 2);
        QVERIFY2(IsReddish(left), qPrintable(QString::number(left, 16)));
        QVERIFY2(qGreen(right) > 150 && qRed(right) < 100,
                 qPrintable(QString::number(right, 16)));  // the output's half
        QVERIFY(!view->StatusText().contains("SSIM 1.0000"));
    }

    // Moving a control of the compare window re-encodes the input in memory; "Save output..."
    // writes what is shown (never larger than the input, never over the input), "Use these
    // settings" hands the settings to the tab.
    void liveTuning_data()
    {
        QTest::addColumn<QString>("saveAs");  // "" cancels the dialog; "=" names the input
        QTest::addColumn<bool>("written");
        QTest::newRow("saved") << "live.jpg" << true;
        QTest::newRow("cancelled") << "" << false;
        QTest::newRow("input refused") << "=" << false;
        QTest::newRow("folder refused") << "sub" << false;
    }

    void liveTuning()
    {
        QFETCH(QString, saveAs);
        QFETCH(bool, written);
        QVERIFY(QDir(dir_->path()).mkdir("sub"));
        QVERIFY(WriteFile(Path("photo.jpg"), MakeJpeg(300, 200, 98, 1, true)));
        const QByteArray original = ReadFile(Path("photo.jpg"));
        QVERIFY(WriteFile(Path("copy.jpg"), original));
        input_->setText(Path("photo.jpg"));
        output_->setText(Path("copy.jpg"));
        Find<QSlider>("AISingleTrackBar")->setValue(1);
        CompareView* view = OpenCompare();
        auto* level = view->findChild<QSlider*>("LiveLevelSlider");
        QCOMPARE(level->value(), 5);  // the tab's
        QCOMPARE(view->findChild<QSlider*>("LiveAiSlider")->value(), 1);
        level->setValue(10);
        QVERIFY(view->StatusText().contains("Output: encoding..."));
        QTRY_VERIFY_WITH_TIMEOUT(view->Idle(), 20000);
        QVERIFY(view->ShowsLiveOutput());
        QVERIFY2(view->StatusText().contains("(not saved)") && view->StatusText().contains("SSIM 0."),
                 qPrintable(view->StatusText()));
        QCOMPARE(ReadFile(Path("copy.jpg")), original);  // nothing written yet

        if (!saveAs.isEmpty())
            dialogs_->fileReplies.push_back(saveAs == "=" ? Path("photo.jpg") : Path(saveAs));
        view->findChild<QPushButton*>("SaveOutputBtn")->click();
        QCOMPARE(dialogs_->shown.front().kind, FakeDialogs::Kind::SaveFile);
        QCOMPARE(ReadFile(Path("photo.jpg")), original);
        if (written) {
            const QByteArray saved = ReadFile(Path(saveAs));
            QVERIFY(!saved.isEmpty() && saved.size() < original.size());
            QCOMPARE(DecodeJpegToQImage(saved).size(), QSize(300, 200));
        }
        QCOMPARE(dialogs_->shown.size(), saveAs.isEmpty() || written ? 1u : 2u);  // a refusal says why

        view->findChild<QPushButton*>("UseSettingsBtn")->click();
        QCOMPARE(Find<QSlider>("CompressionLevelSingleImageSlider")->value(), 10);
        QCOMPARE(Find<QSlider>("AISingleTrackBar")->value(), 1);
    }

    // The keyboard alone: the window starts in the input edit, Enter there runs (after what
    // leaving the edit does), and after a run the focus is on Compress again, so Space repeats it.
    void keyboardRun_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("Enter in the input") << "InputSingleImageEdit";
        QTest::newRow("Enter in the output") << "OutputSingleImageEdit";
    }

    void keyboardRun()
    {
        QFETCH(QString, edit);
        window_->show();
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
        QCOMPARE(window_->focusWidget(), input_);
        input_->setText(Path("a.jpg"));
        output_->setText(Path("out.jpg"));
        QTest::keyClick(Find<QLineEdit>(edit), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(run_->isEnabled(), 20000);
        QVERIFY(QFileInfo::exists(Path("out.jpg")));
        QCOMPARE(window_->focusWidget(), run_);
        QVERIFY(QFile::remove(Path("out.jpg")));
        QTest::keyClick(window_->focusWidget(), Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(run_->isEnabled() && QFileInfo::exists(Path("out.jpg")), 20000);
    }

    // A PNG input is compared like a JPEG one (decoded as the engine decodes it); Esc closes.
    void compareOtherFormats()
    {
        QImage picture(120, 80, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, (x * y) % 256, (x ^ y) * 2 % 256));
        QVERIFY(picture.save(Path("in.png"), "PNG"));
        input_->setText(Path("in.png"));
        output_->setText(Path("out.jpg"));
        RunAndWait();
        CompareView* view = OpenCompare();
        // Busy, the PNG is larger than its JPEG: the JPEG is compared with it.
        QVERIFY2(view->StatusText().contains("SSIM 0.") && !view->StatusText().contains("not a picture"),
                 qPrintable(view->StatusText()));
        QTest::keyClick(view, Qt::Key_Escape);
        QVERIFY(!view->isVisible());
    }

    // A new run refreshes an open comparison.
    void compareRefreshedByRun()
    {
        QVERIFY(WriteFile(Path("photo.jpg"), MakeJpeg(300, 200, 98, 1, true)));
        input_->setText(Path("photo.jpg"));
        output_->setText(Path("out.jpg"));
        RunAndWait();
        CompareView* view = OpenCompare();
        Find<QSlider>("CompressionLevelSingleImageSlider")->setValue(10);
        RunAndWait();
        QTRY_VERIFY(view->Idle());
        const QString size = QLocale().toString(QFileInfo(Path("out.jpg")).size());
        QVERIFY2(view->StatusText().contains(QStringLiteral("Output %1 bytes").arg(size)),
                 qPrintable(view->StatusText()));
    }

    // The buttons and the panes open the viewer alike, or say which file is missing.
    void viewerNeedsFile_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<QString>("text");
        QTest::newRow("Button1") << "Button1"
                                 << "Please select an input JPEG File";
        QTest::newRow("InputImage") << "InputImage"
                                    << "Please select an input JPEG File";
        QTest::newRow("Button2") << "Button2"
                                 << "Please select an output JPEG File";
        QTest::newRow("OutputImage") << "OutputImage"
                                     << "Please select an output JPEG File";
    }

    void viewerNeedsFile()
    {
        QFETCH(QString, trigger);
        QFETCH(QString, text);
        output_->setText(dir_->path());  // a directory is no file

        QVERIFY(!OpenViewer(Find<QWidget>(trigger)).shown);
        QCOMPARE(dialogs_->shown.size(), 1u);
        QCOMPARE(dialogs_->shown.front().text, text);
        QCOMPARE(dialogs_->shown.front().caption, QStringLiteral("Need additional file"));
        window_->CreateViewer();
        QCOMPARE(window_->findChild<TGIFPlayerForm*>("GIFPlayerForm")->windowTitle(), QStringLiteral("JPEG Preview"));

        input_->setText(Path("a.jpg"));
        output_->setText(Path("a.jpg"));
        QVERIFY(OpenViewer(Find<QWidget>(trigger)).shown);
    }

    // Upright, pixel for pixel or scaled down to fit, in a window never too small to close and always
    // inside the screen's free area: centred over the main window at first, later where it was left.
    void viewer_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("picture");
        QTest::newRow("picture") << MakeJpeg(64, 48) << QSize(64, 48);
        QTest::newRow("portrait photo") << MakeJpeg(80, 40, 90, 6) << QSize(40, 80);
        QTest::newRow("over the pixel limit") << OverThePixelLimit() << QSize(20000, 14000);
        QTest::newRow("not a picture") << QByteArray("text") << QSize();
    }

    void viewer()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, picture);
        QVERIFY(WriteFile(Path("v.jpg"), bytes));
        input_->setText(Path("v.jpg"));

        const ViewerState first = OpenViewer(Find<QPushButton>("Button1"), QPoint(10, 20));
        QVERIFY(first.closedByClick);
        const QString title = Path("v.jpg") + " Size: " + QString::number(bytes.size()) + " Bytes";
        QCOMPARE(first.title, title);
        QCOMPARE(first.toolTip, title);
        const QRect area = window_->screen()->availableGeometry();
        QVERIFY(area.contains(first.frame));
        QVERIFY(first.clientSize.width() >= 200 && first.clientSize.height() >= 100);
        const QRect main = window_->frameGeometry();
        QCOMPARE(first.frame.topLeft(), QPoint(std::clamp(main.x() + (main.width() - first.frame.width()) / 2, 0,
                                                          area.right() + 1 - first.frame.width()),
                                               std::clamp(main.y() + (main.height() - first.frame.height()) / 2, 0,
                                                          area.bottom() + 1 - first.frame.height())));
        QCOMPARE(first.message, picture.isEmpty());
        if (!picture.isEmpty()) {  // at its own size, or in proportion from a decode at a reduced scale
            const bool fits = picture.boundedTo(area.size()) == picture;
            QCOMPARE(first.screen.size() == picture, fits);
            QVERIFY(first.decodedSize.width() >= first.screen.width() &&
                    (fits || first.decodedSize.width() < picture.width()));
            QVERIFY(IsReddish(first.screen.pixel(1, 1)));  // red top left, not bottom right: all of it shows
            QVERIFY(!IsReddish(first.screen.pixel(first.screen.width() - 2, first.screen.height() - 2)));
        }

        QVERIFY(WriteFile(Path("v.jpg"), MakeJpeg(30, 20)));
        const ViewerState second = OpenViewer(Find<QPushButton>("Button1"));
        QCOMPARE(second.screen.size(), QSize(30, 20));
        QCOMPARE(second.frame.topLeft(), QPoint(10, 20));
    }

private:
    template <typename T>
    T* Find(const QString& name)
    {
        T* widget = window_->findChild<T*>(name);
        if (widget == nullptr)
            qFatal("no %s", qPrintable(name));
        return widget;
    }

    QString Path(const QString& name) const { return dir_->filePath(name); }

    CompareView* OpenCompare()
    {
        Find<QPushButton>("CompareBtn")->click();
        auto* view = window_->findChild<CompareView*>("CompareView");
        if (view == nullptr || !QTest::qWaitFor([view] { return view->Idle(); }, 20000))
            qFatal("the comparison did not load");
        return view;
    }

    // Waits until both panes have received their last decode.
    bool Settled()
    {
        auto* in = window_->findChild<PreviewLoader*>("InputPreviewLoader");
        auto* out = window_->findChild<PreviewLoader*>("OutputPreviewLoader");
        return QTest::qWaitFor([&] { return !in->Busy() && !out->Busy(); }, 20000);
    }

    void RunAndWait()
    {
        run_->click();
        QTRY_VERIFY_WITH_TIMEOUT(run_->isEnabled(), 20000);
    }

    // Clicks `trigger`; if the viewer opens, records it, optionally moves it, and closes it
    // with a click on the picture.
    ViewerState OpenViewer(QWidget* trigger, std::optional<QPoint> moveTo = std::nullopt)
    {
        ViewerState state;
        QTimer::singleShot(0, this, [&] {
            auto* viewer = window_->findChild<TGIFPlayerForm*>("GIFPlayerForm");
            if (viewer == nullptr || !viewer->isVisible())
                return;
            state.shown = true;
            state.title = viewer->windowTitle();
            state.toolTip = viewer->toolTip();
            state.clientSize = viewer->size();
            state.frame = viewer->frameGeometry();
            auto* pane = viewer->findChild<ImagePane*>("InputImage");
            state.decodedSize = pane->picture().size();
            state.message = viewer->findChild<QWidget*>("MessageLabel")->isVisible();
            state.screen = pane->grab().toImage();
            if (moveTo)
                viewer->move(*moveTo);
            QTest::mouseClick(pane->isVisible() ? static_cast<QWidget*>(pane) : viewer, Qt::LeftButton, {},
                              QPoint(1, 1));
            state.closedByClick = !viewer->isVisible();
            viewer->reject();
        });
        if (auto* pane = qobject_cast<ImagePane*>(trigger))
            QTest::mouseClick(pane, Qt::LeftButton, {}, QPoint(5, 5));
        else
            QTest::mouseClick(trigger, Qt::LeftButton);
        QCoreApplication::processEvents();  // the timer, when nothing opened
        return state;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<FakeDialogs> dialogs_;
    std::unique_ptr<TMainTramblix> window_;
    QLineEdit* input_ = nullptr;
    QLineEdit* output_ = nullptr;
    ImagePane* inputPane_ = nullptr;
    ImagePane* outputPane_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QPushButton* run_ = nullptr;
};

QTEST_MAIN(SingleImageTest)
#include "single_image_test.moc"
