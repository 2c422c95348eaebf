#include "codec/blocks/BlockStream.hpp"
#include "checksum/Crc32.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace kestro {
namespace {

using test::Bytes;
using test::Encode;
using test::FullStream;
using test::IsPrefix;
using test::Random;
using test::StreamOf;

struct Decoded {
    Bytes out;                          // what reached the output
    std::optional<std::string> failure; // the message of a failure, if any
};

Decoded Decode(const Bytes& stream, const Bytes& original) {
    MemoryStream delta = StreamOf(stream);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    Decoded result;
    try {
        DecodeBlockStream(delta, originalStream, out);
    } catch (const Exception& failure) {
        result.failure = failure.Message();
    }
    result.out = out.Bytes();
    return result;
}

// Composes block streams field by field, for exact expectations and for
// damaged streams that the encoder would never write.
struct StreamBuilder {
    Bytes bytes;
    StreamBuilder& Int32(std::int64_t value) {
        std::uint8_t field[4];
        PutLe32(field, static_cast<std::uint32_t>(value));
        bytes.insert(bytes.end(), field, field + 4);
        return *this;
    }
    StreamBuilder& Byte(std::uint8_t value) {
        bytes.push_back(value);
        return *this;
    }
    StreamBuilder& Data(const Bytes& data) {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    StreamBuilder& Crc(const Bytes& data) { return Int32(Crc32Buffer(data.data(), data.size())); }
    StreamBuilder& Record(std::uint16_t length, std::int32_t sourcePos, std::int32_t targetPos) {
        std::uint8_t field[CopyRecordBytes];
        PutCopyRecord(field, CopyRecord{length, sourcePos, targetPos});
        bytes.insert(bytes.end(), field, field + CopyRecordBytes);
        return *this;
    }
    StreamBuilder& Stored(std::int32_t sourceLength, const Bytes& data) {
        Int32(sourceLength).Byte(0).Int32(static_cast<std::int64_t>(data.size()));
        return data.empty() ? *this : Crc(data).Data(data);
    }
    StreamBuilder& End(std::int32_t sourceLength = 0) {
        return Int32(sourceLength).Byte(0).Int32(0);
    }
};

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// ---- the layout, pinned byte for byte ----

// The named offsets are the layout that the format document describes;
// every other test takes its offsets from them.
TEST(BlockStreamFormat, FieldOffsetsArePinned) {
    struct Pin {
        const char* name;
        int value;
        int expected;
    };
    const Pin pins[] = {
        {"BlockSize", BlockSize, 1048576},
        {"SourceLengthField", SourceLengthField, 0},
        {"KindField", KindField, 4},
        {"BlockLengthField", BlockLengthField, 5},
        {"BlockCrcField", BlockCrcField, 9},
        {"TargetCrcField", TargetCrcField, 5},
        {"SourceCrcField", SourceCrcField, 9},
        {"LiteralCountField", LiteralCountField, 13},
        {"RecordBytesField", RecordBytesField, 17},
        {"EndBlockBytes", EndBlockBytes, 9},
        {"StoredHeaderBytes", StoredHeaderBytes, 13},
        {"CodedHeaderBytes", CodedHeaderBytes, 21},
        {"CopyRecordBytes", CopyRecordBytes, 12},
        {"CopyLengthField", CopyLengthField, 0},
        {"CopyReservedField", CopyReservedField, 2},
        {"CopySourcePosField", CopySourcePosField, 4},
        {"CopyTargetPosField", CopyTargetPosField, 8},
    };
    for (const Pin& pin : pins) {
        EXPECT_EQ(pin.value, pin.expected) << pin.name;
    }
}

TEST(BlockStreamFormat, EmptyNewerFileIsTheEndBlockAlone) {
    const Bytes original = Random(5000, 1);
    const Bytes expected = {0x88, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Encode({}, original), expected);
    EXPECT_EQ(Decode(expected, original).out, Bytes());
    EXPECT_FALSE(Decode(expected, original).failure);
}

TEST(BlockStreamFormat, ThreeByteNewerFileIsStored) {
    const Bytes original = Random(5000, 1);
    const Bytes abc = {0x61, 0x62, 0x63};
    const Bytes expected = StreamBuilder().Stored(5000, abc).End(0).bytes;
    ASSERT_EQ(expected.size(), 25u);
    EXPECT_EQ(Encode(abc, original), expected);
    EXPECT_EQ(Decode(expected, original).out, abc);
}

TEST(BlockStreamFormat, EqualFilesGiveTheFiftySixByteStream) {
    const Bytes data = Random(5000, 2);
    const Bytes expected = StreamBuilder()
                               .Int32(5000)
                               .Byte(1)
                               .Crc(data)
                               .Crc(data)
                               .Int32(2)
                               .Int32(24)
                               .Data(Bytes(data.end() - 2, data.end()))
                               .Record(4998, 1, 1)
                               .Record(0, 0, 5001)
                               .End(0)
                               .bytes;
    ASSERT_EQ(expected.size(), 56u);
    EXPECT_EQ(Encode(data, data), expected);
    EXPECT_EQ(Decode(expected, data).out, data);
}

// The worked example of doc/FORMAT.md, byte for byte: two equal files of
// 5000 bytes without internal repeats, made by the generator it names.
TEST(BlockStreamFormat, FormatDocumentExampleIsExact) {
    Bytes data(5000);
    std::uint32_t state = 1;
    for (auto& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    EXPECT_EQ(Crc32Buffer(data.data(), data.size()), 0x65F08BC4u);
    const Bytes expected = {0x88, 0x13, 0x00, 0x00, 0x01, 0xC4, 0x8B, 0xF0, 0x65, 0xC4, 0x8B, 0xF0,
                            0x65, 0x02, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x22, 0xF5, 0x86,
                            0x13, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x89, 0x13, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Encode(data, data), expected);
    EXPECT_EQ(Decode(expected, data).out, data);
}

TEST(BlockStreamFormat, StoredOrCodedRestsOnTheTwoLengthsAlone) {
    const Bytes newer = Random(5000, 3);
    // An original smaller than a quarter of the newer block is not used.
    EXPECT_EQ(Encode(newer, Random(1249, 4))[KindField], 0);
    EXPECT_EQ(Encode(newer, Random(1250, 4))[KindField], 1);
    // Blocks of 1 to 3 bytes, or an original of 0 to 3 bytes, are stored.
    for (std::size_t small : {1u, 2u, 3u}) {
        EXPECT_EQ(Encode(Random(small, 5), newer)[KindField], 0) << small;
    }
    for (std::size_t small : {0u, 1u, 2u, 3u}) {
        EXPECT_EQ(Encode(Random(8, 5), Random(small, 6))[KindField], 0) << small;
    }
    // A coded block in which nothing matches is written all the same, 20
    // bytes longer than the stored block: 4 + 1 + 8 + 8 + 5000 + 12.
    const Bytes unrelated = Random(5000, 7);
    const Bytes coded = Encode(newer, unrelated);
    EXPECT_EQ(coded[KindField], 1);
    EXPECT_EQ(GetLe32(coded.data() + LiteralCountField), 5000u);
    EXPECT_EQ(GetLe32(coded.data() + RecordBytesField), 12u);
    EXPECT_EQ(coded.size(), 5000u + CodedHeaderBytes + CopyRecordBytes + EndBlockBytes);
}

TEST(BlockStreamFormat, FilesAreCutIntoBlocksOfOneMebibyte) {
    const Bytes newer = Random(BlockSize, 8);
    const Bytes original = Random(3 * BlockSize, 9);
    const Bytes stream = Encode(newer, original);
    // One data block, then the end block, which reads the next 1 MiB of the
    // original.
    EXPECT_EQ(GetLe32(stream.data() + SourceLengthField), static_cast<std::uint32_t>(BlockSize));
    const Bytes end(stream.end() - EndBlockBytes, stream.end());
    EXPECT_EQ(end, StreamBuilder().End(BlockSize).bytes);

    // A newer file longer than the original: once the original is used up
    // every block has SourceLength 0 and is stored.
    const Bytes longer = Random(2 * BlockSize + 10, 10);
    const Bytes shortOriginal(longer.begin(), longer.begin() + BlockSize / 2);
    const Bytes grown = Encode(longer, shortOriginal);
    EXPECT_EQ(GetLe32(grown.data() + SourceLengthField), static_cast<std::uint32_t>(BlockSize / 2));
    EXPECT_EQ(grown[KindField], 1);
    const std::size_t second = CodedHeaderBytes + GetLe32(grown.data() + LiteralCountField) +
                               GetLe32(grown.data() + RecordBytesField);
    EXPECT_EQ(GetLe32(grown.data() + second + SourceLengthField), 0u);
    EXPECT_EQ(grown[second + KindField], 0);
    EXPECT_EQ(GetLe32(grown.data() + second + BlockLengthField),
              static_cast<std::uint32_t>(BlockSize));
    const std::size_t third = second + StoredHeaderBytes + BlockSize;
    EXPECT_EQ(Bytes(grown.begin() + third, grown.end()),
              StreamBuilder().Stored(0, Bytes(longer.end() - 10, longer.end())).End(0).bytes);
    EXPECT_EQ(Decode(grown, shortOriginal).out, longer);
}

// ---- round trips ----

TEST(BlockStreamRoundTrip, RebuildsEveryKindOfChange) {
    for (unsigned seed : {21u, 22u, 23u}) {
        std::mt19937 random(seed);
        const std::size_t size = 2 * BlockSize + random() % 300000;
        const Bytes original = test::RandomBytes(random, size);

        std::vector<Bytes> newers;
        Bytes edited = original;
        for (int i = 0; i < 2000; ++i) {
            edited[random() % edited.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
        }
        newers.push_back(edited);
        Bytes inserted = original;
        for (int i = 0; i < 40; ++i) {
            const Bytes extra = test::RandomBytes(random, random() % 5000);
            inserted.insert(inserted.begin() +
                                static_cast<std::ptrdiff_t>(random() % inserted.size()),
                            extra.begin(), extra.end());
        }
        newers.push_back(inserted);
        newers.push_back(Bytes(original.begin() + 4096, original.end()));
        newers.push_back(Bytes(original.begin(), original.begin() + BlockSize + 3));
        newers.push_back(Concat(original, test::RandomBytes(random, BlockSize + 1)));
        newers.push_back(Bytes(BlockSize + 17, 0));

        for (const Bytes& newer : newers) {
            const Decoded decoded = Decode(Encode(newer, original), original);
            ASSERT_FALSE(decoded.failure) << "seed " << seed << ": " << *decoded.failure;
            ASSERT_TRUE(decoded.out == newer) << "seed " << seed << " size " << newer.size();
        }
    }
}

TEST(BlockStreamRoundTrip, LowEntropyAndTinyFiles) {
    std::mt19937 random(31);
    auto text = [&random](std::size_t size) {
        Bytes out(size);
        for (auto& byte : out) {
            byte = static_cast<std::uint8_t>("ab \n"[random() % 4]);
        }
        return out;
    };
    const Bytes original = text(BlockSize + 5000);
    for (const Bytes& newer : {text(BlockSize + 9000), text(100), Bytes(4, 'a'), Bytes()}) {
        EXPECT_EQ(Decode(Encode(newer, original), original).out, newer) << newer.size();
    }
    for (std::size_t size = 0; size < 8; ++size) {
        const Bytes tiny = text(size);
        EXPECT_EQ(Decode(Encode(original, tiny), tiny).out, original) << size;
        EXPECT_EQ(Decode(Encode(tiny, tiny), tiny).out, tiny) << size;
    }
}

// ---- what the decoder refuses, and what it accepts ----

// A delta of three data blocks against an original, for damage tests: the
// first block stored, the second coded, the third coded.
struct ThreeBlocks {
    Bytes original = Random(3 * BlockSize, 41);
    Bytes newer;
    Bytes stream;
    ThreeBlocks() {
        newer = original;
        for (std::size_t i = 0; i < newer.size(); i += 997) {
            newer[i] ^= 0x5A;
        }
        std::copy_n(Random(BlockSize, 42).begin(), BlockSize, newer.begin());
        stream = Encode(newer, Bytes(original));
    }
    Bytes Block(int k) const {
        return Bytes(newer.begin() + k * BlockSize, newer.begin() + (k + 1) * BlockSize);
    }
};

TEST(BlockStreamDamage, WrongOriginalFailsAtTheCodedBlockAfterEarlierBlocks) {
    ThreeBlocks three;
    Bytes wrong = three.original;
    wrong[2 * BlockSize + 100] ^= 1; // inside the third block's source
    const Decoded decoded = Decode(three.stream, wrong);
    EXPECT_EQ(decoded.failure, "CRC Error");
    EXPECT_EQ(decoded.out, Concat(three.Block(0), three.Block(1)));
    // An original that ends inside a coded block's source is refused too.
    const Bytes cut(three.original.begin(), three.original.begin() + BlockSize + 5);
    EXPECT_EQ(Decode(three.stream, cut).failure, "CRC Error");
    EXPECT_EQ(Decode(three.stream, cut).out, three.Block(0));
}

TEST(BlockStreamDamage, EveryBitFlipOfASmallDeltaFailsOrRebuildsExactly) {
    Bytes original = Random(3000, 51);
    Bytes newer = original;
    newer[100] ^= 1;
    newer.insert(newer.begin() + 2000, {1, 2, 3, 4, 5});
    newer.resize(3040, 7);
    const Bytes stream = Encode(newer, original);
    ASSERT_LT(stream.size(), 200u);
    for (std::size_t bit = 0; bit < stream.size() * 8; ++bit) {
        Bytes flipped = stream;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        const Decoded decoded = Decode(flipped, original);
        if (decoded.failure) {
            EXPECT_EQ(*decoded.failure, "CRC Error") << "bit " << bit;
            EXPECT_TRUE(IsPrefix(decoded.out, newer)) << "bit " << bit;
        } else {
            EXPECT_EQ(decoded.out, newer) << "bit " << bit;
        }
    }
}

TEST(BlockStreamDamage, EveryTruncationIsRefused) {
    const Bytes original = Random(3000, 52);
    Bytes newer = original;
    newer[10] ^= 1;
    const Bytes stream =
        Concat(StreamBuilder().Stored(0, Random(40, 53)).bytes, Encode(newer, original));
    // The stored block is decoded against no original bytes; the coded one
    // follows it. Cut anywhere before the end block's last byte.
    const Decoded whole = Decode(stream, original);
    ASSERT_FALSE(whole.failure);
    ASSERT_EQ(whole.out.size(), 40u + newer.size());
    for (std::size_t size = 0; size < stream.size(); ++size) {
        const Decoded decoded = Decode(Bytes(stream.begin(), stream.begin() + size), original);
        EXPECT_EQ(decoded.failure, "CRC Error") << size;
        EXPECT_TRUE(IsPrefix(decoded.out, whole.out)) << size;
    }
}

TEST(BlockStreamDamage, OutOfRangeCountsAreRefusedBeforeUse) {
    const Bytes source = Random(100, 61);
    const Bytes first = Random(50, 62);
    const Bytes literals = Random(30, 63);
    const StreamBuilder lead = StreamBuilder().Stored(0, first);
    auto coded = [&](std::int64_t literalCount, std::int64_t recordBytes,
                     std::uint32_t targetCrc = 0) {
        return StreamBuilder(lead)
            .Int32(100)
            .Byte(1)
            .Int32(targetCrc)
            .Crc(source)
            .Int32(literalCount)
            .Int32(recordBytes);
    };
    // A decoder that took a record placed before the current end as a gap
    // of no bytes would rebuild 10 literals and 20 source bytes; the block's
    // checksum says that is right, so only the position check refuses it.
    Bytes misplaced(literals.begin(), literals.begin() + 10);
    misplaced.insert(misplaced.end(), source.begin(), source.begin() + 20);
    const std::uint32_t misplacedCrc = Crc32Buffer(misplaced.data(), misplaced.size());
    const std::vector<std::pair<std::string, Bytes>> damaged = {
        {"SourceLength -1", StreamBuilder(lead).Int32(-1).Byte(0).Int32(0).bytes},
        {"SourceLength 1048577", StreamBuilder(lead).Int32(BlockSize + 1).Byte(0).Int32(0).bytes},
        {"BlockLength -1", StreamBuilder(lead).Int32(0).Byte(0).Int32(-1).bytes},
        {"BlockLength 1048577", StreamBuilder(lead).Int32(0).Byte(0).Int32(BlockSize + 1).bytes},
        {"Kind 2", StreamBuilder(lead).Int32(0).Byte(2).Int32(0).bytes},
        {"LiteralCount -1", coded(-1, 12).Record(0, 0, 1).End().bytes},
        {"LiteralCount 1048577", coded(BlockSize + 1, 12).Record(0, 0, 1).End().bytes},
        {"RecordBytes 11", coded(0, 11).Data(Bytes(11, 0)).End().bytes},
        {"RecordBytes 0", coded(0, 0).End().bytes},
        {"RecordBytes 1048577", coded(0, BlockSize + 1).bytes},
        {"TargetPos before the end",
         coded(30, 24, misplacedCrc).Data(literals).Record(20, 1, 11).Record(0, 0, 25).End().bytes},
        {"TargetPos 0", coded(0, 12).Record(0, 0, 0).End().bytes},
        {"gap past the literals", coded(30, 12).Data(literals).Record(0, 0, 32).End().bytes},
        {"source past SourceLength", coded(0, 24).Record(20, 82, 1).Record(0, 0, 21).End().bytes},
        {"SourcePos 0", coded(0, 24).Record(20, 0, 1).Record(0, 0, 21).End().bytes},
        {"SourcePos negative", coded(0, 24).Record(20, -5, 1).Record(0, 0, 21).End().bytes},
        {"ends before the end block", StreamBuilder(lead).bytes},
    };
    for (const auto& [what, stream] : damaged) {
        const Decoded decoded = Decode(stream, source);
        EXPECT_EQ(decoded.failure, "CRC Error") << what;
        EXPECT_EQ(decoded.out, first) << what;
    }
}

TEST(BlockStreamDamage, CopyPastOneMebibyteIsRefused) {
    // 17 copies of 65535 bytes from a full source block would rebuild more
    // than 1 MiB.
    const Bytes source = Random(BlockSize, 64);
    StreamBuilder builder;
    builder.Int32(BlockSize).Byte(1).Int32(0).Crc(source).Int32(0).Int32(CopyRecordBytes * 18);
    for (std::int32_t k = 0; k < 17; ++k) {
        builder.Record(65535, 1, 1 + k * 65535);
    }
    builder.Record(0, 0, 1 + 17 * 65535).End();
    const Decoded decoded = Decode(builder.bytes, source);
    EXPECT_EQ(decoded.failure, "CRC Error");
    EXPECT_TRUE(decoded.out.empty());
}

TEST(BlockStreamDamage, HarmlessOdditiesStillRebuild) {
    const Bytes source = Random(100, 71);
    const Bytes literals = Random(10, 72);
    // Expected block: 5 literals, 20 bytes of source from position 50, 5
    // literals; the remaining literals are unused.
    Bytes block(literals.begin(), literals.begin() + 5);
    block.insert(block.end(), source.begin() + 49, source.begin() + 69);
    block.insert(block.end(), literals.begin() + 5, literals.begin() + 10);
    auto coded = [&](std::int64_t recordBytes) {
        return StreamBuilder()
            .Int32(100)
            .Byte(1)
            .Crc(block)
            .Crc(source)
            .Int32(12)
            .Int32(recordBytes)
            .Data(literals)
            .Data({0xAA, 0xBB});
    };
    // A zero-length record before the last, and a remainder of 5 bytes that
    // is not a whole record.
    const Bytes odd = coded(36 + 5)
                          .Record(0, 0, 3)
                          .Record(20, 50, 6)
                          .Record(0, 0, 31)
                          .Data({1, 2, 3, 4, 5})
                          .End()
                          .bytes;
    Decoded decoded = Decode(odd, source);
    EXPECT_FALSE(decoded.failure) << *decoded.failure;
    EXPECT_EQ(decoded.out, block);
}

TEST(BlockStreamDamage, ReservedBytesAndTrailingBytesAreIgnored) {
    const Bytes data = Random(5000, 81);
    Bytes stream = Encode(data, data);
    // The first record's reserved bytes, behind the header and 2 literals.
    const std::size_t reserved = CodedHeaderBytes + 2 + CopyReservedField;
    stream[reserved] = 0xFF;
    stream[reserved + 1] = 0x7F;
    stream.insert(stream.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    const Decoded decoded = Decode(stream, data);
    EXPECT_FALSE(decoded.failure);
    EXPECT_EQ(decoded.out, data);
}

TEST(BlockStreamDamage, ChangedLiteralOrStoredDataIsCrcError) {
    const Bytes data = Random(5000, 82);
    Bytes coded = Encode(data, data);
    coded[CodedHeaderBytes] ^= 1; // first literal
    EXPECT_EQ(Decode(coded, data).failure, "CRC Error");
    Bytes stored = Encode(data, {});
    stored[StoredHeaderBytes + 2500] ^= 0x10;
    EXPECT_EQ(Decode(stored, {}).failure, "CRC Error");
    EXPECT_TRUE(Decode(stored, {}).out.empty());
}

TEST(BlockStreamListing, ImpossibleBlockEndIsDamageNotAnOverflow) {
    // The listing takes a coded block's length from its last record alone;
    // a TargetPos of INT32_MIN once made it compute INT32_MIN - 1.
    auto codedBlockEndingAt = [](std::int64_t end) {
        return StreamOf(StreamBuilder()
                            .Int32(0)
                            .Byte(1)
                            .Int32(0)
                            .Int32(0)
                            .Int32(0)
                            .Int32(12)
                            .Record(0, 0, static_cast<std::int32_t>(end))
                            .End()
                            .bytes);
    };
    for (const std::int64_t end : {std::int64_t{INT32_MIN}, std::int64_t{0}, std::int64_t{-7},
                                   std::int64_t{BlockSize} + 2, std::int64_t{INT32_MAX}}) {
        MemoryStream delta = codedBlockEndingAt(end);
        EXPECT_THROW(ListBlockStream(delta), Exception) << end;
    }
    // The largest block a coded block can rebuild is still listed.
    MemoryStream full = codedBlockEndingAt(std::int64_t{BlockSize} + 1);
    const std::vector<BlockSummary> blocks = ListBlockStream(full);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].TargetLength, BlockSize);
}

// ---- output that does not take all its bytes ----

TEST(BlockStreamOutput, ShortWriteIsStreamWriteError) {
    const Bytes original = Random(BlockSize + 100, 91);
    const Bytes newer = Random(BlockSize + 200, 92);
    const Bytes stream = Encode(newer, original);
    for (std::int64_t room : {std::int64_t{0}, std::int64_t{5}, std::int64_t{BlockSize} + 3}) {
        MemoryStream a = StreamOf(newer);
        MemoryStream b = StreamOf(original);
        FullStream full(room);
        EXPECT_THROW(EncodeBlockStream(a, b, full, BlockMaxCandidates), EWriteError) << room;
        MemoryStream delta = StreamOf(stream);
        MemoryStream c = StreamOf(original);
        FullStream fullOut(room);
        EXPECT_THROW(DecodeBlockStream(delta, c, fullOut), EWriteError) << room;
    }
}

} // namespace
} // namespace kestro
