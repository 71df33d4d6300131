#include "engine/compress.h"

#include <cmath>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "engine/codec.h"
#include "engine/efficient_encode.h"
#include "engine/file_io.h"
#include "engine/filters.h"

namespace fs = std::filesystem;

namespace tramblix {

const char* StatusText(CompressStatus status)
{
    switch (status) {
    case CompressStatus::Ok: return "done";
    case CompressStatus::CannotReadInput: return "cannot read the input file";
    case CompressStatus::NotAnImage: return "not a decodable image";
    case CompressStatus::DamagedImage: return "damaged image data";
    case CompressStatus::ImageTooLarge: return "image too large";
    case CompressStatus::CannotWriteOutput: return "cannot write the output file";
    case CompressStatus::SameFile: return "input and output are the same file";
    case CompressStatus::Refused: return "no input data";
    case CompressStatus::InternalError: return "internal error while compressing";
    }
    return "unknown error";
}

namespace {

unsigned EffectiveThreads(unsigned requested)
{
    if (requested != 0)
        return requested;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

CompressStatus FromDecodeStatus(DecodeStatus status)
{
    switch (status) {
    case DecodeStatus::Ok: return CompressStatus::Ok;
    case DecodeStatus::NotAnImage: return CompressStatus::NotAnImage;
    case DecodeStatus::Damaged: return CompressStatus::DamagedImage;
    case DecodeStatus::TooLarge: return CompressStatus::ImageTooLarge;
    }
    return CompressStatus::InternalError;
}

// Removes an old output so that a failed run leaves nothing that looks like a result.
// Only files and links are removed: a directory at the output path is never touched.
void RemoveOldOutput(const fs::path& outputPath)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(outputPath, ec);
    if (!ec && (fs::is_regular_file(status) || fs::is_symlink(status)))
        fs::remove(outputPath, ec);
}

}  // namespace

void ApplyFilters(Image& image, FilterStrength strength, std::int32_t sharpeningFactor, unsigned threads)
{
    strength = NormaliseStrength(strength);
    if (strength > 0) {
        EdgeLiftPass(image, static_cast<std::uint8_t>(kEdgeLiftThreshold), threads);
        SharpenPass(image, sharpeningFactor, threads);
    }
    if (strength > 1)
        SpeckleSmoothing(image, strength, threads);
}

CompressStatus ReencodeImage(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output, int quality,
                             FilterStrength strength, std::int32_t sharpeningFactor, const EngineOptions& options)
{
    output.clear();
    DecodedImage image;
    const CompressStatus decoded = FromDecodeStatus(DecodeImage(input, image));
    if (decoded != CompressStatus::Ok)
        return decoded;

    ApplyFilters(image.pixels, strength, sharpeningFactor, EffectiveThreads(options.threads));

    std::vector<std::uint8_t> encoded;
    const bool encodedOk = options.encoder == Encoder::Efficient ? EncodeJpegEfficient(image, quality, encoded)
                                                                  : EncodeJpeg(image, quality, encoded);
    if (!encodedOk)
        return CompressStatus::InternalError;
    image = DecodedImage{};  // the pixels are no longer needed; free them before copying bytes

    // Keep-smaller rule: an encode that is not strictly smaller yields the input itself.
    if (encoded.size() < input.size())
        output = std::move(encoded);
    else
        output.assign(input.begin(), input.end());
    return CompressStatus::Ok;
}

CompressStatus ReencodeAtLevel(CompressionLevel level, FilterStrength strength, std::span<const std::uint8_t> input,
                               std::vector<std::uint8_t>& output, const EngineOptions& options)
{
    return ReencodeImage(input, output, QualityForLevel(level), strength, kSharpeningFactor, options);
}

CompressStatus CompressBuffer(std::span<const std::uint8_t> input, CompressionLevel level,
                              std::vector<std::uint8_t>& output, FilterStrength strength,
                              const EngineOptions& options)
{
    output.clear();
    if (input.empty())
        return CompressStatus::Refused;
    try {
        const CompressStatus status = ReencodeAtLevel(level, strength, input, output, options);
        if (status != CompressStatus::Ok)
            output.clear();
        return status;
    } catch (const std::bad_alloc&) {
        output.clear();
        return CompressStatus::ImageTooLarge;
    } catch (...) {
        output.clear();
        return CompressStatus::InternalError;
    }
}

CompressOutcome CompressFile(const fs::path& inputPath, const fs::path& outputPath, CompressionLevel level,
                             FilterStrength strength, const EngineOptions& options)
{
    CompressOutcome outcome;
    // Checked before anything is touched: replacing the output would otherwise destroy the input.
    if (SameFile(inputPath, outputPath) || (!inputPath.empty() && inputPath == outputPath)) {
        outcome.status = CompressStatus::SameFile;
        return outcome;
    }
    std::error_code ec;
    if (fs::is_directory(outputPath, ec)) {
        outcome.status = CompressStatus::CannotWriteOutput;
        return outcome;
    }

    level = NormaliseLevel(level);
    auto fail = [&](CompressStatus status) {
        RemoveOldOutput(outputPath);
        outcome.status = status;
        outcome.outputSize = 0;
        return outcome;
    };

    std::vector<std::uint8_t> input;
    if (ReadWholeFile(inputPath, input) != ReadStatus::Ok)
        return fail(CompressStatus::CannotReadInput);
    outcome.inputSize = input.size();

    std::vector<std::uint8_t> output;
    if (!input.empty()) {
        const CompressStatus status = CompressBuffer(input, level, output, strength, options);
        if (status != CompressStatus::Ok)
            return fail(status);
    }
    // An empty input is copied as it is: an empty output.
    outcome.copiedInput = output.size() == input.size();
    std::vector<std::uint8_t>().swap(input);

    if (WriteWholeFile(outputPath, output) != WriteStatus::Ok)
        return fail(CompressStatus::CannotWriteOutput);
    outcome.outputSize = output.size();
    return outcome;
}

std::string ResultLine(std::int64_t inputSize, std::int64_t outputSize, long level, long aiLevel)
{
    if (inputSize == 0 || outputSize == 0)
        return "Could not create file.";
    const double saved = 100.0 - static_cast<double>(outputSize) * 100.0 / static_cast<double>(inputSize);
    const long long percent = static_cast<long long>(std::trunc(saved));
    return "Image Compressed by " + std::to_string(percent) + "% at Compression Level " + std::to_string(level) +
           " and AILevel " + std::to_string(aiLevel) + " and reduced by " + std::to_string(inputSize - outputSize) +
           " bytes. ";
}

}  // namespace tramblix
