// ParseCommandLine on argument lists, and the help text against the command-line reference.

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.h"

using namespace tramblix;
using tramblix::cli::CommandLine;

namespace {

// Every field, so that a case also fails when an option sets more than it should.
std::string Fields(const CommandLine& c)
{
    const BatchSettings& s = c.settings;
    std::ostringstream text;
    text << "level " << s.level << " strength " << s.strength << " encoder " << static_cast<int>(s.engine.encoder)
         << " lossless " << s.engine.lossless << " strip " << s.engine.stripMetadata << " dates "
         << s.engine.keepFileDates << " primary " << s.engine.primaryOnly << " recurse " << s.recurse << " jobs "
         << s.jobs << " skip " << s.skipExisting << " shard " << s.shardIndex << "/" << s.shardCount << " quiet "
         << c.quiet << " list " << c.filesFrom.value_or("(none)") << " nul " << c.nullSeparated << " help " << c.help
         << " version " << c.version << " out-dir " << c.outputDirectory.value_or("(none)") << " in-place "
         << s.mode.inPlace << " dry " << s.mode.dryRun << " skip-q " << s.mode.skipAtOrBelowQuality << " min-saving "
         << s.engine.minSaving.value_or(-1) << " stdout " << c.toStdout << " report " << static_cast<int>(c.report)
         << " report-file " << c.reportFile.value_or("(none)") << " progress " << c.progress << " keep "
         << s.engine.keepMetadata << " strip-gps " << s.engine.stripGps << " memory " << s.engine.memoryBudget
         << " work " << s.engine.workBudget << " threads " << s.engine.threads << " target " << s.engine.targetDistance
         << " level-given " << c.levelGiven << " jpeg-only " << s.mode.jpegOnly << " in " << s.inputDirectory << " out "
         << s.outputDirectory << " sources " << s.sources.size() << " files " << (s.files ? s.files->size() : 0)
         << " lister " << static_cast<bool>(s.lister) << " pointers "
         << (s.engine.inputs || s.engine.sweep || s.engine.memoryPool) << " extensions";
    for (const std::string& extension : s.extensions)
        text << " " << extension;
    text << " operands";
    for (const std::string& operand : c.operands)
        text << " [" << operand << "]";
    return text.str();
}

struct ParseCase {
    const char* name;
    std::vector<std::string> arguments;
    std::function<void(CommandLine&)> expected;  // applied to the defaults
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheSettings)
{
    const cli::ParseResult result = cli::ParseCommandLine(GetParam().arguments);
    ASSERT_TRUE(result.commandLine) << result.error;
    CommandLine expected;
    GetParam().expected(expected);
    EXPECT_EQ(Fields(*result.commandLine), Fields(expected));
}

using C = CommandLine;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Arguments, ParseTest, ::testing::Values(
    ParseCase{"Defaults", {"in", "out"}, [](C& c) { c.operands = {"in", "out"}; }},
    ParseCase{"LevelAndAiLong", {"--level", "3", "--ai=2"}, [](C& c) {
        c.settings.level = 3, c.settings.strength = 2, c.levelGiven = true; }},
    ParseCase{"LevelAndAiShort", {"-l10", "-a", "5"}, [](C& c) {
        c.settings.level = 10, c.settings.strength = 5, c.levelGiven = true; }},
    ParseCase{"TargetVisuallyLossless", {"--target=visually-lossless"}, [](C& c) { c.settings.engine.targetDistance = 1; }},
    ParseCase{"TargetHigh", {"--target", "high"}, [](C& c) { c.settings.engine.targetDistance = 2; }},
    ParseCase{"TargetGood", {"--target=good"}, [](C& c) { c.settings.engine.targetDistance = 3; }},
    ParseCase{"TargetDistance", {"--target-distance=2.5"}, [](C& c) { c.settings.engine.targetDistance = 2.5; }},
    ParseCase{"Encoder", {"-e", "efficient"}, [](C& c) { c.settings.engine.encoder = Encoder::Efficient; }},
    ParseCase{"EngineSwitches", {"--lossless", "--strip", "-p"}, [](C& c) {
        c.settings.engine.lossless = c.settings.engine.stripMetadata = c.settings.engine.keepFileDates = true; }},
    ParseCase{"PrimaryOnly", {"--primary-only"}, [](C& c) { c.settings.engine.primaryOnly = true; }},
    ParseCase{"RunSwitches", {"-R", "-q", "--jobs=4", "--skip-existing", "--shard", "2/3"}, [](C& c) {
        c.settings.recurse = false, c.quiet = c.settings.skipExisting = true;
        c.settings.jobs = 4, c.settings.shardIndex = 2, c.settings.shardCount = 3; }},
    ParseCase{"Extensions", {"-x", ".JPEG,jpg,jpeg"}, [](C& c) { c.settings.extensions = {"jpeg", "jpg"}; }},
    ParseCase{"FileList", {"--files-from=-", "-0"}, [](C& c) { c.filesFrom = "-", c.nullSeparated = true; }},
    ParseCase{"DashDashEndsOptions", {"-", "--", "-l", "x"}, [](C& c) { c.operands = {"-", "-l", "x"}; }},
    ParseCase{"HelpAndVersion", {"-h", "--version"}, [](C& c) { c.help = c.version = true; }},
    ParseCase{"OutputDirectory", {"a", "-o", "d", "b"}, [](C& c) { c.outputDirectory = "d", c.operands = {"a", "b"}; }},
    ParseCase{"InPlace", {"-i", "-n", "x"}, [](C& c) {
        c.settings.mode.inPlace = c.settings.mode.dryRun = true, c.operands = {"x"}; }},
    ParseCase{"StreamsAndReport", {"--stdout", "-", "--report=csv", "--report-file", "r.csv", "--progress"}, [](C& c) {
        c.toStdout = c.progress = true, c.report = cli::ReportFormat::Csv, c.reportFile = "r.csv", c.operands = {"-"}; }},
    ParseCase{"ReportFileDashIsStandardOutput", {"--report=json", "--report-file=-"}, [](C& c) {
        c.report = cli::ReportFormat::Json; }},
    ParseCase{"KeepAndStripGps", {"--keep=exif,comment", "--strip-gps"}, [](C& c) {
        c.settings.engine.keepMetadata = kMetadataExif | kMetadataComment, c.settings.engine.stripGps = true; }},
    ParseCase{"KeepIccIsStrip", {"--keep", "icc"}, [](C& c) { c.settings.engine.stripMetadata = true; }},
    ParseCase{"KeepNone", {"--keep=none"}, [](C& c) { c.settings.engine.keepMetadata = 0; }},
    ParseCase{"Thresholds", {"--min-saving=2.5", "--skip-below-quality", "80"}, [](C& c) {
        c.settings.engine.minSaving = 0.025, c.settings.mode.skipAtOrBelowQuality = 80; }},
    ParseCase{"MemoryBinary", {"--memory=512M"}, [](C& c) { c.settings.engine.memoryBudget = 512ULL << 20; }},
    ParseCase{"MemoryGiB", {"--memory", "2GiB"}, [](C& c) { c.settings.engine.memoryBudget = 2ULL << 30; }},
    ParseCase{"MemoryDecimal", {"--memory=3GB"}, [](C& c) { c.settings.engine.memoryBudget = 3'000'000'000ULL; }},
    ParseCase{"MemoryBytes", {"--memory=1048576"}, [](C& c) { c.settings.engine.memoryBudget = 1ULL << 20; }}),
    [](const auto& info) { return std::string(info.param.name); });

// The start of the message each refused list gives.
const std::pair<std::vector<std::string>, std::string> kRefused[] = {
    {{"--level", "11"}, "invalid compression level '11' (expected a whole number from 1 to 10)"},
    {{"-l", "5x"}, "invalid compression level '5x'"},
    {{"--ai=-1"}, "invalid AI level '-1' (expected a whole number from 0 to 5)"},
    {{"-j0"}, "invalid number of jobs '0' (expected a whole number from 1 to 1024)"},
    {{"--bogus"}, "unrecognized option '--bogus'"},
    {{"-z"}, "invalid option -- 'z'"},
    {{"--encoder=fast"}, "invalid encoder 'fast' (expected 'standard' or 'efficient')"},
    {{"-e"}, "option '--encoder' requires an argument"},
    {{"--target=high", "--level=3"}, "a target chooses the quality itself, so it takes no --level"},
    {{"--target-distance=2", "--lossless"}, "--lossless changes no pixel, so it takes no target"},
    {{"--target=good", "--target-distance=2"}, "--target and --target-distance may be given only once"},
    {{"--target=best"}, "invalid target 'best'"},
    {{"--target-distance=0"}, "invalid target distance '0'"},
    {{"--target-distance=2x"}, "invalid target distance '2x'"},
    {{"--strip=1"}, "option '--strip' doesn't allow an argument"},
    {{"-Rq"}, "options must be given separately: '-Rq'"},
    {{"--extensions=png"}, "invalid extension 'png' in 'png' (expected a list of jpg, jpeg, jpe, jfif)"},
    {{"-x", "jpg,"}, "invalid extension '' in 'jpg,'"},
    {{"--shard=3/3"}, "invalid shard '3/3' (expected K/N, K from 0 to N-1, N from 1 to 1000000)"},
    {{"--shard=1"}, "invalid shard '1'"},
    {{"--lossless", "-a", "1"}, "--lossless changes no pixel, so it takes no AI level (use --ai=0)"},
    {{"--encoder=efficient", "--lossless"}, "--lossless keeps the file's own coding, so it takes no --encoder=efficient"},
    {{"-0"}, "option '--null' needs --files-from"},
    {{"--files-from="}, "option '--files-from' requires a file name ('-' for standard input)"},
    {{"-i", "-o", "d"}, "--in-place replaces each input, so it takes no --output-dir"},
    {{"--stdout", "--in-place"}, "--in-place replaces each input, so it takes no --stdout"},
    {{"-o", "d", "--stdout"}, "--output-dir and --stdout may not be given together"},
    {{"-o", "d", "--files-from=l"}, "--files-from needs the form INPUT-DIRECTORY OUTPUT-DIRECTORY"},
    {{"-i", "--skip-existing"}, "--skip-existing needs the form INPUT-DIRECTORY OUTPUT-DIRECTORY"},
    {{"--output-dir="}, "option '--output-dir' requires a directory name"},
    {{"--report=xml"}, "invalid report format 'xml' (expected 'json' or 'csv')"},
    {{"--report-file=r"}, "option '--report-file' needs --report=json|csv"},
    {{"--stdout", "--report=json"}, "standard output carries the picture: give the report a --report-file"},
    {{"--report=csv", "a.jpg", "-"}, "standard output carries the picture: give the report a --report-file"},
    {{"--stdout", "--report=csv", "--report-file=-"}, "standard output carries the picture"},
    {{"--min-saving=101"}, "invalid saving '101' (expected a percentage from 0 to 100)"},
    {{"--min-saving=5%"}, "invalid saving '5%'"},
    {{"--skip-below-quality=0"}, "invalid quality '0' (expected a whole number from 1 to 100)"},
    {{"-in"}, "options must be given separately: '-in'"},
    {{"--keep=exif,gps"}, "invalid metadata kind 'gps' in 'exif,gps' (expected a list of exif, xmp, iptc, icc, comment, or none)"},
    {{"--strip", "--keep=exif"}, "--strip means --keep=icc: give one of them"},
    {{"--memory=1000KB"}, "invalid memory size '1000KB' (expected a size of at least 1M, such as 512M or 2G)"},
    {{"--memory=1.5G"}, "invalid memory size '1.5G'"},
    {{"--memory=2Gb"}, "invalid memory size '2Gb'"},
    {{"--memory=99999999999T"}, "invalid memory size '99999999999T'"},
};
// clang-format on

TEST(ParseRefusal, GivesTheUsageError)
{
    for (const auto& [arguments, error] : kRefused) {
        const cli::ParseResult result = cli::ParseCommandLine(arguments);
        EXPECT_FALSE(result.commandLine) << error;
        EXPECT_EQ(result.error.substr(0, error.size()), error);
    }
}

// The command-line reference shows the usage line and the option list as --help prints them.
TEST(HelpTest, ReferenceShowsTheOptionsAsHelpPrintsThem)
{
    const std::string help = cli::HelpText();
    const std::string optionsStart = "\n  -l, --level=N", optionsEnd = "exit\n";
    const std::size_t first = help.find(optionsStart), last = help.find(optionsEnd, help.find("--version"));
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    const std::string block =
        help.substr(0, help.find("\n\n") + 1) + help.substr(first, last + optionsEnd.size() - first);
    std::ifstream in(TRAMBLIX_SOURCE_DIR "/docs/cli.md");
    std::stringstream readme;
    readme << in.rdbuf();
    EXPECT_NE(readme.str().find("```\n" + block + "```\n"), std::string::npos) << block;
    EXPECT_NE(help.find("quality: 1=90, 2=80, 3=70, 4=60, 5=50, 6=40,\n7=30, 8=25, 9=20, 10=15.\n"), std::string::npos);
}

}  // namespace
