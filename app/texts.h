#pragma once

// The window program's own words: message boxes, the single-image memo, the directory tab's
// chooser, button and progress texts, and the lines it adds to the log. Labels and captions of
// the forms are in the .ui files; the log lines and the directory checks' messages, which the
// command-line tool shares, in batch/texts.h; the failure reasons come from the engine
// (StatusText, ReasonText in engine/compress.h).

#include <QString>

// Captions the program's own message boxes (start-up, last-resort errors).
inline constexpr char kApplicationTitle[] = "Jpegtramblix";

namespace texts {

// ---- Message boxes: text, caption ----

inline const QString kAlreadyRunning = QStringLiteral("Tramblix Already Running");  // caption: kApplicationTitle
inline const QString kCannotFind = QStringLiteral("Can not find: ");                // followed by the path
inline const QString kMissingFileCaption = QStringLiteral("Missing File");
inline const QString kSameFile = QStringLiteral("Please select a different output file");
inline const QString kSameFileCaption = QStringLiteral("Input and Output Files are the same");
inline const QString kNeedInputFile = QStringLiteral("Please select an input JPEG File");
inline const QString kNeedOutputFile = QStringLiteral("Please select an output JPEG File");
inline const QString kNeedFileCaption = QStringLiteral("Need additional file");

// No program could be started to show the manual or a web page; the path or address follows.
inline const QString kNoBrowser = QStringLiteral("No web browser could be started to show:\n%1");
inline const QString kNoBrowserCaption = QStringLiteral("Cannot open the page");

// ---- Single Image tab ----

// File dialogs' name filters.
inline const QString kJpegFilter = QStringLiteral("JPEG images (*.jpg *.jpeg *.jpe *.jfif)");
inline const QString kPicturesFilter =
    QStringLiteral("All pictures (*.jpg *.jpeg *.jpe *.jfif *.png *.bmp *.gif *.tif *.tiff *.webp)");
inline const QString kAllFilesFilter = QStringLiteral("All files (*)");
// The compare window's "Save output...": the system's reason follows.
inline const QString kCannotSave = QStringLiteral("Could not save the output: ");
inline const QString kCannotSaveCaption = QStringLiteral("Save output");

inline const QString kCompressing = QStringLiteral("Compressing...");
inline const QString kCouldNotCreate = QStringLiteral("Could not create file.\n");  // followed by the reason
// After the reason when a file was already at the output: a failure never removes it.
inline const QString kOldOutputLeft = QStringLiteral("\nThe file already at the output was left as it was.");
// The line under the result: what was done ("Efficient encoder, metadata stripped").
inline const QString kStandardEncoder = QStringLiteral("Standard encoder");
inline const QString kEfficientEncoder = QStringLiteral("Efficient encoder");
inline const QString kLosslessRewrite = QStringLiteral("Lossless rewrite");
inline const QString kMetadataStripped = QStringLiteral("metadata stripped");
inline const QString kDatesKept = QStringLiteral("file dates kept");
inline const QString kKeptNoSmaller = QStringLiteral("; no smaller file possible: the input was kept");
inline const QString kKeptBelowMinSaving = QStringLiteral("; no file at least 2% smaller possible: the input was kept");
inline const QString kKeptOwnOutput =
    QStringLiteral("; already compressed by this program at the same or a coarser level: the input was kept");
inline const QString kClosingSingle = QStringLiteral("Closing: finishing the picture in progress...");
// The full-size viewer's title: path, then these around the size in bytes.
inline const QString kViewerSize = QStringLiteral(" Size: ");
inline const QString kViewerBytes = QStringLiteral(" Bytes");

// ---- Process Directory tab ----

inline const QString kChooserTitle = QStringLiteral("Select a Directory");
inline const QString kRunText = QStringLiteral("Compress");
inline const QString kCancelText = QStringLiteral("Cancel");
inline const QString kLookingForFiles = QStringLiteral("Looking for files: %1 found");
inline const QString kProgress = QStringLiteral("%1 of %2 %3, %4 saved");  // done, total, file(s), amount
inline const QString kFile = QStringLiteral("file");
inline const QString kFiles = QStringLiteral("files");
inline const QString kFailed = QStringLiteral(", %1 failed");
inline const QString kUnreadable = QStringLiteral(", %1 unreadable %2");  // count, folder(s)
inline const QString kFolder = QStringLiteral("folder");
inline const QString kFolders = QStringLiteral("folders");
inline const QString kMegabytes = QStringLiteral("%1 MB");
inline const QString kKilobytes = QStringLiteral("%1 kB");
inline const QString kBytes = QStringLiteral("%1 bytes");
inline const QString kCancellingRun = QStringLiteral("Cancelling: finishing the files in progress");
inline const QString kCancelling = QStringLiteral("Cancelling: ");  // before the progress text
inline const QString kCancelled = QStringLiteral("Cancelled: ");    // before the progress text
inline const QString kStopped = QStringLiteral("Stopped: %1");      // the error that ended the run
// The summary line that closes the log: files, what became of them (the command line's words),
// bytes before and after, share saved, time.
inline const QString kSummaryDone = QStringLiteral("Done: %1 %2");                       // count, file(s)
inline const QString kSummaryCancelled = QStringLiteral("Cancelled after %1 of %2 %3");  // finished, total, file(s)
inline const QString kSummaryCounts =
    QStringLiteral(": %1 compressed, %2 kept, %3 failed, %4 skipped; %5 before, %6 after, %7% saved; %8 s");
// Log lines the window adds when a run breaks off.
inline const QString kRunStoppedLine = QStringLiteral(" The run stopped: %1");
inline const QString kUnexpectedError = QStringLiteral("unexpected error");

}  // namespace texts
