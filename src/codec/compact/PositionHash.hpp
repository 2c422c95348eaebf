// An index of the positions of a text by a hash of the bytes that start
// there, for a search that wants the places where a stretch of bytes may
// recur, fast to build: two passes, where a suffix array takes several.
// The compact writer's image filter looks up its exact matches here in
// both of its searches. It holds every Stride-th position only, in half
// the memory: a stretch at another position is found from the bytes that
// follow it, at the next one held. The positions of each hash lie side by
// side, so that a search that walks many of them reads them in a run
// rather than following a chain from one cache miss to the next.
#pragma once

#include "platform/Memory.hpp"

#include <cstdint>
#include <functional>
#include <span>

namespace kestro {

class PositionHash {
public:
    // How many bytes from a position its hash covers: a stretch shorter
    // than this is never found.
    static constexpr std::int64_t HashedBytes = 8;
    // The positions held are multiples of this.
    static constexpr std::int64_t Stride = 2;

    PositionHash() = default;
    // Indexes text, which may hold at most INT32_MAX bytes; told is told
    // how many of its bytes are indexed once every MiB of them, and may
    // throw to stop the work.
    PositionHash(std::span<const std::uint8_t> text,
                 const std::function<void(std::int64_t done)>& told);

    bool Empty() const { return starts_.empty(); }
    // The positions whose first HashedBytes bytes hash as those at bytes
    // (which has at least that many), the latest first; among them may be
    // positions of other bytes of the same hash.
    std::span<const std::int32_t> Places(const std::uint8_t* bytes) const {
        const std::uint32_t hash = Hash(bytes);
        return std::span<const std::int32_t>(places_.data() + starts_[hash],
                                             starts_[hash + 1] - starts_[hash]);
    }

private:
    std::uint32_t Hash(const std::uint8_t* bytes) const;

    int bits_ = 0;
    // Where each hash's positions start in places_, and after the last
    // hash's, their end. Both are read at random: mapped apart.
    MappedArray<std::uint32_t> starts_;
    MappedArray<std::int32_t> places_; // grouped by hash, each group latest first
};

} // namespace kestro
