#include "app/preview_loader.h"

#include <exception>

#include <QMetaObject>

PreviewLoader::~PreviewLoader()
{
    if (worker_.joinable())
        worker_.join();
}

void PreviewLoader::Load(Request request)
{
    if (running_) {
        waiting_ = std::move(request);
        return;
    }
    Start(std::move(request));
}

void PreviewLoader::Start(Request request)
{
    if (worker_.joinable())
        worker_.join();  // finished: its result has been handled
    running_ = true;
    auto load = [this, request] {
        Result result{request, LoadJpegForDisplay(request.path, request.box)};
        if (!result.picture && request.fallback)
            result.picture = DecodeJpegBytesForDisplay(request.fallback);
        QMetaObject::invokeMethod(
            this, [this, result] { Finished(result); }, Qt::QueuedConnection);
    };
    try {
        worker_ = std::jthread(std::move(load));
    } catch (const std::exception&) {
        // No thread (no memory for its stack): no picture, as for a file that cannot be shown.
        QMetaObject::invokeMethod(
            this, [this, result = Result{std::move(request), {}}] { Finished(result); }, Qt::QueuedConnection);
    }
}

void PreviewLoader::Finished(const Result& result)
{
    running_ = false;
    if (waiting_) {
        Request next = std::move(*waiting_);
        waiting_.reset();
        Start(std::move(next));
        return;
    }
    emit loaded(result);
}
