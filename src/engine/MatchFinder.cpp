#include "engine/MatchFinder.hpp"

#include "engine/CopyRecord.hpp"
#include "platform/Failures.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace kestro {

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

struct MatchFinder::Tables {
    std::vector<MatchBucket> Buckets;
    std::vector<std::uint32_t> Candidates;
};

namespace {

constexpr std::uint32_t HeadEntries = 1u << KeyHashBits;

// The bytes a fingerprint covers. A candidate whose fingerprint differs from
// the target's differs within its first FingerprintBytes bytes, so its run
// is shorter than FingerprintBytes; as long as that is no longer than the
// shortest run that can win (MinMatchLength - 1 or more), such a candidate
// loses and is passed over unseen.
constexpr std::int32_t FingerprintBytes = 20;

// The hash of the key that starts at p (0-based here): 17 bits.
inline std::uint32_t KeyHash(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 9) ^ (std::uint32_t{p[1]} << 5) ^ p[2];
}

inline std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline std::uint32_t Load32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Any well-mixed function of the FingerprintBytes bytes at p will do: equal
// bytes must give equal fingerprints, and a collision only costs a needless
// comparison. The byte order of the loads does not matter, as both blocks
// are fingerprinted on the same machine.
inline std::uint32_t Fingerprint(const std::uint8_t* p) {
    const std::uint64_t mixed = Load64(p) * 0x9E3779B97F4A7C15u +
                                Load64(p + 8) * 0xC2B2AE3D27D4EB4Fu +
                                std::uint64_t{Load32(p + 16)} * 0x165667B19E3779F9u;
    return static_cast<std::uint32_t>(mixed >> 32);
}

inline std::int32_t EqualPrefix(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n) {
    std::int32_t i = 0;
    // A machine word at a time; the first differing byte of a word is found
    // from the lowest set bit of the difference (words are loaded in memory
    // order on a little-endian machine, in reverse on a big-endian one).
    while (i + 8 <= n) {
        const std::uint64_t difference = Load64(a + i) ^ Load64(b + i);
        if (difference != 0) {
            const int bit = std::endian::native == std::endian::little
                                ? std::countr_zero(difference)
                                : std::countl_zero(difference);
            return std::min(i + bit / 8, n - 1);
        }
        i += 8;
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return std::min(i, n - 1);
}

// How candidates are packed: the position in the low bits, the top bits of
// the fingerprint above them.
struct CandidateLayout {
    std::uint32_t positionMask;
    std::uint32_t fingerprintMask; // 0 when fingerprints are not used
};

CandidateLayout LayoutFor(std::int32_t sourceLength, bool fingerprints) {
    // The highest indexed position is SourceLength - 4.
    const int positionBits =
        std::bit_width(static_cast<std::uint32_t>(std::max(sourceLength - 4, 1)));
    const auto positionMask = static_cast<std::uint32_t>((std::uint64_t{1} << positionBits) - 1);
    return {positionMask, fingerprints ? ~positionMask : 0};
}

// Indexes the source block: positions 1 .. SourceLength - 4, only the first
// of a stretch of positions whose keys hash alike. A scan examines no more
// than the newest maxCandidates positions of a hash, so only those are kept;
// in program code that is well under half of all positions, which keeps the
// table within the second-level cache.
void IndexSource(const std::uint8_t* source, std::int32_t sourceLength, std::int32_t maxCandidates,
                 CandidateLayout layout, std::vector<MatchBucket>& bucketTable,
                 std::vector<std::uint32_t>& candidateTable) {
    bucketTable.assign(HeadEntries + 1, MatchBucket{});
    MatchBucket* buckets = bucketTable.data();
    const std::int32_t lastIndexed = sourceLength - 4;

    // Both passes walk the block in the same order with the same rule, so
    // they index the same positions.
    std::uint32_t lastHash = 0x7FFFFFFF;
    for (std::int32_t q = 1; q <= lastIndexed; ++q) {
        const std::uint32_t h = KeyHash(source + q - 1);
        if (h != lastHash) {
            ++buckets[h].Pending;
            lastHash = h;
        }
    }
    const auto cap = static_cast<std::uint32_t>(maxCandidates);
    std::uint32_t total = 0;
    for (std::uint32_t h = 0; h < HeadEntries; ++h) {
        buckets[h].First = total;
        total += std::min(buckets[h].Pending, cap);
    }
    buckets[HeadEntries].First = total;
    if (candidateTable.size() < total) {
        // Released first: growing by copying would hold two tables at once.
        candidateTable = std::vector<std::uint32_t>();
        candidateTable.resize(total);
    }
    std::uint32_t* candidates = candidateTable.data();

    // Pending counts down the positions of a hash not yet reached, this one
    // included: the newest has 1 and goes first in its list, and those with
    // more than cap after them are never examined and not kept. Positions
    // too near the end for a fingerprint cannot start a winning run either;
    // their zero fingerprint is never decisive.
    const std::int32_t lastFingerprinted =
        layout.fingerprintMask != 0 ? sourceLength - FingerprintBytes + 1 : 0;
    lastHash = 0x7FFFFFFF;
    for (std::int32_t q = 1; q <= lastIndexed; ++q) {
        const std::uint8_t* at = source + q - 1;
        const std::uint32_t h = KeyHash(at);
        if (h != lastHash) {
            const std::uint32_t pending = buckets[h].Pending--;
            if (pending <= cap) {
                const std::uint32_t fingerprint = q <= lastFingerprinted ? Fingerprint(at) : 0;
                candidates[buckets[h].First + pending - 1] =
                    (fingerprint & layout.fingerprintMask) | static_cast<std::uint32_t>(q);
            }
            lastHash = h;
        }
    }
}

} // namespace

std::int32_t CompareRun(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n) {
    return EqualPrefix(a, b, n);
}

MatchFinder::MatchFinder() = default;
MatchFinder::~MatchFinder() = default;
MatchFinder::MatchFinder(MatchFinder&&) noexcept = default;
MatchFinder& MatchFinder::operator=(MatchFinder&&) noexcept = default;

MatchCounts MatchFinder::Find(const MatchParams& params) {
    if (!tables_) {
        tables_ = std::make_unique<Tables>();
    }
    Tables& tables = *tables_;
    const std::int32_t targetLength = params.TargetLength;
    const std::int32_t sourceLength = params.SourceLength;
    if (targetLength < 4 || sourceLength < 4) {
        throw Exception("Buffer size should be at least 4 bytes");
    }
    if (params.MinMatchLength < 1) {
        // The room the caller gives for records is counted per minimum match.
        throw Exception("Minimum match length should be at least 1 byte");
    }
    const std::uint8_t* target = params.Target;
    const std::uint8_t* source = params.Source;
    const std::int32_t maxCandidates = std::max(params.MaxCandidates, 0);
    const std::int32_t minMatchLength = params.MinMatchLength;
    const bool fingerprints = minMatchLength >= FingerprintBytes;
    const CandidateLayout layout = LayoutFor(sourceLength, fingerprints);

    IndexSource(source, sourceLength, maxCandidates, layout, tables.Buckets, tables.Candidates);
    const MatchBucket* buckets = tables.Buckets.data();
    const std::uint32_t* candidates = tables.Candidates.data();

    std::uint8_t* literals = params.Literals;
    std::uint8_t* records = params.Records;
    std::int32_t literalCount = 0;
    std::int32_t recordCount = 0;

    // A candidate is compared only while best < n - 1 with best starting at
    // MinMatchLength - 1 and n <= TargetLength - p, so from this position on
    // no run can win and the search is skipped. The bound never exceeds
    // TargetLength - 3, where the key of p is still inside the block, and for
    // fingerprints it keeps their bytes inside the block too.
    const auto lastSearched = static_cast<std::int32_t>(
        std::min<std::int64_t>(targetLength - 3, std::int64_t{targetLength} - minMatchLength - 1));

    std::int32_t p = 1;
    while (p <= targetLength) {
        if (p <= lastSearched) {
            const std::uint8_t* here = target + p - 1;
            const std::uint32_t h = KeyHash(here);
            // Newest first; a list is never longer than maxCandidates.
            const std::uint32_t first = buckets[h].First;
            const std::uint32_t end = buckets[h + 1].First;
            const std::uint32_t wanted =
                fingerprints ? Fingerprint(here) & layout.fingerprintMask : 0;
            std::int32_t best = minMatchLength - 1;
            std::int32_t bestPos = 0;
            for (std::uint32_t i = first; i < end; ++i) {
                const std::uint32_t candidate = candidates[i];
                if ((candidate & layout.fingerprintMask) != wanted) {
                    continue;
                }
                const auto q = static_cast<std::int32_t>(candidate & layout.positionMask);
                const std::uint8_t* there = source + q - 1;
                const std::int32_t n = std::min(targetLength - p, sourceLength - q);
                // A run that beats best agrees at offset best; CompareRun
                // gives at most n - 1, so best >= n - 1 cannot be beaten.
                // Like the fingerprint, either test only skips candidates
                // that would lose.
                if (best < n - 1 && here[best] == there[best]) {
                    const std::int32_t length = EqualPrefix(here, there, n) & 0xFFFF;
                    if (length > best) {
                        best = length;
                        bestPos = q;
                    }
                }
            }
            if (best >= minMatchLength) {
                CopyRecord record;
                record.Length = static_cast<std::uint16_t>(best);
                record.SourcePos = bestPos;
                record.TargetPos = p;
                PutCopyRecord(records + CopyRecordBytes * recordCount, record);
                ++recordCount;
                p += best;
                continue;
            }
        }
        literals[literalCount++] = target[p - 1];
        ++p;
    }

    CopyRecord terminator;
    terminator.TargetPos = targetLength + 1;
    PutCopyRecord(records + CopyRecordBytes * recordCount, terminator);
    return {literalCount, CopyRecordBytes * (recordCount + 1)};
}

void FindMatches(const MatchParams& params) {
    const MatchCounts counts = MatchFinder().Find(params);
    *params.LiteralCountOut = counts.LiteralCount;
    *params.RecordBytesOut = counts.RecordBytes;
}

} // namespace kestro
