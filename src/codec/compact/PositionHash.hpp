// An index of the positions of a text by a hash of the bytes that start
// there, for a search that wants the places where a stretch of bytes may
// recur, fast to build: one pass, where a suffix array takes several. The
// compact writer's image filter looks up its exact matches here in both
// searches. It holds every position, or every other one in half the
// memory: a stretch at a position not held is then found from the bytes
// that follow it, at the next one held.
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
    // The positions held are multiples of the index's stride, at most this.
    static constexpr std::int64_t MaxStride = 2;

    PositionHash() = default;
    // Indexes the positions of text that are multiples of stride (1 or
    // MaxStride); text may hold at most INT32_MAX bytes. told is told how
    // many of its bytes are indexed once every MiB of them, and may throw
    // to stop the work.
    PositionHash(std::span<const std::uint8_t> text,
                 const std::function<void(std::int64_t done)>& told,
                 std::int64_t stride = MaxStride);

    bool Empty() const { return next_.empty(); }
    std::int64_t Stride() const { return stride_; }
    // The positions whose first HashedBytes bytes hash as those at bytes
    // (which has at least that many), the latest first: a chain that also
    // holds positions of other bytes of the same hash, and that ends at -1.
    std::int32_t First(const std::uint8_t* bytes) const { return heads_[Hash(bytes)]; }
    std::int32_t Next(std::int32_t position) const {
        return next_[static_cast<std::size_t>(position / stride_)];
    }

private:
    std::uint32_t Hash(const std::uint8_t* bytes) const;

    int bits_ = 0;
    std::int64_t stride_ = MaxStride;
    std::vector<std::int32_t> heads_; // the latest position of each hash
    std::vector<std::int32_t> next_;  // the position held before each of the same hash
};

} // namespace kestro
