#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined (the engine's own
// sources, and white-box tests and benchmarks that link engine_internal).
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

// Pieces of the standard encoder that the efficient encoder shares. Internal to the engine.

#include <cstddef>

#include "engine/image.h"

namespace tramblix::jpeg {

// True when a kept segment can be written as it is (see EncodeJpeg).
bool WritableMarker(const Marker& marker);
// Room for the largest JPEG these pixels and segments can become.
std::size_t EncodeBufferBound(const DecodedImage& image);
// False when the ICC profile is too large for the 255 chunks a JPEG can carry.
bool StorableIcc(const DecodedImage& image);

}  // namespace tramblix::jpeg
