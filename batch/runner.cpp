#include "batch/runner.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "batch/batch_run.h"
#include "batch/placement.h"
#include "batch/walk.h"
#include "engine/cpus.h"
#include "engine/memory_pool.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

// During the walk progress is reported every so many files, so a large tree shows it is alive
// without flooding a window's event queue.
constexpr std::size_t kWalkProgressEvery = 64;

std::string ExtensionList(const std::vector<std::string>& extensions)
{
    std::string list;
    for (const std::string& extension : extensions)
        list += (list.empty() ? "" : ",") + extension;
    return list;
}

bool HasExtension(const std::string& name, const std::vector<std::string>& extensions)
{
    if (!HasStem(name))
        return false;
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const std::string& extension) { return MatchesMask(name, "*." + extension); });
}

// A listed path as the walk would spell it relative to the input directory; empty when it lies
// outside. Absolute paths are compared as given and, failing that, with links resolved.
std::string RelativeToInput(const std::string& given, const std::string& inputBase)
{
    fs::path path(given);
    if (!path.has_filename())  // "sub/": the directory, which no file of the run is
        path = path.parent_path();
    fs::path relative;
    if (path.is_absolute()) {
        std::error_code ec;
        const fs::path base = fs::absolute(fs::path(inputBase), ec).lexically_normal();
        relative = path.lexically_normal().lexically_relative(base);
        if (relative.empty() || *relative.begin() == "..") {
            const fs::path realBase = fs::weakly_canonical(base, ec);
            const fs::path realPath = fs::weakly_canonical(path, ec);
            relative = ec ? fs::path() : realPath.lexically_relative(realBase);
        }
    } else {
        relative = path.lexically_normal();
    }
    if (relative.empty() || relative == "." || *relative.begin() == ".." || !relative.has_filename())
        return {};
    return relative.generic_string();
}

}  // namespace

BatchRunner::BatchRunner(BatchSettings settings, Callbacks callbacks, FileWork work)
    : settings_(std::move(settings)), callbacks_(std::move(callbacks)), work_(std::move(work))
{}

unsigned BatchRunner::WorkerCount(unsigned jobs, std::size_t files)
{
    if (jobs == 0)
        jobs = UsableCpuCount();
    return static_cast<unsigned>(std::clamp<std::size_t>(files, 1, jobs));
}

BatchProgress BatchRunner::Run()
{
    if (settings_.sources.empty()) {
        roots_.push_back(
            {WithTrailingSeparator(settings_.inputDirectory), WithTrailingSeparator(settings_.outputDirectory)});
    } else {
        for (const BatchSource& source : settings_.sources) {
            const fs::path parent = fs::path(source.input).parent_path();
            roots_.push_back({source.directory
                                  ? WithTrailingSeparator(source.input)
                                  : (parent.empty() ? std::string() : WithTrailingSeparator(parent.string())),
                              WithTrailingSeparator(source.outputDirectory)});
        }
    }

    Emit(LogKind::Start, std::string(kStartLine));
    if (settings_.sources.empty()) {
        ResolveListedFiles(roots_[0].inputBase);
        Walk(0);
        AddUnwalkedFiles(roots_[0].inputBase, roots_[0].outputBase);
    } else {
        for (std::size_t root = 0; root < roots_.size(); ++root) {
            if (settings_.sources[root].directory)
                Walk(root);
            else
                AddFileSource(root, settings_.sources[root].input);
        }
    }
    reports_.resize(items_.size());

    const unsigned workers = WorkerCount(settings_.jobs, items_.size());
    // One picture's filters may use every core only while files run one at a time.
    EngineOptions engine = settings_.engine;
    engine.threads = workers > 1 ? 1u : 0u;
    engine.inputs = &inputs_;
    LeftoverSweep sweep;
    engine.sweep = &sweep;
    // One memory budget for the whole run: the workers wait for room in it, never each its own.
    MemoryPool memory(engine.memoryBudget, stop_.get_token());
    ReturnLargeBuffersToTheSystem();
    if (engine.memoryPool == nullptr)
        engine.memoryPool = &memory;
    const FileWork& work = work_;

    if (workers == 1) {
        Work(work, engine);
    } else {
        // A thread the system will not start (no memory for its stack, a process limit) means
        // fewer workers, down to this thread alone; never a lost run.
        std::vector<std::jthread> pool;
        try {
            pool.reserve(workers);
            for (unsigned i = 0; i < workers; ++i)
                pool.emplace_back([&] { Work(work, engine); });
        } catch (const std::exception&) {
            // The workers started so far take every file.
        }
        if (pool.empty())
            Work(work, engine);
    }  // the pool joins here

    Deliver();  // every finished line before the end line
    BatchProgress result;
    {
        std::lock_guard lock(mutex_);
        progress_.cancelled = stop_.stop_requested();
        result = progress_;
    }
    Emit(LogKind::End, std::string(kEndLine));
    ReportProgress(result);
    return result;
}

void BatchRunner::Walk(std::size_t root)
{
    const std::string& inputBase = roots_[root].inputBase;
    WalkOptions options;
    options.recurse = settings_.recurse;
    options.lister = settings_.lister;
    options.stop = stop_.get_token();
    options.inputs = &inputs_;
    for (const std::string& extension : settings_.extensions)
        options.masks.push_back("*." + extension);
    // An output directory inside the input tree must not be read as input by the same run (nor
    // one where the outputs of the run's other sources go).
    std::vector<std::string> outputs;
    if (!settings_.mode.inPlace) {
        for (const Root& other : roots_)
            outputs.push_back(other.outputBase);
        for (const BatchSource& source : settings_.sources)
            outputs.push_back(WithTrailingSeparator(source.outputDirectory));
        if (!settings_.sources.empty() && !settings_.outputDirectory.empty())
            outputs.push_back(WithTrailingSeparator(settings_.outputDirectory));
    }
    for (const std::string& outputBase : outputs) {
        if (fs::path output = CanonicalDirectory(outputBase); !output.empty())
            options.skipDirectories.push_back(std::move(output));
        std::error_code ec;
        if (const DirectoryHandle output = DirectoryHandle::Open(outputBase, ec); !ec)
            options.skipIds.push_back(output.Id());
    }
    options.skipped = [this, root](const std::string& directory, std::string_view reason) {
        items_.push_back({directory, false, true, std::string(reason), {}, root});
    };

    // No worker runs yet: the figures are this thread's alone.
    auto reportWalk = [this](bool complete) {
        progress_.walkComplete = complete;
        ReportProgress(progress_);
    };
    // The root keeps its separator; any other directory is walked without its trailing one.
    const std::string directory = inputBase.substr(0, inputBase.size() - 1);
    WalkDirectory(
        directory, options,
        [&](const std::string& file) {
            // Every file is walked (and so guarded as an input); only this part's are run.
            const std::string_view relative = std::string_view(file).substr(inputBase.size());
            if (!settings_.files) {
                if (!InShard(relative))
                    return;
            } else if (const auto found = listedIndex_.find(relative); found != listedIndex_.end()) {
                listed_[found->second].found = true;
            } else {
                return;
            }
            items_.push_back({file, false, false, {}, {}, root});
            ++progress_.filesTotal;
            if (items_.size() % kWalkProgressEvery == 0)
                reportWalk(false);
        },
        [&](const std::string& unreadable, std::error_code error) {
            items_.push_back({unreadable, true, false, error.message(), {}, root, MayPassByItself(error)});
        });
    reportWalk(true);
}

// A file operand: taken as it is, whatever its name; guarded as an input like a walked file.
void BatchRunner::AddFileSource(std::size_t root, const std::string& path)
{
    if (!InShard(std::string_view(path).substr(roots_[root].inputBase.size())))
        return;
    if (FileId id; !settings_.mode.inPlace && FileIdOf(path, id))
        inputs_.AddFile(id);
    items_.push_back({path, false, false, {}, {}, root});
    ++progress_.filesTotal;
    progress_.walkComplete = root + 1 == roots_.size();
    ReportProgress(progress_);
}

bool BatchRunner::InShard(std::string_view relativePath) const
{
    return settings_.shardCount <= 1 || ShardHash(relativePath) % settings_.shardCount == settings_.shardIndex;
}

void BatchRunner::ResolveListedFiles(const std::string& inputBase)
{
    if (!settings_.files)
        return;
    for (const std::string& given : *settings_.files) {
        std::string relative = RelativeToInput(given, inputBase);
        if (!relative.empty() && !InShard(relative))
            continue;
        if (!relative.empty() && !listedIndex_.emplace(relative, listed_.size()).second)
            continue;  // listed twice: run once
        listed_.push_back({given, std::move(relative), false});
    }
}

// Listed files the walk did not reach fail with the reason, after the walked ones.
void BatchRunner::AddUnwalkedFiles(const std::string& inputBase, const std::string& outputBase)
{
    for (const Listed& listed : listed_) {
        if (listed.found)
            continue;
        std::string output = outputBase;
        std::string reason = "outside the input directory";
        if (!listed.relative.empty()) {
            const std::string path = inputBase + listed.relative;
            output = OutputLocationOf(path, inputBase, outputBase).file;
            std::error_code ec;
            if (!fs::exists(fs::path(path), ec))
                reason = std::string(StatusText(CompressStatus::CannotReadInput)) + " (" +
                         std::make_error_code(std::errc::no_such_file_or_directory).message() + ")";
            else if (!HasExtension(fs::path(path).filename().string(), settings_.extensions))
                reason = "not a file name the run takes (extensions: " + ExtensionList(settings_.extensions) + ")";
            else
                reason = "not reached by the walk of the input directory";
        }
        items_.push_back({listed.given, false, false, {}, FailedLine(listed.given, output, reason)});
        ++progress_.filesTotal;
    }
}

void BatchRunner::Work(const FileWork& work, const EngineOptions& engine)
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
        Finish(index, Process(work, engine, items_[index]));
        Deliver();
    }
}

FileReport BatchRunner::Process(const FileWork& work, const EngineOptions& engine, const Item& item) noexcept
{
    FileReport report;
    const std::string& inputBase = roots_[item.root].inputBase;
    const std::string& outputBase = roots_[item.root].outputBase;
    try {
        if (item.unreadableDirectory)
            return {FileReport::Outcome::Failed, 0, 0, true, UnreadableDirectoryLine(item.path, item.reason)};
        if (item.skippedDirectory)  // news only: Finish counts it nowhere
            return {FileReport::Outcome::Done, 0, 0, false, SkippedDirectoryLine(item.path, item.reason)};
        if (!item.failure.empty())
            return {FileReport::Outcome::Failed, 0, 0, false, item.failure};
        if (settings_.skipExisting) {
            const std::string output = OutputLocationOf(item.path, inputBase, outputBase).file;
            ClearLeftoversBeside(output, engine.sweep);  // even where every output is up to date
            if (OutputIsUpToDate(item.path, output)) {
                // Sized as on disk, as a kept file is, so a report's sums cover the whole tree.
                FileReport report{FileReport::Outcome::UpToDate, static_cast<std::uint64_t>(FileSizeOf(item.path)),
                                  static_cast<std::uint64_t>(FileSizeOf(output)), false,
                                  UpToDateLine(item.path, output)};
                report.output = output;
                return report;
            }
        }
        // In place, a link met in a directory may lead anywhere, or to a file the walk meets
        // again: only a link named as an operand has its file replaced.
        std::error_code ec;
        if (settings_.mode.inPlace && !settings_.sources.empty() && settings_.sources[item.root].directory &&
            fs::is_symlink(fs::symlink_status(fs::path(item.path), ec))) {
            FileReport skipped{FileReport::Outcome::Skipped, 0, 0, false, {}};
            skipped.input = skipped.output = item.path;
            skipped.reason = "a link: name it to replace the file it leads to";
            skipped.line = SkippedLine(item.path, item.path, skipped.reason);
            return skipped;
        }
        if (work)
            return work(item.path, engine);
        return ProcessFoundFile(item.path, FileSettings{inputBase, outputBase, settings_.level, settings_.strength,
                                                        engine, settings_.mode});
    } catch (...) {}
    // Whatever went wrong, this one file failed; even when its line cannot be made, it counts.
    report.outcome = FileReport::Outcome::Failed;
    report.retryable = true;
    try {
        report.reason = StatusText(CompressStatus::InternalError);
        report.line = FailedLine(item.path, OutputLocationOf(item.path, inputBase, outputBase).file, report.reason);
    } catch (...) {
        report.line.clear();
    }
    return report;
}

void BatchRunner::Finish(std::size_t index, FileReport report) noexcept
{
    std::lock_guard lock(mutex_);
    if (items_[index].unreadableDirectory) {
        ++progress_.directoriesUnreadable;
        progress_.directoriesRetryable += items_[index].mayPass ? 1 : 0;
    } else if (!items_[index].skippedDirectory) {
        ++progress_.filesFinished;
        switch (report.outcome) {
        case FileReport::Outcome::Failed:
            ++progress_.filesFailed;
            progress_.filesRetryable += report.retryable ? 1 : 0;
            break;
        case FileReport::Outcome::UpToDate: ++progress_.filesUpToDate; break;
        case FileReport::Outcome::Skipped: ++progress_.filesSkipped; break;
        case FileReport::Outcome::Done:
            ++progress_.filesDone;
            progress_.filesKept += report.kept ? 1 : 0;
            progress_.bytesIn += report.inputSize;
            progress_.bytesOut += report.outputSize;
            break;
        }
    }
    reports_[index] = std::move(report);
    while (nextReady_ < reports_.size() && reports_[nextReady_])
        ++nextReady_;
    progressChanged_ = true;
}

// Hands over every line whose predecessors are all finished, outside the lock. One thread does
// it at a time; a thread that finds another at it leaves its lines to that one and moves on.
void BatchRunner::Deliver() noexcept
{
    std::unique_lock lock(mutex_);
    if (delivering_)
        return;
    delivering_ = true;
    for (;;) {
        if (nextDelivered_ < nextReady_) {
            const std::size_t index = nextDelivered_++;
            FileReport report = std::move(*reports_[index]);
            reports_[index].reset();
            const Item& item = items_[index];
            const LogKind kind = item.unreadableDirectory                          ? LogKind::UnreadableDirectory
                                 : item.skippedDirectory                           ? LogKind::SkippedDirectory
                                 : report.outcome == FileReport::Outcome::Done     ? LogKind::FileDone
                                 : report.outcome == FileReport::Outcome::UpToDate ? LogKind::FileUpToDate
                                 : report.outcome == FileReport::Outcome::Skipped  ? LogKind::FileSkipped
                                                                                   : LogKind::FileFailed;
            lock.unlock();
            const bool isFile = !item.unreadableDirectory && !item.skippedDirectory;
            if (isFile && report.input.empty())
                report.input = item.path;
            const bool shown = report.line.empty() || Emit(kind, std::move(report.line), isFile ? &report : nullptr);
            lock.lock();
            if (!shown && kind == LogKind::FileDone) {
                --progress_.filesDone;
                progress_.filesKept -= report.kept ? 1 : 0;
                ++progress_.filesFailed;
                ++progress_.filesRetryable;
                progress_.bytesIn -= report.inputSize;
                progress_.bytesOut -= report.outputSize;
            }
        } else if (progressChanged_) {
            progressChanged_ = false;
            const BatchProgress snapshot = progress_;
            lock.unlock();
            ReportProgress(snapshot);
            lock.lock();
        } else {
            break;
        }
    }
    delivering_ = false;
}

bool BatchRunner::Emit(LogKind kind, std::string text, const FileReport* file) noexcept
{
    try {
        if (callbacks_.log)
            callbacks_.log(LogLine{kind, std::move(text), file});
        return true;
    } catch (...) {
        return false;
    }
}

void BatchRunner::ReportProgress(const BatchProgress& progress) noexcept
{
    try {
        if (callbacks_.progress)
            callbacks_.progress(progress);
    } catch (...) {
        // Progress is only news; a consumer that fails on it loses nothing of the run.
    }
}

}  // namespace tramblix
