// Micro-benchmarks of the engine's hot paths, reported in MB/s of target
// (newer-file) bytes. The block pair is one 1 MiB block of a real program
// and a rebuilt version of it: small scattered edits, as when addresses
// shift, and a few insertions. The program is KESTRO_BENCH_FILE if set,
// else Debian's cmake binary (present wherever this builds), else the
// benchmark itself.
#include "engine/BlockStream.hpp"
#include "engine/Crc32.hpp"
#include "engine/MatchFinder.hpp"
#include "platform/ByteStream.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
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

void BM_FindMatches(benchmark::State& state) {
    const BlockPair& pair = Pair();
    Bytes literals(kestro::BlockSize);
    Bytes records(kestro::BlockSize);
    std::int32_t literalCount = 0;
    std::int32_t recordBytes = 0;
    kestro::MatchParams params;
    params.Target = pair.target.data();
    params.Source = pair.source.data();
    params.TargetLength = static_cast<std::int32_t>(pair.target.size());
    params.SourceLength = static_cast<std::int32_t>(pair.source.size());
    params.MaxCandidates = 25;
    params.MinMatchLength = kestro::BlockMinMatchLength;
    params.Literals = literals.data();
    params.Records = records.data();
    params.LiteralCountOut = &literalCount;
    params.RecordBytesOut = &recordBytes;
    kestro::MatchTables tables;
    for (auto _ : state) {
        kestro::FindMatches(params, tables);
        benchmark::DoNotOptimize(literalCount);
    }
    state.counters["literals"] = literalCount;
    state.counters["records"] = recordBytes / 12;
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pair.target.size()));
}
BENCHMARK(BM_FindMatches)->Unit(benchmark::kMillisecond);

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
    kestro::EncodeBlockStream(newer, original, delta, 25);
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

void BM_Crc32Buffer(benchmark::State& state) {
    const BlockPair& pair = Pair();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestro::Crc32Buffer(pair.source.data(), pair.source.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pair.source.size()));
}
BENCHMARK(BM_Crc32Buffer)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
