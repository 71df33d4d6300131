#pragma once

#include <string>

#include "batch/batch_run.h"
#include "cli/options.h"

namespace tramblix::cli {

// The machine-readable report (--report): one record per file, no summary record. JSON is one
// object per line; CSV starts with a header line. Fields, in this order: input, output, status
// (compressed, kept, failed, skipped), reason, bytes_in, bytes_out (0 when nothing was or would be
// written), level, encoder, options (those that changed the result), target_distance, quality,
// distance; a field that does not apply is null (JSON) or empty (CSV).

// The header line with its line end; empty for JSON.
std::string ReportHeader(ReportFormat format);

// The record of one file with its line end.
std::string ReportRecord(ReportFormat format, const FileReport& file, const CommandLine& commandLine);

}  // namespace tramblix::cli
