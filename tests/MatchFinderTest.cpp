#include "codec/blocks/MatchFinder.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "common/Failures.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestro {
namespace {

using test::Bytes;

struct Matches {
    Bytes literals;
    std::vector<CopyRecord> records; // terminator included

    bool operator==(const Matches& other) const {
        if (literals != other.literals || records.size() != other.records.size()) {
            return false;
        }
        for (std::size_t i = 0; i < records.size(); ++i) {
            const CopyRecord& a = records[i];
            const CopyRecord& b = other.records[i];
            if (a.Length != b.Length || a.SourcePos != b.SourcePos || a.TargetPos != b.TargetPos) {
                return false;
            }
        }
        return true;
    }
};

// With literalsInPlace the literals go into (a copy of) the target block
// itself, as the encoder has them written.
Matches Find(const Bytes& original, const Bytes& source,
             std::int32_t maxCandidates = BlockMaxCandidates, MatchFinder* finder = nullptr,
             std::int32_t minMatchLength = 20, bool literalsInPlace = false) {
    Bytes target = original;
    const auto targetLength = static_cast<std::int32_t>(target.size());
    Bytes separate(target.size() + 1, 0xEE);
    Bytes& literals = literalsInPlace ? target : separate;
    Bytes records(12 * (target.size() / minMatchLength + 1), 0xEE);
    MatchParams params;
    params.Target = target.data();
    params.Source = source.data();
    params.TargetLength = targetLength;
    params.SourceLength = static_cast<std::int32_t>(source.size());
    params.MaxCandidates = maxCandidates;
    params.MinMatchLength = minMatchLength;
    params.Literals = literals.data();
    params.Records = records.data();
    MatchFinder own;
    const MatchCounts counts = (finder != nullptr ? *finder : own).Find(params);
    const std::int32_t literalCount = counts.LiteralCount;
    const std::int32_t recordBytes = counts.RecordBytes;
    Matches result;
    EXPECT_GE(literalCount, 0);
    EXPECT_EQ(recordBytes % 12, 0);
    result.literals.assign(literals.begin(), literals.begin() + literalCount);
    for (std::int32_t at = 0; at < recordBytes; at += 12) {
        result.records.push_back(GetCopyRecord(records.data() + at));
    }
    return result;
}

// The finder's rules written as plainly as possible, one byte at a time: the
// tuned finder must produce exactly the same records and literals.
Matches PlainFind(const Bytes& t, const Bytes& s, std::int32_t maxCandidates,
                  std::int32_t minMatchLength = 20) {
    const auto tl = static_cast<std::int32_t>(t.size());
    const auto sl = static_cast<std::int32_t>(s.size());
    auto hash = [](const Bytes& x, std::int32_t p) {
        return (std::uint32_t{x[p - 1]} << 9) ^ (std::uint32_t{x[p]} << 5) ^ x[p + 1];
    };
    std::vector<std::int32_t> head(1 << 17, 0);
    std::vector<std::int32_t> chain(static_cast<std::size_t>(sl) + 1, 0);
    std::uint32_t lastHash = 0x7FFFFFFF;
    for (std::int32_t q = 1; q <= sl - 4; ++q) {
        const std::uint32_t h = hash(s, q);
        if (h != lastHash) {
            chain[q] = head[h];
            head[h] = q;
            lastHash = h;
        }
    }
    Matches result;
    std::int32_t p = 1;
    while (p <= tl) {
        if (p <= tl - 3) {
            std::int32_t best = minMatchLength - 1;
            std::int32_t bestPos = 0;
            std::int32_t q = head[hash(t, p)];
            for (std::int32_t examined = 0; q != 0 && examined < maxCandidates; ++examined) {
                const std::int32_t n = std::min(tl - p, sl - q);
                std::int32_t len = 0;
                while (len < n && t[p - 1 + len] == s[q - 1 + len]) {
                    ++len;
                }
                len = std::min(len, n - 1) % 65536;
                if (len > best) {
                    best = len;
                    bestPos = q;
                }
                q = chain[q];
            }
            if (best >= minMatchLength) {
                result.records.push_back({static_cast<std::uint16_t>(best), bestPos, p});
                p += best;
                continue;
            }
        }
        result.literals.push_back(t[p - 1]);
        ++p;
    }
    result.records.push_back({0, 0, tl + 1});
    return result;
}

// What every result must satisfy: the records and literals rebuild the
// target exactly, in order, within both blocks.
void ExpectRebuildsTarget(const Matches& m, const Bytes& target, const Bytes& source,
                          std::int32_t minMatchLength = 20) {
    Bytes rebuilt;
    std::size_t literal = 0;
    for (const CopyRecord& record : m.records) {
        ASSERT_GE(record.TargetPos, static_cast<std::int32_t>(rebuilt.size()) + 1);
        while (static_cast<std::int32_t>(rebuilt.size()) + 1 < record.TargetPos) {
            ASSERT_LT(literal, m.literals.size());
            rebuilt.push_back(m.literals[literal++]);
        }
        if (record.Length != 0) {
            ASSERT_GE(record.Length, minMatchLength);
            ASSERT_GE(record.SourcePos, 1);
            // Never reaches the last two bytes of the source block.
            ASSERT_LE(record.SourcePos - 1 + record.Length,
                      static_cast<std::int32_t>(source.size()) - 2);
            rebuilt.insert(rebuilt.end(), source.begin() + record.SourcePos - 1,
                           source.begin() + record.SourcePos - 1 + record.Length);
        }
    }
    EXPECT_EQ(literal, m.literals.size());
    EXPECT_EQ(m.records.back().Length, 0);
    EXPECT_EQ(m.records.back().SourcePos, 0);
    EXPECT_EQ(m.records.back().TargetPos, static_cast<std::int32_t>(target.size()) + 1);
    EXPECT_EQ(rebuilt, target);
}

Bytes Random(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    return test::RandomBytes(random, size);
}

CopyRecord Record(std::uint16_t length, std::int32_t sourcePos, std::int32_t targetPos) {
    return CopyRecord{length, sourcePos, targetPos};
}

TEST(FindMatches, BlocksShorterThanFourBytesAreRefusedBeforeAnyWrite) {
    Bytes literals(16, 0xEE);
    Bytes records(64, 0xEE);
    const Bytes data = Random(100, 1);
    for (auto [tl, sl] : {std::pair{3, 100}, std::pair{100, 3}}) {
        MatchParams params{data.data(),     data.data(),   tl, sl, BlockMaxCandidates, 20,
                           literals.data(), records.data()};
        try {
            MatchFinder().Find(params);
            FAIL() << "no failure";
        } catch (const Exception& failure) {
            EXPECT_EQ(failure.Message(), "Buffer size should be at least 4 bytes");
        }
        EXPECT_EQ(literals, Bytes(16, 0xEE));
        EXPECT_EQ(records, Bytes(64, 0xEE));
    }
}

TEST(FindMatches, ShortestBlocksGiveOnlyLiterals) {
    // A 4-byte source indexes nothing; a 4-byte target is searched at its
    // first position only, with too few pairs for any record.
    const Bytes data = Random(1000, 2);
    const Bytes four(data.begin(), data.begin() + 4);
    Matches m = Find(data, four);
    EXPECT_EQ(m.literals, data);
    ASSERT_EQ(m.records.size(), 1u);
    EXPECT_EQ(m.records[0].TargetPos, 1001);
    m = Find(four, data);
    EXPECT_EQ(m.literals, four);
    ASSERT_EQ(m.records.size(), 1u);
    EXPECT_EQ(m.records[0].TargetPos, 5);
    // No record unless both blocks have at least 22 bytes.
    const Bytes b21(data.begin(), data.begin() + 21);
    EXPECT_EQ(Find(b21, data).records.size(), 1u);
    EXPECT_EQ(Find(data, b21).records.size(), 1u);
    const Bytes b22(data.begin(), data.begin() + 22);
    EXPECT_EQ(Find(b22, b22).records.size(), 2u);
}

TEST(FindMatches, EqualBlocksStopTwoBytesShortOfTheEnd) {
    const Bytes data = Random(5000, 3);
    Matches m = Find(data, data);
    EXPECT_EQ(
        m, (Matches{Bytes(data.end() - 2, data.end()), {Record(4998, 1, 1), Record(0, 0, 5001)}}));
}

TEST(FindMatches, RunOfOneValueIndexesOnlyItsFirstPosition) {
    const Bytes zeros(3000, 0);
    Matches m = Find(zeros, zeros);
    EXPECT_EQ(m, (Matches{Bytes(2, 0), {Record(2998, 1, 1), Record(0, 0, 3001)}}));
}

TEST(FindMatches, RunLengthIsCutToSixteenBitsBeforeComparison) {
    const Bytes data = Random(70002, 4);
    Matches m = Find(data, data);
    EXPECT_EQ(m, (Matches{{data[4464], data[70000], data[70001]},
                          {Record(4464, 1, 1), Record(65535, 4466, 4466), Record(0, 0, 70003)}}));
}

TEST(FindMatches, FullEqualBlocksGiveSixteenRecordsAndSeventeenLiterals) {
    const Bytes data = Random(1048576, 5);
    Matches expected;
    expected.records.push_back(Record(65534, 1, 1));
    for (std::int32_t k = 0; k < 15; ++k) {
        expected.literals.push_back(data[65535 + k * 65536 - 1]);
        const std::int32_t at = 65536 + k * 65536;
        expected.records.push_back(Record(65535, at, at));
    }
    expected.literals.push_back(data[1048574]);
    expected.literals.push_back(data[1048575]);
    expected.records.push_back(Record(0, 0, 1048577));
    EXPECT_EQ(Find(data, data), expected);
}

TEST(FindMatches, TieGoesToTheHighestSourcePosition) {
    Bytes source = Random(200, 6);
    const Bytes run = Random(40, 7);
    std::copy(run.begin(), run.end(), source.begin() + 10);
    std::copy(run.begin(), run.end(), source.begin() + 60);
    Bytes target = run;
    // Differ from the bytes that follow either copy of the run.
    std::uint8_t next = 0;
    while (next == source[50] || next == source[100]) {
        ++next;
    }
    target.push_back(next);
    const Bytes tail = Random(30, 8);
    target.insert(target.end(), tail.begin(), tail.end());
    Matches m = Find(target, source);
    ASSERT_GE(m.records.size(), 1u);
    EXPECT_EQ(m.records[0].Length, 40);
    EXPECT_EQ(m.records[0].SourcePos, 61);
    EXPECT_EQ(m.records[0].TargetPos, 1);
}

TEST(FindMatches, CandidatesBeyondTheLimitAreNotExamined) {
    // 30 source segments start with the target's first 25 bytes; only the
    // lowest one goes on to match 60 bytes. Newest first, 25 candidates
    // reach down to segment 6, so the long run is missed.
    const Bytes target = Random(100, 9);
    Bytes source;
    for (int segment = 0; segment < 30; ++segment) {
        Bytes filler = Random(100, 100 + segment);
        const std::size_t same = segment == 0 ? 60 : 25;
        std::copy(target.begin(), target.begin() + same, filler.begin());
        source.insert(source.end(), filler.begin(), filler.end());
    }
    source.resize(source.size() + 10, 0x55);
    Matches limited = Find(target, source, BlockMaxCandidates);
    ASSERT_GE(limited.records.size(), 2u);
    EXPECT_EQ(limited.records[0].Length, 25);
    EXPECT_EQ(limited.records[0].SourcePos, 29 * 100 + 1);
    Matches all = Find(target, source, 30);
    EXPECT_EQ(all.records[0].Length, 60);
    EXPECT_EQ(all.records[0].SourcePos, 1);
}

// Target blocks derived from a source block the way new builds of a program
// derive from old ones, plus low-entropy text that makes long hash chains.
std::vector<std::pair<Bytes, Bytes>> StructuredPairs(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::pair<Bytes, Bytes>> pairs;
    const Bytes base = test::RandomBytes(random, 200000);

    Bytes edited = base;
    for (int i = 0; i < 300; ++i) {
        edited[random() % edited.size()] = static_cast<std::uint8_t>(random());
    }
    pairs.emplace_back(edited, base);

    Bytes inserted = base;
    for (int i = 0; i < 50; ++i) {
        const Bytes extra = test::RandomBytes(random, random() % 64);
        inserted.insert(inserted.begin() + static_cast<std::ptrdiff_t>(random() % inserted.size()),
                        extra.begin(), extra.end());
    }
    pairs.emplace_back(inserted, base);

    Bytes shifted(base.begin() + 7777, base.end());
    shifted.insert(shifted.end(), base.begin(), base.begin() + 7777);
    pairs.emplace_back(shifted, base);

    auto text = [&random](std::size_t size) {
        const std::string words[] = {"the ", "delta ", "block ", "file ",
                                     "of ",  "a ",     "\n",     "aaaa"};
        Bytes out;
        while (out.size() < size) {
            const std::string& word = words[random() % 8];
            out.insert(out.end(), word.begin(), word.end());
        }
        out.resize(size);
        return out;
    };
    pairs.emplace_back(text(150000), text(160000));
    pairs.emplace_back(Bytes(70000, 0x41), text(100000));
    return pairs;
}

// A new build of a program against the old one: runs of the old bytes,
// broken every few dozen bytes by a changed address, an insertion or a
// deletion. Many short matches among many literals, and most candidates
// lose: the case the finder's shortcuts are for.
Bytes Recompiled(const Bytes& source, std::mt19937& random) {
    Bytes out;
    std::size_t at = 0;
    while (out.size() < source.size()) {
        const std::size_t run = 8 + random() % 120;
        for (std::size_t i = 0; i < run && at + i < source.size(); ++i) {
            out.push_back(source[at + i]);
        }
        at = (at + run) % source.size();
        const Bytes extra = test::RandomBytes(random, random() % 3 == 0 ? 4 : random() % 9);
        out.insert(out.end(), extra.begin(), extra.end());
        at = (at + random() % 6) % source.size();
    }
    out.resize(source.size());
    return out;
}

// Code-like bytes: a small alphabet of instruction-like words, so that keys
// repeat and many hashes have far more positions than any limit examines.
Bytes CodeLike(std::mt19937& random, std::size_t size) {
    const Bytes words = Random(64 * 6, 13);
    Bytes out;
    while (out.size() < size) {
        const std::size_t word = random() % 64;
        const std::size_t length = 2 + random() % 5;
        out.insert(out.end(), words.begin() + static_cast<std::ptrdiff_t>(word * 6),
                   words.begin() + static_cast<std::ptrdiff_t>(word * 6 + length));
        if (random() % 8 == 0) {
            out.push_back(static_cast<std::uint8_t>(random()));
        }
    }
    out.resize(size);
    return out;
}

// Every way of working that the finder offers and this processor can run,
// by name.
struct NamedStrategy {
    std::string name;
    MatchStrategy strategy;
};

std::vector<NamedStrategy> Strategies() {
    std::vector<NamedStrategy> out{{"chains", {MatchScan::Best, MatchIndex::Chains}},
                                   {"adaptive", {MatchScan::Best, MatchIndex::Adaptive}}};
    const std::pair<MatchScan, const char*> scans[] = {
        {MatchScan::Scalar, "scalar"}, {MatchScan::Avx2, "avx2"}, {MatchScan::Avx512, "avx512"}};
    for (const auto& [scan, name] : scans) {
        if (MatchScanSupported(scan)) {
            out.push_back({std::string("lists ") + name, {scan, MatchIndex::Lists}});
        }
    }
    return out;
}

// One block pair to compare with the plain rules, and what its result must
// hold for the pair to test what it is meant to.
struct Comparison {
    std::string label;
    Bytes target;
    Bytes source;
    std::int32_t candidates = BlockMaxCandidates;
    std::int32_t minimum = 20;
    std::size_t leastRecords = 0; // terminator not counted
    std::size_t leastLiterals = 0;
};
using Comparisons = std::vector<Comparison>;

void AddStructured(Comparisons& out) {
    for (unsigned seed : {11u, 12u}) {
        int pair = 0;
        for (const auto& [target, source] : StructuredPairs(seed)) {
            for (std::int32_t candidates : {1, BlockMaxCandidates}) {
                out.push_back({"structured seed " + std::to_string(seed) + " pair " +
                                   std::to_string(pair) + " candidates " +
                                   std::to_string(candidates),
                               target, source, candidates});
            }
            ++pair;
        }
    }
}

// Full-size blocks leave the fewest bits beside each position for the
// candidate fingerprints.
void AddFullBlocks(Comparisons& out) {
    for (unsigned seed : {14u, 15u}) {
        std::mt19937 random(seed);
        Bytes source = CodeLike(random, 1048576);
        Bytes target = Recompiled(source, random);
        out.push_back({"full block seed " + std::to_string(seed), std::move(target),
                       std::move(source), BlockMaxCandidates, 20, 1001, 10001});
    }
}

// Runs that reach the last bytes of either block, where positions are too
// near the end for a fingerprint, and lengths on both sides of the shortest
// block that can hold a record.
void AddShortBlocks(Comparisons& out) {
    std::mt19937 random(16);
    const Bytes pattern = Random(23, 17);
    auto repeating = [&](std::size_t size) {
        Bytes bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = pattern[i % pattern.size()];
        }
        return bytes;
    };
    for (std::size_t sl = 4; sl <= 70; ++sl) {
        for (std::size_t tl = 4; tl <= 70; tl += 3) {
            Bytes source = repeating(sl);
            Bytes target = repeating(tl + 5);
            target.erase(target.begin(), target.begin() + 5);
            if (tl % 2 == 0) {
                target[random() % tl] ^= 0x40;
            }
            out.push_back({"sizes " + std::to_string(tl) + "/" + std::to_string(sl),
                           std::move(target), std::move(source)});
        }
    }
}

// The block stream passes 20; shorter minimums must not rely on what 20
// bytes allow, longer ones must still skip only what cannot win.
void AddMinimumLengths(Comparisons& out) {
    std::mt19937 random(18);
    const Bytes source = CodeLike(random, 60000);
    const Bytes target = Recompiled(source, random);
    for (std::int32_t minimum : {1, 2, 3, 4, 8, 19, 20, 21, 33, 64}) {
        out.push_back(
            {"minimum " + std::to_string(minimum), target, source, BlockMaxCandidates, minimum});
    }
}

// From no candidate to more than any chain holds; the limit changes while
// a finder is reused, as it never does in the encoder.
void AddCandidateLimits(Comparisons& out) {
    std::mt19937 random(19);
    const Bytes source = CodeLike(random, 80000);
    const Bytes target = Recompiled(source, random);
    for (std::int32_t candidates :
         {0, 1, 2, 7, BlockMaxCandidates, 26, 300, 100000, BlockMaxCandidates}) {
        out.push_back({"candidates " + std::to_string(candidates), target, source, candidates});
    }
}

// 40 source segments start with the target's first bytes, the older the
// segment the longer the shared run: with limit k the newest k are examined
// and the run found is 19 + k long, so a list that keeps one candidate too
// many or too few gives another record.
constexpr int LadderSegments = 40;

std::pair<Bytes, Bytes> Ladder() {
    const Bytes target = Random(120, 21);
    Bytes source;
    for (int i = 0; i < LadderSegments; ++i) {
        Bytes segment = Random(120, 200 + i);
        const std::size_t shared = 20 + (LadderSegments - 1 - i);
        std::copy(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(shared),
                  segment.begin());
        segment[shared] = static_cast<std::uint8_t>(target[shared] ^ 1);
        source.insert(source.end(), segment.begin(), segment.end());
    }
    // The same key once more at the first position too near the end to be
    // indexed: were it, it would take the place of one segment.
    source.insert(source.end(), target.begin(), target.begin() + 4);
    return {target, source};
}

void AddLadder(Comparisons& out) {
    const auto [target, source] = Ladder();
    for (std::int32_t limit = 1; limit <= LadderSegments + 2; ++limit) {
        out.push_back({"ladder limit " + std::to_string(limit), target, source, limit});
    }
}

// 40 equal runs, each followed by a byte the target does not have: every
// candidate of the target's first key passes the fingerprint test and all
// runs are equally long, so only taking them in list order, also past the
// first 32, keeps the tie with the highest source position.
void AddTies(Comparisons& out) {
    const Bytes run = Random(30, 22);
    Bytes source;
    for (std::uint8_t i = 0; i < 40; ++i) {
        source.insert(source.end(), run.begin(), run.end());
        source.push_back(i);
    }
    Bytes target = run;
    target.push_back(200);
    const Bytes tail = Random(50, 23);
    target.insert(target.end(), tail.begin(), tail.end());
    for (std::int32_t candidates : {BlockMaxCandidates, 33, 40, 100}) {
        out.push_back(
            {"ties candidates " + std::to_string(candidates), target, source, candidates, 20, 1});
    }
}

// Two large files that differ here and there: random bytes with a few
// changed runs and an insertion, so that long matches leave few positions
// to search.
Bytes SimilarTo(const Bytes& source, std::mt19937& random) {
    Bytes out = source;
    for (int i = 0; i < 16; ++i) {
        const std::size_t at = random() % (out.size() - 64);
        for (std::size_t k = 0; k < 1 + random() % 60; ++k) {
            out[at + k] = static_cast<std::uint8_t>(random());
        }
    }
    const Bytes extra = test::RandomBytes(random, 9);
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(out.size() / 3), extra.begin(),
               extra.end());
    out.resize(source.size());
    return out;
}

// Where chains and lists part ways: a full block with few searches, one
// that turns dense halfway, and one just over a full block, which lists
// cannot hold; its target is made of the source runs whose keys hash
// highest, whose lists would lie last.
void AddSparseAndDense(Comparisons& out) {
    std::mt19937 random(25);
    Bytes sparseSource = test::RandomBytes(random, 1048576);
    Bytes sparseTarget = SimilarTo(sparseSource, random);
    Bytes mixedSource(sparseSource.begin(), sparseSource.begin() + 524288);
    Bytes mixedTarget(sparseTarget.begin(), sparseTarget.begin() + 524288);
    const Bytes code = CodeLike(random, 524288);
    const Bytes rebuilt = CodeLike(random, 524288);
    mixedSource.insert(mixedSource.end(), code.begin(), code.end());
    mixedTarget.insert(mixedTarget.end(), rebuilt.begin(), rebuilt.end());
    Bytes overSource = test::RandomBytes(random, 1048576 + 64);
    Bytes overTarget;
    for (std::size_t q = 0; q + 40 < overSource.size(); ++q) {
        const Bytes::const_iterator at = overSource.begin() + static_cast<std::ptrdiff_t>(q);
        if ((at[0] << 9 ^ at[1] << 5 ^ at[2]) >= 0x1FF80) {
            overTarget.insert(overTarget.end(), at, at + 40);
        }
    }
    out.push_back({"sparse full block", std::move(sparseTarget), std::move(sparseSource),
                   BlockMaxCandidates, 20, 10});
    out.push_back({"sparse, then dense", std::move(mixedTarget), std::move(mixedSource),
                   BlockMaxCandidates, 20, 10, 10000});
    out.push_back({"over a full block", std::move(overTarget), std::move(overSource),
                   BlockMaxCandidates, 20, 100});
}

// Runs of one value index only their first position; runs of two values
// alternating give two hashes with thousands of positions each, more than
// a list can hold at the largest limit.
void AddEqualRuns(Comparisons& out) {
    std::mt19937 random(26);
    Bytes source = test::RandomBytes(random, 30000);
    std::fill(source.begin() + 1000, source.begin() + 9000, 0);
    for (std::size_t i = 12000; i < 24000; ++i) {
        source[i] = i % 2 == 0 ? 0x90 : 0xCC;
    }
    Bytes target = Recompiled(source, random);
    std::fill(target.begin() + 20000, target.begin() + 26000, 0);
    for (std::int32_t candidates : {BlockMaxCandidates, 5000}) {
        out.push_back({"equal runs candidates " + std::to_string(candidates), target, source,
                       candidates, 20, 10});
    }
}

TEST(FindMatches, EveryStrategyEqualsPlainRulesAndRebuildsTarget) {
    Comparisons cases;
    for (auto add : {AddStructured, AddFullBlocks, AddShortBlocks, AddMinimumLengths,
                     AddCandidateLimits, AddLadder, AddTies, AddSparseAndDense, AddEqualRuns}) {
        add(cases);
    }
    const std::vector<NamedStrategy> strategies = Strategies();
    // One finder per strategy, reused from case to case as the encoder
    // reuses its own from block to block.
    std::vector<MatchFinder> finders;
    for (const NamedStrategy& strategy : strategies) {
        finders.emplace_back(strategy.strategy);
    }
    std::size_t caseIndex = 0;
    for (const Comparison& c : cases) {
        const Matches plain = PlainFind(c.target, c.source, c.candidates, c.minimum);
        ExpectRebuildsTarget(plain, c.target, c.source, c.minimum);
        EXPECT_GE(plain.records.size() - 1, c.leastRecords) << c.label;
        EXPECT_GE(plain.literals.size(), c.leastLiterals) << c.label;
        // Every other run writes the literals into the target block itself,
        // so each strategy meets both ways over the cases.
        for (std::size_t i = 0; i < strategies.size(); ++i) {
            const bool inPlace = (i + caseIndex) % 2 == 1;
            ASSERT_TRUE(Find(c.target, c.source, c.candidates, &finders[i], c.minimum, inPlace) ==
                        plain)
                << c.label << ", " << strategies[i].name << (inPlace ? ", in place" : "");
        }
        ++caseIndex;
    }
}

TEST(FindMatches, EachCandidateLimitFindsExactlyItsOwnRun) {
    const auto [target, source] = Ladder();
    MatchFinder finder;
    for (std::int32_t limit = 1; limit <= LadderSegments + 2; ++limit) {
        const Matches tuned = Find(target, source, limit, &finder);
        ASSERT_GE(tuned.records.size(), 2u);
        const std::int32_t examined = std::min(limit, LadderSegments);
        EXPECT_EQ(tuned.records[0].TargetPos, 1);
        EXPECT_EQ(tuned.records[0].Length, 19 + examined) << "limit " << limit;
        EXPECT_EQ(tuned.records[0].SourcePos, 120 * (LadderSegments - examined) + 1)
            << "limit " << limit;
    }
}

TEST(FindMatches, NoCandidateLeavesEveryByteALiteral) {
    std::mt19937 random(19);
    const Bytes source = CodeLike(random, 80000);
    const Bytes target = Recompiled(source, random);
    EXPECT_EQ(Find(target, source, 0).literals, target);
}

TEST(FindMatches, AdaptiveFinderMovesToListsWhenSearchesAreDenseAndBack) {
    // Each block ends on the index its searches call for, and a finder
    // starts the next block on lists after a dense one; the output stays
    // that of the plain rules throughout.
    std::mt19937 random(27);
    const Bytes sparseSource = test::RandomBytes(random, 300000);
    const Bytes sparseTarget = SimilarTo(sparseSource, random);
    // The same instruction words in another order: nearly every position is
    // searched, against full lists.
    const Bytes denseSource = CodeLike(random, 300000);
    const Bytes denseTarget = CodeLike(random, 300000);
    const Matches sparse = PlainFind(sparseTarget, sparseSource, BlockMaxCandidates);
    const Matches dense = PlainFind(denseTarget, denseSource, BlockMaxCandidates);
    MatchFinder finder;
    struct Step {
        bool isDense;
        MatchIndex began;
        MatchIndex ended;
    };
    const std::vector<Step> steps{{false, MatchIndex::Chains, MatchIndex::Chains},
                                  {true, MatchIndex::Chains, MatchIndex::Lists},
                                  {true, MatchIndex::Lists, MatchIndex::Lists},
                                  {false, MatchIndex::Lists, MatchIndex::Lists},
                                  {false, MatchIndex::Chains, MatchIndex::Chains}};
    for (const Step& step : steps) {
        const Matches found = step.isDense ? Find(denseTarget, denseSource, 25, &finder)
                                           : Find(sparseTarget, sparseSource, 25, &finder);
        const auto n = &step - steps.data();
        EXPECT_TRUE(found == (step.isDense ? dense : sparse)) << "step " << n;
        EXPECT_EQ(finder.LastRoute().Began, step.began) << "step " << n;
        EXPECT_EQ(finder.LastRoute().Ended, step.ended) << "step " << n;
    }
}

TEST(FindMatches, ScansTheProcessorLacksAreRefused) {
    const Bytes data = Random(100, 24);
    for (MatchScan scan : {MatchScan::Scalar, MatchScan::Avx2, MatchScan::Avx512}) {
        MatchFinder finder(MatchStrategy{scan});
        if (MatchScanSupported(scan)) {
            EXPECT_EQ(Find(data, data, 25, &finder).records.size(), 2u);
        } else {
            EXPECT_THROW(Find(data, data, 25, &finder), Exception);
        }
    }
}

TEST(FindMatches, TablesReusedAcrossBlockSizesGiveFreshResults) {
    // Large, small, large again: nothing of an earlier block may leak into
    // a later one.
    std::mt19937 random(20);
    const Bytes big = CodeLike(random, 300000);
    const Bytes bigTarget = Recompiled(big, random);
    const Bytes small = CodeLike(random, 3000);
    const Bytes smallTarget = Recompiled(small, random);
    const Matches bigPlain = PlainFind(bigTarget, big, 25);
    for (const NamedStrategy& strategy : Strategies()) {
        MatchFinder finder(strategy.strategy);
        EXPECT_TRUE(Find(bigTarget, big, 25, &finder) == bigPlain) << strategy.name;
        EXPECT_TRUE(Find(smallTarget, small, 25, &finder) == PlainFind(smallTarget, small, 25))
            << strategy.name;
        EXPECT_TRUE(Find(smallTarget, big, 25, &finder) == PlainFind(smallTarget, big, 25))
            << strategy.name;
        EXPECT_TRUE(Find(bigTarget, big, 25, &finder) == bigPlain) << strategy.name;
    }
}

} // namespace
} // namespace kestro
