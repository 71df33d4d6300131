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
    std::vector<std::uint8_t> profile;  // the joined pieces
};

// The file's profile from the payloads of its APP2 segments (any others are passed over): the
// one set of chunks numbered 1..N of N whose joined pieces make a profile exactly as long as its
// header says (with its signature and a tag table that fits). Stray, duplicate or cut chunks
// beside that set do not count; no such set, or two different ones, give no profile (empty): a
// profile whose length disagrees with its header was cut or altered, and no reader can trust it.
// Hostile sets (more than a few ways to pick among duplicates) give none either.
IccSet FindIccProfile(std::span<const std::span<const std::uint8_t>> payloads);

}  // namespace tramblix
