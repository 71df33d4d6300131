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
                                             tuning.strength, EngineOptionsFor(tuning), &output.detail, &target);
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

LiveEncoder::LiveEncoder(QObject* parent) : QObject(parent)
{}

LiveEncoder::~LiveEncoder()
{
    thread_.request_stop();
    if (thread_.joinable())
        thread_.join();
}

std::uint64_t LiveEncoder::Request(const QString& input, const Tuning& tuning)
{
    const std::uint64_t request = ++latest_;
    {
        const std::lock_guard lock(mutex_);
        pending_ = Job{request, input, tuning};  // a request still waiting is dropped
    }
    wake_.notify_one();
    if (!thread_.joinable()) {
        try {
            thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
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
        const std::lock_guard lock(mutex_);
        pending_.reset();
    }
    delivered_ = ++latest_;
}

bool LiveEncoder::Overtaken()
{
    const std::lock_guard lock(mutex_);
    return pending_.has_value();
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

void LiveEncoder::Loop(std::stop_token stop)
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return pending_.has_value(); }))
                return;
            job = *std::exchange(pending_, std::nullopt);
        }
        if (Stale(source_, job.input)) {
            source_ = Source{};
            source_.path = job.input;
            std::error_code ec;
            source_.modified = std::filesystem::last_write_time(ToFsPath(job.input), ec);
            source_.read = tramblix::ReadWholeFile(ToFsPath(job.input), source_.bytes, &source_.facts);
        }
        Output output;
        if (source_.read != tramblix::ReadStatus::Ok) {
            output.status = tramblix::CompressStatus::CannotReadInput;
            output.detail = source_.facts.error.message();
        } else {
            try {
                output = work_(source_.bytes, job.tuning);
            } catch (const std::exception& e) {
                output = Output{};
                output.status = tramblix::CompressStatus::InternalError;
                output.detail = e.what();
            }
        }
        output.request = job.request;
        output.inputFacts = source_.facts;
        if (Overtaken())
            continue;
        const bool measurable = output.status == tramblix::CompressStatus::Ok && !output.image.isNull();
        tramblix::Image shown;
        if (measurable) {
            const QImage rgb = output.image.convertToFormat(QImage::Format_RGB888);
            shown = tramblix::Image(rgb.width(), rgb.height(), 3);
            for (int y = 0; y < rgb.height(); ++y)
                std::copy_n(rgb.constScanLine(y), shown.rowBytes(), shown.row(y));
        }
        QMetaObject::invokeMethod(
            this, [this, output = std::move(output)]() mutable { Deliver(std::move(output)); }, Qt::QueuedConnection);

        Look look{job.request, std::nullopt, std::nullopt};
        if (measurable && !stop.stop_requested()) {
            if (!source_.reference)
                source_.reference = DecodeAnyForDisplay(source_.bytes);
            if (source_.reference && !Overtaken()) {
                look.ssim = tramblix::Ssim(*source_.reference, shown);
                if (look.ssim && !Overtaken())
                    look.distance = tramblix::ReducedLookDistance(*source_.reference, shown);
            }
        }
        if (Overtaken())
            continue;
        QMetaObject::invokeMethod(
            this, [this, look] { DeliverLook(look); }, Qt::QueuedConnection);
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
