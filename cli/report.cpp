#include "cli/report.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "engine/quality_table.h"

namespace tramblix::cli {

namespace {

constexpr const char* kFields[] = {"input", "output",  "status",  "reason",          "bytes_in", "bytes_out",
                                   "level", "encoder", "options", "target_distance", "quality",  "distance"};

struct Value {
    std::optional<std::string> text;  // nothing: null
    bool number = false;
};

Value Text(std::string text)
{
    return {std::move(text), false};
}
Value Number(std::string text)
{
    return {std::move(text), true};
}
Value Null()
{
    return {};
}

std::string Decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

const char* Status(const FileReport& file)
{
    switch (file.outcome) {
    case FileReport::Outcome::Done: return file.kept ? "kept" : "compressed";
    case FileReport::Outcome::Failed: return "failed";
    case FileReport::Outcome::UpToDate:
    case FileReport::Outcome::Skipped: break;
    }
    return "skipped";
}

std::vector<std::string> ChangingOptions(const CommandLine& cl)
{
    const BatchSettings& s = cl.settings;
    std::vector<std::string> options;
    if (s.strength != 0)
        options.push_back("ai=" + std::to_string(s.strength));
    if (s.engine.lossless)
        options.push_back("lossless");
    if (s.engine.stripMetadata)
        options.push_back("strip");
    if (s.engine.keepMetadata != kAllMetadata) {
        std::string kinds;
        for (const auto& [bit, name] :
             {std::pair{kMetadataExif, "exif"}, std::pair{kMetadataXmp, "xmp"}, std::pair{kMetadataIptc, "iptc"},
              std::pair{kMetadataIcc, "icc"}, std::pair{kMetadataComment, "comment"}})
            if ((s.engine.keepMetadata & bit) != 0)
                kinds += (kinds.empty() ? "" : ",") + std::string(name);
        options.push_back("keep=" + (kinds.empty() ? std::string("none") : kinds));
    }
    if (s.engine.stripGps)
        options.push_back("strip-gps");
    if (s.engine.minSaving)
        options.push_back("min-saving=" + Decimal(*s.engine.minSaving * 100.0));
    if (s.mode.skipAtOrBelowQuality > 0)
        options.push_back("skip-below-quality=" + std::to_string(s.mode.skipAtOrBelowQuality));
    return options;
}

// Length of the well-formed UTF-8 sequence at `at`, 0 when the bytes there are none.
std::size_t Utf8Length(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80                    ? 1
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    const unsigned char second = length > 1 ? byte(at + 1) : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// File names are bytes and JSON is UTF-8: a byte that is no part of a UTF-8 character is written
// as a lone low surrogate (U+DC80..U+DCFF, as Python's surrogateescape reads it), so every record
// stays valid JSON and the name can still be told apart.
std::string JsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const std::size_t length = Utf8Length(text, at);
        char escaped[8];
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", 0xDC00u | static_cast<unsigned char>(c));
            quoted += escaped;
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted.append(text, at, length);
        }
        at += length == 0 ? 1 : length;
    }
    return quoted + "\"";
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

std::string ReportHeader(ReportFormat format)
{
    if (format != ReportFormat::Csv)
        return {};
    std::string line;
    for (const char* field : kFields)
        line += (line.empty() ? "" : ",") + std::string(field);
    return line + "\n";
}

std::string ReportRecord(ReportFormat format, const FileReport& file, const CommandLine& cl)
{
    const BatchSettings& s = cl.settings;
    const bool targeted = s.engine.targetDistance > 0.0;
    const bool done = file.outcome == FileReport::Outcome::Done;
    // The size on disk afterwards (a dry run's: what it would write): a kept or skipped file's is
    // its copy's, or in place its own, an up-to-date file's its output's; nothing of a failure.
    const bool sized = file.outcome != FileReport::Outcome::Failed;
    std::string reason = file.reason;
    if (file.outcome == FileReport::Outcome::UpToDate && reason.empty())
        reason = "output is up to date";
    const std::vector<std::string> options = ChangingOptions(cl);

    // Written, or for a file kept, the one tried.
    std::optional<int> quality;
    if (done && !s.engine.lossless)
        quality = targeted ? file.quality : QualityForLevel(s.level);
    const Value values[] = {
        Text(file.input),
        Text(file.output),
        Text(Status(file)),
        Text(reason),
        Number(std::to_string(file.inputSize)),
        Number(std::to_string(sized ? file.outputSize : 0)),
        targeted || s.engine.lossless ? Null() : Number(std::to_string(s.level)),
        Text(s.engine.lossless                        ? "lossless"
             : s.engine.encoder == Encoder::Efficient ? "efficient"
                                                      : "standard"),
        Null(),  // the list, written below
        targeted ? Number(Decimal(s.engine.targetDistance)) : Null(),
        quality && *quality > 0 ? Number(std::to_string(*quality)) : Null(),
        targeted && done && file.quality > 0 ? Number(Decimal(file.distance)) : Null(),
    };

    std::string line;
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        const Value& value = values[i];
        const bool isList = std::string_view(kFields[i]) == "options";
        if (format == ReportFormat::Json) {
            line += (i == 0 ? "{" : ",") + JsonString(kFields[i]) + ":";
            if (isList) {
                line += "[";
                for (std::size_t k = 0; k < options.size(); ++k)
                    line += (k == 0 ? "" : ",") + JsonString(options[k]);
                line += "]";
            } else {
                line += !value.text ? "null" : value.number ? *value.text : JsonString(*value.text);
            }
        } else {
            std::string text = value.text.value_or("");
            if (isList)
                for (const std::string& option : options)
                    text += (text.empty() ? "" : " ") + option;
            line += (i == 0 ? "" : ",") + CsvField(text);
        }
    }
    return line + (format == ReportFormat::Json ? "}\n" : "\n");
}

}  // namespace tramblix::cli
