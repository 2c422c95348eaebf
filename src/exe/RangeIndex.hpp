// Which of many ranges of 64-bit positions holds a position: the first
// that does, in the order they were given. The executable model asks this
// of every section table ("the first section, in table order, whose file
// bytes hold it"), for each reference and table entry it reads; a table of
// 65535 sections, however they overlap, answers in O(log n) rather than
// after a walk over all of them.
//
// A range is a start and a size, and holds every position p with
// p - start < size computed mod 2^64, as the model's own comparisons do: a
// range that runs past 2^64 - 1 goes on from 0.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

class RangeIndex {
public:
    struct Range {
        std::uint64_t start = 0;
        std::uint64_t size = 0;
    };
    // Positions [first, last] that one range holds first.
    struct Piece {
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        std::uint32_t owner = 0; // the range's index in the list given
    };

    RangeIndex() = default;
    // ranges in order of precedence, at most 2^32 of them. O(n log n) time,
    // and at most two pieces per range (one, unless it runs past 2^64 - 1)
    // and one more between any two.
    explicit RangeIndex(std::span<const Range> ranges);

    // The index of the first range that holds position.
    std::optional<std::uint32_t> Owner(std::uint64_t position) const;
    // The pieces, by position: disjoint, each with its first range.
    std::span<const Piece> Pieces() const { return pieces_; }
    // The pieces that hold a position in [start, end), by position.
    std::span<const Piece> PiecesIn(std::uint64_t start, std::uint64_t end) const;

private:
    std::vector<Piece> pieces_;
};

} // namespace kestro
