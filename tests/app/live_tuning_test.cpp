// The compare window's live re-encodes: only the newest request's result is ever shown, and a
// request overtaken while it waits is never encoded at all.

#include <condition_variable>
#include <mutex>
#include <vector>

#include <QTemporaryDir>
#include <QTest>

#include "app/live_encoder.h"

Q_DECLARE_METATYPE(LiveEncoder::Output)

namespace {

// Holds every encode until released, and records the levels it was asked for.
struct HeldWork {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> levels;
    bool released = false;

    LiveEncoder::Output operator()(const LiveEncoder::Bytes& input, const Tuning& tuning)
    {
        std::unique_lock lock(mutex);
        levels.push_back(tuning.level);
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        LiveEncoder::Output output;
        output.bytes = std::make_shared<LiveEncoder::Bytes>(input);
        output.inputSize = static_cast<std::uint64_t>(tuning.level);  // tells the results apart
        return output;
    }
    void WaitForStart(std::size_t count)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return levels.size() >= count; });
    }
    void Release()
    {
        const std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// A file the held work never looks into, as the compare window's input.
QString WriteInput(const QTemporaryDir& dir, const QByteArray& content)
{
    const QString input = dir.filePath("in.jpg");
    QFile file(input);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return input;
}

}  // namespace

class LiveTuningTest : public QObject {
    Q_OBJECT

private slots:
    void newestWins_data()
    {
        QTest::addColumn<QList<int>>("requests");  // levels; 0 forgets everything asked so far
        QTest::addColumn<QList<int>>("encoded");   // levels the work was run for
        QTest::addColumn<int>("shown");            // the level whose result is shown; 0: none
        QTest::newRow("one") << QList<int>{3} << QList<int>{3} << 3;
        QTest::newRow("waiting ones are dropped") << QList<int>{3, 4, 5, 6} << QList<int>{3, 6} << 6;
        QTest::newRow("the running one is not shown") << QList<int>{3, 7} << QList<int>{3, 7} << 7;
        QTest::newRow("forgotten while running") << QList<int>{3, 0} << QList<int>{3} << 0;
        QTest::newRow("forgotten while waiting") << QList<int>{3, 4, 0} << QList<int>{3} << 0;
    }

    void newestWins()
    {
        QFETCH(QList<int>, requests);
        QFETCH(QList<int>, encoded);
        QFETCH(int, shown);
        QTemporaryDir dir;
        const QString input = WriteInput(dir, "not looked at");
        QVERIFY(!input.isEmpty());

        HeldWork work;
        QList<int> results;
        {
            LiveEncoder live;
            live.SetWork(std::ref(work));
            connect(&live, &LiveEncoder::encoded, this,
                    [&](const LiveEncoder::Output& output) { results << static_cast<int>(output.inputSize); });
            live.Request(input, {.level = requests.front()});
            work.WaitForStart(1);  // the first one is being encoded when the others come
            for (int level : requests.mid(1)) {
                if (level == 0)
                    live.Forget();
                else
                    live.Request(input, {.level = level});
            }
            work.Release();
            if (shown != 0)
                QTRY_VERIFY(!results.isEmpty());
            QTRY_VERIFY(live.Idle());
            QTest::qWait(50);  // a stale result would be on its way by now
            QCOMPARE(results, shown == 0 ? QList<int>{} : QList<int>{shown});
        }
        QCOMPARE(QList<int>(work.levels.begin(), work.levels.end()), encoded);
    }

    // Closing the compare window once waited for the encode in progress: seconds of a frozen
    // window for a large picture. The encoder now goes at once and its encode ends unseen.
    void goesWithoutWaitingForTheEncode()
    {
        QTemporaryDir dir;
        const QString input = WriteInput(dir, "held");
        QVERIFY(!input.isEmpty());
        HeldWork work;
        bool delivered = false;
        {
            auto* live = new LiveEncoder;
            live->SetWork(std::ref(work));
            connect(live, &LiveEncoder::encoded, this, [&] { delivered = true; });
            live->Request(input, {.level = 3});
            work.WaitForStart(1);
            delete live;  // the work is still held: this returns only if nothing waits for it
        }
        work.Release();
        LiveEncoder::JoinLeftovers();
        QTest::qWait(50);
        QVERIFY(!delivered);
    }

    // A file changed since it was read is read again: the output shown, measured and saved is
    // always made from the file as it is.
    void changedInputIsReadAgain()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath("in.jpg");
        QList<int> sizes;
        LiveEncoder live;
        live.SetWork([](const LiveEncoder::Bytes& bytes, const Tuning&) {
            LiveEncoder::Output output;
            output.bytes = std::make_shared<LiveEncoder::Bytes>(bytes);
            output.inputSize = bytes.size();
            return output;
        });
        connect(&live, &LiveEncoder::encoded, this,
                [&](const LiveEncoder::Output& output) { sizes << static_cast<int>(output.inputSize); });
        for (const QByteArray& content : {QByteArray("first"), QByteArray("second, longer")}) {
            QFile file(input);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
            file.close();
            live.Request(input, {.level = 5});
            QTRY_VERIFY(live.Idle());
        }
        QCOMPARE(sizes, (QList<int>{5, 14}));
    }
};

QTEST_MAIN(LiveTuningTest)
#include "live_tuning_test.moc"
