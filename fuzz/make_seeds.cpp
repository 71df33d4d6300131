// Writes the fuzz seed corpus: small pictures of every kind the engine reads, made here with
// libjpeg and Qt, each prefixed with the settings bytes the targets expect.
//
//   make_seeds DIR    writes DIR/compress/* and DIR/preview/*

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QImageWriter>

#include "tests/support/jpeg_helpers.h"
#include "tests/support/multi_picture_files.h"

namespace fs = std::filesystem;

namespace {

using Bytes = tramblix::test::Bytes;

struct Seed {
    std::string name;
    Bytes bytes;
};

struct JpegKind {
    const char* name;
    int width;
    int height;
    J_COLOR_SPACE input;  // samples handed to libjpeg
    J_COLOR_SPACE coded;  // colour space inside the file
    int hSampling;
    int vSampling;
    bool progressive;
    bool arithmetic;
    int restartRows;
    int orientation;  // 0: no EXIF segment
    bool comment;
    Bytes icc;
};

// Edges and texture: flat pictures would leave the filters with nothing to do.
Bytes Samples(int width, int height, int channels)
{
    Bytes samples(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                samples[(static_cast<std::size_t>(y) * width + x) * channels + c] =
                    static_cast<unsigned char>(((x / 4 + y / 4 + c) % 2) * 150 + (x * 7 + y * 13 + c * 29) % 60);
    return samples;
}

Bytes ExifOrientation(int orientation)
{
    const auto v = static_cast<unsigned char>(orientation);
    return {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, v,  0, 0, 0, 0, 0, 0};
}

Bytes MakeJpeg(const JpegKind& kind)
{
    tramblix::test::JpegRecipe recipe;
    recipe.width = kind.width;
    recipe.height = kind.height;
    recipe.input = kind.input;
    recipe.coded = kind.coded;
    recipe.hSampling = kind.hSampling;
    recipe.vSampling = kind.vSampling;
    recipe.progressive = kind.progressive;
    recipe.arithmetic = kind.arithmetic;
    recipe.restartRows = kind.restartRows;
    recipe.quality = 92;
    if (kind.orientation > 0)
        recipe.markers.emplace_back(JPEG_APP0 + 1, ExifOrientation(kind.orientation));
    if (kind.comment)
        recipe.markers.emplace_back(JPEG_COM, Bytes{'s', 'e', 'e', 'd'});
    recipe.icc = kind.icc;
    return tramblix::test::MakeJpeg(recipe, Samples(kind.width, kind.height, tramblix::test::Components(kind.input)));
}

// A few bytes that carry the ICC signature but no usable profile: the colour code must cope.
Bytes BogusIcc()
{
    Bytes icc(132, 0);
    icc[3] = 132;
    const char cmyk[] = "CMYK";
    std::copy(cmyk, cmyk + 4, icc.begin() + 16);
    const char acsp[] = "acsp";
    std::copy(acsp, acsp + 4, icc.begin() + 36);
    return icc;
}

// A baseline header announcing 65535 x 65535 pixels, with no picture data after it.
Bytes HugeHeader()
{
    Bytes jpeg = MakeJpeg({"", 8, 8, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, false, false, 0, 0, false, {}});
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = jpeg[i + 6] = jpeg[i + 7] = jpeg[i + 8] = 0xFF;
            break;
        }
    }
    return jpeg;
}

std::vector<Seed> Pictures()
{
    const JpegKind kinds[] = {
        {"baseline-420-exif6", 24, 16, JCS_RGB, JCS_YCbCr, 2, 2, false, false, 0, 6, true, {}},
        {"baseline-444-odd", 17, 9, JCS_RGB, JCS_YCbCr, 1, 1, false, false, 0, 0, false, {}},
        {"baseline-422-restart", 32, 16, JCS_RGB, JCS_YCbCr, 2, 1, false, false, 1, 3, false, {}},
        {"baseline-440", 16, 24, JCS_RGB, JCS_YCbCr, 1, 2, false, false, 0, 8, false, {}},
        {"progressive-420", 33, 17, JCS_RGB, JCS_YCbCr, 2, 2, true, false, 0, 5, false, {}},
        {"progressive-arithmetic", 16, 16, JCS_RGB, JCS_YCbCr, 2, 2, true, true, 0, 0, false, {}},
        {"arithmetic-422", 16, 8, JCS_RGB, JCS_YCbCr, 2, 1, false, true, 0, 0, false, {}},
        {"grey", 9, 13, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, false, false, 0, 0, true, {}},
        {"grey-progressive-exif7", 16, 8, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, true, false, 0, 7, false, {}},
        {"rgb-coded", 16, 16, JCS_RGB, JCS_RGB, 1, 1, false, false, 0, 2, false, {}},
        {"cmyk-adobe", 16, 16, JCS_CMYK, JCS_CMYK, 1, 1, false, false, 0, 0, false, BogusIcc()},
        {"ycck-adobe", 16, 16, JCS_CMYK, JCS_YCCK, 2, 2, false, false, 0, 4, false, {}},
        {"one-pixel", 1, 1, JCS_RGB, JCS_YCbCr, 2, 2, false, false, 0, 0, false, {}},
    };
    std::vector<Seed> seeds;
    for (const JpegKind& kind : kinds)
        seeds.push_back({std::string(kind.name) + ".jpg", MakeJpeg(kind)});
    seeds.push_back({"huge-header.jpg", HugeHeader()});
    // Phone photos: an MPF index and XMP that locate a gain map or a video after the picture.
    const Bytes grey = MakeJpeg(kinds[7]), colour = MakeJpeg(kinds[0]);
    seeds.push_back({"gain-map.jpg", tramblix::test::MakeGainMapPhoto(colour, grey, true)});
    seeds.push_back(
        {"motion-container.jpg", tramblix::test::MakeMotionPhoto(colour, tramblix::test::FakeVideo(64), false)});
    seeds.push_back(
        {"motion-offset.jpg", tramblix::test::MakeMotionPhoto(colour, tramblix::test::FakeVideo(64), true)});

    // Other formats go through Qt's readers; a few pixels each, with transparency where it can be.
    QImage rgba(12, 8, QImage::Format_ARGB32);
    for (int y = 0; y < rgba.height(); ++y)
        for (int x = 0; x < rgba.width(); ++x)
            rgba.setPixelColor(x, y, QColor(x * 20, y * 30, 90, (x + y) % 3 ? 255 : 40));
    const std::pair<const char*, QImage> others[] = {
        {"png", rgba},
        {"png", rgba.convertToFormat(QImage::Format_Grayscale8)},
        {"bmp", rgba.convertToFormat(QImage::Format_RGB888)},
        {"tiff", rgba.convertToFormat(QImage::Format_RGB888)},
        {"webp", rgba},
    };
    // Qt writes no GIF: the classic one-pixel transparent GIF, byte by byte.
    seeds.push_back({"other-transparent.gif",
                     {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
                      0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
                      0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B}});
    int n = 0;
    for (const auto& [format, image] : others) {
        QByteArray data;
        QBuffer device(&data);
        device.open(QIODevice::WriteOnly);
        QImageWriter writer(&device, format);
        if (!writer.write(image))
            continue;  // that writer plug-in is not installed
        seeds.push_back({"other-" + std::to_string(n++) + "." + format, Bytes(data.begin(), data.end())});
    }
    return seeds;
}

bool Write(const fs::path& path, const Bytes& prefix, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    fs::create_directories(root / "compress");
    fs::create_directories(root / "preview");
    int written = 0;
    for (const Seed& seed : Pictures()) {
        if (seed.bytes.empty()) {
            std::fprintf(stderr, "make_seeds: could not make %s\n", seed.name.c_str());
            return 1;
        }
        // Settings: level and AI level for the engine; an unconstrained and a boxed decode for the
        // preview.
        bool ok = Write(root / "compress" / ("l5a0-" + seed.name), {5, 1}, seed.bytes) &&
                  Write(root / "compress" / ("l1a5-" + seed.name), {1, 6}, seed.bytes) &&
                  Write(root / "preview" / ("full-" + seed.name), {0, 0}, seed.bytes) &&
                  Write(root / "preview" / ("box-" + seed.name), {7, 5}, seed.bytes);
        if (!ok) {
            std::fprintf(stderr, "make_seeds: cannot write into %s\n", root.c_str());
            return 1;
        }
        written += 4;
    }
    std::printf("make_seeds: %d seeds in %s\n", written, root.c_str());
    return 0;
}
