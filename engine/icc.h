#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tramblix {

// An ICC profile as a JPEG file carries it: APP2 segments whose payload starts "ICC_PROFILE\0",
// then the chunk's number (1..N) and the count N, then a piece of the profile.
inline constexpr std::size_t kIccChunkHeader = 14;

// True when an APP2 payload (the bytes after the segment's length) is an ICC chunk.
bool IsIccChunk(std::span<const std::uint8_t> payload);

struct IccSet {
    std::vector<std::size_t> chunks;    // indices into the payloads given, in chunk order
    std::vector<std::uint8_t> profile;  // the joined pieces, as long as the profile's header says
};

// The file's profile from the payloads of its APP2 segments (any others are passed over): the
// one set of chunks numbered 1..N of N whose joined pieces make a profile at least as long as its
// header says, with every tag inside it (bytes past that length are dropped). Stray, duplicate or
// cut chunks beside that set do not count; no such set, or two different ones, give no profile
// (empty). A profile shorter than its header says was cut and would make no reader's colours.
IccSet FindIccProfile(std::span<const std::span<const std::uint8_t>> payloads);

}  // namespace tramblix
