#include "engine/MatchFinder.hpp"

#include "engine/CopyRecord.hpp"
#include "platform/Failures.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTRO_X86_SIMD 1
#else
#define KESTRO_X86_SIMD 0
#endif

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

// Entries behind the last list that a filter may read but never uses.
constexpr std::uint32_t SpareCandidates = 32;

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
    // The spare entries behind the last list are for the wide filters.
    if (candidateTable.size() < total + SpareCandidates) {
        // Released first: growing by copying would hold two tables at once.
        candidateTable = std::vector<std::uint32_t>();
        candidateTable.resize(total + SpareCandidates);
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

// Where a scan finds the candidates of a hash.
struct ListView {
    const MatchBucket* buckets = nullptr;
    const std::uint32_t* candidates = nullptr;
    CandidateLayout layout{};
};

// Three ways to pick the candidates of a list whose fingerprints equal the
// target's, alike in what they yield: each hands them to visit in list
// order, so the run chosen never depends on the way.

// One candidate after another.
struct ScalarFilter {
    template <class Visit>
    static void ForEach(const std::uint32_t* list, std::uint32_t count, std::uint32_t mask,
                        std::uint32_t wanted, Visit&& visit) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if ((list[i] & mask) == wanted) {
                visit(list[i]);
            }
        }
    }
};

#if KESTRO_X86_SIMD
// Up to 32 candidates at once, which covers a whole list at the limit of 25
// that the encoder uses; the few that match are then visited by their bits,
// lowest first. Each Matching32 reads 32 entries from list on and so up to
// 31 past the list's end: the candidate table keeps that many spare entries
// behind its last list. Loads need no alignment.
template <class Lanes>
struct WideFilter {
    template <class Visit>
    static void ForEach(const std::uint32_t* list, std::uint32_t count, std::uint32_t mask,
                        std::uint32_t wanted, Visit&& visit) {
        for (std::uint32_t base = 0; base < count; base += 32) {
            std::uint32_t hits = Lanes::Matching32(list + base, mask, wanted);
            if (count - base < 32) {
                hits &= (1u << (count - base)) - 1;
            }
            while (hits != 0) {
                visit(list[base + static_cast<std::uint32_t>(std::countr_zero(hits))]);
                hits &= hits - 1;
            }
        }
    }
};

struct Avx2Lanes {
    __attribute__((target("avx2"))) static std::uint32_t
    Matching32(const std::uint32_t* list, std::uint32_t mask, std::uint32_t wanted) {
        const __m256i masks = _mm256_set1_epi32(static_cast<int>(mask));
        const __m256i wants = _mm256_set1_epi32(static_cast<int>(wanted));
        std::uint32_t hits = 0;
        for (int i = 0; i < 32; i += 8) {
            const __m256i entries = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(list + i));
            const __m256i equal = _mm256_cmpeq_epi32(_mm256_and_si256(entries, masks), wants);
            hits |= static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(equal))) << i;
        }
        return hits;
    }
};

struct Avx512Lanes {
    __attribute__((target("avx512f"))) static std::uint32_t
    Matching32(const std::uint32_t* list, std::uint32_t mask, std::uint32_t wanted) {
        const __m512i masks = _mm512_set1_epi32(static_cast<int>(mask));
        const __m512i wants = _mm512_set1_epi32(static_cast<int>(wanted));
        const __mmask16 low =
            _mm512_cmpeq_epi32_mask(_mm512_and_si512(_mm512_loadu_si512(list), masks), wants);
        const __mmask16 high =
            _mm512_cmpeq_epi32_mask(_mm512_and_si512(_mm512_loadu_si512(list + 16), masks), wants);
        return std::uint32_t{low} | std::uint32_t{high} << 16;
    }
};
#endif

// Scans the target block against the indexed source block and writes the
// literals and records; Filter decides how candidates are picked from a
// list.
template <class Filter>
MatchCounts ScanLists(const MatchParams& params, const ListView& lists) {
    const std::uint8_t* target = params.Target;
    const std::uint8_t* source = params.Source;
    const std::int32_t targetLength = params.TargetLength;
    const std::int32_t sourceLength = params.SourceLength;
    const std::int32_t minMatchLength = params.MinMatchLength;
    const CandidateLayout layout = lists.layout;
    const MatchBucket* buckets = lists.buckets;
    const std::uint32_t* candidates = lists.candidates;

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
                layout.fingerprintMask != 0 ? Fingerprint(here) & layout.fingerprintMask : 0;
            std::int32_t best = minMatchLength - 1;
            std::int32_t bestPos = 0;
            Filter::ForEach(candidates + first, end - first, layout.fingerprintMask, wanted,
                            [&](std::uint32_t candidate) {
                                const auto q =
                                    static_cast<std::int32_t>(candidate & layout.positionMask);
                                const std::uint8_t* there = source + q - 1;
                                const std::int32_t n = std::min(targetLength - p, sourceLength - q);
                                // A run that beats best agrees at offset best; CompareRun
                                // gives at most n - 1, so best >= n - 1 cannot be beaten.
                                // Like the fingerprint, either test only skips candidates
                                // that would lose.
                                if (best < n - 1 && here[best] == there[best]) {
                                    const std::int32_t length =
                                        EqualPrefix(here, there, n) & 0xFFFF;
                                    if (length > best) {
                                        best = length;
                                        bestPos = q;
                                    }
                                }
                            });
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

#if KESTRO_X86_SIMD
// The whole scan is compiled for each instruction set, so that the filter
// is inlined into the loop; flatten takes the shared loop along into the
// wider instruction set.
__attribute__((target("avx2"), flatten)) MatchCounts ScanListsAvx2(const MatchParams& params,
                                                                   const ListView& lists) {
    return ScanLists<WideFilter<Avx2Lanes>>(params, lists);
}

__attribute__((target("avx512f"), flatten)) MatchCounts ScanListsAvx512(const MatchParams& params,
                                                                        const ListView& lists) {
    return ScanLists<WideFilter<Avx512Lanes>>(params, lists);
}
#endif

bool ScanSupported(MatchScan scan) {
    switch (scan) {
    case MatchScan::Best:
    case MatchScan::Scalar:
        return true;
#if KESTRO_X86_SIMD
    case MatchScan::Avx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    case MatchScan::Avx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f");
#endif
    default:
        return false;
    }
}

// The scan a finder runs: the requested one, or for Best the widest the
// processor has. The choice changes speed only.
MatchScan ResolveScan(MatchScan requested) {
    if (requested == MatchScan::Best) {
        for (MatchScan wide : {MatchScan::Avx512, MatchScan::Avx2}) {
            if (ScanSupported(wide)) {
                return wide;
            }
        }
        return MatchScan::Scalar;
    }
    if (!ScanSupported(requested)) {
        throw Exception("The processor lacks the instructions of the requested match scan");
    }
    return requested;
}

} // namespace

bool MatchScanSupported(MatchScan scan) {
    return ScanSupported(scan);
}

std::int32_t CompareRun(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n) {
    return EqualPrefix(a, b, n);
}

MatchFinder::MatchFinder(MatchStrategy strategy) : strategy_(strategy) {}
MatchFinder::~MatchFinder() = default;
MatchFinder::MatchFinder(MatchFinder&&) noexcept = default;
MatchFinder& MatchFinder::operator=(MatchFinder&&) noexcept = default;

MatchCounts MatchFinder::Find(const MatchParams& params) {
    const std::int32_t targetLength = params.TargetLength;
    const std::int32_t sourceLength = params.SourceLength;
    if (targetLength < 4 || sourceLength < 4) {
        throw Exception("Buffer size should be at least 4 bytes");
    }
    if (params.MinMatchLength < 1) {
        // The room the caller gives for records is counted per minimum match.
        throw Exception("Minimum match length should be at least 1 byte");
    }
    const MatchScan scan = ResolveScan(strategy_.Scan);
    if (!tables_) {
        tables_ = std::make_unique<Tables>();
    }
    Tables& tables = *tables_;
    const bool fingerprints = params.MinMatchLength >= FingerprintBytes;
    ListView lists;
    lists.layout = LayoutFor(sourceLength, fingerprints);
    IndexSource(params.Source, sourceLength, std::max(params.MaxCandidates, 0), lists.layout,
                tables.Buckets, tables.Candidates);
    lists.buckets = tables.Buckets.data();
    lists.candidates = tables.Candidates.data();
    switch (scan) {
#if KESTRO_X86_SIMD
    case MatchScan::Avx512:
        return ScanListsAvx512(params, lists);
    case MatchScan::Avx2:
        return ScanListsAvx2(params, lists);
#endif
    default:
        return ScanLists<ScalarFilter>(params, lists);
    }
}

void FindMatches(const MatchParams& params) {
    const MatchCounts counts = MatchFinder().Find(params);
    *params.LiteralCountOut = counts.LiteralCount;
    *params.RecordBytesOut = counts.RecordBytes;
}

} // namespace kestro
