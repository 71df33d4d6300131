#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_cases.h"

namespace fs = std::filesystem;

namespace tramblix::fuzz {
namespace {

std::vector<std::string> InputsIn(const char* target)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(TRAMBLIX_REGRESSIONS_DIR) / target, ec))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> Load(const char* target, const std::string& name)
{
    std::ifstream in(fs::path(TRAMBLIX_REGRESSIONS_DIR) / target / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info)
{
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

class CompressRegression : public ::testing::TestWithParam<std::string> {};
class PreviewRegression : public ::testing::TestWithParam<std::string> {};

TEST_P(CompressRegression, KeepsEveryRule)
{
    const std::vector<std::uint8_t> data = Load("compress", GetParam());
    const auto input = ParseCompressCase(data);
    ASSERT_TRUE(input);
    EXPECT_EQ(CheckCompress(*input), "");
}

TEST_P(PreviewRegression, KeepsEveryRule)
{
    const std::vector<std::uint8_t> data = Load("preview", GetParam());
    const auto input = ParsePreviewCase(data);
    ASSERT_TRUE(input);
    EXPECT_EQ(CheckPreview(*input), "");
}

INSTANTIATE_TEST_SUITE_P(Inputs, CompressRegression, ::testing::ValuesIn(InputsIn("compress")), TestName);
INSTANTIATE_TEST_SUITE_P(Inputs, PreviewRegression, ::testing::ValuesIn(InputsIn("preview")), TestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CompressRegression);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PreviewRegression);

}  // namespace
}  // namespace tramblix::fuzz
