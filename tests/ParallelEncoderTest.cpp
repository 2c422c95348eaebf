// The block stream encoder codes blocks on several threads; whatever their
// number, the stream must be the one that coding the blocks one after
// another gives, and a failure must leave the same prefix and no thread.
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "engine/BlockStream.hpp"
#include "engine/CopyRecord.hpp"
#include "engine/Crc32.hpp"
#include "engine/MatchFinder.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

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
        std::int32_t literalCount = 0;
        std::int32_t recordBytes = 0;
        MatchParams params{target,
                           source,
                           static_cast<std::int32_t>(b),
                           static_cast<std::int32_t>(c),
                           25,
                           BlockMinMatchLength,
                           literals.data(),
                           records.data(),
                           &literalCount,
                           &recordBytes};
        FindMatches(params);
        out.push_back(1);
        PutField(out, Crc32Buffer(target, b));
        PutField(out, Crc32Buffer(source, c));
        PutField(out, static_cast<std::uint32_t>(literalCount));
        PutField(out, static_cast<std::uint32_t>(recordBytes));
        out.insert(out.end(), literals.begin(), literals.begin() + literalCount);
        out.insert(out.end(), records.begin(), records.begin() + recordBytes);
    }
}

// An original and a newer version of it with a little of everything: edits,
// insertions that shift the rest, a block of new bytes.
std::pair<Bytes, Bytes> FilePair(std::mt19937& random, std::size_t size) {
    const Bytes original = test::RandomBytes(random, size);
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
        const Bytes fresh = test::RandomBytes(random, BlockSize / 2);
        std::copy(fresh.begin(), fresh.end(), newer.begin() + BlockSize + 1000);
    }
    return {original, newer};
}

TEST(ParallelEncoder, EveryThreadCountGivesThePlainStream) {
    // Fewer, as many and more blocks than threads; a last block shorter than
    // the rest; files of different lengths in both directions.
    for (unsigned seed : {1u, 2u}) {
        std::mt19937 random(seed);
        std::vector<std::pair<Bytes, Bytes>> pairs;
        pairs.push_back(FilePair(random, 5 * BlockSize + 12345));
        pairs.push_back(FilePair(random, 3 * BlockSize));
        pairs.push_back(FilePair(random, BlockSize / 3));
        auto [original, newer] = FilePair(random, 2 * BlockSize + 77);
        newer.insert(newer.end(), original.begin(), original.end()); // grows past the original
        pairs.emplace_back(original, newer);
        pairs.emplace_back(newer, original); // shrinks: the end block reads more original
        pairs.emplace_back(original, Bytes());
        pairs.emplace_back(Bytes(), newer);
        for (const auto& [old, fresh] : pairs) {
            const Bytes plain = PlainEncode(fresh, old);
            for (std::int32_t threads : {1, 2, 3, 4, 7}) {
                ASSERT_TRUE(Encode(fresh, old, threads) == plain)
                    << "seed " << seed << " sizes " << fresh.size() << "/" << old.size()
                    << " threads " << threads;
            }
        }
    }
}

TEST(ParallelEncoder, DefaultThreadCountGivesThePlainStream) {
    std::mt19937 random(3);
    const auto [original, newer] = FilePair(random, 4 * BlockSize + 5);
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
    const auto [original, newer] = FilePair(random, 6 * BlockSize + 99);
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
    // blocks wholly read before it are all written, in order.
    std::mt19937 random(5);
    const auto [original, newer] = FilePair(random, 6 * BlockSize + 99);
    const Bytes plain = PlainEncode(newer, original);
    for (std::int32_t threads : {1, 2, 3, 4}) {
        for (int failing : {0, 1, 4, 6}) {
            const std::int64_t room = std::int64_t{BlockSize} * failing + 10;
            for (bool newerFails : {true, false}) {
                FailingStream failingNewer(newer, newerFails ? room : INT64_MAX);
                FailingStream failingOriginal(original, newerFails ? INT64_MAX : room);
                MemoryStream out;
                EXPECT_THROW(EncodeBlockStream(failingNewer, failingOriginal, out,
                                               BlockMaxCandidates, threads),
                             EReadError)
                    << "threads " << threads << " block " << failing;
                // Block k starts after the fields and data of blocks 1..k-1.
                const Bytes written = out.Bytes();
                EXPECT_TRUE(IsPrefix(written, plain)) << "threads " << threads;
                std::size_t blocks = 0;
                for (std::size_t at = 0; at < written.size(); ++blocks) {
                    at += written[at + 4] == 0 ? 13 + GetLe32(written.data() + at + 5)
                                               : 21 + GetLe32(written.data() + at + 13) +
                                                     GetLe32(written.data() + at + 17);
                }
                EXPECT_EQ(blocks, static_cast<std::size_t>(failing))
                    << "threads " << threads << " newer fails " << newerFails;
            }
        }
    }
}

} // namespace
} // namespace kestro
