#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <QImage>
#include <QSize>
#include <QString>

// A path typed into an edit, as the file system and the engine take it.
std::filesystem::path ToFsPath(const QString& text);

// True when the text names an existing regular file (links followed). A directory, a device or
// a pipe never counts, nor does an empty text: reading a pipe or a device on every keystroke
// would hang the window.
bool FileExists(const QString& text);

// A JPEG file's bytes, shared between a pane and the pictures decoded from them.
using JpegBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct DisplayPicture {
    QImage image;     // upright as the EXIF orientation says; possibly decoded at a reduced scale
    QSize fullSize;   // the upright picture's own size, whatever scale `image` was decoded at
    JpegBytes bytes;  // the file it came from, to decode it again at another scale
};

// Reads a JPEG file and decodes it for display. With a non-empty `box` the picture is decoded
// at the smallest DCT scale that still covers the box, so a preview of a large photo costs a
// fraction of a full decode; with an empty one at its own size. Nothing when the file cannot be
// read or is not a decodable JPEG.
std::optional<DisplayPicture> LoadJpegForDisplay(const QString& path, QSize box = {});

// Decodes JPEG bytes for display as LoadJpegForDisplay does.
std::optional<DisplayPicture> DecodeJpegBytesForDisplay(const JpegBytes& bytes, QSize box = {});

// The upright size of the JPEG picture in a file, from its header alone; an empty size when the
// file cannot be read or is not a JPEG.
QSize JpegDisplaySize(const QString& path);
