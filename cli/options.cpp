#include "options.h"

#include <charconv>

namespace tramblix::cli {

namespace {

struct OptionInfo {
    char shortName;
    const char* longName;
    bool takesValue;
};

constexpr OptionInfo kOptions[] = {
    {'l', "level", true}, {'a', "ai", true},     {'j', "jobs", true},     {'R', "no-recurse", false},
    {'q', "quiet", false}, {'h', "help", false}, {'V', "version", false},
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
                if (arg[1] == candidate.shortName)
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
    return ParseResult{cl, {}};
}

}  // namespace tramblix::cli
