#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A scratch directory per test, removed afterwards.
class TempTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            c = c == '/' ? '_' : c;
        root = std::filesystem::temp_directory_path() / ("tramblix-batch-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        root = std::filesystem::canonical(root);
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    // Creates root/relative (and its directories) holding `bytes`.
    std::string File(const std::string& relative, const std::string& bytes = "x")
    {
        const std::filesystem::path path = root / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::string Path(const std::string& relative) const { return (root / relative).string(); }

    std::filesystem::path root;
};
