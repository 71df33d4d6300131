#pragma once

// The words of a directory run, shared by the window program and the command-line tool: the
// messages of the checks before a run, and the pieces of the log lines (assembled in
// batch/batch_run.cpp). The failure reasons inside "Failed: ..." come from the engine's
// StatusText (engine/compress.cpp); the window's own texts are in app/texts.h.

#include <string_view>

namespace tramblix {

// ---- Checks before a run: message box text and caption (the CLI prints the text) ----

struct MessageText {
    const char* text;
    const char* caption;
};

inline constexpr MessageText kNeedPathMessage{"Please select an input and output directory", "Need additional path"};
inline constexpr MessageText kSameDirectoryMessage{"Please select a unique output directory",
                                                   "Input and Output Directories are the same"};
inline constexpr MessageText kOutputNotDirectoryMessage{"Please select an output directory, not a file",
                                                        "Output is not a directory"};
inline constexpr MessageText kOutputHoldsInputMessage{
    "Please select an output directory that does not contain the input directory",
    "Input Directory is inside the Output Directory"};
inline constexpr MessageText kOutputInsideInputMessage{
    "An output directory inside the input directory must be new, empty or made by an earlier run (which leaves "
    "a .tramblix-output file in it). This one holds other files, which outputs could replace: please select "
    "another output directory",
    "Output Directory is inside the Input Directory"};

// ---- Log lines ----

inline constexpr std::string_view kStartLine = "Start Processing...";
inline constexpr std::string_view kEndLine = "End Processing...";

// " Converting file: IN To: OUT" followed by one of the endings below.
inline constexpr std::string_view kConvertingPiece = " Converting file: ";
inline constexpr std::string_view kToPiece = " To: ";
inline constexpr std::string_view kReducedPiece = " Reduced by: ";  // then the bytes saved
inline constexpr std::string_view kBytesPiece = " Bytes";
inline constexpr std::string_view kFailedPiece = " Failed: ";  // then the reason
inline constexpr std::string_view kExtrasPiece = "; ";         // then what became of a gain map or video
inline constexpr std::string_view kUpToDatePiece = " Skipped: output is up to date";
inline constexpr std::string_view kSkippedPiece = " Skipped: ";                            // then the reason
inline constexpr std::string_view kCannotReadDirectoryPiece = " Cannot read directory: ";  // then the path
// " Skipping directory: DIR (REASON)": a sub-directory the walk leaves out, and why.
inline constexpr std::string_view kSkippingDirectoryPiece = " Skipping directory: ";
inline constexpr std::string_view kOutputDirectoryReason = "the output directory";
inline constexpr std::string_view kLinkToDirectoryReason = "a link to a directory, not followed";

// Reasons of " Failed: " for entries that match but are no file to read.
inline constexpr std::string_view kNotRegularFileReason = "not a regular file";  // a pipe, a device
inline constexpr std::string_view kDanglingLinkReason = "dangling link";
inline constexpr std::string_view kVanishedReason = "gone before it was read";
// After a failure's reason when a file was already at the output: it is never removed.
inline constexpr std::string_view kOldOutputLeftPiece = "; the file already at the output was left as it was";

}  // namespace tramblix
