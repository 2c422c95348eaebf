// The compact body's round trips over the shapes real releases take, of
// many MiB, and its sameness for any number of threads.
#include "CompactSupport.hpp"
#include "TestSupport.hpp"

#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFormat.hpp"
#include "common/LittleEndian.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace kestro::test {
namespace {

TEST(CompactStream, RoundTripsEveryShape) {
    const Bytes code = CodeLike(3 << 20, 1);
    const Bytes random = Random(3 << 20, 2);
    // Eight MiB that a MiB of the original describes: segment sizes without
    // the cost of coding as much new data.
    const Bytes mib = Slice(code, 0, 1 << 20);
    const Bytes segment = Join({mib, mib, mib, mib, mib, mib, mib, mib});
    struct Pair {
        const char* name;
        Bytes original;
        Bytes newer;
    };
    const Pair pairs[] = {
        {"both empty", {}, {}},
        {"newer empty", random, {}},
        {"original empty", {}, Slice(random, 0, 5000)},
        {"tiny", ToBytes("abc"), ToBytes("abd")},
        {"identical", code, code},
        {"shifted code", code, Join({Random(37, 4), Relocated(code, 0x1230, 5)})},
        {"moved blocks", random,
         Join({Slice(random, 2 << 20, 1 << 20), Slice(random, 0, 2 << 20)})},
        {"inserted and deleted", random,
         Join({Slice(random, 0, 100000), Random(70000, 6), Slice(random, 150000, 3 << 20)})},
        {"exact segment", mib, segment},
        {"segment and a byte", mib, Join({segment, ToBytes("z")})},
        {"exact chunk", Slice(random, 0, 1 << 20), Slice(code, 0, 1 << 20)},
    };
    for (const Pair& pair : pairs) {
        const Bytes body = CompactEncode(pair.newer, pair.original);
        EXPECT_EQ(CompactDecode(body, pair.original), pair.newer) << pair.name;
        if (pair.name == std::string("shifted code") || pair.name == std::string("moved blocks")) {
            EXPECT_LT(body.size(), pair.newer.size() / 20) << pair.name;
        }
    }
}

// An original larger than the window is searched in windows: made small
// here, so that a few hundred KiB take several windows and parts.
TEST(CompactStream, RoundTripsThroughSmallWindows) {
    const Bytes original = Join({CodeLike(200000, 30), Random(100000, 31)});
    const Bytes newer = Join({Relocated(Slice(original, 0, 150000), 0x20, 32), Random(999, 33),
                              Slice(original, 120000, 180000)});
    CompactSettings windowed;
    windowed.windowBytes = 64 << 10;
    windowed.partBytes = 16 << 10;
    const Bytes body = CompactEncode(newer, original, 2, nullptr, windowed);
    EXPECT_EQ(CompactDecode(body, original), newer);
    EXPECT_NE(body, CompactEncode(newer, original, 2));
    EXPECT_LT(body.size(), newer.size() / 4);
}

// How many chunks of an LZMA2 stream (or of a flushed piece of one) reset
// the dictionary, and how many start a coder's output (new properties).
struct ChunkStarts {
    int dictionaryResets = 0;
    int coderStarts = 0;
};

ChunkStarts CountChunkStarts(std::span<const std::uint8_t> lzma2) {
    ChunkStarts starts;
    for (std::size_t at = 0; at < lzma2.size();) {
        const std::uint8_t control = lzma2[at];
        if (control == 0x00) {
            break;
        }
        starts.dictionaryResets += control == 0x01 || control >= 0xE0 ? 1 : 0;
        starts.coderStarts += control >= 0xC0 ? 1 : 0;
        if (control < 0x80) { // uncompressed: its size less one, big-endian
            at += 3 + (std::size_t{lzma2[at + 1]} << 8 | lzma2[at + 2]) + 1;
        } else { // LZMA: unpacked size, packed size less one, properties
            at += 5 + (control >= 0xC0 ? 1 : 0) +
                  (std::size_t{lzma2[at + 3]} << 8 | lzma2[at + 4]) + 1;
        }
    }
    return starts;
}

// The difference piece of a body's first segment.
std::span<const std::uint8_t> FirstDiffPiece(const Bytes& body) {
    MemoryStream stream = StreamOf(body);
    CompactHeader header;
    EXPECT_TRUE(ReadCompactHeader(stream, CompactLatestMinor, header));
    const auto segment = static_cast<std::size_t>(stream.Position());
    const auto chunks =
        static_cast<std::size_t>(ChunksOf(GetLe32(&body[segment + OutputBytesField])));
    const std::size_t pieces = segment + SegmentHeaderBytes + 4 * chunks;
    const std::size_t control = GetLe32(&body[segment + ControlBytesField]);
    return std::span(body).subspan(pieces + control, GetLe32(&body[segment + DiffBytesField]));
}

// Differences too dense for run form, and of more than a MiB in one
// segment, are coded as two halves, on two threads or, with one, one after
// the other: the body is the same, and rebuilds the file. The second
// half's coder keeps the dictionary the first half filled, and starts with
// its last bytes as a preset: a pattern of differences repeated through
// the segment is coded once, not once a half.
TEST(CompactStream, CodesASegmentsManyDifferencesInTwoHalves) {
    const Bytes original = Random(3 << 20, 50);
    const Bytes pattern = Random(4 << 10, 51);
    Bytes newer = original;
    for (std::size_t i = 0; i < newer.size(); i += 8) {
        newer[i] = static_cast<std::uint8_t>(newer[i] + (pattern[i / 8 % pattern.size()] | 1));
    }
    const Bytes one = CompactEncode(newer, original, 1);
    EXPECT_EQ(CompactEncode(newer, original, 2), one);
    EXPECT_EQ(CompactDecode(one, original), newer);
    const std::span<const std::uint8_t> diff = FirstDiffPiece(one);
    const ChunkStarts starts = CountChunkStarts(diff);
    EXPECT_EQ(starts.dictionaryResets, 1);
    EXPECT_EQ(starts.coderStarts, 2);
    EXPECT_LT(diff.size(), pattern.size() * 3 / 2);
}

TEST(CompactStream, IsTheSameForAnyNumberOfThreads) {
    const Bytes part = CodeLike(3 << 20, 8);
    const Bytes original = Join({part, Random(1 << 20, 9)});
    const Bytes newer = Join({Relocated(part, 0x40, 9), part, Relocated(part, 0x80, 10)});
    const Bytes one = CompactEncode(newer, original, 1);
    EXPECT_EQ(CompactEncode(newer, original, 2), one);
    EXPECT_EQ(CompactEncode(newer, original, 3), one);
}

} // namespace
} // namespace kestro::test
