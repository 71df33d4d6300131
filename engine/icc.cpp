#include "engine/icc.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace tramblix {

namespace {

// Chunk sets with more ways to pick among duplicates than this are hostile: no profile.
constexpr std::size_t kMaxPicks = 16;

constexpr std::size_t kProfileHeader = 128;

std::size_t Be32(const std::uint8_t* p)
{
    return static_cast<std::size_t>(p[0]) << 24 | static_cast<std::size_t>(p[1]) << 16 |
           static_cast<std::size_t>(p[2]) << 8 | p[3];
}

// A profile as long as its header says, with the signature and a tag table that fits.
bool IsWholeProfile(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kProfileHeader + 4 || std::memcmp(bytes.data() + 36, "acsp", 4) != 0 ||
        Be32(bytes.data()) != bytes.size())
        return false;
    return Be32(bytes.data() + kProfileHeader) <= (bytes.size() - kProfileHeader - 4) / 12;
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

bool IsIccChunk(std::span<const std::uint8_t> payload)
{
    return payload.size() >= kIccChunkHeader && std::memcmp(payload.data(), "ICC_PROFILE\0", 12) == 0;
}

IccSet FindIccProfile(std::span<const std::span<const std::uint8_t>> payloads)
{
    // By count N, for each chunk number the distinct payloads that claim it.
    std::map<std::size_t, std::vector<std::vector<std::size_t>>> sets;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        const std::span<const std::uint8_t> payload = payloads[i];
        if (!IsIccChunk(payload))
            continue;
        const std::size_t number = payload[12], count = payload[13];
        // A first piece without the profile signature can start no profile.
        if (number < 1 || number > count ||
            (number == 1 && (payload.size() < kIccChunkHeader + 40 ||
                             std::memcmp(payload.data() + kIccChunkHeader + 36, "acsp", 4) != 0)))
            continue;
        auto& places = sets[count];
        places.resize(count);
        auto& claims = places[number - 1];
        if (claims.size() <= kMaxPicks &&  // more already make the set hostile, if it is whole
            std::none_of(claims.begin(), claims.end(), [&](std::size_t j) { return SameBytes(payloads[j], payload); }))
            claims.push_back(i);
    }

    IccSet found;
    for (const auto& [count, places] : sets) {
        std::size_t picks = 1;
        for (const auto& claims : places)
            picks = std::min(picks * claims.size(), kMaxPicks + 1);
        if (picks == 0)
            continue;  // a chunk is missing: strays, or a set cut short
        if (picks > kMaxPicks)
            return {};
        for (std::size_t pick = 0; pick < picks; ++pick) {
            IccSet candidate;
            std::size_t rest = pick;
            for (const auto& claims : places) {
                const std::size_t chunk = claims[rest % claims.size()];
                rest /= claims.size();
                candidate.chunks.push_back(chunk);
                const auto piece = payloads[chunk].subspan(kIccChunkHeader);
                candidate.profile.insert(candidate.profile.end(), piece.begin(), piece.end());
            }
            if (!IsWholeProfile(candidate.profile))
                continue;
            if (found.profile.empty())
                found = std::move(candidate);
            else if (found.profile != candidate.profile)
                return {};  // two different profiles: nothing tells which one the pixels are in
        }
    }
    return found;
}

}  // namespace tramblix
