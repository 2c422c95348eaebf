#include "engine/MatchFinder.hpp"

#include "engine/CopyRecord.hpp"
#include "platform/Failures.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestro {

namespace {

constexpr std::uint32_t HeadEntries = 1u << KeyHashBits;

// The hash of the key that starts at p (0-based here): 17 bits.
inline std::uint32_t KeyHash(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 9) ^ (std::uint32_t{p[1]} << 5) ^ p[2];
}

inline std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

} // namespace

std::int32_t CompareRun(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n) {
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

void FindMatches(const MatchParams& params, MatchTables& tables) {
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

    tables.HeadTable.assign(HeadEntries, 0);
    // Indexed by 1-based position; entries of positions never indexed are
    // never read, so the table is not cleared between blocks.
    if (tables.ChainTable.size() < static_cast<std::size_t>(sourceLength) + 1) {
        tables.ChainTable.resize(static_cast<std::size_t>(sourceLength) + 1);
    }
    std::uint32_t* head = tables.HeadTable.data();
    std::uint32_t* chain = tables.ChainTable.data();

    // Index the source block: positions 1 .. SourceLength - 4, only the first
    // of a stretch of positions whose keys hash alike.
    std::uint32_t lastHash = 0x7FFFFFFF;
    for (std::int32_t q = 1; q <= sourceLength - 4; ++q) {
        const std::uint32_t h = KeyHash(source + q - 1);
        if (h != lastHash) {
            chain[q] = head[h];
            head[h] = static_cast<std::uint32_t>(q);
            lastHash = h;
        }
    }

    std::uint8_t* literals = params.Literals;
    std::uint8_t* records = params.Records;
    std::int32_t literalCount = 0;
    std::int32_t recordCount = 0;
    const std::int32_t maxCandidates = params.MaxCandidates;
    const std::int32_t minMatchLength = params.MinMatchLength;

    std::int32_t p = 1;
    while (p <= targetLength) {
        if (p <= targetLength - 3) {
            const std::uint8_t* here = target + p - 1;
            std::int32_t best = minMatchLength - 1;
            std::int32_t bestPos = 0;
            std::uint32_t q = head[KeyHash(here)];
            for (std::int32_t examined = 0; q != 0 && examined < maxCandidates; ++examined) {
                const std::uint8_t* there = source + q - 1;
                const std::int32_t n =
                    std::min(targetLength - p, sourceLength - static_cast<std::int32_t>(q));
                // A run that beats best agrees at offset best; CompareRun
                // gives at most n - 1, so best >= n - 1 cannot be beaten.
                // Either test only skips candidates that would lose.
                if (best < n - 1 && here[best] == there[best]) {
                    const std::int32_t length = CompareRun(here, there, n) & 0xFFFF;
                    if (length > best) {
                        best = length;
                        bestPos = static_cast<std::int32_t>(q);
                    }
                }
                q = chain[q];
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
    *params.LiteralCountOut = literalCount;
    *params.RecordBytesOut = CopyRecordBytes * (recordCount + 1);
}

void FindMatches(const MatchParams& params) {
    MatchTables tables;
    FindMatches(params, tables);
}

} // namespace kestro
