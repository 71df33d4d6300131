#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratch_dir.h"

// A scratch directory per test, removed afterwards.
class TempTree : public ::testing::Test {
protected:
    tramblix::test::ScratchDir scratch_{"batch"};
    std::filesystem::path root = scratch_.path();

    // Creates root/relative (and its directories) holding `bytes`.
    std::string File(const std::string& relative, const std::string& bytes = "x")
    {
        const std::filesystem::path path = root / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::string Path(const std::string& relative) const { return (root / relative).string(); }
};
