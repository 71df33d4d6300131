#include "app/batch_job.h"

#include <exception>

#include <QFile>
#include <QMetaObject>

#include "app/texts.h"

BatchJob::BatchJob(QObject* parent) : QObject(parent)
{}

BatchJob::~BatchJob()
{
    if (runner_)
        runner_->Cancel();
    if (thread_.joinable())
        thread_.join();
}

bool BatchJob::Start(tramblix::BatchSettings settings, bool wantLog)
{
    if (running_)
        return false;
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
        latest_ = {};
        progressChanged_ = false;
    }
    wantLog_ = wantLog;
    runner_.reset();
    runner_.emplace(std::move(settings),
                    tramblix::BatchRunner::Callbacks{
                        [this](const tramblix::LogLine& line) { CollectLine(line); },
                        [this](const tramblix::BatchProgress& progress) { CollectProgress(progress); }},
                    fileWork_);
    running_ = true;
    auto run = [this] {
        QString error;
        try {
            runner_->Run();
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        } catch (...) {
            error = texts::kUnexpectedError;
        }
        QMetaObject::invokeMethod(
            this, [this, error] { Finish(error); }, Qt::QueuedConnection);
    };
    try {
        thread_ = std::jthread(std::move(run));
    } catch (const std::exception& e) {
        // The system would not start the thread (no memory for its stack): the run ends at once
        // with the reason, as one that failed on its way.
        QMetaObject::invokeMethod(
            this, [this, error = QString::fromLocal8Bit(e.what())] { Finish(error); }, Qt::QueuedConnection);
    }
    return true;
}

void BatchJob::Cancel()
{
    if (running_)
        runner_->Cancel();
}

void BatchJob::CollectLine(const tramblix::LogLine& line)
{
    if (!wantLog_)
        return;
    const QString text = QFile::decodeName(QByteArray::fromStdString(line.text));
    std::lock_guard lock(mutex_);
    lines_.append({line.kind, text});
    PostDeliveryLocked();
}

void BatchJob::CollectProgress(const tramblix::BatchProgress& progress)
{
    std::lock_guard lock(mutex_);
    latest_ = progress;
    progressChanged_ = true;
    PostDeliveryLocked();
}

void BatchJob::PostDeliveryLocked()
{
    // One delivery in the queue at a time; whatever arrives meanwhile rides along with it.
    if (deliveryPosted_)
        return;
    deliveryPosted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { Deliver(); }, Qt::QueuedConnection);
}

void BatchJob::Deliver()
{
    QList<BatchLine> lines;
    std::optional<tramblix::BatchProgress> progress;
    {
        std::lock_guard lock(mutex_);
        lines.swap(lines_);
        if (progressChanged_)
            progress = latest_;
        progressChanged_ = false;
        deliveryPosted_ = false;
    }
    if (!lines.isEmpty())
        emit linesArrived(lines);
    if (progress)
        emit progressed(*progress);
}

void BatchJob::Finish(const QString& error)
{
    if (thread_.joinable())
        thread_.join();
    if (wantLog_ && !error.isEmpty()) {
        // The log still says where the run stopped and is closed as after any run.
        std::lock_guard lock(mutex_);
        lines_ << BatchLine{tramblix::LogKind::FileFailed, texts::kRunStoppedLine.arg(error)}
               << BatchLine{tramblix::LogKind::End,
                            QString::fromLatin1(tramblix::kEndLine.data(),
                                                static_cast<qsizetype>(tramblix::kEndLine.size()))};
    }
    Deliver();  // anything reported after the last delivery was posted
    tramblix::BatchProgress final;
    {
        std::lock_guard lock(mutex_);
        final = latest_;
    }
    running_ = false;
    emit finished(final, error);
}
