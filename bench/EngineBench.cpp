// Micro-benchmarks of the engine's hot paths, reported in MB/s of target
// (newer-file) bytes. The block pair is one 1 MiB block of a real program
// and a rebuilt version of it: small scattered edits, as when addresses
// shift, and a few insertions. The program is KESTRO_BENCH_FILE if set,
// else Debian's cmake binary (present wherever this builds), else the
// benchmark itself.
//
// The "Recompiled" pairs model a new build of the same program instead:
// every few dozen bytes a changed address or a small insertion or deletion,
// which leaves many short matches among many literals and keeps the match
// finder busy with candidates that lose. That is the costly case; a real
// pair of files can be measured the same way by naming them in
// KESTRO_BENCH_OLD and KESTRO_BENCH_NEW.
//
// The "Similar" pair is the other extreme, as between two large files that
// differ only here and there (bench/synthetic-pair.py writes such files):
// random bytes with a few changed runs per 256 KiB and a rare insertion or
// deletion. Long matches skip ahead, so about one position per KiB is
// searched and building the source index is nearly all the work.
//
// The "IndexOnly" cases run the finder with a 4-byte target, which searches
// nothing of note: what they measure is indexing the 1 MiB source block.
#include "checksum/Crc32.hpp"
#include "checksum/Crc32Kernels.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/blocks/MatchFinder.hpp"
#include "common/ByteStream.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes LoadSample() {
    const char* name = std::getenv("KESTRO_BENCH_FILE");
    std::ifstream in(name != nullptr ? name : "/usr/bin/cmake", std::ios::binary);
    if (!in) {
        in.open("/proc/self/exe", std::ios::binary);
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 4096) {
        throw std::runtime_error("no sample file to benchmark with");
    }
    // Repeat a small sample up to one block.
    while (bytes.size() < static_cast<std::size_t>(kestro::BlockSize)) {
        bytes.insert(bytes.end(), bytes.begin(), bytes.end());
    }
    bytes.resize(kestro::BlockSize);
    return bytes;
}

struct BlockPair {
    Bytes source = LoadSample();
    Bytes target;
    BlockPair() {
        std::mt19937 random(1);
        target = source;
        for (std::size_t at = 0; at + 4 < target.size(); at += 2000 + random() % 2000) {
            target[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
            target[at + 1] += 1;
        }
        for (int i = 0; i < 16; ++i) {
            const auto at = static_cast<std::ptrdiff_t>(random() % target.size());
            target.insert(target.begin() + at, 16, static_cast<std::uint8_t>(i));
        }
        target.resize(source.size());
    }
};

const BlockPair& Pair() {
    static const BlockPair pair;
    return pair;
}

// A new build of source, as described at the top.
Bytes Recompiled(const Bytes& source, std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes out;
    out.reserve(size);
    std::size_t at = 0;
    while (out.size() < size) {
        const std::size_t run = 16 + random() % 100;
        for (std::size_t i = 0; i < run; ++i) {
            out.push_back(source[(at + i) % source.size()]);
        }
        at += run;
        const unsigned change = random() % 16;
        if (change < 10) {
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<std::uint8_t>(random()));
            }
            at += 4;
        } else if (change < 13) {
            for (unsigned i = 0, n = 1 + random() % 8; i < n; ++i) {
                out.push_back(static_cast<std::uint8_t>(random()));
            }
        } else {
            at += 1 + random() % 8;
        }
    }
    out.resize(size);
    return out;
}

struct RecompiledPair {
    Bytes source = LoadSample();
    Bytes target = Recompiled(source, source.size(), 2);
};

const RecompiledPair& Rebuilt() {
    static const RecompiledPair pair;
    return pair;
}

// A copy of source with the edits described at the top for the "Similar"
// pair.
Bytes Similar(const Bytes& source, unsigned seed) {
    std::mt19937 random(seed);
    constexpr std::size_t chunk = 256 * 1024;
    Bytes out;
    for (std::size_t start = 0; start < source.size(); start += chunk) {
        Bytes piece(source.begin() + static_cast<std::ptrdiff_t>(start),
                    source.begin() +
                        static_cast<std::ptrdiff_t>(std::min(start + chunk, source.size())));
        for (int i = 0; i < 4; ++i) {
            const std::size_t at = random() % piece.size();
            const std::size_t run = 1 + random() % 63;
            for (std::size_t k = at; k < std::min(at + run, piece.size()); ++k) {
                piece[k] = static_cast<std::uint8_t>(random());
            }
        }
        if (random() % 4 == 0) {
            const auto at = static_cast<std::ptrdiff_t>(random() % piece.size());
            const std::size_t count = 1 + random() % 15;
            if (random() % 2 == 0) {
                piece.insert(piece.begin() + at, count, static_cast<std::uint8_t>(random()));
            } else {
                piece.erase(piece.begin() + at,
                            piece.begin() + std::min<std::ptrdiff_t>(
                                                at + static_cast<std::ptrdiff_t>(count),
                                                static_cast<std::ptrdiff_t>(piece.size())));
            }
        }
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.resize(source.size());
    return out;
}

struct SimilarPair {
    Bytes source;
    Bytes target;
    SimilarPair() {
        std::mt19937 random(4);
        source.resize(kestro::BlockSize);
        for (std::uint8_t& byte : source) {
            byte = static_cast<std::uint8_t>(random());
        }
        target = Similar(source, 5);
    }
};

const SimilarPair& Alike() {
    static const SimilarPair pair;
    return pair;
}

// Whole files named by KESTRO_BENCH_OLD and KESTRO_BENCH_NEW; empty when
// either is not set or cannot be read.
struct FilePair {
    Bytes original;
    Bytes newer;
    FilePair() {
        const char* oldName = std::getenv("KESTRO_BENCH_OLD");
        const char* newName = std::getenv("KESTRO_BENCH_NEW");
        if (oldName != nullptr && newName != nullptr) {
            original = ReadWhole(oldName);
            newer = ReadWhole(newName);
        }
    }
    static Bytes ReadWhole(const char* name) {
        std::ifstream in(name, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

const FilePair& Files() {
    static const FilePair pair;
    return pair;
}

// Runs the finder over a block pair as the block stream encoder does.
struct Finder {
    Bytes literals = Bytes(kestro::BlockSize);
    Bytes records = Bytes(kestro::BlockSize);
    kestro::MatchCounts counts;
    kestro::MatchFinder finder;

    explicit Finder(kestro::MatchStrategy strategy = {}) : finder(strategy) {}

    void Run(const std::uint8_t* target, std::size_t targetLength, const std::uint8_t* source,
             std::size_t sourceLength) {
        kestro::MatchParams params;
        params.Target = target;
        params.Source = source;
        params.TargetLength = static_cast<std::int32_t>(targetLength);
        params.SourceLength = static_cast<std::int32_t>(sourceLength);
        params.MaxCandidates = kestro::BlockMaxCandidates;
        params.MinMatchLength = kestro::BlockMinMatchLength;
        params.Literals = literals.data();
        params.Records = records.data();
        counts = finder.Find(params);
    }
};

void FindMatchesOn(benchmark::State& state, const Bytes& target, const Bytes& source,
                   kestro::MatchStrategy strategy = {}) {
    Finder finder(strategy);
    for (auto _ : state) {
        finder.Run(target.data(), target.size(), source.data(), source.size());
        benchmark::DoNotOptimize(finder.counts.LiteralCount);
    }
    state.counters["literals"] = finder.counts.LiteralCount;
    state.counters["records"] = finder.counts.RecordBytes / 12;
    // Whether the last run ended on lists (1) or chains (0).
    state.counters["lists"] = finder.finder.LastRoute().Ended == kestro::MatchIndex::Lists;
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(target.size()));
}

void BM_FindMatches(benchmark::State& state) {
    FindMatchesOn(state, Pair().target, Pair().source);
}
BENCHMARK(BM_FindMatches)->Unit(benchmark::kMillisecond);

void BM_FindMatchesRecompiled(benchmark::State& state) {
    FindMatchesOn(state, Rebuilt().target, Rebuilt().source);
}
BENCHMARK(BM_FindMatchesRecompiled)->Unit(benchmark::kMillisecond);

// The ways of picking candidates out of a list side by side, on the pair
// where the scan has the most to do.
void BM_FindMatchesRecompiledScan(benchmark::State& state, kestro::MatchScan scan) {
    if (!kestro::MatchScanSupported(scan)) {
        state.SkipWithError("the processor lacks these instructions");
        return;
    }
    FindMatchesOn(state, Rebuilt().target, Rebuilt().source, {scan, kestro::MatchIndex::Lists});
}
BENCHMARK_CAPTURE(BM_FindMatchesRecompiledScan, Scalar, kestro::MatchScan::Scalar)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesRecompiledScan, Avx2, kestro::MatchScan::Avx2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesRecompiledScan, Avx512, kestro::MatchScan::Avx512)
    ->Unit(benchmark::kMillisecond);

void BM_FindMatchesSimilar(benchmark::State& state) {
    FindMatchesOn(state, Alike().target, Alike().source);
}
BENCHMARK(BM_FindMatchesSimilar)->Unit(benchmark::kMillisecond);

// The block pairs by name, for running each of them several ways.
struct PairBytes {
    const Bytes& target;
    const Bytes& source;
};
PairBytes EditedBytes() {
    return {Pair().target, Pair().source};
}
PairBytes RebuiltBytes() {
    return {Rebuilt().target, Rebuilt().source};
}
PairBytes SimilarBytes() {
    return {Alike().target, Alike().source};
}

// Each pair over each index: Adaptive should come close to the better of
// the other two on every pair.
void BM_FindMatchesIndexed(benchmark::State& state, PairBytes (*pair)(), kestro::MatchIndex index) {
    const PairBytes bytes = pair();
    FindMatchesOn(state, bytes.target, bytes.source, {kestro::MatchScan::Best, index});
}
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Edited_Chains, EditedBytes, kestro::MatchIndex::Chains)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Edited_Lists, EditedBytes, kestro::MatchIndex::Lists)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Edited_Adaptive, EditedBytes, kestro::MatchIndex::Adaptive)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Recompiled_Chains, RebuiltBytes,
                  kestro::MatchIndex::Chains)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Recompiled_Lists, RebuiltBytes, kestro::MatchIndex::Lists)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Recompiled_Adaptive, RebuiltBytes,
                  kestro::MatchIndex::Adaptive)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Similar_Chains, SimilarBytes, kestro::MatchIndex::Chains)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Similar_Lists, SimilarBytes, kestro::MatchIndex::Lists)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesIndexed, Similar_Adaptive, SimilarBytes,
                  kestro::MatchIndex::Adaptive)
    ->Unit(benchmark::kMillisecond);

// The worst case for Adaptive: a finder whose blocks alternate between the
// two extremes, so that each block starts on the index the other needed.
void BM_FindMatchesAlternating(benchmark::State& state, kestro::MatchIndex index) {
    Finder finder({kestro::MatchScan::Best, index});
    for (auto _ : state) {
        for (PairBytes (*pair)() : {SimilarBytes, RebuiltBytes}) {
            const PairBytes bytes = pair();
            finder.Run(bytes.target.data(), bytes.target.size(), bytes.source.data(),
                       bytes.source.size());
        }
        benchmark::DoNotOptimize(finder.counts.LiteralCount);
    }
    state.SetBytesProcessed(state.iterations() * 2 * std::int64_t{kestro::BlockSize});
}
BENCHMARK_CAPTURE(BM_FindMatchesAlternating, Chains, kestro::MatchIndex::Chains)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesAlternating, Lists, kestro::MatchIndex::Lists)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindMatchesAlternating, Adaptive, kestro::MatchIndex::Adaptive)
    ->Unit(benchmark::kMillisecond);

// Indexing a source block: program code (many keys repeat, lists are cut at
// the candidate limit) and random bytes (nearly every position kept).
// Reported per source byte.
void IndexOnly(benchmark::State& state, const Bytes& source,
               kestro::MatchIndex index = kestro::MatchIndex::Adaptive) {
    FindMatchesOn(state, Bytes(source.begin(), source.begin() + 4), source,
                  {kestro::MatchScan::Best, index});
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source.size()));
}

void BM_IndexOnlyCode(benchmark::State& state) {
    IndexOnly(state, Rebuilt().source);
}
BENCHMARK(BM_IndexOnlyCode)->Unit(benchmark::kMillisecond);

void BM_IndexOnlyRandom(benchmark::State& state) {
    IndexOnly(state, Alike().source);
}
BENCHMARK(BM_IndexOnlyRandom)->Unit(benchmark::kMillisecond);

void BM_IndexOnlyLists(benchmark::State& state, PairBytes (*pair)()) {
    IndexOnly(state, pair().source, kestro::MatchIndex::Lists);
}
BENCHMARK_CAPTURE(BM_IndexOnlyLists, Code, RebuiltBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IndexOnlyLists, Random, SimilarBytes)->Unit(benchmark::kMillisecond);

// Every block pair of the files in KESTRO_BENCH_OLD and KESTRO_BENCH_NEW,
// one thread, as the encoder would code them.
void BM_FindMatchesFiles(benchmark::State& state) {
    const FilePair& files = Files();
    if (files.newer.empty()) {
        state.SkipWithError("KESTRO_BENCH_OLD and KESTRO_BENCH_NEW name no two files");
        return;
    }
    const std::size_t block = kestro::BlockSize;
    Finder finder;
    for (auto _ : state) {
        for (std::size_t at = 0; at < files.newer.size() && at + 4 <= files.original.size();
             at += block) {
            const std::size_t b = std::min(block, files.newer.size() - at);
            const std::size_t c = std::min(block, files.original.size() - at);
            if (b >= 4 && c >= b / 4) {
                finder.Run(files.newer.data() + at, b, files.original.data() + at, c);
            }
        }
        benchmark::DoNotOptimize(finder.counts.LiteralCount);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(files.newer.size()));
}
BENCHMARK(BM_FindMatchesFiles)->Unit(benchmark::kMillisecond);

kestro::MemoryStream StreamOf(const Bytes& bytes) {
    kestro::MemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(0);
    return stream;
}

void BM_DecodeBlockStream(benchmark::State& state) {
    const BlockPair& pair = Pair();
    kestro::MemoryStream newer = StreamOf(pair.target);
    kestro::MemoryStream original = StreamOf(pair.source);
    kestro::MemoryStream delta;
    kestro::EncodeBlockStream(newer, original, delta, kestro::BlockMaxCandidates);
    kestro::MemoryStream out;
    for (auto _ : state) {
        delta.SetPosition(0);
        original.SetPosition(0);
        out.SetPosition(0);
        kestro::DecodeBlockStream(delta, original, out);
    }
    state.counters["delta_bytes"] = static_cast<double>(delta.Size());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pair.target.size()));
}
BENCHMARK(BM_DecodeBlockStream)->Unit(benchmark::kMillisecond);

// The whole encoder over an 8 MiB recompiled pair: CRCs, the finder and the
// stream writing, on as many threads as the encoder chooses.
void BM_EncodeBlockStream(benchmark::State& state) {
    const Bytes& block = Rebuilt().source;
    Bytes original;
    for (int i = 0; i < 8; ++i) {
        original.insert(original.end(), block.begin(), block.end());
    }
    const Bytes newer = Recompiled(original, original.size(), 3);
    kestro::MemoryStream newerStream = StreamOf(newer);
    kestro::MemoryStream originalStream = StreamOf(original);
    kestro::MemoryStream delta;
    for (auto _ : state) {
        newerStream.SetPosition(0);
        originalStream.SetPosition(0);
        delta.SetPosition(0);
        kestro::EncodeBlockStream(newerStream, originalStream, delta, kestro::BlockMaxCandidates);
    }
    state.counters["delta_bytes"] = static_cast<double>(delta.Size());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(newer.size()));
}
BENCHMARK(BM_EncodeBlockStream)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Crc32Buffer(benchmark::State& state) {
    const BlockPair& pair = Pair();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestro::Crc32Buffer(pair.source.data(), pair.source.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pair.source.size()));
}
BENCHMARK(BM_Crc32Buffer)->Unit(benchmark::kMicrosecond);

// One CRC-32 kernel over the same block as BM_Crc32Buffer, so that the
// portable kernel and each accelerated one can be compared side by side.
void BM_Crc32Kernel(benchmark::State& state, std::string_view name) {
    const auto kernels = kestro::Crc32Kernels();
    const auto kernel = std::find_if(kernels.begin(), kernels.end(),
                                     [name](const auto& k) { return k.Name == name; });
    if (kernel == kernels.end() || !kernel->Unsupported.empty()) {
        state.SkipWithError(kernel == kernels.end() ? "not built for this processor architecture"
                                                    : std::string(kernel->Unsupported).c_str());
        return;
    }
    const Bytes& block = Pair().source;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernel->Update(block.data(), 0xFFFFFFFFu, block.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}
BENCHMARK_CAPTURE(BM_Crc32Kernel, table, "table")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Crc32Kernel, pclmul, "pclmul")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Crc32Kernel, vpclmul512, "vpclmul512")->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
