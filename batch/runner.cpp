#include "batch/runner.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "batch/batch_run.h"
#include "batch/placement.h"
#include "batch/walk.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

// During the walk progress is reported every so many files, so a large tree shows it is alive
// without flooding a window's event queue.
constexpr std::size_t kWalkProgressEvery = 64;

}  // namespace

BatchRunner::BatchRunner(BatchSettings settings, Callbacks callbacks, FileWork work)
    : settings_(std::move(settings)), callbacks_(std::move(callbacks)), work_(std::move(work))
{
}

unsigned BatchRunner::WorkerCount(unsigned jobs, std::size_t files)
{
    if (jobs == 0)
        jobs = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp<std::size_t>(files, 1, jobs));
}

BatchProgress BatchRunner::Run()
{
    const std::string inputBase = WithTrailingSeparator(settings_.inputDirectory);
    const std::string outputBase = WithTrailingSeparator(settings_.outputDirectory);

    Emit(LogKind::Start, std::string(kStartLine));
    Walk(inputBase, outputBase);

    const unsigned workers = WorkerCount(settings_.jobs, items_.size());
    // One picture's filters may use every core only while files run one at a time.
    const EngineOptions engine{workers > 1 ? 1u : 0u};
    FileWork work = work_;
    if (!work) {
        FileSettings file{inputBase, outputBase, settings_.level, settings_.strength, {}};
        work = [file](const std::string& path, const EngineOptions& options) {
            FileSettings settings = file;
            settings.engine = options;
            return ProcessFoundFile(path, settings);
        };
    }

    if (workers == 1) {
        Work(work, engine, inputBase, outputBase);
    } else {
        std::vector<std::jthread> pool;
        pool.reserve(workers);
        for (unsigned i = 0; i < workers; ++i)
            pool.emplace_back([&] { Work(work, engine, inputBase, outputBase); });
    }  // the pool joins here

    std::lock_guard lock(mutex_);
    progress_.cancelled = stop_.stop_requested();
    Emit(LogKind::End, std::string(kEndLine));
    if (callbacks_.progress)
        callbacks_.progress(progress_);
    return progress_;
}

void BatchRunner::Walk(const std::string& inputBase, const std::string& outputBase)
{
    WalkOptions options;
    options.recurse = settings_.recurse;
    options.lister = settings_.lister;
    options.stop = stop_.get_token();
    // An output directory inside the input tree must not be read as input by the same run.
    if (fs::path output = CanonicalDirectory(outputBase); !output.empty())
        options.skipDirectories.push_back(std::move(output));

    auto reportWalk = [this](bool complete) {
        if (!callbacks_.progress)
            return;
        std::lock_guard lock(mutex_);
        progress_.walkComplete = complete;
        callbacks_.progress(progress_);
    };
    // The root keeps its separator; any other directory is walked without its trailing one.
    const std::string directory = inputBase.substr(0, inputBase.size() - 1);
    WalkDirectory(
        directory, options,
        [&](const std::string& file) {
            items_.push_back({file, false});
            {
                std::lock_guard lock(mutex_);
                ++progress_.filesTotal;
            }
            if (items_.size() % kWalkProgressEvery == 0)
                reportWalk(false);
        },
        [&](const std::string& unreadable, std::error_code) { items_.push_back({unreadable, true}); });
    reportWalk(true);
}

void BatchRunner::Work(const FileWork& work, const EngineOptions& engine, const std::string& inputBase,
                       const std::string& outputBase)
{
    for (;;) {
        std::size_t index;
        {
            // Checked before an item is taken: every item taken is finished, so the log has no gaps.
            std::lock_guard lock(mutex_);
            if (stop_.stop_requested() || nextItem_ >= items_.size())
                return;
            index = nextItem_++;
        }
        const Item& item = items_[index];
        if (item.unreadableDirectory) {
            Finish(index, {FileReport::Outcome::Failed, 0, 0, UnreadableDirectoryLine(item.path)}, true);
            continue;
        }
        FileReport report;
        try {
            report = work(item.path, engine);
        } catch (...) {
            report.outcome = FileReport::Outcome::Failed;
            report.line = FailedLine(item.path, OutputLocationOf(item.path, inputBase, outputBase).file,
                                     StatusText(CompressStatus::InternalError));
        }
        Finish(index, std::move(report), false);
    }
}

void BatchRunner::Finish(std::size_t index, FileReport report, bool unreadableDirectory)
{
    std::lock_guard lock(mutex_);
    if (unreadableDirectory) {
        ++progress_.directoriesUnreadable;
    } else {
        ++progress_.filesFinished;
        switch (report.outcome) {
        case FileReport::Outcome::Skipped: ++progress_.filesSkipped; break;
        case FileReport::Outcome::Failed: ++progress_.filesFailed; break;
        case FileReport::Outcome::Done:
            ++progress_.filesDone;
            progress_.bytesIn += report.inputSize;
            progress_.bytesOut += report.outputSize;
            break;
        }
    }
    pending_.emplace(index, std::move(report));
    // Hand over every line whose predecessors are all finished.
    for (auto it = pending_.begin(); it != pending_.end() && it->first == nextToLog_; it = pending_.erase(it)) {
        ++nextToLog_;
        const FileReport& ready = it->second;
        if (ready.outcome == FileReport::Outcome::Skipped)
            continue;
        const LogKind kind = items_[it->first].unreadableDirectory ? LogKind::UnreadableDirectory
                             : ready.outcome == FileReport::Outcome::Done ? LogKind::FileDone
                                                                           : LogKind::FileFailed;
        Emit(kind, ready.line);
    }
    if (callbacks_.progress)
        callbacks_.progress(progress_);
}

void BatchRunner::Emit(LogKind kind, std::string text)
{
    if (callbacks_.log)
        callbacks_.log(LogLine{kind, std::move(text)});
}

}  // namespace tramblix
