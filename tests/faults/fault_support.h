#pragma once

// Helpers for the fault tests: scratch trees, test pictures and the rules every run must keep
// whatever goes wrong.

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "tests/support/run_tool.h"
#include "tests/support/scratch_dir.h"

namespace tramblix::faults {

namespace fs = std::filesystem;
using namespace tramblix::test;
using Bytes = std::vector<std::uint8_t>;

inline void Put(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// A photo-like picture (texture and noise) at high quality, so re-encoding makes it smaller.
inline std::string Photo(int width, int height, unsigned seed = 1)
{
    DecodedImage image;
    image.pixels = Image(width, height, 3);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>((x * 3 + y * 2) % 180 + random() % 60);
    Bytes jpeg;
    EncodeJpeg(image, 95, jpeg);
    return Text(jpeg);
}

// Every regular file under `root`, by path relative to it, with its bytes.
using Tree = std::map<std::string, std::string>;

inline Tree Snapshot(const fs::path& root)
{
    Tree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().native().size() >= PATH_MAX)  // out of reach by path: a test's deep tree
            it.disable_recursion_pending();
        else if (std::error_code type; it->is_regular_file(type))
            tree[fs::relative(it->path(), root).string()] = Slurp(it->path());
    }
    return tree;
}

inline bool IsTemporary(const std::string& relative)
{
    const std::string name = fs::path(relative).filename().string();
    return name != ".tramblix-output" && (name.find(".tramblix-") != std::string::npos || name.ends_with(".tmp"));
}

// What must hold after any run, failed or not: the inputs are byte-for-byte as they were, no
// temporary file is left beside an output, and every output is no larger than its input and
// either a JPEG that decodes cleanly or an exact copy of the input.
inline void ExpectNoHarm(const Tree& inputsBefore, const fs::path& inputRoot, const fs::path& outputRoot)
{
    const Tree inputsAfter = Snapshot(inputRoot);
    for (const auto& [name, bytes] : inputsBefore) {
        const auto after = inputsAfter.find(name);
        ASSERT_NE(after, inputsAfter.end()) << "input removed: " << name;
        EXPECT_TRUE(after->second == bytes) << "input changed: " << name;
    }
    for (const auto& [name, bytes] : inputsAfter)
        EXPECT_FALSE(IsTemporary(name)) << "left in the input tree: " << name;
    for (const auto& [name, bytes] : Snapshot(outputRoot)) {
        EXPECT_FALSE(IsTemporary(name)) << "temporary file left: " << name;
        const auto input = inputsBefore.find(name);
        if (input == inputsBefore.end())
            continue;  // not an output of ours (a file the test put there)
        EXPECT_LE(bytes.size(), input->second.size()) << "output larger than its input: " << name;
        if (bytes == input->second)
            continue;
        DecodedImage decoded;
        const Bytes data(bytes.begin(), bytes.end());
        EXPECT_EQ(DecodeJpeg(data, decoded), DecodeStatus::Ok) << "output neither a clean JPEG nor a copy: " << name;
    }
}

// The log line of one input file ("" when there is none).
inline std::string LineFor(const std::string& log, const std::string& inputPath)
{
    const std::string key = " Converting file: " + inputPath + " To: ";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(key))
            return line;
    return "";
}

// A scratch directory per test, removed afterwards.
class FaultTest : public ::testing::Test {
protected:
    test::ScratchDir scratch_{"faults"};
    fs::path root = scratch_.path();
};

}  // namespace tramblix::faults
