#include "codec/blocks/MatchFinder.hpp"

#include "codec/blocks/CopyRecord.hpp"
#include "common/Failures.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTRO_X86_SIMD 1
#else
#define KESTRO_X86_SIMD 0
#endif

namespace kestro {

namespace {

constexpr std::uint32_t HeadEntries = 1u << KeyHashBits;

// Entries behind the last list that a wide filter may read but never uses.
constexpr std::uint32_t SpareCandidates = 32;

// Of a run of positions whose keys hash alike only the first is indexed: a
// position is indexed when its hash differs from that of the one before,
// and position 1 always is, as if the hash before it were NoHash.
constexpr std::uint32_t NoHash = 0x7FFFFFFF;

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

// How list entries are packed: the position in the low bits, the top bits
// of the fingerprint above them.
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

// Two ways to index a source block, alike in the candidates they give a
// target position and in their order: the indexed positions of its hash,
// newest first, at most MaxCandidates of them. Both use the same two
// tables, Heads with one entry per hash and Links with one per source
// position, so a full block needs 4.5 MiB whichever is used.
//
// Chains cost one pass over the source with one access to Heads per
// position: Heads[h] holds the newest position of hash h (0 for none),
// Links[q] the next older position of q's hash (0 at the end). A search
// then walks a chain one dependent load at a time, which is cheap while
// searches are few, as between similar files, where a long match skips
// ahead and about one position per KiB is searched.
//
// Lists cost a counting pass and a placing pass, and a fingerprint for
// every position kept: the list of hash h holds its newest MaxCandidates
// positions, contiguous in Links, each with part of a fingerprint of the 20
// source bytes there. A search reads one Heads entry and one short list and
// passes over most candidates that cannot win without touching the source
// block, which pays where most positions are searched, as between two
// builds of a program. Heads[h] holds where the list begins (the low
// ListOffsetBits bits) and how long it is (the bits above).
constexpr int ListOffsetBits = 20;
constexpr std::uint32_t ListOffsetMask = (1u << ListOffsetBits) - 1;
constexpr std::int32_t MaxListLength = (1 << (32 - ListOffsetBits)) - 1;

// Lists hold offsets below 2^20, so a source block of at most 1 MiB, and
// no more than MaxListLength entries each; chains have neither limit.
bool ListsFit(std::int32_t sourceLength, std::int32_t maxCandidates) {
    return sourceLength - 4 <= static_cast<std::int32_t>(ListOffsetMask) &&
           maxCandidates <= MaxListLength;
}

void BuildChains(const std::uint8_t* source, std::int32_t sourceLength, std::uint32_t* heads,
                 std::uint32_t* links) {
    std::fill_n(heads, HeadEntries, 0u);
    std::uint32_t lastHash = NoHash;
    for (std::int32_t q = 1; q <= sourceLength - 4; ++q) {
        const std::uint32_t h = KeyHash(source + q - 1);
        if (h != lastHash) {
            links[q] = heads[h];
            heads[h] = static_cast<std::uint32_t>(q);
            lastHash = h;
        }
    }
}

void BuildLists(const std::uint8_t* source, std::int32_t sourceLength, std::int32_t maxCandidates,
                CandidateLayout layout, std::uint32_t* heads, std::uint32_t* links) {
    std::fill_n(heads, HeadEntries, 0u);
    const std::int32_t lastIndexed = sourceLength - 4;
    if (lastIndexed < 1) {
        return;
    }
    std::uint32_t lastHash = NoHash;
    for (std::int32_t q = 1; q <= lastIndexed; ++q) {
        const std::uint32_t h = KeyHash(source + q - 1);
        if (h != lastHash) {
            ++heads[h];
            lastHash = h;
        }
    }
    const auto cap = static_cast<std::uint32_t>(maxCandidates);
    std::uint32_t total = 0;
    for (std::uint32_t h = 0; h < HeadEntries; ++h) {
        const std::uint32_t count = heads[h];
        heads[h] = total;
        total += std::min(count, cap);
    }

    // Placed from the newest position down, so each list fills from its
    // front and a hash whose list holds cap positions takes no more.
    // Positions too near the end for a fingerprint cannot start a winning
    // run either; their zero fingerprint is never decisive.
    const std::int32_t lastFingerprinted =
        layout.fingerprintMask != 0 ? sourceLength - FingerprintBytes + 1 : 0;
    auto place = [&](std::int32_t q, std::uint32_t h) {
        const std::uint32_t entry = heads[h];
        const std::uint32_t placed = entry >> ListOffsetBits;
        if (placed < cap) {
            const std::uint8_t* at = source + q - 1;
            const std::uint32_t fingerprint = q <= lastFingerprinted ? Fingerprint(at) : 0;
            links[(entry & ListOffsetMask) + placed] =
                (fingerprint & layout.fingerprintMask) | static_cast<std::uint32_t>(q);
            heads[h] = entry + (1u << ListOffsetBits);
        }
    };
    std::uint32_t h = KeyHash(source + lastIndexed - 1);
    for (std::int32_t q = lastIndexed; q > 1; --q) {
        const std::uint32_t before = KeyHash(source + q - 2);
        if (h != before) {
            place(q, h);
        }
        h = before;
    }
    place(1, h);
}

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
// 31 past the list's end: Links keeps SpareCandidates entries behind the
// last list. Loads need no alignment.
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

// Where the scan of a block stands: the next target position, what has
// been written, and how many candidates the searches so far were offered.
// A scan that stops early leaves it for a scan over another index to carry
// on from.
struct ScanState {
    std::int32_t p = 1;
    std::int32_t literalCount = 0;
    std::int32_t recordCount = 0;
    std::uint64_t offered = 0;
};

// What decides between chains and lists is the number of candidates the
// searches are offered. On chains each costs a dependent load, about 10 ns;
// lists cost about 3.5 ms per MiB more to build than chains, as much as
// BreakEvenOfferedPerKiB candidates per KiB of a block cost on chains (see
// the benchmark's Indexed pairs). A block that started on chains moves to
// lists once it has been offered twice that rate over the target scanned so
// far, plus a slack that keeps the first few searches from deciding; twice,
// because the rate of a block's beginning often is not that of the rest. A
// block offered more than the break-even rate over its whole length lets
// the finder's next block start on lists.
constexpr std::uint64_t BreakEvenOfferedPerKiB = 384;
constexpr std::uint64_t ChainSlack = 1 << 14;

bool ChainsCostMore(std::uint64_t offered, std::int32_t scanned) {
    return offered >
           ChainSlack + static_cast<std::uint64_t>(scanned) * 2 * BreakEvenOfferedPerKiB / 1024;
}

bool Dense(std::uint64_t offered, std::int32_t targetLength) {
    return offered > static_cast<std::uint64_t>(targetLength) * BreakEvenOfferedPerKiB / 1024;
}

// The candidates of a target position along its chain. With mayStop the
// scan gives up on chains once they cost more than lists would.
struct ChainWalk {
    const std::uint32_t* heads;
    const std::uint32_t* links;
    std::int32_t maxCandidates;
    bool mayStop;

    bool Stop(std::uint64_t offered, std::int32_t p) const {
        return mayStop && ChainsCostMore(offered, p);
    }

    template <class Visit>
    std::uint32_t ForEach(const std::uint8_t* here, Visit&& visit) const {
        std::uint32_t q = heads[KeyHash(here)];
        std::int32_t examined = 0;
        while (q != 0 && examined < maxCandidates) {
            visit(static_cast<std::int32_t>(q));
            q = links[q];
            ++examined;
        }
        return static_cast<std::uint32_t>(examined);
    }
};

// The candidates of a target position out of its list, those whose
// fingerprint differs from the target's passed over by Filter.
template <class Filter>
struct ListScan {
    const std::uint32_t* heads;
    const std::uint32_t* links;
    CandidateLayout layout;

    bool Stop(std::uint64_t, std::int32_t) const { return false; }

    template <class Visit>
    std::uint32_t ForEach(const std::uint8_t* here, Visit&& visit) const {
        const std::uint32_t entry = heads[KeyHash(here)];
        const std::uint32_t count = entry >> ListOffsetBits;
        if (count == 0) {
            return 0;
        }
        const std::uint32_t wanted =
            layout.fingerprintMask != 0 ? Fingerprint(here) & layout.fingerprintMask : 0;
        Filter::ForEach(links + (entry & ListOffsetMask), count, layout.fingerprintMask, wanted,
                        [&](std::uint32_t candidate) {
                            visit(static_cast<std::int32_t>(candidate & layout.positionMask));
                        });
        return count;
    }
};

// Scans the target block from state.p on against the indexed source block,
// writing literals and records, until its end (true, the terminator
// written) or until the index says to stop (false).
template <class Index>
bool ScanFrom(const MatchParams& params, const Index& index, ScanState& state) {
    const std::uint8_t* target = params.Target;
    const std::uint8_t* source = params.Source;
    const std::int32_t targetLength = params.TargetLength;
    const std::int32_t sourceLength = params.SourceLength;
    const std::int32_t minMatchLength = params.MinMatchLength;
    std::uint8_t* literals = params.Literals;
    std::uint8_t* records = params.Records;
    std::int32_t p = state.p;
    std::int32_t literalCount = state.literalCount;
    std::int32_t recordCount = state.recordCount;
    std::uint64_t offered = state.offered;

    // A candidate is compared only while best < n - 1 with best starting at
    // MinMatchLength - 1 and n <= TargetLength - p, so from this position on
    // no run can win and the search is skipped. The bound never exceeds
    // TargetLength - 3, where the key of p is still inside the block, and for
    // fingerprints it keeps their bytes inside the block too.
    const auto lastSearched = static_cast<std::int32_t>(
        std::min<std::int64_t>(targetLength - 3, std::int64_t{targetLength} - minMatchLength - 1));

    while (p <= targetLength) {
        if (p <= lastSearched) {
            if (index.Stop(offered, p)) {
                state = {p, literalCount, recordCount, offered};
                return false;
            }
            const std::uint8_t* here = target + p - 1;
            std::int32_t best = minMatchLength - 1;
            std::int32_t bestPos = 0;
            offered += index.ForEach(here, [&](std::int32_t q) {
                const std::uint8_t* there = source + q - 1;
                const std::int32_t n = std::min(targetLength - p, sourceLength - q);
                // A run that beats best agrees at offset best; EqualPrefix
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
    state = {p, literalCount, recordCount, offered};
    return true;
}

using ListScanner = bool (*)(const MatchParams&, const ListScan<ScalarFilter>&, ScanState&);

bool ScanListsScalar(const MatchParams& params, const ListScan<ScalarFilter>& lists,
                     ScanState& state) {
    return ScanFrom(params, lists, state);
}

#if KESTRO_X86_SIMD
// The whole scan is compiled for each instruction set, so that the filter
// is inlined into the loop; flatten takes the shared loop along into the
// wider instruction set. The lists are the same whatever the filter.
__attribute__((target("avx2"), flatten)) bool
ScanListsAvx2(const MatchParams& params, const ListScan<ScalarFilter>& lists, ScanState& state) {
    const ListScan<WideFilter<Avx2Lanes>> wide{lists.heads, lists.links, lists.layout};
    return ScanFrom(params, wide, state);
}

__attribute__((target("avx512f"), flatten)) bool
ScanListsAvx512(const MatchParams& params, const ListScan<ScalarFilter>& lists, ScanState& state) {
    const ListScan<WideFilter<Avx512Lanes>> wide{lists.heads, lists.links, lists.layout};
    return ScanFrom(params, wide, state);
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

// The list scan a finder runs: the requested one, or for Best the widest
// the processor has. The choice changes speed only.
ListScanner ListScannerFor(MatchScan requested) {
    if (requested == MatchScan::Best) {
        requested = ScanSupported(MatchScan::Avx512) ? MatchScan::Avx512
                    : ScanSupported(MatchScan::Avx2) ? MatchScan::Avx2
                                                     : MatchScan::Scalar;
    }
    if (!ScanSupported(requested)) {
        throw Exception("The processor lacks the instructions of the requested match scan");
    }
    switch (requested) {
#if KESTRO_X86_SIMD
    case MatchScan::Avx512:
        return ScanListsAvx512;
    case MatchScan::Avx2:
        return ScanListsAvx2;
#endif
    default:
        return ScanListsScalar;
    }
}

} // namespace

// A finder's tables, and what it learned from its last block: whether the
// scan was offered so many candidates that chains would cost more than
// lists. Blocks of one file tend to be alike, so the next block starts on
// lists then; a block that starts on chains and proves otherwise moves to
// lists as soon as it knows.
struct MatchFinder::State {
    std::unique_ptr<std::uint32_t[]> heads =
        std::make_unique_for_overwrite<std::uint32_t[]>(HeadEntries);
    std::unique_ptr<std::uint32_t[]> links;
    std::size_t linkCapacity = 0;
    bool lastWasDense = false;
    MatchRoute lastRoute;

    // Links needs an entry for every indexed position, 1 .. SourceLength - 4,
    // and for lists the spare entries behind them.
    std::uint32_t* Links(std::int32_t sourceLength) {
        const std::size_t needed = static_cast<std::size_t>(sourceLength) + SpareCandidates;
        if (linkCapacity < needed) {
            // Released first: holding both would double the table.
            links.reset();
            links = std::make_unique_for_overwrite<std::uint32_t[]>(needed);
            linkCapacity = needed;
        }
        return links.get();
    }
};

bool MatchScanSupported(MatchScan scan) {
    return ScanSupported(scan);
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
    const ListScanner scanLists = ListScannerFor(strategy_.Scan);
    if (!state_) {
        state_ = std::make_unique<State>();
    }
    State& state = *state_;
    std::uint32_t* heads = state.heads.get();
    std::uint32_t* links = state.Links(sourceLength);
    const std::int32_t maxCandidates = std::max(params.MaxCandidates, 0);

    MatchIndex index = strategy_.Index;
    if (index == MatchIndex::Adaptive) {
        index = state.lastWasDense ? MatchIndex::Lists : MatchIndex::Chains;
    }
    if (!ListsFit(sourceLength, maxCandidates)) {
        index = MatchIndex::Chains;
    }
    state.lastRoute.Began = index;
    ScanState scan;
    bool done = false;
    if (index == MatchIndex::Chains) {
        BuildChains(params.Source, sourceLength, heads, links);
        const bool mayStop =
            strategy_.Index == MatchIndex::Adaptive && ListsFit(sourceLength, maxCandidates);
        done = ScanFrom(params, ChainWalk{heads, links, maxCandidates, mayStop}, scan);
        index = MatchIndex::Lists;
    }
    if (!done) {
        const CandidateLayout layout =
            LayoutFor(sourceLength, params.MinMatchLength >= FingerprintBytes);
        BuildLists(params.Source, sourceLength, maxCandidates, layout, heads, links);
        scanLists(params, ListScan<ScalarFilter>{heads, links, layout}, scan);
    }
    state.lastRoute.Ended = done ? MatchIndex::Chains : MatchIndex::Lists;
    state.lastWasDense = Dense(scan.offered, targetLength);
    return {scan.literalCount, CopyRecordBytes * (scan.recordCount + 1)};
}

MatchRoute MatchFinder::LastRoute() const {
    return state_ ? state_->lastRoute : MatchRoute{};
}

} // namespace kestro
