// The match finder: describes one target block as literals plus copy records
// that point into the source block of the same index.
//
// Its output is part of the delta format: the same two blocks must always
// give the same literals and records, byte for byte, by the rules that
// doc/FORMAT.md sets out (the hash, which positions are indexed, the order
// and limit of candidates, the 16-bit cut, ties, the minimum length). How
// the candidates are found is free; which ones are examined is not.
#pragma once

#include <cstdint>
#include <memory>

namespace kestro {

struct MatchParams {
    const std::uint8_t* Target = nullptr; // first byte of the target block
    const std::uint8_t* Source = nullptr; // first byte of the source block
    std::int32_t TargetLength = 0;
    std::int32_t SourceLength = 0;
    std::int32_t MaxCandidates = 0;  // chain entries examined per position
    std::int32_t MinMatchLength = 0; // shortest run that becomes a record
    // Room for TargetLength bytes. It may be Target itself: the k-th literal
    // is written to Literals[k] only once the target has been read up to
    // the position of that literal, and the target is never read behind the
    // position being scanned, so the literals end up compacted at the start
    // of the target block.
    std::uint8_t* Literals = nullptr;
    // Room for 12 * (TargetLength / MinMatchLength + 1) bytes.
    std::uint8_t* Records = nullptr;
};

// The two counts of one block.
struct MatchCounts {
    std::int32_t LiteralCount = 0;
    std::int32_t RecordBytes = 0; // 12 * (copy records + 1)
};

// How a finder picks the candidates worth comparing out of a hash's list:
// one at a time, or many at once with the vector instructions of x86
// processors. All give the same output; Best, the default, takes the widest
// the processor has. The others are for tests and benchmarks.
enum class MatchScan { Best, Scalar, Avx2, Avx512 };

// Whether this build and this processor can run scan.
bool MatchScanSupported(MatchScan scan);

// How a finder indexes a source block: chains, cheap to build and slow to
// search; lists, dearer to build and quick to search; or, Adaptive, the
// default, by what the blocks need: chains while searches are sparse, lists
// once they prove dense. Lists need a block of at most 1 MiB and a
// candidate limit of at most 4095; otherwise chains are used. All give the
// same output.
enum class MatchIndex { Adaptive, Chains, Lists };

struct MatchStrategy {
    MatchScan Scan = MatchScan::Best;
    MatchIndex Index = MatchIndex::Adaptive;
};

// The indexes a block was scanned over: the one it began on, and the one
// it ended on (lists, after chains that proved too slow).
struct MatchRoute {
    MatchIndex Began = MatchIndex::Adaptive;
    MatchIndex Ended = MatchIndex::Adaptive;
};

// A match finder that keeps its tables from one block to the next, so that a
// caller coding many blocks allocates them once, and that learns from one
// block how to index the next. Its tables take 512 KiB plus 4 bytes per
// source byte, 4.5 MiB for a full block, allocated at the first block (also
// in a finder moved from). Every finder gives the same literals and records,
// whatever its strategy. One finder serves one thread at a time.
class MatchFinder {
public:
    // A strategy whose scan the processor cannot run makes Find fail.
    explicit MatchFinder(MatchStrategy strategy = {});
    ~MatchFinder();
    MatchFinder(MatchFinder&&) noexcept;
    MatchFinder& operator=(MatchFinder&&) noexcept;

    // Writes the literals and records of params' target block into params'
    // two areas and returns the counts. Fails with Exception "Buffer size
    // should be at least 4 bytes" when either block is shorter than 4
    // bytes, before anything is written.
    MatchCounts Find(const MatchParams& params);

    // The route of the last block found; for tests and benchmarks.
    MatchRoute LastRoute() const;

private:
    struct State;
    MatchStrategy strategy_;
    std::unique_ptr<State> state_;
};

inline constexpr int KeyHashBits = 17;

} // namespace kestro
