#include "cli/directory_mode.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "batch/batch_run.h"
#include "batch/runner.h"
#include "cli/report.h"
#include "engine/codec.h"

namespace tramblix::cli {

namespace {

std::string Megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string Percent(std::uint64_t before, std::uint64_t after)
{
    const double saved =
        before == 0 ? 0.0
                    : (static_cast<double>(before) - static_cast<double>(after)) * 100.0 / static_cast<double>(before);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", saved);
    return text;
}

std::string Plural(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Standard output carries the log, standard error the progress line, messages and summary.
// One lock keeps a progress line from being torn by a log line on the same terminal.
// Where --report's records go: standard output (the log then goes to standard error) or a file.
struct ReportSink {
    const CommandLine* commandLine = nullptr;  // null: no report
    std::ofstream file;                        // not open: standard output
};

class Console {
public:
    // `onBrokenPipe` is called (once, under the console's lock) when the log's reader is gone.
    Console(const CommandLine& commandLine, ReportSink& report, std::function<void()> onBrokenPipe)
        : quiet_(commandLine.quiet),
          progressShown_(commandLine.progress || (!commandLine.quiet && ::isatty(STDERR_FILENO) == 1)),
          errIsTerminal_(::isatty(STDERR_FILENO) == 1),
          logToError_(report.commandLine && !report.file.is_open()),
          outIsTerminal_(::isatty(STDOUT_FILENO) == 1),
          report_(report),
          onBrokenPipe_(std::move(onBrokenPipe))
    {}

    void Log(const LogLine& line)
    {
        std::lock_guard lock(mutex_);
        if (line.file && report_.commandLine)
            Record(*line.file);
        if (logToError_ && !quiet_) {
            ClearProgress();
            std::cerr << line.text << '\n' << std::flush;
            return;
        }
        if (quiet_) {
            // Quiet drops the start and end lines and those of files done, never the news of a
            // failure.
            if (line.kind == LogKind::FileFailed || line.kind == LogKind::UnreadableDirectory) {
                ClearProgress();
                std::cerr << line.text << '\n' << std::flush;
            }
            return;
        }
        if (outIsTerminal_)
            ClearProgress();
        // Flushed at once, so a pipe (tee, a GUI wrapper) sees each file as it is finished.
        errno = 0;
        std::cout << line.text << '\n' << std::flush;
        if (!std::cout)
            WriteFailed(errno);
    }

    // The error that lost part of the log, 0 when the log was written whole.
    int WriteError()
    {
        std::lock_guard lock(mutex_);
        return writeError_;
    }

    void Progress(const BatchProgress& progress)
    {
        if (!progressShown_)
            return;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        if (progress.walkComplete && !workStarted_) {
            workStarted_ = true;
            workStart_ = now;
        }
        // A terminal redrawn more often than this only flickers; a file or a pipe (--progress)
        // gets a line at a time, less often.
        const bool last = progress.walkComplete && progress.filesFinished == progress.filesTotal;
        if (now - lastDrawn_ < std::chrono::milliseconds(errIsTerminal_ ? 100 : 1000) && !last)
            return;
        if (last && lastWasFinal_)
            return;
        lastWasFinal_ = last;
        lastDrawn_ = now;
        std::string text;
        if (!progress.walkComplete) {
            text = "looking for files: " + std::to_string(progress.filesTotal) + " found";
        } else {
            text = std::to_string(progress.filesFinished) + "/" + std::to_string(progress.filesTotal) + " files " +
                   std::to_string(progress.filesTotal == 0 ? 100 : progress.filesFinished * 100 / progress.filesTotal) +
                   "%";
            if (progress.filesFailed > 0)
                text += ", " + std::to_string(progress.filesFailed) + " failed";
            text += ", " + Megabytes(progress.bytesIn) + " -> " + Megabytes(progress.bytesOut);
            text += Pace(progress, std::chrono::duration<double>(now - workStart_).count());
            if (cancelling_)
                text += " (cancelling: finishing the files in progress)";
        }
        if (errIsTerminal_) {
            // A line wider than the terminal wraps, and the next '\r' would clear only its last
            // row: it is cut to the width the terminal has now (it may have been resized).
            if (winsize size{};
                ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
                text.resize(size.ws_col - 1u);
            std::cerr << '\r' << text << "\x1b[K" << std::flush;
            drawn_ = true;
        } else {
            std::cerr << text << '\n' << std::flush;
        }
    }

    // For the signal thread: never waits for the lock, which a log line blocked on a full pipe
    // may hold for ever.
    void Urgent(const std::string& text)
    {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            ClearProgress();
            std::cerr << text << '\n' << std::flush;
            return;
        }
        const std::string raw = (progressShown_ ? "\r\x1b[K" : "") + text + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, raw.data(), raw.size());
    }

    void Cancelling(int signal)
    {
        cancelling_ = true;
        if (signal == SIGINT) {
            Urgent(std::string(kProgram) +
                   ": cancelling: finishing the files in progress (Ctrl-C again stops at once)");
            return;
        }
        const std::string name = signal == SIGTERM ? "SIGTERM" : signal == SIGHUP ? "SIGHUP" : std::to_string(signal);
        Urgent(std::string(kProgram) + ": cancelling on " + name + ": finishing the files in progress (a second " +
               name + " stops at once)");
    }

    bool Quiet() const { return quiet_; }

    void Finish()
    {
        std::lock_guard lock(mutex_);
        errno = 0;
        std::cout << std::flush;
        if (!std::cout)
            WriteFailed(errno);
        ClearProgress();
    }

    // The error that lost part of a report file, 0 when it was written whole.
    int ReportError()
    {
        std::lock_guard lock(mutex_);
        return reportError_;
    }

private:
    // ", 3.1 files/s, 0:03 left": nothing until a file is finished.
    static std::string Pace(const BatchProgress& progress, double seconds)
    {
        if (progress.filesFinished == 0 || seconds <= 0.0)
            return {};
        const double rate = static_cast<double>(progress.filesFinished) / seconds;
        const auto left =
            static_cast<long long>(static_cast<double>(progress.filesTotal - progress.filesFinished) / rate + 0.5);
        char text[64];
        if (left >= 3600)
            std::snprintf(text, sizeof text, ", %.1f files/s, %lld:%02lld:%02lld left", rate, left / 3600,
                          left / 60 % 60, left % 60);
        else
            std::snprintf(text, sizeof text, ", %.1f files/s, %lld:%02lld left", rate, left / 60, left % 60);
        return text;
    }

    void Record(const FileReport& file)
    {
        const std::string record = ReportRecord(report_.commandLine->report, file, *report_.commandLine);
        if (!report_.file.is_open()) {
            errno = 0;
            std::cout << record << std::flush;
            if (!std::cout)
                WriteFailed(errno);
            return;
        }
        errno = 0;
        report_.file << record << std::flush;
        if (!report_.file && reportError_ == 0) {
            reportError_ = errno == 0 ? EIO : errno;
            ClearProgress();
            std::cerr << kProgram << ": " << *report_.commandLine->reportFile
                      << ": write error: " << std::generic_category().message(reportError_) << '\n'
                      << std::flush;
        }
    }

    // Said once; the exit status tells of the loss. A reader that went away (tramblix ... | head)
    // stops the run as SIGPIPE stops GNU tools, but cleanly: no new file is started and the files
    // in progress are finished. On any other failure (a full disk) the files are still compressed.
    void WriteFailed(int error)
    {
        std::cout.clear();
        if (writeError_ != 0)
            return;
        writeError_ = error == 0 ? EIO : error;
        ClearProgress();
        std::cerr << kProgram << ": write error: " << std::generic_category().message(writeError_) << '\n'
                  << std::flush;
        if (writeError_ == EPIPE && onBrokenPipe_)
            onBrokenPipe_();
    }

    void ClearProgress()
    {
        if (drawn_)
            std::cerr << "\r\x1b[K" << std::flush;
        drawn_ = false;
    }

    std::mutex mutex_;
    const bool quiet_;
    const bool progressShown_;
    const bool errIsTerminal_;
    const bool logToError_;
    const bool outIsTerminal_;
    ReportSink& report_;
    int reportError_ = 0;
    bool workStarted_ = false;
    bool lastWasFinal_ = false;
    std::chrono::steady_clock::time_point workStart_{};
    bool drawn_ = false;
    std::atomic<bool> cancelling_{false};
    int writeError_ = 0;
    std::chrono::steady_clock::time_point lastDrawn_{};
    std::function<void()> onBrokenPipe_;
};

// Ctrl-C (and SIGTERM, and SIGHUP when the terminal goes away) are taken by a thread of their own with sigtimedwait, so
// cancelling never runs inside a signal handler. The signals are blocked before any worker starts, so every thread of
// the run inherits the block.
class InterruptWatch {
public:
    InterruptWatch(BatchRunner& runner, Console& console)
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
        try {
            Start(runner, console);
        } catch (const std::exception& e) {
            // No thread to take the signals (no memory for its stack): they act as usual and stop
            // the run at once, as a second Ctrl-C would.
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
            if (!console.Quiet())
                console.Urgent(std::string(kProgram) + ": warning: Ctrl-C will stop at once (" + e.what() + ")");
        }
    }

    ~InterruptWatch()
    {
        if (!thread_.joinable())
            return;
        thread_.request_stop();
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }

    int Received() const { return received_.load(); }

private:
    void Start(BatchRunner& runner, Console& console)
    {
        thread_ = std::jthread([this, &runner, &console](std::stop_token stop) {
            const timespec tick{0, 100'000'000};
            while (!stop.stop_requested()) {
                const int signal = sigtimedwait(&signals_, nullptr, &tick);
                if (signal <= 0)
                    continue;
                // Telling is only news: without memory for its words the signal still acts.
                if (received_.exchange(signal) != 0) {
                    try {
                        console.Urgent(std::string(kProgram) + ": stopped");
                    } catch (...) {}
                    std::_Exit(128 + signal);
                }
                // Cancel first: telling the user may have to wait for a terminal or a pipe.
                runner.Cancel();
                try {
                    console.Cancelling(signal);
                } catch (...) {}
            }
        });
    }

    sigset_t signals_{};
    sigset_t previous_{};
    std::atomic<int> received_{0};
    std::jthread thread_;
};

std::string SummaryLine(const BatchProgress& p)
{
    // The window's log and the report say compressed, kept, failed and skipped: so does this line.
    std::string line = Plural(p.filesDone, "file done", "files done") + " (" +
                       std::to_string(p.filesDone - p.filesKept) + " compressed, " + std::to_string(p.filesKept) +
                       " kept), " + std::to_string(p.filesFailed) + " failed";
    if (p.filesRetryable > 0)
        line += " (" + std::to_string(p.filesRetryable) + " may succeed when run again)";
    line += ", " + std::to_string(p.bytesIn) + " bytes before, " + std::to_string(p.bytesOut) + " bytes after, " +
            Percent(p.bytesIn, p.bytesOut) + " saved";
    if (p.directoriesUnreadable > 0)
        line += ", " + Plural(p.directoriesUnreadable, "directory", "directories") + " not readable";
    if (p.filesUpToDate + p.filesSkipped > 0)
        line += ", " + Plural(p.filesUpToDate + p.filesSkipped, "file", "files") + " skipped";
    if (p.filesUpToDate > 0)
        line += " (" + std::to_string(p.filesUpToDate) + " up to date)";
    if (p.cancelled)
        line += "; cancelled, " + Plural(p.filesTotal - p.filesFinished, "file", "files") + " not started";
    return line;
}

// A list longer than this (millions of paths) is refused: one without end (/dev/zero) must not
// take all memory.
constexpr std::size_t kMaxFileListBytes = std::size_t{1} << 28;

// The whole of `in`, read in blocks. A read error (a directory named as the list, or given as
// standard input) is thrown from inside the stream buffer; errno still tells why.
bool ReadAll(std::istream& in, std::string& text)
{
    std::vector<char> block(1 << 16);
    try {
        for (;;) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            text.append(block.data(), static_cast<std::size_t>(in.gcount()));
            if (text.size() > kMaxFileListBytes) {
                errno = EFBIG;
                return false;
            }
            if (!in)
                return !in.bad();
        }
    } catch (const std::ios_base::failure&) {
        return false;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

// The paths of a --files-from list; empty entries are passed over. False when it cannot be read.
bool ReadFileList(const std::string& source, bool nullSeparated, std::vector<std::string>& files)
{
    std::string text;
    if (source == "-") {
        if (!ReadAll(std::cin, text))
            return false;
    } else {
        std::ifstream in(source, std::ios::binary);
        if (!in || !ReadAll(in, text))
            return false;
    }
    const char separator = nullSeparated ? '\0' : '\n';
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        // A list written on Windows ends its lines with CR LF; no real name ends with a CR.
        std::size_t last = end;
        if (!nullSeparated && last > start && text[last - 1] == '\r')
            --last;
        if (last > start)
            files.push_back(text.substr(start, last - start));
        start = end + 1;
    }
    return true;
}

// Qt loads its image plugins for the first reader that probes a file that is no JPEG. Loaded on a
// worker thread, they are torn down at exit after that thread's data is gone, which corrupts the
// heap (an abort instead of the exit status): so they are loaded here, on the main thread.
void LoadImagePlugins()
{
    static const std::uint8_t probe[] = {'n', 'o', 'n', 'e'};
    DecodedImage image;
    [[maybe_unused]] const DecodeStatus status = DecodeImage(probe, image);
}

}  // namespace

int RunDirectoryMode(const CommandLine& commandLine)
{
    BatchSettings settings = commandLine.settings;
    settings.inputDirectory = commandLine.operands.at(0);
    settings.outputDirectory = commandLine.operands.at(1);
    if (const DirectoryCheck check = CheckDirectories(settings.inputDirectory, settings.outputDirectory);
        check != DirectoryCheck::Ok) {
        std::cerr << kProgram << ": " << MessageFor(check).text << '\n';
        return 2;
    }

    if (const auto& list = commandLine.filesFrom) {
        std::vector<std::string> files;
        if (!ReadFileList(*list, commandLine.nullSeparated, files)) {
            const int error = errno;
            std::cerr << kProgram << ": " << (*list == "-" ? "standard input" : *list) << ": "
                      << std::generic_category().message(error == 0 ? EIO : error) << '\n';
            return 2;
        }
        settings.files = std::move(files);
    }

    // Last of the checks: from here on the output directory may exist.
    if (!settings.mode.dryRun) {
        if (const DirectoryCheck check = ClaimOutputDirectory(settings.inputDirectory, settings.outputDirectory);
            check != DirectoryCheck::Ok) {
            std::cerr << kProgram << ": " << MessageFor(check).text << '\n';
            return 2;
        }
    }
    return RunBatch(commandLine, std::move(settings));
}

int RunBatch(const CommandLine& commandLine, BatchSettings settings)
{
    ReportSink report;
    if (commandLine.report != ReportFormat::None) {
        report.commandLine = &commandLine;
        if (const auto& name = commandLine.reportFile) {
            errno = 0;
            report.file.open(*name, std::ios::binary | std::ios::trunc);
            if (!report.file.is_open()) {
                const int error = errno == 0 ? EIO : errno;
                std::cerr << kProgram << ": " << *name << ": " << std::generic_category().message(error) << '\n';
                return 2;
            }
            report.file << ReportHeader(commandLine.report);
        } else {
            std::cout << ReportHeader(commandLine.report);
        }
    }

    LoadImagePlugins();
    BatchRunner* running = nullptr;
    Console console(commandLine, report, [&running] {
        if (running)
            running->Cancel();
    });
    BatchRunner runner(std::move(settings), {[&](const LogLine& line) { console.Log(line); },
                                             [&](const BatchProgress& progress) { console.Progress(progress); }});
    running = &runner;

    BatchProgress result;
    int signal = 0;
    {
        InterruptWatch watch(runner, console);
        result = runner.Run();
        signal = watch.Received();
    }
    console.Finish();
    int status = ExitStatus(result, signal, console.WriteError());
    if (status == 0 || status == kExitInputsFailed) {
        if (report.file.is_open())
            report.file.close();
        if (console.ReportError() != 0 || (commandLine.reportFile && report.file.fail()))
            status = kExitRetry;
    }
    if (!commandLine.quiet || status != 0)
        std::cerr << SummaryLine(result) << '\n' << std::flush;
    return status;
}

int ExitStatus(const BatchProgress& result, int signal, int writeError)
{
    if (signal != 0)
        return 128 + signal;
    if (result.cancelled || writeError != 0 || result.filesRetryable > 0 || result.directoriesRetryable > 0)
        return kExitRetry;
    return result.filesFailed > 0 || result.directoriesUnreadable > 0 ? kExitInputsFailed : 0;
}

}  // namespace tramblix::cli
