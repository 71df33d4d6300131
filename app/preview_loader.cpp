#include "app/preview_loader.h"

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
    worker_ = std::jthread([this, request = std::move(request)] {
        Result result{request, LoadJpegForDisplay(request.path, request.box)};
        if (!result.picture && request.fallback)
            result.picture = DecodeJpegBytesForDisplay(request.fallback);
        QMetaObject::invokeMethod(
            this, [this, result] { Finished(result); }, Qt::QueuedConnection);
    });
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
