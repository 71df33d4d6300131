#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QDropEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "app/batch_job.h"
#include "app/main_window.h"
#include "batch/batch_run.h"
#include "fake_dialogs.h"

using Shown = std::vector<FakeDialogs::Shown>;

namespace {

// Holds a run's pictures p00.jpg, p01.jpg, ... back until the test lets the first n through,
// so a run is "long" without any timing.
class Gate {
public:
    void Open(int n)
    {
        std::lock_guard lock(mutex_);
        open_ += n;
        changed_.notify_all();
    }
    void Pass(const std::string& path)
    {
        const int index = std::stoi(std::filesystem::path(path).stem().string().substr(1));
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return index < open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int open_ = 0;
};

void WriteJpeg(const QString& path, int seed)
{
    QDir().mkpath(QFileInfo(path).path());
    QImage image(48, 40, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 5, y * 6, random.bounded(256)));
    QVERIFY(image.save(path, "JPG", 97));
}

// Every file and directory under `root` with its size.
QStringList Tree(const QString& root)
{
    QStringList entries;
    for (QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();)
        entries << it.next() + ':' + QString::number(it.fileInfo().size());
    entries.sort();
    return entries;
}

// The line of a file at `root`/in/`name`, as the window shows it: from the chosen folders' names on.
QString FileLine(const QString& root, const QString& name)
{
    const QString in = root + "/in" + name, out = root + "/out" + name;
    return QString::fromStdString(tramblix::ReducedLine(("in" + name).toStdString(), ("out" + name).toStdString(),
                                                        QFileInfo(in).size(), QFileInfo(out).size()));
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class DirectoryTabTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        window_ = std::make_unique<TMainTramblix>(dialogs_);
        dialogs_.shown.clear();
        root_ = std::make_unique<QTemporaryDir>();
        in_ = root_->filePath("in");
        out_ = root_->filePath("out");
        gate_ = std::make_unique<Gate>();
        job_ = window_->findChild<BatchJob*>();
        QVERIFY(job_);
    }

    void cleanup()
    {
        gate_->Open(1000);
        window_.reset();  // waits for a run still going
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<Shown>("shown");
        const Shown need{
            {FakeDialogs::Kind::Message, "Please select an input and output directory", "Need additional path"}};
        const Shown same{{FakeDialogs::Kind::Message, "Please select a unique output directory",
                          "Input and Output Directories are the same"}};
        QTest::newRow("both empty") << ""
                                    << "" << need;
        QTest::newRow("input empty") << ""
                                     << "@out" << need;
        QTest::newRow("output empty") << "@in"
                                      << "" << need;
        QTest::newRow("same text, other case and separator") << "@in/Photos"
                                                             << "@in/photos/" << same;
        QTest::newRow("same directory, other spelling") << "@in"
                                                        << "@in/sub/.." << same;
        QTest::newRow("folder with photos inside the input")
            << "@in"
            << "@in/sub"
            << Shown{{FakeDialogs::Kind::Message, tramblix::kOutputInsideInputMessage.text,
                      tramblix::kOutputInsideInputMessage.caption}};
    }

    // A refused click changes neither the edits, nor the log, nor the disk.
    void refusals()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(Shown, shown);
        WriteJpeg(in_ + "/sub/a.jpg", 1);
        input.replace("@in", in_).replace("@out", out_);
        output.replace("@in", in_).replace("@out", out_);
        Find<QLineEdit>("InputEdit")->setText(input);
        Find<QLineEdit>("OutputEdit")->setText(output);
        Find<QPlainTextEdit>("LogMemo")->setPlainText("old line");
        const QStringList before = Tree(root_->path());

        Find<QPushButton>("RunBtn")->click();

        QVERIFY(dialogs_.shown == shown);
        QVERIFY(!job_->Running());
        QCOMPARE(Find<QLineEdit>("InputEdit")->text(), input);
        QCOMPARE(Find<QLineEdit>("OutputEdit")->text(), output);
        QCOMPARE(Find<QPlainTextEdit>("LogMemo")->toPlainText(), QStringLiteral("old line"));
        QCOMPARE(Tree(root_->path()), before);
    }

    void run_data()
    {
        QTest::addColumn<bool>("recurse");
        QTest::addColumn<bool>("log");
        QTest::newRow("recursive") << true << true;
        QTest::newRow("top directory only") << false << true;
        QTest::newRow("log off: the old lines stay") << true << false;
    }

    // The log of a nested tree: sub-directories before their parent's files, names in order,
    // the numbers those of the files on disk, the levels those of the sliders.
    void run()
    {
        QFETCH(bool, recurse);
        QFETCH(bool, log);
        WriteJpeg(in_ + "/a.jpg", 1);
        QFile bad(in_ + "/bad.jpg");
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("not a picture") > 0);
        bad.close();
        WriteJpeg(in_ + "/skip.jpeg", 2);
        WriteJpeg(in_ + "/sub/b.jpg", 3);
        WriteJpeg(in_ + "/sub/c.JPG", 4);
        WriteJpeg(in_ + "/sub/deep/d.jpg", 5);
        Find<QLineEdit>("InputEdit")->setText(in_);
        Find<QLineEdit>("OutputEdit")->setText(out_);
        Find<QSlider>("CompressionLevelSlider")->setValue(8);
        Find<QSlider>("AIBatchTrackBar")->setValue(3);
        Find<QCheckBox>("RecurseDirBox")->setChecked(recurse);
        Find<QPlainTextEdit>("LogMemo")->setPlainText("old line");
        if (!log)
            Find<QCheckBox>("OutputLogBox")->click();

        Find<QPushButton>("RunBtn")->click();
        QCOMPARE(Find<QPushButton>("RunBtn")->text(), QStringLiteral("Cancel"));
        QTRY_VERIFY_WITH_TIMEOUT(!job_->Running(), 60000);

        QVERIFY(dialogs_.shown.empty());
        QCOMPARE(Find<QLineEdit>("InputEdit")->text(), in_ + '/');
        QCOMPARE(Find<QLineEdit>("OutputEdit")->text(), out_ + '/');
        QStringList expected{"Start Processing..."};
        if (recurse) {
            for (const char* name : {"/sub/deep/d.jpg", "/sub/b.jpg", "/sub/c.JPG"})
                expected << FileLine(root_->path(), name);
        }
        expected << FileLine(root_->path(), "/a.jpg");
        QStringList lines = Find<QPlainTextEdit>("LogMemo")->toPlainText().split('\n');
        if (log) {
            QCOMPARE(lines.size(), expected.size() + 3);
            const QString failed = lines.takeAt(expected.size());
            QVERIFY2(failed.startsWith(" Converting file: in/bad.jpg To: out/bad.jpg Failed: "), qPrintable(failed));
            const QString summary = lines.takeLast();
            const QString counts = recurse ? "Done: 5 files: 4 compressed, 0 kept, 1 failed, 0 skipped; "
                                           : "Done: 2 files: 1 compressed, 0 kept, 1 failed, 0 skipped; ";
            QVERIFY2(summary.startsWith(counts) && summary.contains("% saved; "), qPrintable(summary));
            QCOMPARE(lines.takeLast(), QStringLiteral("End Processing..."));
            QCOMPARE(lines, expected);

            // The failures alone, still between the start and end lines, and back again.
            auto* failuresOnly = Find<QCheckBox>("FailuresOnlyBox");
            failuresOnly->setChecked(true);
            QCOMPARE(Find<QPlainTextEdit>("LogMemo")->toPlainText().split('\n'),
                     QStringList({"Start Processing...", failed, "End Processing...", summary}));
            failuresOnly->setChecked(false);
            QCOMPARE(Find<QPlainTextEdit>("LogMemo")->toPlainText().split('\n').size(), expected.size() + 3);
        } else {
            QCOMPARE(lines, QStringList{"old line"});
        }

        // The engine at the sliders' levels gives the same bytes.
        const QString again = root_->filePath("again.jpg");
        QCOMPARE(tramblix::CompressFile((in_ + "/a.jpg").toStdString(), again.toStdString(), 8, 3).status,
                 tramblix::CompressStatus::Ok);
        QCOMPARE(Contents(again), Contents(out_ + "/a.jpg"));

        const QString progress = Find<QLabel>("BatchProgressLabel")->text();
        QVERIFY2(progress.startsWith(QStringLiteral("%1 of %1 files, ").arg(recurse ? 5 : 2)) &&
                     progress.endsWith(", 1 failed"),
                 qPrintable(progress));
        QCOMPARE(Find<QProgressBar>("BatchProgressBar")->value(), Find<QProgressBar>("BatchProgressBar")->maximum());
        QCOMPARE(Find<QPushButton>("RunBtn")->text(), QStringLiteral("Compress"));
    }

    // The options reach the run: ".jpeg" files are taken too and rewritten losslessly, as the
    // engine does with the same options; while lossless the level sliders are off.
    void options()
    {
        WriteJpeg(in_ + "/a.jpg", 1);
        WriteJpeg(in_ + "/b.jpeg", 2);
        Find<QCheckBox>("JpegExtensionBox")->setChecked(true);
        Find<QCheckBox>("LosslessBatchBox")->setChecked(true);
        for (const char* name : {"CompressionLevelSlider", "AIBatchTrackBar", "EncoderBatchBox"})
            QVERIFY2(!Find<QWidget>(name)->isEnabled(), name);
        Find<QLineEdit>("InputEdit")->setText(in_);
        Find<QLineEdit>("OutputEdit")->setText(out_);
        Find<QPushButton>("RunBtn")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!job_->Running(), 60000);
        QVERIFY(!Find<QSlider>("AIBatchTrackBar")->isEnabled());

        tramblix::EngineOptions lossless;
        lossless.lossless = true;
        const QString again = root_->filePath("again.jpg");
        for (const char* name : {"/a.jpg", "/b.jpeg"}) {
            QCOMPARE(tramblix::CompressFile((in_ + name).toStdString(), again.toStdString(), 5, 0, lossless).status,
                     tramblix::CompressStatus::Ok);
            QCOMPARE(Contents(out_ + name), Contents(again));
        }
    }

    // Unchecked: disabled and painted in the 3-D light colour; checked again: the window colour.
    void memoColours()
    {
        Find<QPlainTextEdit>("LogMemo")->setPlainText("kept");
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        for (const bool checked : {false, true}) {
            Find<QCheckBox>("OutputLogBox")->click();
            QCOMPARE(Find<QCheckBox>("OutputLogBox")->isChecked(), checked);
            QCOMPARE(Find<QPlainTextEdit>("LogMemo")->isEnabled(), checked);
            QCOMPARE(Find<QPlainTextEdit>("LogMemo")->toPlainText(), QStringLiteral("kept"));
            const QColor expected = QApplication::palette(Find<QPlainTextEdit>("LogMemo"))
                                        .color(checked ? QPalette::Base : QPalette::Midlight);
            const QImage shot = Find<QPlainTextEdit>("LogMemo")->viewport()->grab().toImage();
            QCOMPARE(shot.pixel(shot.width() - 4, shot.height() - 4), expected.rgb());
        }
    }

    void chooser_data()
    {
        QTest::addColumn<bool>("output");
        QTest::addColumn<QStringList>("reply");  // empty: the user cancels
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("before");  // the edit's text; "@" is an existing folder
        QTest::addColumn<QString>("initial");
        QTest::newRow("input") << false << QStringList{"/srv/photos"} << "/srv/photos"
                               << "as before"
                               << "";
        QTest::newRow("output, separator dropped") << true << QStringList{"/srv/out/"} << "/srv/out"
                                                   << "as before"
                                                   << "";
        QTest::newRow("root keeps its separator") << false << QStringList{"/"} << "/"
                                                  << "as before"
                                                  << "";
        QTest::newRow("cancel") << true << QStringList{} << "as before"
                                << "as before"
                                << "";
        QTest::newRow("starts in the edit's folder") << false << QStringList{} << "@/"
                                                     << "@/"
                                                     << "@";
        QTest::newRow("or above it") << true << QStringList{} << "@/new"
                                     << "@/new"
                                     << "@";
    }

    void chooser()
    {
        QFETCH(bool, output);
        QFETCH(QStringList, reply);
        QFETCH(QString, after);
        QFETCH(QString, before);
        QFETCH(QString, initial);
        QLineEdit* edit = output ? Find<QLineEdit>("OutputEdit") : Find<QLineEdit>("InputEdit");
        edit->setText(before.replace("@", root_->path()));
        dialogs_.directoryReplies.assign(reply.cbegin(), reply.cend());
        (output ? Find<QToolButton>("SpeedButton2") : Find<QToolButton>("SpeedButton1"))->click();
        QVERIFY(dialogs_.shown == (Shown{{FakeDialogs::Kind::ChooseDirectory, initial.replace("@", root_->path()),
                                          "Select a Directory"}}));
        QCOMPARE(edit->text(), after.replace("@", root_->path()));
    }

    void drop_data()
    {
        QTest::addColumn<QStringList>("dragged");
        QTest::addColumn<bool>("taken");
        QTest::newRow("folder") << QStringList{"@in/"} << true;
        QTest::newRow("file") << QStringList{"@in/a.jpg"} << false;
        QTest::newRow("two folders") << QStringList{"@in", "@in/sub"} << false;
    }

    void drop()
    {
        QFETCH(QStringList, dragged);
        QFETCH(bool, taken);
        WriteJpeg(in_ + "/a.jpg", 1);
        QDir().mkpath(in_ + "/sub");
        QMimeData data;
        QList<QUrl> urls;
        for (QString path : dragged)
            urls << QUrl::fromLocalFile(path.replace("@in", in_));
        data.setUrls(urls);
        for (QLineEdit* edit : {Find<QLineEdit>("InputEdit"), Find<QLineEdit>("OutputEdit")}) {
            edit->setText("as before");
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(edit, &enter);
            QCOMPARE(enter.isAccepted(), taken);
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(edit, &drop);
            QCOMPARE(edit->text(), taken ? in_ : QStringLiteral("as before"));
        }
    }

    // Cancel (the button or Esc) lets the files in flight finish and stops the rest; the window
    // answers throughout. A second Cancel click landing just after the end starts no new run, and
    // the focus comes back to Compress.
    void cancelStopsTheRunEarly_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Esc") << true;
    }

    void cancelStopsTheRunEarly()
    {
        QFETCH(bool, escape);
        window_->show();
        window_->findChild<QTabWidget*>("MainPageCtrl")->setCurrentIndex(0);
        HeldBackRun(40);
        if (QTest::currentTestFailed())
            return;
        const QStringList first = Find<QPlainTextEdit>("LogMemo")->toPlainText().split('\n');
        QVERIFY(job_->Running());  // its first lines came through the event loop meanwhile
        for (const char* locked :
             {"InputEdit", "OutputEdit", "SpeedButton1", "CompressionLevelSlider", "RecurseDirBox"})
            QVERIFY2(!Find<QWidget>(locked)->isEnabled(), locked);

        if (escape)
            QTest::keyClick(window_.get(), Qt::Key_Escape);
        else
            Find<QPushButton>("RunBtn")->click();
        QVERIFY(!Find<QPushButton>("RunBtn")->isEnabled());
        gate_->Open(1000);
        QTRY_VERIFY(!job_->Running());
        QTest::mouseClick(Find<QPushButton>("RunBtn"), Qt::LeftButton);  // the user's second Cancel, late
        QVERIFY(!job_->Running());

        const QStringList log = Find<QPlainTextEdit>("LogMemo")->toPlainText().split('\n');
        QVERIFY2(log.size() < 40, qPrintable(QString::number(log.size())));
        QCOMPARE(log.mid(0, first.size()), first);
        QCOMPARE(log.at(log.size() - 2), QStringLiteral("End Processing..."));
        QVERIFY2(log.constLast().startsWith(QStringLiteral("Cancelled after ")) &&
                     log.constLast().contains(QStringLiteral(" of 40 files: ")),
                 qPrintable(log.constLast()));
        QVERIFY(Find<QLabel>("BatchProgressLabel")->text().startsWith("Cancelled: "));
        QCOMPARE(Find<QPushButton>("RunBtn")->text(), QStringLiteral("Compress"));
        QTRY_VERIFY(Find<QPushButton>("RunBtn")->isEnabled());
        QCOMPARE(window_->focusWidget(), Find<QPushButton>("RunBtn"));
        QVERIFY(Find<QWidget>("InputEdit")->isEnabled() && Find<QWidget>("AIBatchTrackBar")->isEnabled());
    }

    void windowGoesDuringARun_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("closed") << false;
        QTest::newRow("destroyed") << true;
    }

    // The files in flight are finished: every output left is whole, and no temporary remains.
    void windowGoesDuringARun()
    {
        QFETCH(bool, destroy);
        window_->show();
        HeldBackRun(20);
        if (QTest::currentTestFailed())
            return;
        if (destroy) {
            std::jthread opener([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                gate_->Open(1000);
            });
            window_.reset();
        } else {
            QVERIFY(!window_->close());
            QVERIFY(window_->isVisible());
            gate_->Open(1000);
            QTRY_VERIFY(!window_->isVisible());
            QVERIFY(!job_->Running());
        }
        const QStringList outputs = QDir(out_).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(outputs.size() >= 3 && outputs.size() < 20, qPrintable(outputs.join(' ')));
        for (const QString& name : outputs)
            QVERIFY2(name.endsWith(".jpg") && !QImage(out_ + '/' + name).isNull(), qPrintable(name));
    }

private:
    template <class T>
    T* Find(const char* name) const
    {
        return window_->findChild<T*>(QLatin1String(name));
    }

    // Starts a run over `count` pictures whose compression waits for the gate; lets three
    // through and returns once their lines are in the log.
    void HeldBackRun(int count)
    {
        for (int i = 0; i < count; ++i)
            WriteJpeg(QStringLiteral("%1/p%2.jpg").arg(in_).arg(i, 2, 10, QLatin1Char('0')), i);
        const tramblix::FileSettings settings{in_.toStdString() + '/', out_.toStdString() + '/', 5, 0, {}};
        job_->SetFileWork(
            [gate = gate_.get(), settings](const std::string& path, const tramblix::EngineOptions& engine) {
                gate->Pass(path);
                tramblix::FileSettings file = settings;
                file.engine = engine;
                return tramblix::ProcessFoundFile(path, file);
            });
        Find<QLineEdit>("InputEdit")->setText(in_);
        Find<QLineEdit>("OutputEdit")->setText(out_);
        Find<QPushButton>("RunBtn")->click();
        gate_->Open(3);
        QTRY_COMPARE(Find<QPlainTextEdit>("LogMemo")->toPlainText().count('\n'), 3);
    }

    FakeDialogs dialogs_;
    std::unique_ptr<TMainTramblix> window_;
    std::unique_ptr<QTemporaryDir> root_;
    std::unique_ptr<Gate> gate_;
    BatchJob* job_ = nullptr;
    QString in_, out_;
};

QTEST_MAIN(DirectoryTabTest)
#include "directory_tab_test.moc"
