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

// The working tables of FindMatches, kept by a caller that codes many blocks
// so that they are allocated once. Their content belongs to one call.
//
// The hash chains are held as one list per hash rather than as linked
// entries: since the whole source block is indexed before the target is
// scanned, a chain is a fixed list of positions, and keeping each list
// contiguous turns a latency-bound pointer walk into a short sequential
// read. The list of hash h is Candidates[Buckets[h].First] up to
// Candidates[Buckets[h + 1].First], newest position first; since a scan
// examines at most MaxCandidates entries of a chain, a list keeps only that
// many. A candidate holds its 1-based source position in its low bits and,
// in the bits the block's positions leave free (12 for a full block), part
// of a fingerprint of the source bytes there, which lets most candidates
// that cannot win be passed over without touching the source block.
struct MatchBucket {
    std::uint32_t First = 0;
    std::uint32_t Pending = 0; // used while the lists are built
};

struct MatchTables {
    std::vector<MatchBucket> Buckets;
    std::vector<std::uint32_t> Candidates;
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
