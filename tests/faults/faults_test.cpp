// Faults from outside the program: hostile files, a disk that is full or cannot be written,
// inputs that change under a run, a run cancelled half-way. Whatever happens, the inputs stay
// byte-for-byte as they were, no output is larger than its input, nothing half-written or
// temporary remains, and the log or the exit status says what failed.

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <ostream>
#include <thread>

#include "batch/runner.h"
#include "engine/compress.h"
#include "fault_support.h"

namespace tramblix::faults {
namespace {

// A file's bytes cut after `keep` of them (negative: that many dropped from the end).
std::string Cut(const std::string& bytes, long keep)
{
    const long size = static_cast<long>(bytes.size());
    return bytes.substr(0, static_cast<std::size_t>(keep >= 0 ? keep : size + keep));
}

// The same picture with its frame header (baseline or progressive) saying 65535 x 65535.
std::string AnnouncingHugeSize(std::string jpeg)
{
    for (std::size_t at = 2; at + 9 < jpeg.size(); ++at) {
        if (jpeg[at] == '\xFF' && (jpeg[at + 1] == '\xC0' || jpeg[at + 1] == '\xC2')) {
            jpeg.replace(at + 5, 4, "\xFF\xFF\xFF\xFF");
            break;
        }
    }
    return jpeg;
}

std::uint32_t Crc(const std::string& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Be32(std::uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A PNG header for `width` x `height` grey pixels followed by `rows` rows of black (stored zlib
// blocks, so no compressor is needed).
std::string Png(std::uint32_t width, std::uint32_t height, std::uint32_t rows)
{
    auto chunk = [](const std::string& type, const std::string& body) {
        return Be32(static_cast<std::uint32_t>(body.size())) + type + body + Be32(Crc(type + body));
    };
    std::string png = "\x89PNG\r\n\x1A\n";
    png += chunk("IHDR", Be32(width) + Be32(height) + std::string("\x08\x00\x00\x00\x00", 5));
    {
        const std::string raw(static_cast<std::size_t>(rows) * (width + 1), '\0');  // filter 0, black
        std::string z = "\x78\x01";
        std::uint32_t a = 1, b = 0;
        for (std::size_t at = 0; at < raw.size(); at += 65535) {
            const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
            z += static_cast<char>(at + n == raw.size() ? 1 : 0);
            z += {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), static_cast<char>(~n & 0xFF),
                  static_cast<char>((~n >> 8) & 0xFF)};
            z += raw.substr(at, n);
        }
        for (unsigned char c : raw) {
            a = (a + c) % 65521;
            b = (b + a) % 65521;
        }
        z += Be32((b << 16) | a);
        png += chunk("IDAT", z);
    }
    return png + chunk("IEND", "");
}

struct Hostile {
    const char* name;
    std::function<std::string()> bytes;
    const char* reason;  // what the failure line and the message say
};

const Hostile kHostile[] = {
    {"zero_length", [] { return std::string(); }, "not a decodable image (empty file)"},
    {"garbage",
     [] {
         std::mt19937 random(7);
         std::string bytes(3000, '\0');
         for (char& c : bytes)
             c = static_cast<char>(random());
         return bytes;
     },
     "not a decodable image"},
    {"text", [] { return std::string("Not a picture at all.\n"); }, "not a decodable image"},
    {"jpeg_start_only", [] { return Cut(Photo(64, 48), 2); }, "damaged image data"},
    {"jpeg_cut_in_header", [] { return Cut(Photo(64, 48), 300); }, "damaged image data"},
    {"jpeg_cut_in_half",
     [] {
         const std::string p = Photo(64, 48);
         return Cut(p, static_cast<long>(p.size() / 2));
     },
     "damaged image data"},
    {"jpeg_without_its_end", [] { return Cut(Photo(64, 48), -2); }, "damaged image data"},
    {"jpeg_65535_x_65535", [] { return AnnouncingHugeSize(Photo(16, 16)); }, "image too large"},
    {"png_65535_x_65535", [] { return Png(65535, 65535, 1); }, "image too large"},
    {"png_wider_than_jpeg_allows", [] { return Png(70000, 2, 2); }, "image too large"},
    {"png_cut_in_half",
     [] {
         const std::string p = Png(300, 200, 200);
         return Cut(p, static_cast<long>(p.size() / 2));
     },
     "damaged image data"},
};

// Test names in ctest stay readable.
void PrintTo(const Hostile& hostile, std::ostream* os)
{
    *os << hostile.name;
}

class HostileFileTest : public FaultTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileFileTest, FailsCleanlyAndSaysWhy)
{
    const Hostile& hostile = GetParam();
    const fs::path input = root / "in" / "file.jpg";
    Put(input, hostile.bytes());
    // An earlier output may be the only good copy left of a photo that has since rotted.
    const std::string earlier = Photo(8, 8);
    Put(root / "out" / "file.jpg", earlier);
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(Tramblix({"--ai", "5", input.string(), (root / "out" / "file.jpg").string()}, root));

    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out, "Could not create file.\n");
    EXPECT_NE(run.err.find(std::string(": ") + hostile.reason), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("left as it was"), std::string::npos) << run.err;
    EXPECT_EQ(Slurp(root / "out" / "file.jpg"), earlier);
    fs::remove(root / "out" / "file.jpg");  // not this run's: what follows checks what it wrote
    ExpectNoHarm(before, root / "in", root / "out");
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFileTest, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, HostileFilesInATreeEachGetTheirLineAndTheRunFails)
{
    for (const Hostile& hostile : kHostile)
        Put(root / "in" / "sub" / (std::string(hostile.name) + ".jpg"), hostile.bytes());
    Put(root / "in" / "good.jpg", Photo(96, 64));
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(Tramblix({"--ai", "5", (root / "in").string(), (root / "out").string()}, root));

    EXPECT_EQ(run.exitCode, 1);
    ExpectNoHarm(before, root / "in", root / "out");
    for (const Hostile& hostile : kHostile) {
        const std::string name = "sub/" + std::string(hostile.name) + ".jpg";
        const std::string line = LineFor(run.out, (root / "in" / name).string());
        EXPECT_NE(line.find(std::string(" Failed: ") + hostile.reason), std::string::npos) << line;
        EXPECT_FALSE(fs::exists(root / "out" / name));
    }
    EXPECT_NE(LineFor(run.out, (root / "in" / "good.jpg").string()).find(" Reduced by: "), std::string::npos);
    EXPECT_NE(run.err.find("1 file done (1 compressed, 0 kept), " + std::to_string(std::size(kHostile)) + " failed"),
              std::string::npos)
        << run.err;
}

// A small photo and three larger ones.
Tree PhotosIn(const fs::path& dir)
{
    Put(dir / "p0.jpg", Photo(24, 16));
    for (int i = 1; i < 4; ++i)
        Put(dir / ("p" + std::to_string(i) + ".jpg"), Photo(320, 240, static_cast<unsigned>(i)));
    return Snapshot(dir);
}

// The size of a file's output at `level`, as the engine makes it.
std::uintmax_t OutputSize(const std::string& input, CompressionLevel level)
{
    std::vector<std::uint8_t> output;
    CompressBuffer(Bytes(input.begin(), input.end()), level, output, 0);
    return output.size();
}

TEST_F(FaultTest, OutputDirectoryThatCannotBeWritten)
{
    const Tree before = PhotosIn(root / "in");
    fs::create_directories(root / "out");
    Launch launch = Tramblix({(root / "in").string(), (root / "out").string()}, root);
    if (::geteuid() == 0)  // root writes anywhere on disk: a read-only file system stops it
        launch.mount = PrivateMount{root / "out", "size=1m", true, root / "mirror"};
    else
        fs::permissions(root / "out", fs::perms::owner_read | fs::perms::owner_exec);

    const RunResult run = Execute(launch);
    if (run.skipped)
        GTEST_SKIP() << run.skipReason;

    EXPECT_EQ(run.exitCode, 1);  // a person has to act: no re-run mends it by itself
    for (const auto& [name, bytes] : before)
        EXPECT_TRUE(LineFor(run.out, (root / "in" / name).string()).find(" Failed: cannot write the output file (") !=
                    std::string::npos)
            << run.out;
    ExpectNoHarm(before, root / "in", launch.mount ? root / "mirror" : root / "out");
    EXPECT_TRUE(Snapshot(launch.mount ? root / "mirror" : root / "out").empty());
}

// A disk that fills up part-way: the outputs that fit are complete, the others fail with their
// line and leave nothing, and the run says so in its status.
enum class FullDisk { FileSizeLimit, SmallFileSystem };

const char* Name(FullDisk kind)
{
    return kind == FullDisk::FileSizeLimit ? "FileSizeLimit" : "SmallFileSystem";
}

void PrintTo(FullDisk kind, std::ostream* os)
{
    *os << Name(kind);
}

class FullDiskTest : public FaultTest, public ::testing::WithParamInterface<FullDisk> {};

TEST_P(FullDiskTest, OutputsThatDoNotFitFailAndLeaveNothing)
{
    const Tree before = PhotosIn(root / "in");
    std::uintmax_t large = SIZE_MAX;  // the smallest of the large outputs
    for (int i = 1; i < 4; ++i)
        large = std::min(large, OutputSize(before.at("p" + std::to_string(i) + ".jpg"), 1));
    Launch launch = Tramblix({"--level", "1", "--jobs", "1", (root / "in").string(), (root / "out").string()}, root);
    fs::path outputs = root / "out";
    if (GetParam() == FullDisk::FileSizeLimit) {
        // The limit stops every write past it, as a full disk would: only the small photo fits.
        launch.limits = {{RLIMIT_FSIZE, static_cast<rlim_t>(large / 2)}};
    } else {
        // Room for the small photo and one or two large ones (a tmpfs counts whole pages).
        fs::create_directories(root / "out");
        const std::uintmax_t pages = 2 + 2 * (large / 4096 + 1);
        launch.mount = PrivateMount{root / "out", "size=" + std::to_string(pages * 4096), false, root / "mirror"};
        outputs = root / "mirror";
    }

    const RunResult run = Execute(launch);
    if (run.skipped)
        GTEST_SKIP() << run.skipReason;

    EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
    EXPECT_EQ(run.exitCode, 3) << run.err;
    ExpectNoHarm(before, root / "in", outputs);
    int failed = 0;
    for (const auto& [name, bytes] : before) {
        const std::string line = LineFor(run.out, (root / "in" / name).string());
        if (line.find(" Failed: cannot write the output file (") != std::string::npos) {
            ++failed;
            EXPECT_FALSE(fs::exists(outputs / name));
        } else {
            EXPECT_NE(line.find(" Reduced by: "), std::string::npos) << line;
            EXPECT_TRUE(fs::exists(outputs / name)) << name;
        }
    }
    EXPECT_GT(failed, 0) << run.out;
    EXPECT_TRUE(fs::exists(outputs / "p0.jpg")) << "what fitted is kept";
}

INSTANTIATE_TEST_SUITE_P(Kinds, FullDiskTest, ::testing::Values(FullDisk::FileSizeLimit, FullDisk::SmallFileSystem),
                         [](const auto& info) { return std::string(Name(info.param)); });

// Something that is not a file where an output goes is never replaced: a directory keeps its
// contents, and a device or a pipe stays what it is (renaming a file over /dev/null would swap
// the device for a file).
struct Taken {
    fs::file_type type;
    const char* name;
};

void PrintTo(const Taken& taken, std::ostream* os)
{
    *os << taken.name;
}

class OutputPathTest : public FaultTest, public ::testing::WithParamInterface<Taken> {};

TEST_P(OutputPathTest, ThatIsNoFileIsLeftAsItIs)
{
    const std::string photo = Photo(96, 64);
    Put(root / "in" / "a.jpg", photo);
    Put(root / "in" / "b.jpg", photo);
    const fs::path taken = root / "out" / "a.jpg";
    fs::create_directories(root / "out");
    const fs::file_type type = GetParam().type;
    switch (type) {
    case fs::file_type::directory: Put(taken / "keep.txt", "not to be lost"); break;
    case fs::file_type::fifo: ASSERT_EQ(::mkfifo(taken.c_str(), 0644), 0); break;
    default:
        if (::mknod(taken.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)  // a null device, as /dev/null
            GTEST_SKIP() << "no rights to make a device here";
    }
    const Tree before = Snapshot(root / "in");

    const RunResult single = Execute(Tramblix({(root / "in" / "a.jpg").string(), taken.string()}, root));
    EXPECT_EQ(single.exitCode, 1);
    EXPECT_NE(single.err.find("cannot write the output file"), std::string::npos) << single.err;

    const RunResult tree = Execute(Tramblix({(root / "in").string(), (root / "out").string()}, root));
    EXPECT_EQ(tree.exitCode, 1);
    EXPECT_TRUE(LineFor(tree.out, (root / "in" / "a.jpg").string()).find(" Failed: cannot write the output file (") !=
                std::string::npos)
        << tree.out;
    EXPECT_NE(LineFor(tree.out, (root / "in" / "b.jpg").string()).find(" Reduced by: "), std::string::npos);

    EXPECT_EQ(fs::symlink_status(taken).type(), type);
    if (type == fs::file_type::directory) {
        EXPECT_EQ(Slurp(taken / "keep.txt"), "not to be lost");
    }
    ExpectNoHarm(before, root / "in", root / "out");
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputPathTest,
                         ::testing::Values(Taken{fs::file_type::directory, "Directory"},
                                           Taken{fs::file_type::fifo, "Pipe"},
                                           Taken{fs::file_type::character, "Device"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, NameAtTheLengthLimitIsCompressed)
{
    // 255 bytes, the most a name may have: the temporary name beside the output must still fit.
    const std::string name = std::string(251, 'n') + ".jpg";
    Put(root / "in" / name, Photo(96, 64));
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(Tramblix({(root / "in").string(), (root / "out").string()}, root));

    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(fs::exists(root / "out" / name));
    ExpectNoHarm(before, root / "in", root / "out");
}

// ---- Inputs that change while a run goes ----

// The run's own log line for a.jpg is the moment to strike: with one job, b.jpg and c.jpg have
// been listed but not yet read.
TEST_F(FaultTest, InputsRemovedOrReplacedDuringARun)
{
    const std::string photo = Photo(96, 64);
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"})
        Put(root / "in" / name, photo);
    const std::string replacement = Photo(80, 80, 9);

    BatchSettings settings;
    settings.inputDirectory = (root / "in").string();
    settings.outputDirectory = (root / "out").string();
    settings.jobs = 1;
    std::vector<LogLine> log;
    bool struck = false;
    BatchRunner runner(settings, {[&](const LogLine& line) {
                                      log.push_back(line);
                                      if (struck || line.kind != LogKind::FileDone)
                                          return;
                                      struck = true;
                                      fs::remove(root / "in" / "b.jpg");
                                      Put(root / "in" / "c.jpg", replacement);
                                      Put(root / "in" / "d.jpg", "garbage now");
                                  },
                                  {}});
    const Tree replaced{{"a.jpg", photo}, {"c.jpg", replacement}, {"d.jpg", "garbage now"}};

    const BatchProgress progress = runner.Run();

    EXPECT_EQ(progress.filesDone, 2u);    // a, and c with its new contents
    EXPECT_EQ(progress.filesFailed, 2u);  // b, gone before it was read, and d
    ASSERT_EQ(log.size(), 6u);            // start, a, b, c, d, end
    EXPECT_TRUE(log[2].text.ends_with("b.jpg Failed: gone before it was read")) << log[2].text;
    EXPECT_TRUE(log[3].text.starts_with(" Converting file: " + (root / "in" / "c.jpg").string())) << log[3].text;
    EXPECT_NE(log[3].text.find(" Reduced by: "), std::string::npos) << log[3].text;
    EXPECT_TRUE(log[4].text.ends_with(" Failed: not a decodable image")) << log[4].text;
    EXPECT_FALSE(fs::exists(root / "out" / "b.jpg"));
    EXPECT_FALSE(fs::exists(root / "out" / "d.jpg"));
    ExpectNoHarm(replaced, root / "in", root / "out");
}

TEST_F(FaultTest, InputGrowingWhileItIsRead)
{
    // Another program writes the file while we read it, as a download or a camera would.
    const std::string photo = Photo(640, 480);
    const fs::path input = root / "growing.jpg";
    const fs::path output = root / "out.jpg";
    Put(input, "");
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::ofstream out(input, std::ios::binary | std::ios::app);
        for (std::size_t at = 0; at < photo.size(); at += 512) {
            out.write(photo.data() + at, static_cast<std::streamsize>(std::min<std::size_t>(512, photo.size() - at)));
            out.flush();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        written = true;
    });
    int attempts = 0;
    do {
        ++attempts;
        const CompressOutcome outcome = CompressFile(input, output, 5, 0);
        if (outcome.status == CompressStatus::Ok) {
            // What was read was whole: a complete picture (or an empty file, copied as it is).
            EXPECT_LE(outcome.outputSize, outcome.inputSize);
            EXPECT_EQ(fs::file_size(output), outcome.outputSize);
        } else {
            EXPECT_TRUE(outcome.status == CompressStatus::DamagedImage || outcome.status == CompressStatus::NotAnImage)
                << StatusText(outcome.status);
            EXPECT_FALSE(fs::exists(output));
        }
    } while (!written);
    writer.join();
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(Slurp(input), photo);  // the writer's bytes, untouched by the reads
    EXPECT_EQ(CompressFile(input, output, 5, 0).status, CompressStatus::Ok);
    EXPECT_LT(fs::file_size(output), photo.size());
    for (const auto& [name, bytes] : Snapshot(root))
        EXPECT_FALSE(IsTemporary(name)) << name;
}

// An OUTPUT inside INPUT that holds the user's own photos is refused before anything is written;
// a new one is made and marked, and taken again by a later run, a part of a split run and a re-run.
TEST_F(FaultTest, OutputInsideInputNeverReplacesOriginals)
{
    Put(root / "photos/x.jpg", Photo(96, 64, 1));
    Put(root / "photos/2019/x.jpg", Photo(96, 64, 2));
    const Tree before = Snapshot(root / "photos");
    const RunResult refused = Execute(Tramblix({(root / "photos").string(), (root / "photos/2019").string()}, root));
    EXPECT_EQ(refused.exitCode, 2) << refused.out;
    EXPECT_NE(refused.err.find("must be new, empty or made by an earlier run"), std::string::npos) << refused.err;
    // The same through a bind mount showing photos/2019 elsewhere, or photos as the output of photos/2019.
    for (const auto& [shown, input] : {std::pair{"photos/2019", "photos"}, {"photos", "photos/2019"}}) {
        Launch launch = Tramblix({(root / input).string(), (root / "bound").string()}, root);
        fs::create_directories(root / "bound");
        fs::remove_all(root / "mirror");
        launch.mount = PrivateMount{root / "bound", "", false, root / "mirror", root / shown};
        const RunResult run = Execute(launch);
        EXPECT_TRUE(run.skipped || run.exitCode == 2) << shown << run.out << run.err;
    }
    EXPECT_EQ(Snapshot(root / "photos"), before);
    for (const char* option : {"-j2", "--shard=0/1", "--skip-existing"}) {
        const RunResult run =
            Execute(Tramblix({option, (root / "photos").string(), (root / "photos/small").string()}, root));
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    }
    EXPECT_TRUE(fs::is_regular_file(root / "photos/small/.tramblix-output"));
    EXPECT_TRUE(fs::exists(root / "photos/small/2019/x.jpg"));
    ExpectNoHarm(before, root / "photos", root / "photos/small");
}

// ---- Hostile trees and paths ----

struct PlaceCase {
    const char* name;
    std::function<std::vector<std::string>(const fs::path& root)> setUp;  // gives tramblix's arguments
    int exitCode;
    std::vector<std::string> out;  // each found in standard output
    std::string err;               // found in standard error
    std::function<void(const fs::path& root)> check = {};
    bool asNobody = false;  // permissions decide, and root would get around them
    bool fullStdout = false;
};

void PrintTo(const PlaceCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::string kWriteFailed = " Failed: cannot write the output file (";
const std::string kReadFailed = " Failed: cannot read the input file (";

std::vector<std::string> InOut(const fs::path& root)
{
    return {(root / "in").string(), (root / "out").string()};
}

mode_t ModeOf(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

const PlaceCase kPlaces[] = {
    {"LinkInTheOutputTreeLeadingIntoTheInput",
     [](const fs::path& root) {
         Put(root / "in/x/a.jpg", Photo(96, 64, 1));
         Put(root / "in/x/sub/b.jpg", Photo(96, 64, 2));
         Put(root / "in/y/a.jpg", Photo(96, 64, 3));
         fs::create_directories(root / "out");
         fs::create_directory_symlink(root / "in/y", root / "out/x");
         return InOut(root);
     },
     1,
     {"out/x/a.jpg" + kWriteFailed + "its directory is part of the input tree)", "out/y/a.jpg Reduced by: "},
     "",
     [](const fs::path& root) {
         EXPECT_FALSE(fs::exists(root / "in/y/sub"));
         EXPECT_EQ(Snapshot(root / "in").size(), 3u);
     }},
    {"DirectoriesThatCannotBeEntered",
     [](const fs::path& root) {
         Put(root / "in/locked/a.jpg", Photo(96, 64));
         Put(root / "in/closed/c.jpg", Photo(96, 64));
         fs::permissions(root, fs::perms::all);
         fs::permissions(root / "in/locked", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
         fs::permissions(root / "in/closed", fs::perms::none);
         return InOut(root);
     },
     1,
     {"in/closed (Permission denied)", "locked/a.jpg" + kReadFailed + "Permission denied)"},
     "1 directory not readable",
     {},
     true},
    {"PathBeyondTheSystemLimit",
     [](const fs::path& root) {
         Put(root / "in/top.jpg", Photo(96, 64));
         int fd = ::open((root / "in").c_str(), O_RDONLY | O_DIRECTORY);
         for (int level = 0; level < 20; ++level) {
             const std::string name(250, static_cast<char>('a' + level));
             ::mkdirat(fd, name.c_str(), 0755);
             const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
             ::close(fd);
             fd = next;
         }
         const std::string photo = Photo(96, 64);
         const int file = ::openat(fd, "deep.jpg", O_WRONLY | O_CREAT, 0644);
         EXPECT_EQ(::write(file, photo.data(), photo.size()), static_cast<ssize_t>(photo.size()));
         ::close(file);
         ::close(fd);
         return InOut(root);
     },
     1,
     {"deep.jpg" + kReadFailed + "File name too long)", "top.jpg Reduced by: "},
     "",
     [](const fs::path& root) { std::system(("rm -rf '" + (root / "in").string() + "'").c_str()); }},
    {"OutputNamingAFileWithASeparatorAfterIt",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         Put(root / "photo.jpg", "keep");
         return std::vector<std::string>{(root / "in").string(), (root / "photo.jpg/").string()};
     },
     2,
     {},
     "Please select an output directory, not a file",
     [](const fs::path& root) { EXPECT_EQ(Slurp(root / "photo.jpg"), "keep"); }},
    {"PrivateInputs",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         Put(root / "in/sub/b.jpg", Photo(96, 64));
         fs::permissions(root / "in/a.jpg", fs::perms::owner_read | fs::perms::owner_write);
         fs::permissions(root / "in/sub", fs::perms::owner_all);
         return InOut(root);
     },
     0,
     {"a.jpg Reduced by: "},
     "",
     [](const fs::path& root) {
         EXPECT_EQ(ModeOf(root / "out/a.jpg") & 077, 0u);
         EXPECT_EQ(ModeOf(root / "out/sub") & 077, 0u);
     }},
    // A read-only input's output may be replaced by the next run all the same.
    {"ReadOnlyInputsGiveOutputsARerunReplaces",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         fs::permissions(root / "in/a.jpg", fs::perms::owner_read | fs::perms::group_read);
         Put(root / "out/a.jpg", Photo(8, 8));
         return InOut(root);
     },
     0,
     {"a.jpg Reduced by: "},
     "",
     [](const fs::path& root) { EXPECT_NE(ModeOf(root / "out/a.jpg") & 0200, 0u); }},
    {"WriteProtectedOldOutput",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         Put(root / "out/a.jpg", Photo(8, 8));
         fs::permissions(root / "out/a.jpg", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
         return InOut(root);
     },
     1,
     {"a.jpg" + kWriteFailed + "the existing file is write-protected)"},
     "",
     [](const fs::path& root) { EXPECT_EQ(Slurp(root / "out/a.jpg"), Photo(8, 8)); }},
    {"FileLinksInTheOutputTree",
     [](const fs::path& root) {
         for (const char* name : {"a", "b", "c", "d"})
             Put(root / "in" / (std::string(name) + ".jpg"), Photo(96, 64));
         Put(root / "elsewhere/a.jpg", "old");
         fs::create_directories(root / "out");
         fs::create_symlink("../elsewhere/a.jpg", root / "out/a.jpg");
         fs::create_symlink("/dev/null", root / "out/b.jpg");
         fs::create_symlink(root / "in/d.jpg", root / "out/c.jpg");
         fs::create_symlink("../nowhere.jpg", root / "out/d.jpg");
         return InOut(root);
     },
     1,
     {"a.jpg Reduced by: ", "b.jpg" + kWriteFailed + "not a regular file)",
      "c.jpg" + kWriteFailed + "its directory is part of the input tree)", "d.jpg" + kWriteFailed + "dangling link)"},
     "",
     [](const fs::path& root) {
         for (const char* name : {"a", "b", "c", "d"})
             EXPECT_TRUE(fs::is_symlink(root / "out" / (std::string(name) + ".jpg"))) << name;
         EXPECT_NE(Slurp(root / "elsewhere/a.jpg"), "old");
     }},
    {"LeftoversOfAKilledRunAreCleared",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         Put(root / "in/sub/b.jpg", Photo(96, 64));
         fs::last_write_time(root / "in/a.jpg", fs::last_write_time(root / "in/a.jpg") - std::chrono::hours(1));
         Put(root / "out/a.jpg", Photo(96, 64));
         Put(root / "out/.a.jpg.tramblix-1-2.tmp", "half");
         Put(root / "out/sub/.b.jpg.tramblix-3-4.tmp", "half");
         return std::vector<std::string>{"--skip-existing", (root / "in").string(), (root / "out").string()};
     },
     0,
     {"a.jpg Skipped: output is up to date", "b.jpg Reduced by: "},
     ""},
    {"WriteProtectedOldOutputOfOneFile",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         Put(root / "out/a.jpg", Photo(8, 8));
         fs::permissions(root / "out/a.jpg", fs::perms::owner_read);
         return std::vector<std::string>{(root / "in/a.jpg").string(), (root / "out/a.jpg").string()};
     },
     1,
     {"Could not create file.\n"},
     "cannot write the output file (the existing file is write-protected)",
     [](const fs::path& root) { EXPECT_EQ(Slurp(root / "out/a.jpg"), Photo(8, 8)); }},
    {"HelpOnAFullDevice",
     [](const fs::path&) { return std::vector<std::string>{"--help"}; },
     3,
     {},
     "tramblix: write error: No space left on device",
     {},
     false,
     true},
    {"ResultLineOnAFullDevice",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         return std::vector<std::string>{(root / "in/a.jpg").string(), (root / "out.jpg").string()};
     },
     3,
     {},
     "tramblix: write error: No space left on device",
     {},
     false,
     true},
    {"LogOnAFullDevice",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         return InOut(root);
     },
     3,
     {},
     "tramblix: write error: No space left on device",
     [](const fs::path& root) { EXPECT_TRUE(fs::exists(root / "out/a.jpg")); },
     false,
     true},
    // The directory-run options
    {"ListOfFilesThatIsADirectory",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         return std::vector<std::string>{"--files-from=" + (root / "in").string(), (root / "in").string(),
                                         (root / "out").string()};
     },
     2,
     {},
     "in: Is a directory",
     [](const fs::path& root) { EXPECT_FALSE(fs::exists(root / "out")); }},
    {"ListOfFilesWithoutEnd",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         return std::vector<std::string>{"--files-from=/dev/zero", (root / "in").string(), (root / "out").string()};
     },
     2,
     {},
     "/dev/zero: File too large",
     [](const fs::path& root) { EXPECT_FALSE(fs::exists(root / "out")); }},
    // A pipe never ends (reading it would hang the run), nor does /dev/zero: such entries fail with
    // their line and count, also when a list names them.
    {"EntriesThatAreNoFile",
     [](const fs::path& root) {
         Put(root / "in/a.jpg", Photo(96, 64));
         ::mkfifo((root / "in/pipe.jpg").c_str(), 0644);
         fs::create_symlink("/dev/zero", root / "in/zero.jpg");
         fs::create_symlink(root / "nowhere", root / "in/dangling.jpg");
         Put(root / "list", "pipe.jpg\nzero.jpg\ndangling.jpg\na.jpg\n");
         return std::vector<std::string>{"--files-from=" + (root / "list").string(), (root / "in").string(),
                                         (root / "out").string()};
     },
     1,
     {"pipe.jpg Failed: not a regular file", "zero.jpg Failed: not a regular file",
      "dangling.jpg Failed: dangling link", "a.jpg Reduced by: "},
     ""},
    {"SkipExistingTakesOnlyFinishedOutputs",
     [](const fs::path& root) {
         const std::string photo = Photo(96, 64);
         for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h", "i"})
             Put(root / "in" / (std::string(name) + ".jpg"), photo);
         for (const auto& entry : fs::directory_iterator(root / "in"))
             fs::last_write_time(entry.path(), fs::last_write_time(entry.path()) - std::chrono::hours(1));
         Put(root / "out/a.jpg", "");
         Put(root / "out/b.jpg", Cut(photo, -100));
         Put(root / "out/c.jpg", photo + photo);
         fs::create_directories(root / "out/d.jpg");
         Put(root / "out/e.jpg", photo);
         // Ending as a JPEG ends: cut after a scan or before the first, bare, one bit flipped.
         const auto sos = static_cast<long>(photo.rfind("\xFF\xDA")), first = static_cast<long>(photo.find("\xFF\xDA"));
         Put(root / "out/f.jpg", Cut(photo, sos) + "\xFF\xD9");
         Put(root / "out/g.jpg", Cut(photo, first) + "\xFF\xD9");
         Put(root / "out/h.jpg", "\xFF\xD8\xFF\xD9");
         Put(root / "out/i.jpg",
             std::string(photo).replace(photo.size() / 2, 1, 1, static_cast<char>(photo[photo.size() / 2] ^ 0x10)));
         return std::vector<std::string>{"--skip-existing", (root / "in").string(), (root / "out").string()};
     },
     1,
     {"a.jpg Reduced by: ", "b.jpg Reduced by: ", "c.jpg Reduced by: ", "d.jpg" + kWriteFailed + "Is a directory)",
      "e.jpg Skipped: output is up to date",
      "f.jpg Reduced by: ", "g.jpg Reduced by: ", "h.jpg Reduced by: ", "i.jpg Reduced by: "},
     ""},
};

class HostilePlaceTest : public FaultTest, public ::testing::WithParamInterface<PlaceCase> {};

TEST_P(HostilePlaceTest, FailsWithItsReasonAndHarmsNothing)
{
    const PlaceCase& c = GetParam();
    Launch launch = Tramblix(c.setUp(root), root);
    launch.asNobody = c.asNobody;
    if (c.fullStdout)
        launch.stdoutPath = "/dev/full";
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(launch);

    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    for (const std::string& text : c.out)
        EXPECT_NE(run.out.find(text), std::string::npos) << text << " not in:\n" << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    ExpectNoHarm(before, root / "in", root / "out");
    if (c.check)
        c.check(root);
}

INSTANTIATE_TEST_SUITE_P(Places, HostilePlaceTest, ::testing::ValuesIn(kPlaces),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, PipeOpenedAsInputIsRefusedWithoutWaiting)
{
    // What was opened is checked, not the path: a pipe put in a photo's place cannot hold the run.
    ASSERT_EQ(::mkfifo((root / "p.jpg").c_str(), 0644), 0);
    EXPECT_EQ(ReasonText(CompressFile(root / "p.jpg", root / "out.jpg", 5, 0)),
              "cannot read the input file (not a regular file)");
    EXPECT_FALSE(fs::exists(root / "out.jpg"));
}

// ---- A run cancelled in the middle ----

// Ctrl-C and SIGTERM: what the run says it does next, and its status.
class InterruptTest : public FaultTest, public ::testing::WithParamInterface<std::pair<int, const char*>> {};

TEST_P(InterruptTest, RunFinishesWhatItStartedAndSaysSo)
{
    const std::string photo = Photo(400, 300);
    for (int i = 0; i < 120; ++i)
        Put(root / "in" / ("p" + std::to_string(1000 + i) + ".jpg"), photo);
    const Tree before = Snapshot(root / "in");

    const pid_t pid =
        Start(Tramblix({"--ai", "5", "--jobs", "2", (root / "in").string(), (root / "out").string()}, root));
    // Strike once the first file is done, so the run is surely under way.
    for (int i = 0; i < 6000 && Slurp(root / "stdout").find(" Reduced by: ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, GetParam().first);
    const RunResult run = Finish(pid, root);

    EXPECT_EQ(run.exitCode, 128 + GetParam().first) << run.err;
    EXPECT_TRUE(run.out.ends_with("End Processing...\n")) << run.out;
    EXPECT_NE(run.err.find("cancelled"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(GetParam().second), std::string::npos) << run.err;
    ExpectNoHarm(before, root / "in", root / "out");
    // Every output there is has its line; the files not started have neither.
    const Tree outputs = Snapshot(root / "out");
    EXPECT_LT(outputs.size(), before.size());
    for (const auto& [name, bytes] : before)
        EXPECT_EQ(outputs.count(name) == 1, !LineFor(run.out, (root / "in" / name).string()).empty()) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptTest,
    ::testing::Values(std::pair{SIGINT, "(Ctrl-C again stops at once)"},
                      std::pair{SIGTERM, "cancelling on SIGTERM: finishing the files in progress (a second SIGTERM"}),
    [](const auto& info) { return info.param.first == SIGINT ? "Int" : "Term"; });

TEST_F(FaultTest, SecondCtrlCStopsARunWhoseLogNobodyReads)
{
    const std::string photo = Photo(16, 16);
    for (int i = 0; i < 400; ++i)
        Put(root / "in" / (std::string(150, 'n') + std::to_string(1000 + i) + ".jpg"), photo);
    const Tree before = Snapshot(root / "in");
    int log[2];
    ASSERT_EQ(::pipe(log), 0);
    Launch launch = Tramblix({"--jobs", "2", (root / "in").string(), (root / "out").string()}, root);
    launch.stdoutFd = log[1];
    const pid_t pid = Start(launch);
    ::close(log[1]);
    // Strike once the pipe is full and the run hangs on a log line.
    int queued = 0;
    for (int i = 0; i < 3000 && queued < 60000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::ioctl(log[0], FIONREAD, &queued);
    }
    ::kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(pid, SIGINT);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && ended == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ended = ::waitpid(pid, &status, WNOHANG);
    }
    if (ended == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(log[0]);

    EXPECT_EQ(ended, pid) << "still running ten seconds after the second Ctrl-C";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    ExpectNoHarm(before, root / "in", root / "out");
}

}  // namespace
}  // namespace tramblix::faults
