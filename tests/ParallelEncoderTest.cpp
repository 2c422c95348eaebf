// The block stream encoder codes blocks on several threads; whatever their
// number, the stream must be the one that coding the blocks one after
// another gives, and a failure must leave the same prefix and no thread.
#include "checksum/Crc32.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "codec/blocks/MatchFinder.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>

namespace kestro {
namespace {

using test::Bytes;
using test::Encode;
using test::FullStream;
using test::IsPrefix;
using test::StreamOf;

void PutField(Bytes& out, std::uint32_t value) {
    std::uint8_t field[4];
    PutLe32(field, value);
    out.insert(out.end(), field, field + 4);
}

// The block stream written one block after another, straight from the
// rules: every block takes the next 1 MiB of both files, is stored when
// either length is under 4 or the original's is under a quarter of the
// newer's, and is otherwise coded with the match finder.
Bytes PlainEncode(const Bytes& newer, const Bytes& original) {
    Bytes out;
    Bytes literals(BlockSize);
    Bytes records(BlockSize);
    for (std::size_t at = 0;; at += BlockSize) {
        const std::size_t b =
            at < newer.size() ? std::min<std::size_t>(BlockSize, newer.size() - at) : 0;
        const std::size_t c =
            at < original.size() ? std::min<std::size_t>(BlockSize, original.size() - at) : 0;
        const std::uint8_t* target = newer.data() + std::min(at, newer.size());
        const std::uint8_t* source = original.data() + std::min(at, original.size());
        PutField(out, static_cast<std::uint32_t>(c));
        if (b < 4 || c < 4 || c < b / 4) {
            out.push_back(0);
            PutField(out, static_cast<std::uint32_t>(b));
            if (b == 0) {
                return out;
            }
            PutField(out, Crc32Buffer(target, b));
            out.insert(out.end(), target, target + b);
            continue;
        }
        const MatchParams params{target,
                                 source,
                                 static_cast<std::int32_t>(b),
                                 static_cast<std::int32_t>(c),
                                 BlockMaxCandidates,
                                 BlockMinMatchLength,
                                 literals.data(),
                                 records.data()};
        const MatchCounts counts = MatchFinder().Find(params);
        const std::int32_t literalCount = counts.LiteralCount;
        const std::int32_t recordBytes = counts.RecordBytes;
        out.push_back(1);
        PutField(out, Crc32Buffer(target, b));
        PutField(out, Crc32Buffer(source, c));
        PutField(out, static_cast<std::uint32_t>(literalCount));
        PutField(out, static_cast<std::uint32_t>(recordBytes));
        out.insert(out.end(), literals.begin(), literals.begin() + literalCount);
        out.insert(out.end(), records.begin(), records.begin() + recordBytes);
    }
}

// Bytes in runs of 64 equal values, each value drawn from random: cheap to
// make and to code, yet different from block to block, so that a block
// written out of order or coded against another block's original changes
// the stream. The encoder's threading does not depend on what the blocks
// hold.
Bytes Runs(std::mt19937& random, std::size_t size) {
    constexpr std::size_t Run = 64;
    Bytes bytes(size);
    for (std::size_t at = 0; at < size; at += Run) {
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::min(Run, size - at),
                    static_cast<std::uint8_t>(random()));
    }
    return bytes;
}

// An original and a newer version of it with a little of everything: edits,
// insertions that shift the rest, a stretch of new bytes.
std::pair<Bytes, Bytes> FilePair(std::mt19937& random, std::size_t size) {
    const Bytes original = Runs(random, size);
    Bytes newer = original;
    for (std::size_t i = 0; i + 4 < newer.size(); i += 500 + random() % 3000) {
        newer[i] ^= static_cast<std::uint8_t>(1 + random() % 255);
    }
    for (int i = 0; i < 20 && !newer.empty(); ++i) {
        const Bytes extra = test::RandomBytes(random, random() % 40);
        newer.insert(newer.begin() + static_cast<std::ptrdiff_t>(random() % newer.size()),
                     extra.begin(), extra.end());
    }
    if (newer.size() > 2 * static_cast<std::size_t>(BlockSize)) {
        const Bytes fresh = Runs(random, BlockSize / 2);
        std::copy(fresh.begin(), fresh.end(), newer.begin() + BlockSize + 1000);
    }
    return {original, newer};
}

// The number of blocks in stream, read from their headers, when it ends
// right behind a block; none when it ends inside one.
std::optional<std::size_t> WholeBlocks(const Bytes& stream) {
    std::size_t blocks = 0;
    for (std::size_t at = 0; at < stream.size(); ++blocks) {
        const std::uint8_t* block = stream.data() + at;
        const std::size_t left = stream.size() - at;
        std::size_t size = 0;
        if (left >= EndBlockBytes && block[KindField] == 0) {
            const std::uint32_t length = GetLe32(block + BlockLengthField);
            size = length == 0 ? EndBlockBytes : StoredHeaderBytes + length;
        } else if (left >= CodedHeaderBytes && block[KindField] == 1) {
            size = CodedHeaderBytes + GetLe32(block + LiteralCountField) +
                   GetLe32(block + RecordBytesField);
        } else {
            return std::nullopt;
        }
        if (size > left) {
            return std::nullopt;
        }
        at += size;
    }
    return blocks;
}

TEST(ParallelEncoder, EveryThreadCountGivesThePlainStream) {
    // Four data blocks, the last one shorter: more blocks than one to three
    // threads, as many as four, fewer than seven. Then two blocks and a few
    // bytes, a single block, files of different lengths in both directions
    // and empty files.
    std::mt19937 random(1);
    std::vector<std::pair<Bytes, Bytes>> pairs;
    pairs.push_back(FilePair(random, 3 * BlockSize + 12345));
    pairs.push_back(FilePair(random, 2 * BlockSize));
    pairs.push_back(FilePair(random, BlockSize / 3));
    auto [original, newer] = FilePair(random, BlockSize + 77);
    newer.insert(newer.end(), original.begin(), original.end()); // grows past the original
    pairs.emplace_back(original, newer);
    pairs.emplace_back(newer, original); // shrinks: the end block reads more original
    pairs.emplace_back(original, Bytes());
    pairs.emplace_back(Bytes(), newer);
    for (const auto& [old, fresh] : pairs) {
        const Bytes plain = PlainEncode(fresh, old);
        for (std::int32_t threads : {1, 2, 3, 4, 7}) {
            ASSERT_TRUE(Encode(fresh, old, threads) == plain)
                << "sizes " << fresh.size() << "/" << old.size() << " threads " << threads;
        }
    }
}

TEST(ParallelEncoder, DefaultThreadCountGivesThePlainStream) {
    std::mt19937 random(3);
    const auto [original, newer] = FilePair(random, 2 * BlockSize + 5);
    MemoryStream newerStream = StreamOf(newer);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates);
    EXPECT_TRUE(out.Bytes() == PlainEncode(newer, original));
    EXPECT_GE(EncoderThreads(), 1);
    EXPECT_LE(EncoderThreads(), static_cast<std::int32_t>(MaxEncoderThreads));
}

// A memory stream whose reads fail once `room` bytes have been read, like a
// file on a failing disk.
class FailingStream final : public ByteStream {
public:
    FailingStream(const Bytes& bytes, std::int64_t room) : bytes_(StreamOf(bytes)), room_(room) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        if (bytes_.Position() + count > room_) {
            throw EReadError("Cannot read file failing");
        }
        return bytes_.Read(buffer, count);
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Position() const override { return bytes_.Position(); }
    void SetPosition(std::int64_t position) override { bytes_.SetPosition(position); }
    std::int64_t Size() const override { return bytes_.Size(); }

private:
    MemoryStream bytes_;
    std::int64_t room_;
};

TEST(ParallelEncoder, FullOutputFailsWithTheBlocksBeforeItWritten) {
    std::mt19937 random(4);
    const auto [original, newer] = FilePair(random, 3 * BlockSize + 99);
    const Bytes plain = PlainEncode(newer, original);
    for (std::int32_t threads : {1, 2, 4}) {
        const auto whole = static_cast<std::int64_t>(plain.size());
        for (std::int64_t room : {std::int64_t{0}, std::int64_t{3}, whole / 2, whole - 1}) {
            MemoryStream newerStream = StreamOf(newer);
            MemoryStream originalStream = StreamOf(original);
            FullStream out(room);
            EXPECT_THROW(
                EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates, threads),
                EWriteError)
                << "threads " << threads << " room " << room;
            EXPECT_EQ(out.Size(), room) << "threads " << threads;
            EXPECT_TRUE(IsPrefix(out.Kept(), plain)) << "threads " << threads << " room " << room;
        }
    }
}

TEST(ParallelEncoder, ReadFailureEndsTheEncoderAfterTheBlocksBeforeIt) {
    // The failure reaches the caller while other blocks are being coded; the
    // blocks wholly read before it are all written, in order. Four data
    // blocks: the read of the first, the second or the last, shorter one
    // fails.
    std::mt19937 random(5);
    const auto [original, newer] = FilePair(random, 3 * BlockSize + 99);
    const Bytes plain = PlainEncode(newer, original);
    for (std::int32_t threads : {1, 2, 3}) {
        for (std::size_t failing : {0u, 1u, 3u}) {
            const std::int64_t room = std::int64_t{BlockSize} * failing + 10;
            for (bool newerFails : {true, false}) {
                FailingStream failingNewer(newer, newerFails ? room : INT64_MAX);
                FailingStream failingOriginal(original, newerFails ? INT64_MAX : room);
                MemoryStream out;
                EXPECT_THROW(EncodeBlockStream(failingNewer, failingOriginal, out,
                                               BlockMaxCandidates, threads),
                             EReadError)
                    << "threads " << threads << " block " << failing;
                const Bytes written = out.Bytes();
                EXPECT_TRUE(IsPrefix(written, plain)) << "threads " << threads;
                EXPECT_EQ(WholeBlocks(written), failing)
                    << "threads " << threads << " newer fails " << newerFails;
            }
        }
    }
}

TEST(ParallelEncoder, CodingFailureOnAWorkerEndsTheEncoderAfterTheBlocksBeforeIt) {
    // Memory runs out as a worker's match finder sizes its tables for the
    // first block the worker codes: the failure reaches the caller once the
    // blocks before that one are written, and nothing behind them is. Which
    // worker asks first is up to the system, so the failing block is one of
    // the first few; the output must be the plain stream's blocks before it.
    // The encoder has stopped and joined every worker by then: a worker left
    // joinable would end the program when the encoder goes.
    std::mt19937 random(6);
    const Bytes original = Runs(random, 4 * BlockSize + 1000);
    Bytes newer = original;
    for (std::size_t i = 0; i < newer.size(); i += 500 + random() % 3000) {
        newer[i] ^= static_cast<std::uint8_t>(1 + random() % 255);
    }
    const Bytes plain = PlainEncode(newer, original);
    for (std::int32_t threads : {2, 3}) {
        const std::string what = "threads " + std::to_string(threads);
        MemoryStream newerStream = StreamOf(newer);
        MemoryStream originalStream = StreamOf(original);
        MemoryStream out;
        {
            test::OtherThreadAllocations watch;
            watch.RefuseOver(BlockSize, 1);
            EXPECT_THROW(
                EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates, threads),
                std::bad_alloc)
                << what;
            EXPECT_EQ(watch.Refused(), 1u) << what;
        }
        EXPECT_TRUE(IsPrefix(out.Bytes(), plain)) << what;
        EXPECT_LT(WholeBlocks(out.Bytes()), static_cast<std::size_t>(threads)) << what;
        // With memory to spare again the same encoder codes the whole pair.
        EXPECT_TRUE(Encode(newer, original, threads) == plain) << what;
    }
}

} // namespace
} // namespace kestro
