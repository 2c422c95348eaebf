// The match finder: describes one target block as literals plus copy records
// that point into the source block of the same index.
//
// Its output is part of the delta format: the same two blocks must always
// give the same literals and records, byte for byte. The rules that fix it:
// positions are 1-based; keys are three bytes hashed to 17 bits; of
// consecutive source positions with equal hashes only the first is indexed,
// and the last three positions never are; at most MaxCandidates chain entries
// are examined per target position, newest first; a run length is cut to its
// low 16 bits before it is compared with the best so far; only a strictly
// longer run wins; a run shorter than MinMatchLength becomes literals.
#pragma once

#include <cstdint>
#include <vector>

namespace kestro {

struct MatchParams {
    const std::uint8_t* Target = nullptr; // first byte of the target block
    const std::uint8_t* Source = nullptr; // first byte of the source block
    std::int32_t TargetLength = 0;
    std::int32_t SourceLength = 0;
    std::int32_t MaxCandidates = 0;   // chain entries examined per position
    std::int32_t MinMatchLength = 0;  // shortest run that becomes a record
    std::uint8_t* Literals = nullptr; // room for TargetLength bytes
    // Room for 12 * (TargetLength / MinMatchLength + 1) bytes.
    std::uint8_t* Records = nullptr;
    std::int32_t* LiteralCountOut = nullptr;
    std::int32_t* RecordBytesOut = nullptr; // 12 * (copy records + 1)
};

// The hash chains over the source block. Entry h of HeadTable holds the
// newest indexed source position whose key hashes to h (0: none); ChainTable
// holds, for each indexed position, the entry it displaced. A caller that
// codes many blocks keeps one of these so the tables are allocated once.
struct MatchTables {
    std::vector<std::uint32_t> HeadTable;
    std::vector<std::uint32_t> ChainTable;
};

inline constexpr int KeyHashBits = 17;

// Fails with Exception "Buffer size should be at least 4 bytes" when either
// block is shorter than 4 bytes, before anything is written.
void FindMatches(const MatchParams& params, MatchTables& tables);
void FindMatches(const MatchParams& params);

// The number of equal leading pairs of a[i], b[i] among the first n (n >= 1),
// but never more than n - 1.
std::int32_t CompareRun(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n);

} // namespace kestro
