#include "codec/compact/PositionHash.hpp"

#include "common/Progress.hpp"

#include <cstring>

namespace kestro {

namespace {

// A hash for every four bytes of the text, at most 2^24 of them: the heads
// take a byte a byte of the text, the chains two.
constexpr int MinBits = 10;
constexpr int MaxBits = 24;
constexpr std::size_t BytesPerHead = 4;

} // namespace

PositionHash::PositionHash(std::span<const std::uint8_t> text,
                           const std::function<void(std::int64_t done)>& told)
    : bits_(MinBits) {
    while (bits_ < MaxBits && (BytesPerHead << bits_) < text.size()) {
        ++bits_;
    }
    constexpr auto stride = static_cast<std::size_t>(Stride);
    heads_.assign(std::size_t{1} << bits_, -1);
    next_.assign((text.size() + stride - 1) / stride, -1);
    std::size_t i = 0;
    WorkPoll polled([&] { told(static_cast<std::int64_t>(i)); });
    for (; i + HashedBytes <= text.size(); i += stride) {
        polled.Step(Stride);
        std::int32_t& head = heads_[Hash(text.data() + i)];
        next_[i / stride] = head;
        head = static_cast<std::int32_t>(i);
    }
}

std::uint32_t PositionHash::Hash(const std::uint8_t* bytes) const {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    // Fibonacci hashing: the product's top bits depend on every byte.
    return static_cast<std::uint32_t>((word * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
}

} // namespace kestro
