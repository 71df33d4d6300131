#pragma once

#include <mutex>
#include <optional>
#include <thread>

#include <QList>
#include <QObject>
#include <QString>

#include "batch/runner.h"

// One line of a run's log, with what it tells of (a failure, a file done, ...).
struct BatchLine {
    tramblix::LogKind kind;
    QString text;
};

// One directory run at a time, off the GUI thread. The runner's walk and workers never touch a
// widget: what they report is gathered here under a lock and handed to the GUI thread in
// batches, so a tree of many small files cannot flood the event queue. Every signal is emitted
// on the thread this object lives on.
class BatchJob : public QObject {
    Q_OBJECT

public:
    explicit BatchJob(QObject* parent = nullptr);
    // Cancels a run still going and waits for its files in flight.
    ~BatchJob() override;

    // Starts a run on a thread of its own; false (and nothing started) while one is going.
    // Without `wantLog` no log lines are delivered; progress always is.
    bool Start(tramblix::BatchSettings settings, bool wantLog);
    // No new file starts; the files in flight finish and finished() follows.
    void Cancel();
    bool Running() const { return running_; }
    bool CancelRequested() const { return running_ && runner_ && runner_->CancelRequested(); }

    // Replaces the per-file work of later runs (tests hold files back with it).
    void SetFileWork(tramblix::FileWork work) { fileWork_ = std::move(work); }

signals:
    void linesArrived(const QList<BatchLine>& lines);
    void progressed(const tramblix::BatchProgress& progress);
    // Running() is false again when this is emitted. `error` is empty unless the run broke off.
    void finished(const tramblix::BatchProgress& progress, const QString& error);

private:
    // Worker side: called from the runner's threads, one at a time.
    void CollectLine(const tramblix::LogLine& line);
    void CollectProgress(const tramblix::BatchProgress& progress);
    void PostDeliveryLocked();
    // GUI side.
    void Deliver();
    void Finish(const QString& error);

    tramblix::FileWork fileWork_;
    std::optional<tramblix::BatchRunner> runner_;  // one per run: a runner runs once
    std::jthread thread_;
    bool running_ = false;
    bool wantLog_ = false;

    std::mutex mutex_;  // guards the fields below
    QList<BatchLine> lines_;
    tramblix::BatchProgress latest_;
    bool progressChanged_ = false;
    bool deliveryPosted_ = false;
};
