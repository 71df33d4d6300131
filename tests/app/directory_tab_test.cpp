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
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "app/batch_job.h"
#include "app/main_window.h"
#include "batch/batch_run.h"
#include "engine/compress.h"
#include "fake_dialogs.h"

namespace {

// Holds the batch's files back until the test lets them go, so a run is "long" without timing.
class Gate {
public:
    void Release(int n)
    {
        std::lock_guard lock(mutex_);
        permits_ += n;
        changed_.notify_all();
    }
    void Acquire()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return permits_ > 0; });
        --permits_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int permits_ = 0;
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

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QStringList Tree(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next() + ':' + QString::number(it.fileInfo().size());
    files.sort();
    return files;
}

QString FileLine(const QString& in, const QString& out)
{
    return QString::fromStdString(tramblix::ReducedLine(in.toStdString(), out.toStdString(), QFileInfo(in).size(),
                                                        QFileInfo(out).size()));
}

}  // namespace

class DirectoryTabTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dialogs_ = std::make_unique<FakeDialogs>();
        window_ = std::make_unique<TMainTramblix>(*dialogs_);
        root_ = std::make_unique<QTemporaryDir>();
        in_ = root_->filePath("in");
        out_ = root_->filePath("out");
        job_ = window_->findChild<BatchJob*>();
        QVERIFY(job_);
    }

    void cleanup()
    {
        if (gate_)
            gate_->Release(1000);
        gate_.reset();
        window_.reset();  // waits for a run still going
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("caption");
        const QString need = "Please select an input and output directory", needCaption = "Need additional path";
        const QString same = "Please select a unique output directory";
        const QString sameCaption = "Input and Output Directories are the same";
        QTest::newRow("both empty") << "" << "" << need << needCaption;
        QTest::newRow("input empty") << "" << "@out" << need << needCaption;
        QTest::newRow("output empty") << "@in" << "" << need << needCaption;
        QTest::newRow("same text, other case and separator") << "@in/Photos" << "@in/photos/" << same << sameCaption;
        QTest::newRow("same directory, other spelling") << "@in" << "@in/sub/.." << same << sameCaption;
    }

    // A refused click changes neither the edits, nor the log, nor the disk.
    void refusals()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, text);
        QFETCH(QString, caption);
        WriteJpeg(in_ + "/sub/a.jpg", 1);
        input.replace("@in", in_).replace("@out", out_);
        output.replace("@in", in_).replace("@out", out_);
        Edit("InputEdit")->setText(input);
        Edit("OutputEdit")->setText(output);
        Memo()->setPlainText("old line");
        const QStringList before = Tree(root_->path());

        Button("RunBtn")->click();

        QCOMPARE(dialogs_->shown, (std::vector<FakeDialogs::Shown>{{FakeDialogs::Kind::Message, text, caption}}));
        QVERIFY(!job_->Running());
        QCOMPARE(Edit("InputEdit")->text(), input);
        QCOMPARE(Edit("OutputEdit")->text(), output);
        QCOMPARE(Memo()->toPlainText(), QStringLiteral("old line"));
        QCOMPARE(Tree(root_->path()), before);
    }

    void run_data()
    {
        QTest::addColumn<bool>("recurse");
        QTest::newRow("recursive") << true;
        QTest::newRow("top directory only") << false;
    }

    // The log of a nested tree: sub-directories before their parent's files, names in order,
    // the numbers those of the files on disk, the levels those of the sliders.
    void run()
    {
        QFETCH(bool, recurse);
        WriteJpeg(in_ + "/a.jpg", 1);
        WriteFile(in_ + "/bad.jpg", "not a picture");
        WriteJpeg(in_ + "/skip.jpeg", 2);
        WriteJpeg(in_ + "/sub/b.jpg", 3);
        WriteJpeg(in_ + "/sub/c.JPG", 4);
        WriteJpeg(in_ + "/sub/deep/d.jpg", 5);
        Edit("InputEdit")->setText(in_);
        Edit("OutputEdit")->setText(out_);
        window_->findChild<QSlider*>("CompressionLevelSlider")->setValue(8);
        window_->findChild<QSlider*>("AIBatchTrackBar")->setValue(3);
        window_->findChild<QCheckBox*>("RecurseDirBox")->setChecked(recurse);
        Memo()->setPlainText("old line");

        RunAndWait();

        QCOMPARE(Edit("InputEdit")->text(), in_ + '/');
        QCOMPARE(Edit("OutputEdit")->text(), out_ + '/');
        QStringList expected{"Start Processing..."};
        if (recurse) {
            for (const char* name : {"/sub/deep/d.jpg", "/sub/b.jpg", "/sub/c.JPG"})
                expected << FileLine(in_ + name, out_ + name);
        }
        expected << FileLine(in_ + "/a.jpg", out_ + "/a.jpg");
        const QStringList lines = Memo()->toPlainText().split('\n');
        QCOMPARE(lines.size(), expected.size() + 2);
        QVERIFY2(lines.at(expected.size()).startsWith(" Converting file: " + in_ + "/bad.jpg To: " + out_ + "/bad.jpg Failed: "),
                 qPrintable(lines.at(expected.size())));
        QCOMPARE(lines.mid(0, expected.size()), expected);
        QCOMPARE(lines.constLast(), QStringLiteral("End Processing..."));

        // The same levels through the engine directly give the same bytes.
        const QString again = root_->filePath("again.jpg");
        QCOMPARE(tramblix::CompressFile((in_ + "/a.jpg").toStdString(), again.toStdString(), 8, 3).status,
                 tramblix::CompressStatus::Ok);
        QCOMPARE(Contents(again), Contents(out_ + "/a.jpg"));

        const int files = recurse ? 5 : 2;
        QVERIFY2(Label()->text().startsWith(QStringLiteral("%1 of %1 files, ").arg(files)), qPrintable(Label()->text()));
        QVERIFY(Label()->text().endsWith(", 1 failed"));
        QCOMPARE(Bar()->value(), Bar()->maximum());
        QCOMPARE(Button("RunBtn")->text(), QStringLiteral("Compress"));
    }

    void withoutLogTheOldLinesStay()
    {
        WriteJpeg(in_ + "/a.jpg", 1);
        Edit("InputEdit")->setText(in_);
        Edit("OutputEdit")->setText(out_);
        Memo()->setPlainText("old line");
        window_->findChild<QCheckBox*>("OutputLogBox")->click();

        RunAndWait();

        QCOMPARE(Memo()->toPlainText(), QStringLiteral("old line"));
        QVERIFY(QFileInfo(out_ + "/a.jpg").size() > 0);
        QVERIFY(Label()->text().startsWith("1 of 1 file, "));
    }

    // Unchecked: disabled and painted in the 3-D light colour; checked again: the window colour.
    void memoColours()
    {
        auto* box = window_->findChild<QCheckBox*>("OutputLogBox");
        Memo()->setPlainText("kept");
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        for (const bool checked : {false, true}) {
            box->click();
            QCOMPARE(box->isChecked(), checked);
            const QColor expected = QApplication::palette(Memo()).color(checked ? QPalette::Base : QPalette::Midlight);
            QCOMPARE(Memo()->isEnabled(), checked);
            QCOMPARE(Memo()->toPlainText(), QStringLiteral("kept"));
            const QImage shot = Memo()->viewport()->grab().toImage();
            QCOMPARE(shot.pixel(shot.width() - 4, shot.height() - 4), expected.rgb());
        }
    }

    void exitHandlers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("after");
        QTest::newRow("no separator") << "/photos" << "/photos/";
        QTest::newRow("separator") << "/photos/" << "/photos/";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("trailing blank kept") << "/photos " << "/photos /";
    }

    void exitHandlers()
    {
        QFETCH(QString, text);
        QFETCH(QString, after);
        Edit("InputEdit")->setText(text);
        Edit("OutputEdit")->setText(text);
        window_->InputEditExit();
        window_->OutputEditExit();
        QCOMPARE(Edit("InputEdit")->text(), after);
        QCOMPARE(Edit("OutputEdit")->text(), after);
    }

    void chooser_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QStringList>("reply");  // empty: the user cancels
        QTest::addColumn<QString>("after");
        QTest::newRow("input") << "SpeedButton1" << "InputEdit" << QStringList{"/srv/photos"} << "/srv/photos";
        QTest::newRow("output, separator dropped") << "SpeedButton2" << "OutputEdit" << QStringList{"/srv/out/"} << "/srv/out";
        QTest::newRow("root keeps its separator") << "SpeedButton1" << "InputEdit" << QStringList{"/"} << "/";
        QTest::newRow("cancel") << "SpeedButton2" << "OutputEdit" << QStringList{} << "as before";
    }

    void chooser()
    {
        QFETCH(QString, button);
        QFETCH(QString, edit);
        QFETCH(QStringList, reply);
        QFETCH(QString, after);
        Edit(edit)->setText("as before");
        dialogs_->directoryReplies.assign(reply.cbegin(), reply.cend());
        window_->findChild<QToolButton*>(button)->click();
        QCOMPARE(dialogs_->shown, (std::vector<FakeDialogs::Shown>{
                                      {FakeDialogs::Kind::ChooseDirectory, QString(), "Select a Directory"}}));
        QCOMPARE(Edit(edit)->text(), after);
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
        for (const char* name : {"InputEdit", "OutputEdit"}) {
            QLineEdit* edit = Edit(name);
            edit->setText("as before");
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(edit, &enter);
            QCOMPARE(enter.isAccepted(), taken);
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(edit, &drop);
            QCOMPARE(edit->text(), taken ? in_ : QStringLiteral("as before"));
        }
    }

    // Cancel lets the files in flight finish and stops the rest; the window answers throughout.
    void cancelStopsTheRunEarly()
    {
        HeldBackRun(40);
        if (QTest::currentTestFailed())
            return;
        const QStringList lines = Memo()->toPlainText().split('\n');
        QTimer ticker;
        int ticks = 0;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(5);
        QTRY_VERIFY(ticks > 3);
        QVERIFY(job_->Running());
        QCOMPARE(Button("RunBtn")->text(), QStringLiteral("Cancel"));

        Button("RunBtn")->click();
        QVERIFY(!Button("RunBtn")->isEnabled());
        gate_->Release(1000);
        QTRY_VERIFY(!job_->Running());

        const QStringList log = Memo()->toPlainText().split('\n');
        QVERIFY2(log.size() < 40, qPrintable(QString::number(log.size())));
        QCOMPARE(log.mid(0, lines.size()), lines);  // walk order kept
        QCOMPARE(log.constLast(), QStringLiteral("End Processing..."));
        QVERIFY(Label()->text().startsWith("Cancelled: "));
        QCOMPARE(Button("RunBtn")->text(), QStringLiteral("Compress"));
        QVERIFY(Button("RunBtn")->isEnabled());
    }

    // Closing waits for the files in flight: every output left is whole, no temporary remains.
    void closingDuringARun()
    {
        window_->show();
        HeldBackRun(20);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(!window_->close());
        QVERIFY(window_->isVisible());
        gate_->Release(1000);
        QTRY_VERIFY(!window_->isVisible());
        QVERIFY(!job_->Running());
        const QStringList outputs = QDir(out_).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(outputs.size() >= 3 && outputs.size() < 20);
        for (const QString& name : outputs) {
            QVERIFY2(name.endsWith(".jpg"), qPrintable(name));
            QVERIFY2(!QImage(out_ + '/' + name).isNull(), qPrintable(name));
        }
    }

    void destroyedDuringARun()
    {
        HeldBackRun(20);
        if (QTest::currentTestFailed())
            return;
        std::jthread opener([gate = gate_] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            gate->Release(1000);
        });
        window_.reset();
        const QStringList outputs = QDir(out_).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(outputs.size() < 20);
        for (const QString& name : outputs)
            QVERIFY2(!QImage(out_ + '/' + name).isNull(), qPrintable(name));
    }

private:
    QLineEdit* Edit(const QString& name) { return window_->findChild<QLineEdit*>(name); }
    QPushButton* Button(const QString& name) { return window_->findChild<QPushButton*>(name); }
    QPlainTextEdit* Memo() { return window_->findChild<QPlainTextEdit*>("LogMemo"); }
    QLabel* Label() { return window_->findChild<QLabel*>("BatchProgressLabel"); }
    QProgressBar* Bar() { return window_->findChild<QProgressBar*>("BatchProgressBar"); }

    static QByteArray Contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void RunAndWait()
    {
        Button("RunBtn")->click();
        QVERIFY(job_->Running());
        QTRY_VERIFY_WITH_TIMEOUT(!job_->Running(), 60000);
        QVERIFY(dialogs_->shown.empty());
    }

    // Starts a run over `count` real pictures whose compression waits for the gate; lets three
    // through and returns once their lines are in the log.
    void HeldBackRun(int count)
    {
        for (int i = 0; i < count; ++i)
            WriteJpeg(QStringLiteral("%1/p%2.jpg").arg(in_).arg(i, 2, 10, QLatin1Char('0')), i);
        gate_ = std::make_shared<Gate>();
        tramblix::FileSettings settings{in_.toStdString() + '/', out_.toStdString() + '/', 5, 0, {}};
        job_->SetFileWork([gate = gate_, settings](const std::string& path, const tramblix::EngineOptions& engine) {
            gate->Acquire();
            tramblix::FileSettings file = settings;
            file.engine = engine;
            return tramblix::ProcessFoundFile(path, file);
        });
        Edit("InputEdit")->setText(in_);
        Edit("OutputEdit")->setText(out_);
        Button("RunBtn")->click();
        gate_->Release(3);
        QTRY_COMPARE(Memo()->toPlainText().count('\n'), 3);
    }

    std::unique_ptr<FakeDialogs> dialogs_;
    std::unique_ptr<TMainTramblix> window_;
    std::unique_ptr<QTemporaryDir> root_;
    std::shared_ptr<Gate> gate_;
    BatchJob* job_ = nullptr;
    QString in_, out_;
};

QTEST_MAIN(DirectoryTabTest)
#include "directory_tab_test.moc"
