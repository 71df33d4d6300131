#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "batch/batch_run.h"
#include "batch/walk.h"
#include "engine/compress.h"

namespace tramblix {

struct BatchSource {
    std::string input;
    std::string outputDirectory;
    bool directory = false;
};

struct BatchSettings {
    std::string inputDirectory;   // as given; a trailing separator is added
    std::string outputDirectory;  // as given; a trailing separator is added
    CompressionLevel level = 5;
    FilterStrength strength = 0;
    bool recurse = true;
    unsigned jobs = 0;  // files compressed at once; 0: one per core
    // For every file; the run sets threads, inputs and sweep itself, and a memory pool of
    // memoryBudget bytes the workers share when none is given.
    EngineOptions engine{};
    // File name extensions the walk picks, without the dot; letter case is ignored.
    std::vector<std::string> extensions{"jpg"};
    // Leaves out inputs whose output exists and is newer than the input.
    bool skipExisting = false;
    // Processes only part shardIndex of shardCount disjoint parts, chosen by a stable hash of
    // each file's path relative to the input directory.
    unsigned shardIndex = 0;
    unsigned shardCount = 1;
    // When set: these files (relative to the input directory or absolute under it) instead of
    // the walk's own picks; the walk still runs over the whole tree for its checks.
    std::optional<std::vector<std::string>> files{};
    DirectoryLister lister{};  // empty: the real walk; tests put one here to make a directory unreadable
    // When not empty: these files and directories instead of inputDirectory, each with the
    // directory its outputs go to (a file's output keeps its name there), in one run;
    // outputDirectory then names the directory that holds them all (never walked), or is empty.
    std::vector<BatchSource> sources{};
    // In place, dry run, the quality below which files are left alone: for every file.
    FileMode mode{};
};

enum class LogKind {
    Start,
    FileDone,
    FileFailed,
    FileUpToDate,  // left out by skipExisting
    FileSkipped,   // left alone by choice (FileMode)
    UnreadableDirectory,
    SkippedDirectory,  // a sub-directory the walk leaves out (the output directory, a link), and why
    End,
};

struct LogLine {
    LogKind kind;
    std::string text;
    const FileReport* file = nullptr;  // a file's line: its facts, valid during the call
};

// The walk comes first and fixes the total; files are counted as they finish, in any order.
struct BatchProgress {
    bool walkComplete = false;
    std::size_t filesTotal = 0;  // files found so far, final once walkComplete
    std::size_t filesFinished = 0;
    std::size_t filesDone = 0;
    std::size_t filesKept = 0;  // of filesDone, those whose output is the input's copy
    std::size_t filesFailed = 0;
    // Of filesFailed, those a re-run may mend (FileReport::retryable).
    std::size_t filesRetryable = 0;
    std::size_t filesUpToDate = 0;  // left out by skipExisting
    std::size_t filesSkipped = 0;   // left alone by choice (FileMode)
    std::size_t directoriesUnreadable = 0;
    // Of directoriesUnreadable, those a re-run may read (one that vanished meanwhile).
    std::size_t directoriesRetryable = 0;
    std::uint64_t bytesIn = 0;   // of the files done
    std::uint64_t bytesOut = 0;  // of the files done
    bool cancelled = false;
};

// Compresses one found file; the default is ProcessFoundFile with the run's settings.
using FileWork = std::function<FileReport(const std::string& filePath, const EngineOptions& engine)>;

// Walks the input tree, compresses the files on a pool of worker threads and hands the log
// lines over strictly in walk order, each as soon as every earlier file is finished.
//
// The callbacks are called from the thread that runs Run() and from worker threads, one at a
// time and never under the runner's lock, so a consumer that blocks (a full pipe) holds up
// neither the other workers nor Cancel(): a window program forwards them to its own thread.
// A callback that throws is contained; the file whose line it was counts as failed.
// Cancel() may be called from any thread: no new file starts, the files in flight finish and the
// log still ends with its end line.
class BatchRunner {
public:
    struct Callbacks {
        std::function<void(const LogLine&)> log;
        std::function<void(const BatchProgress&)> progress;
    };

    BatchRunner(BatchSettings settings, Callbacks callbacks, FileWork work = {});
    BatchRunner(const BatchRunner&) = delete;
    BatchRunner& operator=(const BatchRunner&) = delete;

    // Blocks until the run is over and returns the final figures. Call once.
    BatchProgress Run();
    void Cancel() { stop_.request_stop(); }
    bool CancelRequested() const { return stop_.stop_requested(); }

    // The number of workers a run with `jobs` uses for `files` files (0 jobs: one per CPU the
    // process may use). Workers that cannot be started leave their share to the others, down to
    // the thread that calls Run().
    static unsigned WorkerCount(unsigned jobs, std::size_t files);

private:
    struct Root {
        std::string inputBase;   // ends with a separator, or is empty
        std::string outputBase;  // ends with a separator
    };
    struct Item {
        std::string path;
        bool unreadableDirectory = false;
        bool skippedDirectory = false;  // a line that only tells of a directory left out
        std::string reason;             // why a directory could not be read or was left out
        std::string failure;            // a listed file the run cannot take: its line, ready
        std::size_t root = 0;           // the source it came from, in roots_
        bool mayPass = false;           // an unreadable directory's error may pass by itself
    };

    void Walk(std::size_t root);
    void AddFileSource(std::size_t root, const std::string& path);
    void ResolveListedFiles(const std::string& inputBase);
    void AddUnwalkedFiles(const std::string& inputBase, const std::string& outputBase);
    bool InShard(std::string_view relativePath) const;
    void Work(const FileWork& work, const EngineOptions& engine);
    FileReport Process(const FileWork& work, const EngineOptions& engine, const Item& item) noexcept;
    void Finish(std::size_t index, FileReport report) noexcept;
    void Deliver() noexcept;
    bool Emit(LogKind kind, std::string text, const FileReport* file = nullptr) noexcept;
    void ReportProgress(const BatchProgress& progress) noexcept;

    BatchSettings settings_;
    Callbacks callbacks_;
    FileWork work_;
    std::stop_source stop_;

    std::vector<Root> roots_;
    std::vector<Item> items_;
    // settings_.files in list order without repeats; relative to the input directory, empty for
    // a path outside it.
    struct Listed {
        std::string given;
        std::string relative;
        bool found = false;  // by the walk
    };
    std::vector<Listed> listed_;
    std::map<std::string, std::size_t, std::less<>> listedIndex_;  // relative path -> place in listed_
    InputSet inputs_;  // filled by the walk, read-only once the workers start

    std::mutex mutex_;  // guards what follows
    std::size_t nextItem_ = 0;
    // One slot per item, made before the workers start, so finishing a file never allocates.
    std::vector<std::optional<FileReport>> reports_;
    std::size_t nextReady_ = 0;      // every report before it is finished
    std::size_t nextDelivered_ = 0;  // every line before it is handed to the log
    bool delivering_ = false;        // one thread at a time hands lines over, in walk order
    bool progressChanged_ = false;
    BatchProgress progress_;
};

}  // namespace tramblix
