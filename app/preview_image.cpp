#include "app/preview_image.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include <QFile>

#include "app/display_image.h"
#include "engine/codec.h"
#include "engine/file_io.h"
#include "engine/preview.h"

namespace {

// Checks the start-of-image marker before reading a whole file, so naming a large file of
// another kind in an edit costs a few bytes of reading, not all of it, on every keystroke.
bool StartsLikeJpeg(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char soi[3] = {};
    return file.read(soi, sizeof soi) == sizeof soi && soi[0] == '\xFF' && soi[1] == '\xD8' && soi[2] == '\xFF';
}

bool ReadJpegFile(const QString& path, std::vector<std::uint8_t>& bytes)
{
    return StartsLikeJpeg(path) && tramblix::ReadWholeFile(ToFsPath(path), bytes) == tramblix::ReadStatus::Ok;
}

QSize UprightSize(std::span<const std::uint8_t> bytes)
{
    int width = 0;
    int height = 0;
    int components = 0;
    if (!tramblix::ReadJpegHeader(bytes, width, height, components))
        return {};
    // Orientations 5 to 8 turn the picture by a quarter.
    if (tramblix::JpegExifOrientation(bytes) >= 5)
        return {height, width};
    return {width, height};
}

}  // namespace

std::filesystem::path ToFsPath(const QString& text)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(text.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(text).toStdString());
#endif
}

bool FileExists(const QString& text)
{
    if (text.isEmpty())
        return false;
    std::error_code error;
    return std::filesystem::is_regular_file(ToFsPath(text), error);
}

std::optional<DisplayPicture> LoadJpegForDisplay(const QString& path, QSize box)
{
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    if (!ReadJpegFile(path, *bytes))
        return std::nullopt;
    return DecodeJpegBytesForDisplay(bytes, box);
}

std::optional<DisplayPicture> DecodeJpegBytesForDisplay(const JpegBytes& bytes, QSize box)
{
    if (!bytes)
        return std::nullopt;
    tramblix::Image decoded;
    if (!tramblix::DecodeJpegForDisplay(*bytes, decoded, std::max(box.width(), 0), std::max(box.height(), 0)))
        return std::nullopt;
    DisplayPicture picture{ToQImage(decoded), QSize(decoded.width, decoded.height), bytes};
    if (picture.image.isNull())  // out of memory for the copy
        return std::nullopt;
    if (!box.isEmpty())
        picture.fullSize = UprightSize(*bytes);
    return picture;
}

QSize JpegDisplaySize(const QString& path)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadJpegFile(path, bytes))
        return {};
    return UprightSize(bytes);
}
