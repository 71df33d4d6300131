#include "app/live_encoder.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <QMetaObject>

#include "app/display_image.h"
#include "app/preview_image.h"
#include "engine/look.h"
#include "engine/ssim.h"
#include "engine/target.h"

LiveEncoder::Output LiveEncoder::Encode(const Bytes& input, const Tuning& tuning)
{
    Output output;
    output.inputSize = input.size();
    auto bytes = std::make_shared<Bytes>();
    tramblix::TargetReport target;
    output.status = tramblix::CompressBuffer(input, static_cast<tramblix::CompressionLevel>(tuning.level), *bytes,
                                             tuning.strength, tuning.engine, &output.detail, &target);
    if (output.status != tramblix::CompressStatus::Ok)
        return output;
    output.quality = target.quality;
    output.copiedInput = bytes->size() == input.size();
    if (const std::optional<tramblix::Image> decoded = DecodeAnyForDisplay(*bytes)) {
        output.image = ToQImage(*decoded);
        output.size = output.image.size();
    }
    output.bytes = std::move(bytes);
    return output;
}

namespace {

// Workers of encoders already gone, each finishing an encode nobody waits for.
std::mutex leftoversMutex;
std::vector<std::jthread> leftovers;

}  // namespace

LiveEncoder::LiveEncoder(QObject* parent) : QObject(parent)
{
    shared_->owner = this;
}

LiveEncoder::~LiveEncoder()
{
    bool busy = false;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        shared_->pending.reset();
        busy = shared_->busy;
    }
    thread_.request_stop();
    if (!thread_.joinable())
        return;
    if (!busy) {
        thread_.join();
        return;
    }
    const std::lock_guard lock(leftoversMutex);
    leftovers.push_back(std::move(thread_));
}

void LiveEncoder::JoinLeftovers()
{
    std::vector<std::jthread> joining;
    {
        const std::lock_guard lock(leftoversMutex);
        joining.swap(leftovers);
    }
    joining.clear();  // jthread joins as it goes
}

void LiveEncoder::SetWork(Work work)
{
    const std::lock_guard lock(shared_->mutex);
    shared_->work = std::move(work);
}

std::uint64_t LiveEncoder::Request(const QString& input, const Tuning& tuning)
{
    const std::uint64_t request = ++latest_;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->pending = Job{request, input, tuning};  // a request still waiting is dropped
    }
    shared_->wake.notify_one();
    if (!thread_.joinable()) {
        try {
            thread_ = std::jthread([shared = shared_](std::stop_token stop) { Loop(shared, stop); });
        } catch (const std::exception& e) {
            Output failed;
            failed.request = request;
            failed.status = tramblix::CompressStatus::OutOfMemory;
            failed.detail = e.what();
            Deliver(std::move(failed));
            DeliverLook({request, std::nullopt, std::nullopt});
        }
    }
    return request;
}

void LiveEncoder::Forget()
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->pending.reset();
    }
    delivered_ = ++latest_;
}

bool LiveEncoder::Overtaken(Shared& shared)
{
    const std::lock_guard lock(shared.mutex);
    return shared.pending.has_value() || shared.owner == nullptr;
}

// Under the lock the owner cannot go between the check and the posting; an event posted to it
// is dropped by Qt if it goes before the event is handled.
bool LiveEncoder::Post(Shared& shared, std::function<void(LiveEncoder&)> deliver)
{
    const std::lock_guard lock(shared.mutex);
    if (shared.owner == nullptr)
        return false;
    LiveEncoder* owner = shared.owner;
    QMetaObject::invokeMethod(
        owner, [owner, deliver = std::move(deliver)] { deliver(*owner); }, Qt::QueuedConnection);
    return true;
}

// The file read before is read again when it has changed since (saved over from an editor, say):
// an output made from the old bytes would be shown, measured and saved as this input's.
bool LiveEncoder::Stale(const Source& source, const QString& input)
{
    if (input != source.path || source.read != tramblix::ReadStatus::Ok)
        return true;
    std::error_code timeError, sizeError;
    const std::filesystem::path path = ToFsPath(input);
    return std::filesystem::last_write_time(path, timeError) != source.modified ||
           std::filesystem::file_size(path, sizeError) != source.bytes.size() || timeError || sizeError;
}

void LiveEncoder::Loop(const std::shared_ptr<Shared>& shared, std::stop_token stop)
{
    Source& source = shared->source;
    for (;;) {
        Job job;
        Work work;
        {
            std::unique_lock lock(shared->mutex);
            shared->busy = false;
            if (!shared->wake.wait(lock, stop, [&] { return shared->pending.has_value(); }))
                return;
            job = *std::exchange(shared->pending, std::nullopt);
            work = shared->work;
            shared->busy = true;
        }
        if (Stale(source, job.input)) {
            source = Source{};
            source.path = job.input;
            std::error_code ec;
            source.modified = std::filesystem::last_write_time(ToFsPath(job.input), ec);
            source.read = tramblix::ReadWholeFile(ToFsPath(job.input), source.bytes, &source.facts);
        }
        Output output;
        if (source.read != tramblix::ReadStatus::Ok) {
            output.status = tramblix::CompressStatus::CannotReadInput;
            output.detail = source.facts.error.message();
        } else {
            try {
                output = work(source.bytes, job.tuning);
            } catch (const std::exception& e) {
                output = Output{};
                output.status = tramblix::CompressStatus::InternalError;
                output.detail = e.what();
            }
        }
        output.request = job.request;
        output.inputFacts = source.facts;
        if (Overtaken(*shared))
            continue;
        const bool measurable = output.status == tramblix::CompressStatus::Ok && !output.image.isNull();
        tramblix::Image shown;
        if (measurable) {
            const QImage rgb = output.image.convertToFormat(QImage::Format_RGB888);
            shown = tramblix::Image(rgb.width(), rgb.height(), 3);
            for (int y = 0; y < rgb.height(); ++y)
                std::copy_n(rgb.constScanLine(y), shown.rowBytes(), shown.row(y));
        }
        if (!Post(*shared, [output = std::move(output)](LiveEncoder& owner) { owner.Deliver(output); }))
            continue;

        Look look{job.request, std::nullopt, std::nullopt};
        if (measurable && !stop.stop_requested()) {
            if (!source.reference)
                source.reference = DecodeAnyForDisplay(source.bytes);
            if (source.reference && !Overtaken(*shared)) {
                look.ssim = tramblix::Ssim(*source.reference, shown);
                if (look.ssim && !Overtaken(*shared))
                    look.distance = tramblix::ReducedLookDistance(*source.reference, shown);
            }
        }
        if (Overtaken(*shared))
            continue;
        Post(*shared, [look](LiveEncoder& owner) { owner.DeliverLook(look); });
    }
}

void LiveEncoder::Deliver(Output output)
{
    if (output.request == latest_)
        emit encoded(output);
}

void LiveEncoder::DeliverLook(const Look& look)
{
    if (look.request != latest_)
        return;
    delivered_ = look.request;
    emit measured(look);
}
