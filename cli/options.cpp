#include "options.h"

#include <algorithm>
#include <charconv>

#include "engine/target.h"

namespace tramblix::cli {

namespace {

// Options without a short name get a key below ' ', which no short option can spell.
constexpr char kLossless = 1, kStrip = 2, kSkipExisting = 3, kShard = 4, kFilesFrom = 5, kTarget = 6,
               kTargetDistance = 7;

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
    {'p', "preserve", false},
    {'x', "extensions", true},
    {kSkipExisting, "skip-existing", false},
    {kShard, "shard", true},
    {kFilesFrom, "files-from", true},
    {'0', "null", false},
    {kTarget, "target", true},
    {kTargetDistance, "target-distance", true},
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

std::optional<double> ParseDistance(const std::string& text)
{
    double value = 0.0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || error != std::errc() || end != last || !(value >= kMinTargetDistance) ||
        !(value <= kMaxTargetDistance))
        return std::nullopt;
    return value;
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
        cl.level = static_cast<unsigned>(*n);
        cl.levelGiven = true;
        break;
    }
    case 'a': {
        const auto n = ranged(0, 5);
        if (!n)
            return "invalid AI level '" + value + "' (expected a whole number from 0 to 5)";
        cl.ai = static_cast<int>(*n);
        break;
    }
    case 'j': {
        const auto n = ranged(1, 1024);
        if (!n)
            return "invalid number of jobs '" + value + "' (expected a whole number from 1 to 1024)";
        cl.jobs = static_cast<unsigned>(*n);
        break;
    }
    case kLossless: cl.lossless = true; break;
    case kStrip: cl.strip = true; break;
    case 'p': cl.preserve = true; break;
    case 'x': return ParseExtensions(value, cl.extensions);
    case kSkipExisting: cl.skipExisting = true; break;
    case kShard: return ParseShard(value, cl.shardIndex, cl.shardCount);
    case kFilesFrom:
        if (value.empty())
            return "option '--files-from' requires a file name ('-' for standard input)";
        cl.filesFrom = value;
        break;
    case '0': cl.nullSeparated = true; break;
    case kTarget:
    case kTargetDistance: {
        if (cl.targetDistance)
            return "--target and --target-distance may be given only once, and not both";
        if (option.shortName == kTargetDistance) {
            cl.targetDistance = ParseDistance(value);
            if (!cl.targetDistance)
                return "invalid target distance '" + value + "' (expected a number from 0.1 to 15)";
        } else if (value == "visually-lossless") {
            cl.targetDistance = kVisuallyLosslessDistance;
        } else if (value == "high") {
            cl.targetDistance = kHighDistance;
        } else if (value == "good") {
            cl.targetDistance = kGoodDistance;
        } else {
            return "invalid target '" + value + "' (expected 'visually-lossless', 'high' or 'good')";
        }
        break;
    }
    case 'e':
        if (value == "standard")
            cl.encoder = Encoder::Standard;
        else if (value == "efficient")
            cl.encoder = Encoder::Efficient;
        else
            return "invalid encoder '" + value + "' (expected 'standard' or 'efficient')";
        break;
    case 'R': cl.recurse = false; break;
    case 'q': cl.quiet = true; break;
    case 'h': cl.help = true; break;
    case 'V': cl.version = true; break;
    default: return "unknown option " + name;
    }
    return {};
}

}  // namespace

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
    if (cl.lossless && cl.ai != 0)
        return failure("--lossless changes no pixel, so it takes no AI level (use --ai=0)");
    if (cl.lossless && cl.encoder == Encoder::Efficient)
        return failure("--lossless keeps the file's own coding, so it takes no --encoder=efficient");
    if (cl.targetDistance && cl.levelGiven)
        return failure("a target chooses the quality itself, so it takes no --level");
    if (cl.targetDistance && cl.lossless)
        return failure("--lossless changes no pixel, so it takes no target");
    if (cl.nullSeparated && !cl.filesFrom)
        return failure("option '--null' needs --files-from");
    return ParseResult{cl, {}};
}

}  // namespace tramblix::cli
