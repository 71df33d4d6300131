#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QObject>
#include <QString>

#include "app/tuning.h"
#include "engine/compress.h"
#include "engine/file_io.h"
#include "engine/image.h"

// The compare window's live re-encodes: the input file, read once, compressed in memory at the
// settings the user is trying, on a thread of its own. Only the newest request counts: one made
// while another is encoded replaces any still waiting, and a result overtaken by a newer request
// is dropped, never shown. The engine cannot stop an encode half-way, so one in progress runs to
// its end and is thrown away; one still running when the encoder goes (the compare window
// closed) finishes out of sight, so closing never waits for it (JoinLeftovers at exit does).
class LiveEncoder : public QObject {
    Q_OBJECT

public:
    using Bytes = std::vector<std::uint8_t>;

    // What a run would have written, decoded for display.
    struct Output {
        std::uint64_t request = 0;
        tramblix::CompressStatus status = tramblix::CompressStatus::Ok;
        std::string detail;
        std::shared_ptr<const Bytes> bytes;  // never larger than the input: its copy when not smaller
        std::uint64_t inputSize = 0;
        bool copiedInput = false;
        int quality = 0;  // the quality a target look chose
        QImage image;
        QSize size;  // the picture's own size
        tramblix::FileFacts inputFacts;
    };
    struct Look {
        std::uint64_t request = 0;
        std::optional<double> ssim;
        std::optional<double> distance;  // butteraugli, on reduced copies
    };

    // Encodes one request; replaceable so tests can hold a request in progress.
    using Work = std::function<Output(const Bytes& input, const Tuning& tuning)>;
    static Output Encode(const Bytes& input, const Tuning& tuning);

    explicit LiveEncoder(QObject* parent = nullptr);
    // Does not wait for a request in progress; its result goes nowhere.
    ~LiveEncoder() override;
    // Waits for the encodes of encoders already gone: call before the application object goes.
    static void JoinLeftovers();

    void SetWork(Work work);

    // Asks for `input` compressed as `tuning` says; returns the request's number.
    std::uint64_t Request(const QString& input, const Tuning& tuning);
    // Results of every request so far are dropped.
    void Forget();
    // The newest request has delivered its output and its look (or failed).
    bool Idle() const { return delivered_ == latest_; }

signals:
    // Only for the newest request, on the GUI thread.
    void encoded(const LiveEncoder::Output& output);
    void measured(const LiveEncoder::Look& look);

private:
    struct Job {
        std::uint64_t request = 0;
        QString input;
        Tuning tuning;
    };
    struct Source {
        QString path;
        Bytes bytes;
        tramblix::FileFacts facts;
        tramblix::ReadStatus read = tramblix::ReadStatus::OpenFailed;
        std::optional<tramblix::Image> reference;    // decoded for display once, when first measured
        std::filesystem::file_time_type modified{};  // when the bytes were read
    };
    // What the worker uses: it outlives the encoder when an encode is still running.
    struct Shared {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::optional<Job> pending;    // guarded by mutex
        bool busy = false;             // guarded by mutex: a request is being worked on
        LiveEncoder* owner = nullptr;  // guarded by mutex; null once the encoder is gone
        Work work = &LiveEncoder::Encode;
        Source source;  // the worker's own
    };
    static bool Stale(const Source& source, const QString& input);

    static void Loop(const std::shared_ptr<Shared>& shared, std::stop_token stop);
    static bool Overtaken(Shared& shared);
    // Runs `deliver` on the GUI thread unless the encoder has gone; false if it has.
    static bool Post(Shared& shared, std::function<void(LiveEncoder&)> deliver);
    void Deliver(Output output);
    void DeliverLook(const Look& look);

    std::uint64_t latest_ = 0;
    std::uint64_t delivered_ = 0;

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::jthread thread_;
};
