#include "codec/compact/PositionHash.hpp"

#include "common/Progress.hpp"

#include <cstring>

namespace kestro {

namespace {

// A hash for every four bytes of the text, at most 2^24 of them: the
// groups' starts take a byte a byte of the text, the places two.
constexpr int MinBits = 10;
constexpr int MaxBits = 24;
constexpr std::size_t BytesPerHead = 4;
// How many positions ahead the index is fetched.
constexpr std::size_t Ahead = 16;

} // namespace

PositionHash::PositionHash(std::span<const std::uint8_t> text,
                           const std::function<void(std::int64_t done)>& told)
    : bits_(MinBits) {
    while (bits_ < MaxBits && (BytesPerHead << bits_) < text.size()) {
        ++bits_;
    }
    constexpr auto stride = static_cast<std::size_t>(Stride);
    const std::size_t held =
        text.size() < HashedBytes ? 0 : (text.size() - HashedBytes) / stride + 1;
    // Each hash's positions are counted, and the counts summed, so that
    // each hash's entry holds where its group ends; then each position goes,
    // from the first on, to its group's last free place, which leaves the
    // entry where the group starts, and the group latest first. Each pass
    // counts as half of the bytes indexed.
    const std::size_t hashes = std::size_t{1} << bits_;
    starts_ = MappedArray<std::uint32_t>(hashes + 1);
    places_ = MappedArray<std::int32_t>(held);
    std::int64_t done = 0;
    WorkPoll polled([&] { told(done); });
    const std::size_t end = held * stride;
    // A pass over the held positions, first to last, visit(position, hash)
    // at each; the entry of a position Ahead on is fetched meanwhile.
    const std::size_t fetched = end > Ahead * stride ? end - Ahead * stride : 0;
    const auto eachHeld = [&](const auto& visit) {
        for (std::size_t i = 0; i < end; i += stride, ++done) {
            polled.Step(Stride);
            if (i < fetched) {
                __builtin_prefetch(starts_.data() + Hash(text.data() + i + Ahead * stride));
            }
            visit(i, Hash(text.data() + i));
        }
    };
    eachHeld([&](std::size_t, std::uint32_t hash) { ++starts_[hash]; });
    for (std::size_t hash = 1; hash < hashes; ++hash) {
        starts_[hash] += starts_[hash - 1];
    }
    starts_[hashes] = static_cast<std::uint32_t>(held);
    eachHeld([&](std::size_t i, std::uint32_t hash) {
        places_[--starts_[hash]] = static_cast<std::int32_t>(i);
    });
}

std::uint32_t PositionHash::Hash(const std::uint8_t* bytes) const {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    // Fibonacci hashing: the product's top bits depend on every byte.
    return static_cast<std::uint32_t>((word * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
}

} // namespace kestro
