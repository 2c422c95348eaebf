// An index of the positions of a text by a hash of the bytes that start
// there, for a search that wants the places where a stretch of bytes may
// recur, fast to build: one pass, where a suffix array takes several. The
// compact writer's image filter looks up its exact matches here in both of
// its searches. It holds every Stride-th position only, in half the
// memory: a stretch at another position is found from the bytes that
// follow it, at the next one held.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

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

    bool Empty() const { return next_.empty(); }
    // The positions whose first HashedBytes bytes hash as those at bytes
    // (which has at least that many), the latest first: a chain that also
    // holds positions of other bytes of the same hash, and that ends at -1.
    std::int32_t First(const std::uint8_t* bytes) const { return heads_[Hash(bytes)]; }
    std::int32_t Next(std::int32_t position) const {
        return next_[static_cast<std::size_t>(position / Stride)];
    }

private:
    std::uint32_t Hash(const std::uint8_t* bytes) const;

    int bits_ = 0;
    std::vector<std::int32_t> heads_; // the latest position of each hash
    std::vector<std::int32_t> next_;  // the position held before each of the same hash
};

} // namespace kestro
