#include <stdexcept>

#include <QApplication>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/application.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "fake_dialogs.h"

using Kind = FakeDialogs::Kind;

namespace {

const QString kTitle = QStringLiteral("Jpegtramblix");

bool LockIsFree(const QString& path)
{
    QLockFile probe(path);
    probe.setStaleLockTime(0);
    return probe.tryLock(0);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

public:
    explicit StartupTest(FakeDialogs& applicationDialogs) : applicationDialogs_(applicationDialogs) {}

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        lockFile_ = dir_->filePath("RUVIREROVIR1_0.lock");
        dialogs_ = FakeDialogs();
        steps_.clear();
    }

    // The splash first, the main window after it; the lock is held while the program runs.
    void normalRun()
    {
        bool heldWhileRunning = false;
        StartupWindows windows{
            [this] { steps_ << "splash"; },
            [this, &heldWhileRunning] {
                steps_ << "main window";
                auto window = std::make_unique<TMainTramblix>(dialogs_);
                QTimer::singleShot(0, window.get(), [this, &heldWhileRunning, w = window.get()] {
                    heldWhileRunning = !LockIsFree(lockFile_);
                    steps_ << (w->isVisible() ? "shown" : "hidden");
                    w->close();
                });
                return window;
            },
        };
        QCOMPARE(RunTramblix(dialogs_, lockFile_, windows), 0);
        QCOMPARE(steps_, QStringList({"splash", "main window", "shown"}));
        QVERIFY(heldWhileRunning);
        QVERIFY(LockIsFree(lockFile_));
        QVERIFY(dialogs_.shown.empty());
    }

    void secondCopy()
    {
        QLockFile firstCopy(lockFile_);
        QVERIFY(firstCopy.tryLock(0));
        QCOMPARE(RunTramblix(dialogs_, lockFile_, RecordingWindows()), 0);
        QVERIFY(steps_.isEmpty());
        const std::vector<FakeDialogs::Shown> expected{{Kind::Message, "Tramblix Already Running", kTitle}};
        QCOMPARE(dialogs_.shown, expected);
        QVERIFY(firstCopy.isLocked());
    }

    // A copy that died without releasing the lock does not keep the next one out.
    void lockOfDeadCopy()
    {
        QProcess dead;
        dead.start("true");
        QVERIFY(dead.waitForStarted());
        const qint64 deadPid = dead.processId();
        QVERIFY(dead.waitForFinished());
        QFile stale(lockFile_);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray::number(deadPid) + "\njpegtramblix\n\n");
        stale.close();

        QCOMPARE(RunTramblix(dialogs_, lockFile_, RecordingWindows(/*closeAtOnce=*/true)), 0);
        QCOMPARE(steps_, QStringList({"splash", "main window"}));
        QVERIFY(dialogs_.shown.empty());
    }

    // Without a place for the lock file the program still runs, unguarded.
    void lockUnavailable()
    {
        QCOMPARE(RunTramblix(dialogs_, dir_->filePath("missing/RUVIREROVIR1_0.lock"), RecordingWindows(true)), 0);
        QCOMPARE(steps_, QStringList({"splash", "main window"}));
        QVERIFY(dialogs_.shown.empty());
    }

    // An exception out of an event handler is reported and the event loop carries on.
    void exceptionInHandler()
    {
        applicationDialogs_.shown.clear();
        bool later = false;
        QTimer::singleShot(0, [] { throw std::runtime_error("disk full"); });
        QTimer::singleShot(10, [&later] { later = true; });
        QTRY_VERIFY(later);
        const std::vector<FakeDialogs::Shown> expected{{Kind::Error, "disk full.", kTitle}};
        QCOMPARE(applicationDialogs_.shown, expected);
    }

    void startupError_data()
    {
        QTest::addColumn<QString>("failingStep");
        QTest::addColumn<bool>("standardException");
        QTest::addColumn<QString>("boxText");
        QTest::newRow("splash") << "splash" << true << "no picture.";
        QTest::newRow("main window") << "main window" << true << "no picture.";
        QTest::newRow("not a std::exception") << "main window" << false << "";
    }

    // Start-up stops at the failing step, reports it in an error box, frees the lock and exits with 0.
    void startupError()
    {
        QFETCH(QString, failingStep);
        QFETCH(bool, standardException);
        QFETCH(QString, boxText);
        const auto step = [&](const char* name) {
            steps_ << name;
            if (failingStep != name)
                return;
            if (standardException)
                throw std::runtime_error("no picture");
            throw 42;
        };
        StartupWindows windows{
            [&] { step("splash"); },
            [&] {
                step("main window");
                return std::make_unique<TMainTramblix>(dialogs_);
            },
        };
        QCOMPARE(RunTramblix(dialogs_, lockFile_, windows), 0);
        QVERIFY(!steps_.isEmpty());
        QCOMPARE(steps_.constLast(), failingStep);
        const std::vector<FakeDialogs::Shown> expected{{Kind::Error, boxText, kTitle}};
        QCOMPARE(dialogs_.shown, expected);
        QVERIFY(LockIsFree(lockFile_));
    }

    void errorBoxText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("letter") << "Out of memory"
                                << "Out of memory.";
        QTest::newRow("question mark") << "why?"
                                       << "why?.";
        QTest::newRow("full stop") << "Done."
                                   << "Done.";
        QTest::newRow("exclamation mark") << "Stop!"
                                          << "Stop!";
        QTest::newRow("closing parenthesis") << "failed (disk)"
                                             << "failed (disk)";
        QTest::newRow("blank") << "trailing "
                               << "trailing ";
    }

    void errorBoxText()
    {
        QFETCH(QString, message);
        QFETCH(QString, text);
        QCOMPARE(ErrorBoxText(message), text);
    }

private:
    StartupWindows RecordingWindows(bool closeAtOnce = false)
    {
        return {
            [this] { steps_ << "splash"; },
            [this, closeAtOnce] {
                steps_ << "main window";
                auto window = std::make_unique<TMainTramblix>(dialogs_);
                if (closeAtOnce)
                    QTimer::singleShot(0, window.get(), &QWidget::close);
                return window;
            },
        };
    }

    FakeDialogs& applicationDialogs_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString lockFile_;
    FakeDialogs dialogs_;
    QStringList steps_;
};

int main(int argc, char* argv[])
{
    FakeDialogs applicationDialogs;
    TramblixApplication app(argc, argv, applicationDialogs);
    StartupTest test(applicationDialogs);
    return QTest::qExec(&test, argc, argv);
}
#include "startup_test.moc"
