#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/option_rules.h"
#include "engine/quality_table.h"
#include "engine/target.h"

namespace tramblix::cli {

namespace {

// Options without a short name get a key below ' ', which no short option can spell.
constexpr char kLossless = 1, kStrip = 2, kSkipExisting = 3, kShard = 4, kFilesFrom = 5, kTarget = 6,
               kTargetDistance = 7, kStdout = 8, kReport = 9, kReportFile = 10, kMinSaving = 11, kSkipBelowQuality = 12,
               kProgress = 13, kKeep = 14, kStripGps = 15, kPrimaryOnly = 16, kMemory = 17;

struct OptionInfo {
    char shortName;
    const char* longName;
    bool takesValue;
};

constexpr OptionInfo kOptions[] = {
    {'l', "level", true},
    {'a', "ai", true},
    {'j', "jobs", true},
    {'R', "no-recurse", false},
    {'q', "quiet", false},
    {'h', "help", false},
    {'V', "version", false},
    {'e', "encoder", true},
    {kLossless, "lossless", false},
    {kStrip, "strip", false},
    {kPrimaryOnly, "primary-only", false},
    {'p', "preserve", false},
    {'x', "extensions", true},
    {kSkipExisting, "skip-existing", false},
    {kShard, "shard", true},
    {kFilesFrom, "files-from", true},
    {'0', "null", false},
    {kTarget, "target", true},
    {kTargetDistance, "target-distance", true},
    {'o', "output-dir", true},
    {'i', "in-place", false},
    {kStdout, "stdout", false},
    {kReport, "report", true},
    {kReportFile, "report-file", true},
    {'n', "dry-run", false},
    {kMinSaving, "min-saving", true},
    {kSkipBelowQuality, "skip-below-quality", true},
    {kProgress, "progress", false},
    {kKeep, "keep", true},
    {kStripGps, "strip-gps", false},
    {kMemory, "memory", true},
};

std::optional<long> ParseNumber(const std::string& text)
{
    long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

// A size as GNU tools write it: bytes, or K, M, G, T (also KiB ... TiB) for powers of 1024 and
// KB, MB, GB, TB for powers of 1000.
std::optional<std::uint64_t> ParseSize(const std::string& text)
{
    std::uint64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (end == first || error != std::errc())
        return std::nullopt;
    const std::string unit(end, last);
    static constexpr const char* kPowers = "KMGT";
    std::uint64_t scale = 1;
    if (!unit.empty()) {
        const char* power = std::strchr(kPowers, std::toupper(static_cast<unsigned char>(unit[0])));
        const std::string rest = unit.substr(1);
        if (power == nullptr || unit[0] == '\0' || !(rest.empty() || rest == "iB" || rest == "B"))
            return std::nullopt;
        const std::uint64_t base = rest == "B" ? 1000 : 1024;
        for (const char* p = kPowers; p <= power; ++p)
            scale *= base;
    }
    if (value > std::numeric_limits<std::uint64_t>::max() / scale)
        return std::nullopt;
    return value * scale;
}

std::optional<double> ParseDecimal(const std::string& text, double low, double high)
{
    double value = 0.0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || error != std::errc() || end != last || !(value >= low) || !(value <= high))
        return std::nullopt;
    return value;
}

std::optional<double> ParseDistance(const std::string& text)
{
    return ParseDecimal(text, kMinTargetDistance, kMaxTargetDistance);
}

// Outputs keep their input's name, so only names that say JPEG may be picked.
constexpr const char* kJpegExtensions[] = {"jpg", "jpeg", "jpe", "jfif"};

std::string ParseExtensions(const std::string& value, std::vector<std::string>& extensions)
{
    std::vector<std::string> parsed;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty() && item[0] == '.')
            item.erase(0, 1);
        std::transform(item.begin(), item.end(), item.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        if (std::find(std::begin(kJpegExtensions), std::end(kJpegExtensions), item) == std::end(kJpegExtensions))
            return "invalid extension '" + item + "' in '" + value + "' (expected a list of jpg, jpeg, jpe, jfif)";
        if (std::find(parsed.begin(), parsed.end(), item) == parsed.end())
            parsed.push_back(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    extensions = std::move(parsed);
    return {};
}

std::string ParseShard(const std::string& value, unsigned& index, unsigned& count)
{
    const std::size_t slash = value.find('/');
    const std::string error = "invalid shard '" + value + "' (expected K/N, K from 0 to N-1, N from 1 to 1000000)";
    if (slash == std::string::npos)
        return error;
    const auto k = ParseNumber(value.substr(0, slash));
    const auto n = ParseNumber(value.substr(slash + 1));
    if (!k || !n || *n < 1 || *n > 1000000 || *k < 0 || *k >= *n)
        return error;
    index = static_cast<unsigned>(*k);
    count = static_cast<unsigned>(*n);
    return {};
}

// "exif,icc" -> the kinds' bits; "none" keeps none.
std::string ParseKeep(const std::string& value, unsigned& kinds)
{
    constexpr std::pair<const char*, unsigned> kKinds[] = {{"exif", kMetadataExif},
                                                           {"xmp", kMetadataXmp},
                                                           {"iptc", kMetadataIptc},
                                                           {"icc", kMetadataIcc},
                                                           {"comment", kMetadataComment}};
    unsigned parsed = 0;
    if (value != "none") {
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = value.find(',', start);
            const std::string item =
                value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            const auto* found = std::find_if(std::begin(kKinds), std::end(kKinds),
                                             [&](const auto& kind) { return item == kind.first; });
            if (found == std::end(kKinds))
                return "invalid metadata kind '" + item + "' in '" + value +
                       "' (expected a list of exif, xmp, iptc, icc, comment, or none)";
            parsed |= found->second;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    kinds = parsed;
    return {};
}

// Applies one option; returns an error text, empty on success.
std::string Apply(CommandLine& cl, const OptionInfo& option, const std::string& value)
{
    const std::string name = std::string("--") + option.longName;
    auto ranged = [&](long low, long high) -> std::optional<long> {
        const auto number = ParseNumber(value);
        if (!number || *number < low || *number > high)
            return std::nullopt;
        return number;
    };
    switch (option.shortName) {
    case 'l': {
        const auto n = ranged(1, 10);
        if (!n)
            return "invalid compression level '" + value + "' (expected a whole number from 1 to 10)";
        cl.settings.level = static_cast<unsigned>(*n);
        cl.levelGiven = true;
        break;
    }
    case 'a': {
        const auto n = ranged(0, 5);
        if (!n)
            return "invalid AI level '" + value + "' (expected a whole number from 0 to 5)";
        cl.settings.strength = static_cast<FilterStrength>(*n);
        break;
    }
    case 'j': {
        const auto n = ranged(1, 1024);
        if (!n)
            return "invalid number of jobs '" + value + "' (expected a whole number from 1 to 1024)";
        cl.settings.jobs = static_cast<unsigned>(*n);
        break;
    }
    case kLossless: cl.settings.engine.lossless = true; break;
    case kStrip: cl.settings.engine.stripMetadata = true; break;
    case kPrimaryOnly: cl.settings.engine.primaryOnly = true; break;
    case kMemory: {
        const std::optional<std::uint64_t> bytes = ParseSize(value);
        if (!bytes || *bytes < (1ULL << 20))
            return "invalid memory size '" + value + "' (expected a size of at least 1M, such as 512M or 2G)";
        cl.settings.engine.memoryBudget = *bytes;
        break;
    }
    case 'p': cl.settings.engine.keepFileDates = true; break;
    case 'x': return ParseExtensions(value, cl.settings.extensions);
    case kSkipExisting: cl.settings.skipExisting = true; break;
    case kShard: return ParseShard(value, cl.settings.shardIndex, cl.settings.shardCount);
    case kFilesFrom:
        if (value.empty())
            return "option '--files-from' requires a file name ('-' for standard input)";
        cl.filesFrom = value;
        break;
    case '0': cl.nullSeparated = true; break;
    case kTarget:
    case kTargetDistance: {
        double& distance = cl.settings.engine.targetDistance;
        if (distance > 0)
            return "--target and --target-distance may be given only once, and not both";
        if (option.shortName == kTargetDistance) {
            const std::optional<double> parsed = ParseDistance(value);
            if (!parsed)
                return "invalid target distance '" + value + "' (expected a number from 0.1 to 15)";
            distance = *parsed;
        } else if (value == "visually-lossless") {
            distance = kVisuallyLosslessDistance;
        } else if (value == "high") {
            distance = kHighDistance;
        } else if (value == "good") {
            distance = kGoodDistance;
        } else {
            return "invalid target '" + value + "' (expected 'visually-lossless', 'high' or 'good')";
        }
        break;
    }
    case 'e':
        if (value == "standard")
            cl.settings.engine.encoder = Encoder::Standard;
        else if (value == "efficient")
            cl.settings.engine.encoder = Encoder::Efficient;
        else
            return "invalid encoder '" + value + "' (expected 'standard' or 'efficient')";
        break;
    case 'o':
        if (value.empty())
            return "option '--output-dir' requires a directory name";
        cl.outputDirectory = value;
        break;
    case 'i': cl.settings.mode.inPlace = true; break;
    case 'n': cl.settings.mode.dryRun = true; break;
    case kStdout: cl.toStdout = true; break;
    case kReport:
        if (value == "json")
            cl.report = ReportFormat::Json;
        else if (value == "csv")
            cl.report = ReportFormat::Csv;
        else
            return "invalid report format '" + value + "' (expected 'json' or 'csv')";
        break;
    case kReportFile:
        if (value.empty())
            return "option '--report-file' requires a file name";
        cl.reportFile = value;
        break;
    case kMinSaving: {
        const std::optional<double> percent = ParseDecimal(value, 0.0, 100.0);
        if (!percent)
            return "invalid saving '" + value + "' (expected a percentage from 0 to 100)";
        cl.settings.engine.minSaving = *percent / 100.0;
        break;
    }
    case kSkipBelowQuality: {
        const auto n = ranged(1, 100);
        if (!n)
            return "invalid quality '" + value + "' (expected a whole number from 1 to 100)";
        cl.settings.mode.skipAtOrBelowQuality = static_cast<int>(*n);
        break;
    }
    case kProgress: cl.progress = true; break;
    case kKeep: return ParseKeep(value, cl.settings.engine.keepMetadata);
    case kStripGps: cl.settings.engine.stripGps = true; break;
    case 'R': cl.settings.recurse = false; break;
    case 'q': cl.quiet = true; break;
    case 'h': cl.help = true; break;
    case 'V': cl.version = true; break;
    default: return "unknown option " + name;
    }
    return {};
}

// "Compression levels select the JPEG quality: 1=90, ...", from the quality table, wrapped as
// the rest of the help.
std::string LevelLine()
{
    std::string text = "Compression levels select the JPEG quality:";
    std::size_t lineStart = 0;
    for (CompressionLevel level = 1; level <= 10; ++level) {
        const std::string item =
            std::to_string(level) + "=" + std::to_string(QualityForLevel(level)) + (level < 10 ? "," : ".");
        if (text.size() - lineStart + 1 + item.size() > 80) {
            text += "\n";
            lineStart = text.size();
        } else {
            text += " ";
        }
        text += item;
    }
    return text + "\n";
}

}  // namespace

std::string HelpText()
{
    return "Usage: tramblix [OPTION]... INPUT OUTPUT\n"
           "  or:  tramblix [OPTION]... FILE... -o DIR\n"
           "  or:  tramblix [OPTION]... -i FILE...\n"
           "\n"
           "Make JPEG files smaller.\n"
           "\n"
           "With INPUT a file, compress it into the file OUTPUT and print how much was saved\n"
           "('-' as INPUT reads standard input, '-' as OUTPUT writes standard output).\n"
           "With INPUT a directory, compress every *.jpg file in it (letter case ignored) into\n"
           "the same place under the directory OUTPUT, printing one log line per file.\n"
           "With -o, compress each FILE into DIR under its own name (a directory's tree into\n"
           "DIR/its name); with -i, replace each FILE. Both log as a directory run does.\n"
           "An output is never larger than its input: when re-encoding does not make a file\n"
           "smaller, the output is an exact copy. Input files are never modified, except by\n"
           "--in-place, which replaces them.\n"
           "\n"
           "  -l, --level=N     compression level, 1 (least, best quality) to 10 (most); default 5\n"
           "  -a, --ai=N        AI level, 0 (off) to 5 (strongest edge lift, sharpening and\n"
           "                    speckle smoothing before encoding); default 0\n"
           "      --target=visually-lossless|high|good\n"
           "                    instead of a level, give each picture the coarsest JPEG\n"
           "                    quality (1-100) whose look stays within a butteraugli\n"
           "                    distance of the input: visually-lossless 1.0, high 2.0,\n"
           "                    good 3.0; much slower (trial encodes, the likely\n"
           "                    answers measured on the whole picture); AI levels count as\n"
           "                    loss here (level 1 alone often lies beyond 3.0: the\n"
           "                    input is kept)\n"
           "      --target-distance=D\n"
           "                    the same with a distance of your own, 0.1 to 15 (the\n"
           "                    largest over the picture; 1.0 is about visually lossless)\n"
           "  -e, --encoder=standard|efficient\n"
           "                    efficient writes about 10-18% fewer bytes at the same\n"
           "                    look (SSIMULACRA2), keeps a JPEG's own steps where the\n"
           "                    level asks for finer ones, keeps a JPEG it would shrink\n"
           "                    by less than 2%, never writes more than standard at the\n"
           "                    same level, and is 2-3 times slower; default standard\n"
           "      --lossless    rewrite the file's own DCT coefficients with better coding:\n"
           "                    not one pixel changes; the level does not apply, the AI\n"
           "                    level must be 0 and the encoder standard; JPEG inputs only\n"
           "      --strip       drop EXIF, XMP, IPTC and comments (a gain map's too) and a\n"
           "                    motion video's location; keep the ICC profile and the\n"
           "                    orientation (a minimal EXIF segment when it is not 1)\n"
           "      --keep=LIST   keep only these kinds of descriptive metadata, from exif,\n"
           "                    xmp, iptc, icc, comment (or none), and drop the others (a\n"
           "                    gain map's too; without exif, a motion video's location\n"
           "                    goes); the orientation stays (a minimal EXIF segment when\n"
           "                    EXIF goes); --strip is --keep=icc\n"
           "      --strip-gps   drop only location, however it is written: EXIF GPS\n"
           "                    directories; XMP properties (any namespace) named GPS...,\n"
           "                    Latitude, Longitude or AbsoluteAltitude, photoshop:City,\n"
           "                    State, Country, Iptc4xmpCore:Location, CountryCode,\n"
           "                    Iptc4xmpExt:LocationShown, LocationCreated and\n"
           "                    xmpDM:shotLocation, and all ExtendedXMP that holds any;\n"
           "                    IPTC city, sub-location, state, country and content\n"
           "                    location; in a motion video, \xc2\xa9xyz and loci boxes, items\n"
           "                    keyed as location or valued as an ISO 6709 point; the same\n"
           "                    in a gain map; what cannot be read to find it goes whole\n"
           "                    (XMP only when its text names a location)\n"
           "      --min-saving=PCT\n"
           "                    keep a JPEG input (a copy, or untouched in place) when the\n"
           "                    saving is below PCT percent; default 0, in place 1,\n"
           "                    efficient encoder 2\n"
           "      --skip-below-quality=Q\n"
           "                    leave alone JPEGs whose own luma table means a quality\n"
           "                    (1-100) at or below Q, so re-runs skip compressed photos\n"
           "      --primary-only\n"
           "                    drop what a phone photo carries after its main picture\n"
           "                    (an HDR gain map, a motion video) and the XMP properties\n"
           "                    locating or describing it (the rest of the XMP stays); by\n"
           "                    default it is kept, with --lossless and --strip too\n"
           "  -p, --preserve    give each output its input's access and modification times\n"
           "  -o, --output-dir=DIR\n"
           "                    every operand is an input: each FILE goes to DIR/its name,\n"
           "                    each directory's tree to DIR/its name/...; two operands\n"
           "                    that would write the same output are refused\n"
           "  -i, --in-place    replace each FILE (or each file in a directory operand) by\n"
           "                    its compressed version, only when smaller: written beside\n"
           "                    it, synced and renamed over it, keeping its mode, owner\n"
           "                    (where permitted) and extended attributes; a link's file is\n"
           "                    replaced and the link stays; a file with more than one hard\n"
           "                    link is left alone, and so is a phone photo whose gain map\n"
           "                    or video could not be kept (unless --primary-only); INPUTS\n"
           "                    ARE MODIFIED in this mode only\n"
           "      --stdout      write the picture to standard output (as OUTPUT '-'); the\n"
           "                    result line then goes to standard error\n"
           "  -n, --dry-run     compress in memory and report, writing nothing\n"
           "      --report=json|csv\n"
           "                    one record per file on standard output (the log then goes\n"
           "                    to standard error): input, output, status (compressed, kept,\n"
           "                    failed, skipped), reason, bytes_in, bytes_out, level,\n"
           "                    encoder, options, target_distance, quality, distance\n"
           "      --report-file=FILE\n"
           "                    write the report to FILE instead ('-': standard output)\n"
           "  -R, --no-recurse  directory mode: do not descend into sub-directories\n"
           "  -j, --jobs=N      directory mode: compress N files at once; default one per CPU\n"
           "                    the process may use (its affinity and cgroup CPU quota)\n"
           "      --memory=SIZE most memory the pictures in work may take at once, shared by\n"
           "                    all jobs (one waits for room); a picture that needs more\n"
           "                    alone fails; SIZE in bytes or with K, M, G (KiB, MiB, GiB;\n"
           "                    KB, MB, GB: powers of 1000); default 1G\n"
           "  -q, --quiet       print nothing but failures (their lines and a directory\n"
           "                    run's summary go to standard error)\n"
           "      --progress    show the progress line even when standard error is not a\n"
           "                    terminal, and with --quiet\n"
           "  -x, --extensions=LIST\n"
           "                    directory mode: take files with these extensions, letter case\n"
           "                    ignored, from jpg, jpeg, jpe, jfif; default jpg\n"
           "      --skip-existing\n"
           "                    directory mode: leave out files whose output exists, is not\n"
           "                    older than the input and is a complete, clean JPEG (or the\n"
           "                    input's exact copy), to resume an interrupted run\n"
           "      --shard=K/N   directory mode: run only part K (0 to N-1) of N disjoint parts,\n"
           "                    chosen by a hash of each file's path relative to INPUT\n"
           "      --files-from=FILE\n"
           "                    directory mode: take the files listed in FILE ('-': standard\n"
           "                    input), one per line (a CR before the line end is dropped),\n"
           "                    relative to INPUT or absolute under it\n"
           "  -0, --null        the --files-from list is separated by NUL bytes, not lines\n"
           "  -h, --help        display this help and exit\n"
           "  -V, --version     output version information and exit\n"
           "\n"
           "Directory mode lists the whole tree first, so the progress line (shown while\n"
           "standard error is a terminal) counts files done against the total, with the rate\n"
           "and the time left; the log lines come in that order whatever the number of jobs.\n"
           "A summary line goes to standard error at the end.\n"
           "An OUTPUT inside INPUT is left out of the walk and must be new, empty or made by an\n"
           "earlier run, which leaves a file .tramblix-output in it; one that holds other files\n"
           "is refused (exit status 2), as outputs could replace them.\n"
           "\n" +
           LevelLine() +
           "\n"
           "Exit status:\n"
           " 0  every file was compressed (or copied, when it could not be made smaller)\n"
           " 1  the only failures are inputs that cannot be compressed (damaged, not an\n"
           "    image, too large for the pixel or memory limits): a re-run will not change them\n"
           " 2  usage error, missing input, or input and output naming the same file\n"
           " 3  some work failed for a reason a re-run may mend (an output that could not\n"
           "    be written, an input or directory that could not be read or vanished, not\n"
           "    enough memory, standard output that could not be written) or was left\n"
           "    undone (a closed pipe on standard output stops the run)\n"
           "130 interrupted by Ctrl-C (143 by SIGTERM, 129 by SIGHUP); files in progress\n"
           "    are finished first, a second signal stops at once\n";
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine cl;
    auto failure = [](std::string text) { return ParseResult{std::nullopt, std::move(text)}; };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--") {
            cl.operands.insert(cl.operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                               arguments.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            cl.operands.push_back(arg);
            continue;
        }
        const OptionInfo* option = nullptr;
        std::optional<std::string> inlineValue;
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (const auto& candidate : kOptions)
                if (name == candidate.longName)
                    option = &candidate;
            if (!option)
                return failure("unrecognized option '" + arg + "'");
            if (eq != std::string::npos) {
                if (!option->takesValue)
                    return failure("option '--" + name + "' doesn't allow an argument");
                inlineValue = arg.substr(eq + 1);
            }
        } else {
            for (const auto& candidate : kOptions)
                if (arg[1] == candidate.shortName && candidate.shortName > ' ')
                    option = &candidate;
            if (!option)
                return failure(std::string("invalid option -- '") + arg[1] + "'");
            if (arg.size() > 2) {
                if (!option->takesValue)
                    return failure("options must be given separately: '" + arg + "'");
                inlineValue = arg.substr(2);
            }
        }
        std::string value;
        if (option->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return failure(std::string("option '--") + option->longName + "' requires an argument");
            }
        }
        if (std::string error = Apply(cl, *option, value); !error.empty())
            return failure(error);
    }
    // Under a lossless rewrite the level given or not is simply unused, as the help says.
    const OptionRules rules = RulesFor(cl.settings.engine);
    if (rules.aiLevel != OverriddenBy::Nothing && cl.settings.strength != 0)
        return failure("--lossless changes no pixel, so it takes no AI level (use --ai=0)");
    if (rules.encoder != OverriddenBy::Nothing && cl.settings.engine.encoder == Encoder::Efficient)
        return failure("--lossless keeps the file's own coding, so it takes no --encoder=efficient");
    if (rules.level == OverriddenBy::Target && cl.levelGiven)
        return failure("a target chooses the quality itself, so it takes no --level");
    if (rules.target != OverriddenBy::Nothing && cl.settings.engine.targetDistance > 0)
        return failure("--lossless changes no pixel, so it takes no target");
    if (cl.nullSeparated && !cl.filesFrom)
        return failure("option '--null' needs --files-from");
    if (cl.settings.engine.stripMetadata && cl.settings.engine.keepMetadata != kAllMetadata)
        return failure("--strip means --keep=icc: give one of them");
    // The same choice, made the way --strip has always made it.
    if (cl.settings.engine.keepMetadata == kMetadataIcc) {
        cl.settings.engine.stripMetadata = true;
        cl.settings.engine.keepMetadata = kAllMetadata;
    }
    const bool inPlace = cl.settings.mode.inPlace;
    if (inPlace && cl.outputDirectory)
        return failure("--in-place replaces each input, so it takes no --output-dir");
    if (inPlace && cl.toStdout)
        return failure("--in-place replaces each input, so it takes no --stdout");
    if (cl.outputDirectory && cl.toStdout)
        return failure("--output-dir and --stdout may not be given together");
    if ((inPlace || cl.outputDirectory || cl.toStdout) && (cl.filesFrom || cl.settings.skipExisting))
        return failure(std::string(cl.filesFrom ? "--files-from" : "--skip-existing") +
                       " needs the form INPUT-DIRECTORY OUTPUT-DIRECTORY");
    if (cl.reportFile && cl.report == ReportFormat::None)
        return failure("option '--report-file' needs --report=json|csv");
    // OUTPUT '-' is standard output as --stdout is: a record there would land inside the picture.
    const bool outputIsStream =
        !inPlace && !cl.outputDirectory && cl.operands.size() == 2 && cl.operands[1] == "-" && !cl.settings.mode.dryRun;
    // '-' names standard output, as it does for every GNU tool.
    const bool reportToStdout = !cl.reportFile || *cl.reportFile == "-";
    if ((cl.toStdout || outputIsStream) && cl.report != ReportFormat::None && reportToStdout)
        return failure("standard output carries the picture: give the report a --report-file");
    if (cl.reportFile && *cl.reportFile == "-")
        cl.reportFile.reset();
    return ParseResult{cl, {}};
}

}  // namespace tramblix::cli
