// Output bytes of our encoder against a plain libjpeg-turbo baseline over the photo corpus.
//
// Every photo is decoded once (accurate DCT, RGB or grey out) and encoded at the qualities of
// compression levels 1, 5 and 10: once as the baseline (standard Huffman tables, sequential) and
// once per candidate scan layout, with the coding settings the product uses (standard
// quantisation tables, 4:2:0 for colour, one channel for grey, optimised Huffman tables). Each
// side counts min(encoded, input size) per file, since the product never writes an output
// larger than its input. Ratios below 1 mean we write fewer bytes than the baseline.
//
//   bench_bytes [--explore] [--grey] [--per-file] [--levels 1,5,10] [--script NAME=SCANS]... [PHOTO_DIR]
//
// SCANS is a list of scans separated by ';', each "COMPONENTS Ss-Se Ah Al", for example
// "012 0-0 0 1; 0 1-5 0 2; ...". For grey pictures only the scans of component 0 are used.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "engine/compress.h"
#include "engine/internal/scan_script.h"
#include "engine/quality_table.h"
#include "tests/support/jpeg_helpers.h"

namespace {

namespace fs = std::filesystem;

struct Photo {
    std::string name;
    std::vector<std::uint8_t> file;
    std::uint64_t inputSize = 0;
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<JSAMPLE> pixels;
};

bool DecodePhoto(const std::vector<std::uint8_t>& bytes, bool grey, Photo& photo)
{
    const tramblix::test::HeaderFacts header = tramblix::test::Inspect(bytes);
    if (!header.ok || header.space == JCS_CMYK || header.space == JCS_YCCK)
        return false;
    tramblix::test::Pixels pixels;
    if (!tramblix::test::DecodeWithLibjpeg(bytes, pixels, grey || header.components == 1 ? JCS_GRAYSCALE : JCS_RGB))
        return false;
    photo.width = pixels.width;
    photo.height = pixels.height;
    photo.components = pixels.components;
    photo.pixels = std::move(pixels.samples);
    return true;
}

struct Layout {
    std::string name;
    bool optimise = true;
    bool progressive = true;
    bool product = false;                // the engine's own ConfigureScans
    std::vector<jpeg_scan_info> colour;  // empty with progressive: jpeg_simple_progression
    std::vector<jpeg_scan_info> grey;
};

std::vector<std::uint8_t> Encode(const Photo& photo, int quality, const Layout& layout)
{
    tramblix::test::JpegRecipe recipe;
    recipe.width = photo.width;
    recipe.height = photo.height;
    if (photo.components == 1) {
        recipe.input = recipe.coded = JCS_GRAYSCALE;
        recipe.hSampling = recipe.vSampling = 1;
    }
    recipe.quality = quality;
    recipe.optimise = layout.optimise;
    recipe.configure = [&photo, &layout, quality](jpeg_compress_struct& cinfo) {
        if (layout.product) {
            tramblix::ConfigureScans(cinfo, quality);
        } else if (layout.progressive) {
            const auto& script = photo.components == 1 ? layout.grey : layout.colour;
            if (script.empty()) {
                jpeg_simple_progression(&cinfo);
            } else {
                cinfo.scan_info = script.data();
                cinfo.num_scans = static_cast<int>(script.size());
            }
        }
    };
    return tramblix::test::MakeJpeg(recipe, photo.pixels);
}

// Size of the encoded file, or 0 when the encode failed.
std::uint64_t EncodedSize(const Photo& photo, int quality, const Layout& layout, double& seconds)
{
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t size = Encode(photo, quality, layout).size();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return size;
}

bool ParseScans(const std::string& text, std::vector<jpeg_scan_info>& scans)
{
    std::istringstream all(text);
    std::string item;
    while (std::getline(all, item, ';')) {
        if (item.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::istringstream in(item);
        std::string comps;
        int ss = 0, se = 0, ah = 0, al = 0;
        char dash = 0;
        if (!(in >> comps >> ss >> dash >> se >> ah >> al) || dash != '-' || comps.empty() || comps.size() > 4)
            return false;
        jpeg_scan_info scan{};
        scan.comps_in_scan = static_cast<int>(comps.size());
        for (std::size_t i = 0; i < comps.size(); ++i)
            scan.component_index[i] = comps[i] - '0';
        scan.Ss = ss;
        scan.Se = se;
        scan.Ah = ah;
        scan.Al = al;
        scans.push_back(scan);
    }
    return !scans.empty();
}

// The luma-only part of a colour script, for one-channel pictures.
std::vector<jpeg_scan_info> GreyPart(const std::vector<jpeg_scan_info>& colour)
{
    std::vector<jpeg_scan_info> grey;
    for (const auto& scan : colour) {
        if (std::find(scan.component_index, scan.component_index + scan.comps_in_scan, 0) ==
            scan.component_index + scan.comps_in_scan)
            continue;
        jpeg_scan_info one = scan;
        one.comps_in_scan = 1;
        one.component_index[0] = 0;
        grey.push_back(one);
    }
    return grey;
}

bool MakeLayout(const std::string& name, const std::string& scans, Layout& layout)
{
    layout.name = name;
    if (!ParseScans(scans, layout.colour))
        return false;
    layout.grey = GreyPart(layout.colour);
    return true;
}

std::string FormatScans(const std::vector<jpeg_scan_info>& scans)
{
    std::string text;
    for (const auto& scan : scans) {
        if (!text.empty())
            text += "; ";
        for (int i = 0; i < scan.comps_in_scan; ++i)
            text += static_cast<char>('0' + scan.component_index[i]);
        text += ' ' + std::to_string(scan.Ss) + '-' + std::to_string(scan.Se) + ' ' + std::to_string(scan.Ah) + ' ' +
                std::to_string(scan.Al);
    }
    return text;
}

// Scripts built from a few choices: DC interleaved or per component, with or without one
// bit of successive approximation; luma AC split into bands at the given points and sent
// with `lumaAl` low bits held back for refinement scans (themselves optionally split);
// chroma likewise.
struct ScriptChoice {
    std::string dc = "0;1;2";  // components of each DC scan
    int dcAl = 0;
    std::vector<int> lumaSplits;
    int lumaAl = 0;
    std::vector<int> refineSplits;
    std::vector<int> chromaSplits;
    int chromaAl = 0;
};

std::string ChoiceName(const ScriptChoice& c)
{
    std::string name = "DC" + c.dc;
    if (c.dcAl > 0)
        name += "/al" + std::to_string(c.dcAl);
    name += " Y";
    for (int s : c.lumaSplits)
        name += std::to_string(s) + "/";
    name += "al" + std::to_string(c.lumaAl);
    if (!c.refineSplits.empty()) {
        name += " R";
        for (int s : c.refineSplits)
            name += "/" + std::to_string(s);
    }
    name += " C";
    for (int s : c.chromaSplits)
        name += std::to_string(s) + "/";
    return name + "al" + std::to_string(c.chromaAl);
}

std::string BuildScript(const ScriptChoice& c)
{
    std::string s;
    auto add = [&s](const std::string& comps, int ss, int se, int ah, int al) {
        s += comps + ' ' + std::to_string(ss) + '-' + std::to_string(se) + ' ' + std::to_string(ah) + ' ' +
             std::to_string(al) + "; ";
    };
    auto bands = [&](const std::string& comp, const std::vector<int>& splits, int ah, int al) {
        int start = 1;
        for (int split : splits) {
            add(comp, start, split, ah, al);
            start = split + 1;
        }
        add(comp, start, 63, ah, al);
    };
    std::istringstream dcScans(c.dc);
    std::string comps;
    while (std::getline(dcScans, comps, ';'))
        add(comps, 0, 0, 0, c.dcAl);
    bands("0", c.lumaSplits, 0, c.lumaAl);
    bands("1", c.chromaSplits, 0, c.chromaAl);
    bands("2", c.chromaSplits, 0, c.chromaAl);
    if (c.dcAl > 0) {
        std::istringstream refine(c.dc);
        while (std::getline(refine, comps, ';'))
            add(comps, 0, 0, c.dcAl, c.dcAl - 1);
    }
    for (int al = std::max(c.chromaAl, c.lumaAl); al > 0; --al) {
        if (al <= c.chromaAl) {
            bands("1", {}, al, al - 1);
            bands("2", {}, al, al - 1);
        }
        if (al <= c.lumaAl)
            bands("0", c.refineSplits, al, al - 1);
    }
    return s;
}

std::vector<Layout> ExploreLayouts()
{
    // The neighbourhood of our scripts, one choice varied at a time (luma bands and refinement
    // depth together, as they interact).
    std::vector<ScriptChoice> choices;
    for (const auto& splits : std::vector<std::vector<int>>{{}, {2}, {5}, {1, 2}, {1, 2, 3}})
        for (int lumaAl : {0, 1, 2})
            choices.push_back({"0;1;2", 0, splits, lumaAl, {}, {2}, 0});
    choices.push_back({"012", 0, {1, 2}, 1, {}, {2}, 0});
    choices.push_back({"0;12", 0, {1, 2}, 1, {}, {2}, 0});
    choices.push_back({"0;1;2", 1, {1, 2}, 1, {}, {2}, 0});
    for (const auto& chroma : std::vector<std::vector<int>>{{}, {1, 2}, {8}})
        choices.push_back({"0;1;2", 0, {1, 2}, 1, {}, chroma, 0});
    choices.push_back({"0;1;2", 0, {1, 2}, 1, {}, {2}, 1});
    choices.push_back({"0;1;2", 0, {1, 2}, 2, {2}, {2}, 0});

    std::vector<Layout> layouts;
    for (const auto& choice : choices) {
        Layout layout;
        if (MakeLayout(ChoiceName(choice), BuildScript(choice), layout))
            layouts.push_back(std::move(layout));
    }
    return layouts;
}

std::vector<std::uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Tally {
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::uint64_t worse = 0;  // files where this layout lost to the baseline
};

}  // namespace

int main(int argc, char** argv)
{
    fs::path dir = fs::path(TRAMBLIX_CORPUS_DIR) / "photos";
    std::vector<int> levels{1, 5, 10};
    bool explore = false;
    bool perFile = false;
    bool grey = false;
    std::vector<Layout> layouts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--explore") {
            explore = true;
        } else if (arg == "--grey") {
            grey = true;
        } else if (arg == "--per-file") {
            perFile = true;
        } else if (arg == "--levels" && i + 1 < argc) {
            levels.clear();
            std::istringstream in(argv[++i]);
            std::string item;
            while (std::getline(in, item, ','))
                levels.push_back(std::atoi(item.c_str()));
        } else if (arg == "--script" && i + 1 < argc) {
            const std::string scriptText = argv[++i];
            const auto eq = scriptText.find('=');
            Layout layout;
            if (eq == std::string::npos || !MakeLayout(scriptText.substr(0, eq), scriptText.substr(eq + 1), layout)) {
                std::fprintf(stderr, "bench_bytes: bad --script '%s'\n", scriptText.c_str());
                return 2;
            }
            layouts.push_back(std::move(layout));
        } else if (!arg.empty() && arg[0] != '-') {
            dir = arg;
        } else {
            std::fprintf(stderr,
                         "usage: bench_bytes [--explore] [--grey] [--per-file] [--levels 1,5,10] "
                         "[--script NAME=SCANS]... [PHOTO_DIR]\n");
            return 2;
        }
    }
    if (!fs::is_directory(dir)) {
        std::printf("bench_bytes: skipped, no photo corpus at %s\n", dir.string().c_str());
        return 0;
    }

    const Layout baseline{"baseline", false, false, false, {}, {}};
    const Layout optimisedBaseline{"optimised baseline", true, false, false, {}, {}};
    const Layout simple{"libjpeg simple progression", true, true, false, {}, {}};
    const Layout product{"ours (ConfigureScans)", true, true, true, {}, {}};
    // The summary below reads these by position.
    constexpr std::size_t kOptimised = 0;
    constexpr std::size_t kProduct = 2;
    std::vector<Layout> all{optimisedBaseline, simple, product};
    if (explore) {
        auto more = ExploreLayouts();
        all.insert(all.end(), more.begin(), more.end());
    }
    all.insert(all.end(), layouts.begin(), layouts.end());

    std::vector<Photo> photos;
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file())
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        Photo photo;
        photo.file = ReadFile(path);
        photo.name = path.filename().string();
        photo.inputSize = photo.file.size();
        if (DecodePhoto(photo.file, grey, photo))
            photos.push_back(std::move(photo));
        else
            std::printf("bench_bytes: %s not decoded, left out\n", path.filename().string().c_str());
    }
    if (photos.empty()) {
        std::printf("bench_bytes: skipped, no decodable photo in %s\n", dir.string().c_str());
        return 0;
    }
    std::printf("%zu photos from %s\n", photos.size(), dir.string().c_str());

    // tallies[level][layout]; the baseline is tallied separately.
    std::map<int, Tally> base;
    std::map<int, std::vector<Tally>> tallies;
    std::map<int, Tally> engine;  // CompressBuffer's whole output, metadata included
    for (int level : levels) {
        const int quality = tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level));
        auto& row = tallies[level];
        row.resize(all.size());
        for (const auto& photo : photos) {
            const std::uint64_t baseBytes =
                std::min(EncodedSize(photo, quality, baseline, base[level].seconds), photo.inputSize);
            base[level].bytes += baseBytes;
            for (std::size_t i = 0; i < all.size(); ++i) {
                const std::uint64_t encoded = EncodedSize(photo, quality, all[i], row[i].seconds);
                if (encoded == 0) {
                    std::printf("bench_bytes: layout '%s' failed to encode\n", all[i].name.c_str());
                    return 1;
                }
                const std::uint64_t ours = std::min(encoded, photo.inputSize);
                row[i].bytes += ours;
                row[i].worse += ours > baseBytes ? 1 : 0;
                if (perFile)
                    std::printf("  L%-2d %-28s %-34s %.4f\n", level, photo.name.c_str(), all[i].name.c_str(),
                                static_cast<double>(ours) / static_cast<double>(baseBytes));
            }
            if (!grey) {
                std::vector<std::uint8_t> output;
                const auto start = std::chrono::steady_clock::now();
                const auto status =
                    tramblix::CompressBuffer(photo.file, static_cast<tramblix::CompressionLevel>(level), output, 0);
                engine[level].seconds +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (status != tramblix::CompressStatus::Ok) {
                    std::printf("bench_bytes: CompressBuffer failed on %s: %s\n", photo.name.c_str(),
                                tramblix::StatusText(status));
                    return 1;
                }
                engine[level].bytes += output.size();
                engine[level].worse += output.size() > baseBytes ? 1 : 0;
            }
        }
    }

    std::printf("\n%-36s", "bytes against plain baseline");
    for (int level : levels)
        std::printf("   L%-2d q%-3d", level, tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level)));
    std::printf("   total   lost  time/opt.baseline\n");
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::printf("%-36s", all[i].name.c_str());
        std::uint64_t ours = 0, theirs = 0, worse = 0;
        double seconds = 0;
        for (int level : levels) {
            const auto& t = tallies[level][i];
            std::printf("   %8.4f", static_cast<double>(t.bytes) / static_cast<double>(base[level].bytes));
            ours += t.bytes;
            theirs += base[level].bytes;
            worse += t.worse;
            seconds += t.seconds;
        }
        double optSeconds = 0;
        for (int level : levels)
            optSeconds += tallies[level][0].seconds;
        std::printf("   %.4f  %4llu  %.2f\n", static_cast<double>(ours) / static_cast<double>(theirs),
                    static_cast<unsigned long long>(worse), seconds / optSeconds);
    }

    auto ratio = [](std::uint64_t a, std::uint64_t b) { return static_cast<double>(a) / static_cast<double>(b); };
    std::uint64_t ours = 0, theirs = 0, whole = 0;
    double oursSeconds = 0, optimisedSeconds = 0;
    std::printf("\n");
    for (int level : levels) {
        const auto& t = tallies[level][kProduct];
        std::printf("ratio bytes ours/baseline level %d (q%d): %.4f\n", level,
                    tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level)),
                    ratio(t.bytes, base[level].bytes));
        ours += t.bytes;
        theirs += base[level].bytes;
        whole += engine[level].bytes;
        oursSeconds += t.seconds;
        optimisedSeconds += tallies[level][kOptimised].seconds;
    }
    std::printf("ratio bytes ours/baseline total: %.4f (target <= 0.89)\n", ratio(ours, theirs));
    if (!grey) {
        // The engine also carries EXIF, XMP and ICC segments over, which the pixel-only encodes
        // above leave out.
        for (int level : levels)
            std::printf(
                "ratio bytes CompressBuffer/baseline level %d: %.4f (%+lld bytes against ours)\n", level,
                ratio(engine[level].bytes, base[level].bytes),
                static_cast<long long>(engine[level].bytes) - static_cast<long long>(tallies[level][kProduct].bytes));
        std::printf("ratio bytes CompressBuffer/baseline total: %.4f (whole engine output, kept metadata included)\n",
                    ratio(whole, theirs));
    }
    std::printf("ratio encode time ours/optimised baseline: %.2f (one encode each; bench_engine times it properly)\n",
                oursSeconds / optimisedSeconds);
    if (explore)
        for (const auto& layout : all)
            if (!layout.colour.empty())
                std::printf("%s = %s\n", layout.name.c_str(), FormatScans(layout.colour).c_str());
    return 0;
}
