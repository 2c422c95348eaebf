// The compact body: its worked examples, refusal of damaged and hostile
// bodies, progress and stopping; the x86 filter and the image filter
// through it: round trips, header fields and bounds. The long round trips
// are in CompactStreamSlowTest.
#include "CompactSupport.hpp"
#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include "checksum/Crc32.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/Lzma.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "codec/compact/legacy/X86Filter.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "common/Progress.hpp"
#include "exe/Disassembler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>

namespace kestro::test {
namespace {

// The control, difference and extra streams of a body's only segment (at
// segmentAt), decoded; the end segment must follow it.
std::array<Bytes, 3> SegmentStreams(const Bytes& body, std::size_t segmentAt) {
    const std::size_t output = GetLe32(body.data() + segmentAt + OutputBytesField);
    std::size_t at = segmentAt + SegmentHeaderBytes + 4;
    std::array<Bytes, 3> decoded;
    for (std::size_t stream = 0; stream < 3; ++stream) {
        const std::size_t size = GetLe32(body.data() + segmentAt + ControlBytesField + 4 * stream);
        std::span<const std::uint8_t> in(body.data() + at, size);
        decoded[stream].resize(2 * output + 16);
        std::span<std::uint8_t> out(decoded[stream]);
        LzmaDecoder decoder(MinLzmaDictionary);
        EXPECT_NE(decoder.Decode(in, out), LzmaDecoder::Status::Damaged);
        decoded[stream].resize(decoded[stream].size() - out.size());
        at += size;
    }
    const Bytes endSegment = {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Slice(body, at, body.size()), endSegment);
    return decoded;
}

// A writer's body against an image filter's worked example that grows the
// code by four bytes at newer offset 80: the example's header, record and
// segment header, and streams that decode alike, whose edits are control
// and whose difference bytes are zero but for 4 in the header's and the
// section's grown fields and the inserted bytes against the original's.
void ExpectLikeTheExample(const Bytes& body, const Bytes& example, std::size_t segment,
                          const Bytes& control, std::size_t newerSize,
                          std::array<std::size_t, 2> grown, const Bytes& inserted) {
    EXPECT_EQ(Slice(body, 0, segment + 4), Slice(example, 0, segment + 4));
    EXPECT_EQ(Slice(body, segment + SegmentHeaderBytes, 4),
              Slice(example, segment + SegmentHeaderBytes, 4));
    const std::array<Bytes, 3> streams = SegmentStreams(example, segment);
    EXPECT_EQ(SegmentStreams(body, segment), streams);
    EXPECT_EQ(streams[0], control);
    Bytes differences(newerSize);
    differences[grown[0]] = 4;
    differences[grown[1]] = 4;
    std::copy(inserted.begin(), inserted.end(), differences.begin() + 80);
    EXPECT_EQ(streams[1], differences);
    EXPECT_TRUE(streams[2].empty());
}

// The worked example of doc/FORMAT.md, byte for byte, both ways.
// The extra stream's coders, whose largest tables are mapped apart (an
// 8 MiB dictionary: chains of 32 MiB, trees of 64) and a smaller one.s, all
// from the heap: each copies from its preset and decodes to its input.
TEST(Lzma, CodersOfEveryTableSizeCopyFromTheirPresetAndDecode) {
    const Bytes preset = Random(std::size_t{1} << 20, 11);
    Bytes input = Random(64 << 10, 12);
    for (std::size_t at = 0; at < preset.size(); at += 200 << 10) {
        input.insert(input.end(), preset.begin() + static_cast<std::ptrdiff_t>(at),
                     preset.begin() + static_cast<std::ptrdiff_t>(at + (16 << 10)));
    }
    for (const auto& [dictionary, chains] :
         {std::pair{8u << 20, true}, std::pair{8u << 20, false}, std::pair{2u << 20, true}}) {
        SCOPED_TRACE(testing::Message() << dictionary << (chains ? " chains" : " trees"));
        LzmaSettings settings{dictionary, 6, 64, preset, chains};
        settings.depth = 8;
        Bytes coded;
        LzmaEncoder(settings).Code(input, coded, LzmaEncoder::End::Finish);
        EXPECT_LT(coded.size(), (64u << 10) + (8u << 10)); // the copies cost a few bytes each
        Bytes decoded(input.size() + 1);
        std::span<const std::uint8_t> in(coded);
        std::span<std::uint8_t> out(decoded);
        EXPECT_EQ(LzmaDecoder(dictionary, preset).Decode(in, out), LzmaDecoder::Status::Ended);
        decoded.resize(decoded.size() - out.size());
        EXPECT_EQ(decoded, input);
    }
}

TEST(CompactStream, WorkedExample) {
    const Bytes original = ToBytes("The original file, version 1.0.0.1 of it.");
    const Bytes newer = ToBytes("The newer file, version 1.0.0.2 of it.");
    const Bytes example = {
        0x4B, 0x43, 0x4D, 0x50, 0x26, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFD, 0xCB,
        0xC4, 0x91, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
        0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x26, 0x00, 0x00, 0x00, 0x09, 0x00,
        0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFD, 0xCB, 0xC4, 0x91,
        0x01, 0x00, 0x05, 0x00, 0x04, 0x05, 0x10, 0x1D, 0x00, 0xE0, 0x00, 0x20, 0x00, 0x0A,
        0x5D, 0x00, 0x00, 0x6E, 0x0A, 0x48, 0xD0, 0x83, 0x7A, 0xD4, 0x00, 0x00, 0x01, 0x00,
        0x04, 0x6E, 0x65, 0x77, 0x65, 0x72, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(CompactDecode(example, original, 0), newer);
    EXPECT_EQ(GetLe32(example.data() + NewerCrcField), ReferenceCrc32(newer.data(), newer.size()));
    // The encoder writes the same body but for how liblzma codes each
    // piece, which is liblzma's to choose: the same headers, and pieces that
    // decode to the same streams.
    const Bytes body = CompactEncode(newer, original, 3, nullptr, UpTo(0));
    EXPECT_EQ(Slice(body, 0, CompactHeaderBytes), Slice(example, 0, CompactHeaderBytes));
    const std::size_t segment = CompactHeaderBytes;
    EXPECT_EQ(GetLe32(example.data() + segment + OutputBytesField), 38u);
    EXPECT_EQ(GetLe32(example.data() + segment + SegmentHeaderBytes), 0x91C4CBFDu);
    EXPECT_EQ(Slice(body, segment, 4), Slice(example, segment, 4));
    EXPECT_EQ(Slice(body, segment + SegmentHeaderBytes, 4),
              Slice(example, segment + SegmentHeaderBytes, 4));
    EXPECT_EQ(SegmentStreams(body, segment), SegmentStreams(example, segment));
    EXPECT_EQ(SegmentStreams(example, CompactHeaderBytes)[0],
              (Bytes{0x00, 0x04, 0x05, 0x10, 0x1D, 0x00}));

    // In 2.4 the header adds Filters 0 and DiffCoding 1, and the same
    // differences come in run form (01): 25 zeros across both edits, the 1
    // of "2" against "1", 7 zeros.
    std::int32_t minor = -1;
    const Bytes runs = CompactEncode(newer, original, 3, &minor);
    ASSERT_EQ(minor, 4);
    EXPECT_EQ(Slice(runs, 0, FiltersField), Slice(example, 0, FiltersField));
    EXPECT_EQ(Slice(runs, FiltersField, 8), (Bytes{0, 0, 0, 0, 1, 0, 0, 0}));
    const std::array<Bytes, 3> streams = SegmentStreams(runs, CompactCodedHeaderBytes);
    EXPECT_EQ(streams[0], SegmentStreams(example, CompactHeaderBytes)[0]);
    EXPECT_EQ(streams[1], (Bytes{0x01, 0x00, 0x18, 0x01, 0x00, 0x06}));
    EXPECT_EQ(CompactDecode(runs, original), newer);
}

// The image filter's worked example: a 256-byte ELF image for x86-64 whose
// code grows by four bytes in front of a call's target. The body decodes to
// the newer image; the writer's body has the same header, image record and
// segment header, and streams that decode alike, in which the call's
// displacement costs nothing.
TEST(CompactStream, ImageFilterWorkedExample) {
    Bytes original(256);
    PutLe32(&original[0], 0x464C457F); // "\x7F" "ELF"
    original[4] = 2;
    original[5] = 1;
    original[6] = 1;
    PutLe16(&original[16], 3);  // a shared object
    PutLe16(&original[18], 62); // x86-64
    PutLe32(&original[20], 1);
    PutLe64(&original[40], 128);
    PutLe16(&original[52], 64);
    PutLe16(&original[58], 64);
    PutLe16(&original[60], 2);
    const Bytes call = {0xE8, 0x2B, 0x00, 0x00, 0x00};
    std::copy(call.begin(), call.end(), original.begin() + 64);
    std::iota(original.begin() + 69, original.begin() + 112, std::uint8_t{0x41});
    original[112] = 0xC3;
    std::uint8_t* text = &original[192];
    PutLe32(text + 4, 1); // SHT_PROGBITS
    PutLe64(text + 8, 6); // SHF_ALLOC | SHF_EXECINSTR
    PutLe64(text + 16, 0x1040);
    PutLe64(text + 24, 64);
    PutLe64(text + 32, 64);
    PutLe64(text + 48, 16);
    Bytes newer = Join({Slice(original, 0, 80), Bytes(4, 0xCC), Slice(original, 80, 176)});
    newer[65] = 0x2F;
    PutLe64(&newer[40], 132);
    PutLe64(&newer[228], 68);

    const Bytes example = {
        0x4B, 0x43, 0x4D, 0x50, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xD4, 0xA0,
        0x42, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10,
        0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x0A,
        0x00, 0x00, 0x00, 0x1B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xD4, 0xA0, 0x42,
        0x01, 0x00, 0x06, 0x00, 0x50, 0x00, 0x07, 0xB4, 0x01, 0x00, 0xE0, 0x01, 0x03, 0x00, 0x14,
        0x5D, 0x00, 0x00, 0x6E, 0x28, 0x4C, 0x09, 0x3F, 0xF3, 0xC5, 0x5A, 0xE3, 0x47, 0x9E, 0xE0,
        0xFA, 0x76, 0x53, 0xF8, 0x84, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(example.size(), 176u);
    EXPECT_EQ(CompactDecode(example, original, 2), newer);

    std::int32_t minor = -1;
    const Bytes body = CompactEncode(newer, original, 3, &minor, UpTo(2));
    ASSERT_EQ(minor, 2);
    // {M 0, D 80, X 0}, {M -4, D 180, X 0}: zigzag and seven bits a byte;
    // e_shoff (at 40) and sh_size (at 228) grown, CC CC CC CC against
    // 48 49 4A 4B.
    ExpectLikeTheExample(body, example, 100, {0x00, 0x50, 0x00, 0x07, 0xB4, 0x01, 0x00}, 260,
                         {40, 228}, {0x84, 0x83, 0x82, 0x81});
}

// Every byte of a small body changed, and every length it may be cut to:
// each is refused, or rebuilds exactly the newer file; what reached the
// output before a refusal is a prefix of it.
TEST(CompactStream, RefusesEveryDamage) {
    const Bytes original = CodeLike(20000, 10);
    const Bytes newer = Join({Relocated(Slice(original, 0, 12000), 8, 11), Random(3000, 12)});
    const Bytes body = CompactEncode(newer, original);
    int refused = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        Bytes damaged = body;
        damaged[i] ^= 0x41;
        Bytes rebuilt;
        try {
            CompactDecode(damaged, original, rebuilt);
            EXPECT_EQ(rebuilt, newer) << "byte " << i;
        } catch (const Exception& failure) {
            ++refused;
            EXPECT_TRUE(IsPrefix(rebuilt, newer)) << "byte " << i;
        }
    }
    EXPECT_GT(refused, static_cast<int>(body.size()) * 9 / 10);
    for (std::size_t size = 0; size < body.size(); ++size) {
        EXPECT_THROW(CompactDecode(Slice(body, 0, size), original), Exception) << size;
    }
    EXPECT_THROW(CompactDecode(Join({body, ToBytes("x")}), original), Exception);
    EXPECT_THROW(CompactDecode(body, Slice(original, 0, original.size() - 1)), Exception);
}

// A program of x86-64 code as a compiler lays it out: functions of filler
// instructions, calls (E8) and RIP-relative loads (48 8B 05) of other
// functions, behind PE headers, then a table of pointers to functions that
// the base relocation table lists (unless relocated is false). grown adds
// bytes to some functions, as a rebuild does, which moves every function
// after them and so changes the displacements and pointers that name them.
Bytes X86Program(std::size_t functions, unsigned seed, unsigned grown, bool relocated = true) {
    constexpr std::uint64_t ImageBase = 0x140000000;
    std::mt19937 layout(seed);
    std::mt19937 growth(seed + grown);
    struct Function {
        std::vector<std::uint32_t> targets; // the function each reference names
        std::size_t filler = 0;             // bytes between two references
        std::size_t size = 0;
    };
    std::vector<Function> program(functions);
    std::size_t offset = 0x400;
    std::vector<std::size_t> starts;
    for (Function& function : program) {
        function.targets.resize(4 + layout() % 8);
        for (std::uint32_t& target : function.targets) {
            target = static_cast<std::uint32_t>(layout() % functions);
        }
        function.filler = 8 + layout() % 24 + (grown != 0 && growth() % 16 == 0 ? 3 : 0);
        function.size = function.targets.size() * (function.filler + 7);
        starts.push_back(offset);
        offset += function.size;
    }
    const std::size_t pointers = offset;
    offset += 8 * (functions / 4);
    const std::size_t relocations = offset;
    const std::size_t pages = (offset - pointers) / 4096 + 2;
    offset += 8 * pages + 2 * (functions / 4);
    Bytes bytes(offset);
    std::memcpy(bytes.data(), "MZ", 2);
    PutLe32(bytes.data() + 0x3C, 0x80);
    std::memcpy(bytes.data() + 0x80, "PE\0\0\x64\x86\x01\x00", 8); // x86-64, one section
    PutLe16(bytes.data() + 0x94, 0xF0);                            // optional header's size
    PutLe16(bytes.data() + 0x98, 0x20B);                           // PE32+
    PutLe64(bytes.data() + 0x98 + 24, ImageBase);
    PutLe32(bytes.data() + 0x98 + 108, 16);                                 // data directories
    PutLe32(bytes.data() + 0x188 + 16, static_cast<std::uint32_t>(offset)); // RVA = offset
    // The pointer table and, page by page, the relocations that list it.
    std::size_t block = 0; // where the last block starts, past relocations
    for (std::size_t f = 0; f < functions / 4; ++f) {
        const std::size_t at = pointers + 8 * f;
        PutLe64(bytes.data() + at, ImageBase + starts[program[4 * f].targets[0]]);
        std::uint8_t* header = bytes.data() + relocations + block;
        if (f == 0 || at % 4096 < 8) { // a new page, a new block
            block += f == 0 ? 0 : GetLe32(header + 4);
            header = bytes.data() + relocations + block;
            PutLe32(header, static_cast<std::uint32_t>(at / 4096 * 4096));
            PutLe32(header + 4, 8);
        }
        PutLe16(header + GetLe32(header + 4), static_cast<std::uint16_t>(0xA000 | at % 4096));
        PutLe32(header + 4, GetLe32(header + 4) + 2);
    }
    const std::size_t relocationBytes = block + GetLe32(bytes.data() + relocations + block + 4);
    if (relocated) {
        PutLe32(bytes.data() + 0x108 + 8 * 5, static_cast<std::uint32_t>(relocations));
        PutLe32(bytes.data() + 0x108 + 8 * 5 + 4, static_cast<std::uint32_t>(relocationBytes));
    }
    for (std::size_t f = 0; f < functions; ++f) {
        std::uint8_t* at = bytes.data() + starts[f];
        std::uint64_t filler = f * 0x9E3779B97F4A7C15u + seed; // the same in both forms
        for (const std::uint32_t target : program[f].targets) {
            for (std::size_t i = 0; i < program[f].filler; ++i) {
                filler = filler * 6364136223846793005u + 1442695040888963407u;
                *at++ = static_cast<std::uint8_t>(0x50 + (filler >> 61)); // push: no reference
            }
            const bool call = target % 2 == 0;
            std::memcpy(at, call ? "\x90\x90\xE8" : "\x48\x8B\x05", 3);
            const auto end = static_cast<std::int64_t>(at - bytes.data()) + 7;
            PutLe32(at + 3,
                    static_cast<std::uint32_t>(static_cast<std::int64_t>(starts[target]) - end));
            at += 7;
        }
    }
    return bytes;
}

// The x86 filter over code whose functions moved: the predictions made
// whole by the writer and a piece at a time by the reader agree, over more
// than a segment too, and the difference bytes shrink to almost nothing.
TEST(CompactStream, X86FilterPredictsMovedReferences) {
    for (const std::size_t functions : {5000, 44000}) {
        const Bytes original = X86Program(functions, 21, 0);
        const Bytes newer = X86Program(functions, 21, 1);
        ASSERT_TRUE(IsX86Program(original));
        std::int32_t minor = -1;
        CompactSettings x86;
        x86.maxMinor = 1;
        const Bytes body = CompactEncode(newer, original, 3, &minor, x86);
        ASSERT_EQ(minor, 1);
        EXPECT_EQ(GetLe32(body.data() + FiltersField), CompactFilterX86);
        EXPECT_EQ(CompactDecode(body, original, 1), newer) << functions;
        if (newer.size() > static_cast<std::size_t>(SegmentBytes)) {
            continue;
        }
        Bytes plain = original;
        plain[0] = 'N'; // not a program: no filter
        std::int32_t plainMinor = -1;
        const Bytes unfiltered = CompactEncode(newer, plain, 3, &plainMinor);
        EXPECT_EQ(plainMinor, CompactLatestMinor);
        EXPECT_EQ(GetLe32(unfiltered.data() + FiltersField), 0u);
        EXPECT_EQ(CompactDecode(unfiltered, plain), newer);
        EXPECT_LT(body.size() * 3, unfiltered.size());

        // The pointers, predicted through the relocation table.
        MemoryStream originalStream = StreamOf(original);
        const AddressTable table = ReadAddressTable(originalStream);
        EXPECT_EQ(table.addresses.size(), functions / 4);
        EXPECT_EQ(table.addresses.at(0).width, 8);
        const Bytes unlisted = CompactEncode(X86Program(functions, 21, 1, false),
                                             X86Program(functions, 21, 0, false), 3, nullptr, x86);
        EXPECT_LT(body.size() + functions / 4, unlisted.size());

        Bytes unknown = body;
        PutLe32(unknown.data() + FiltersField, CompactFilterX86 | 2);
        EXPECT_THROW(CompactDecode(unknown, original, 1), Exception);
    }
}

// The encoder tells its caller how far it is while it sorts, searches and
// codes, often enough to stop it at any point: a throw from any of its
// calls stops the encoder (its coders too) and leaves no thread behind.
TEST(CompactStream, ProgressPollsEveryPhaseAndStopsTheEncoder) {
    const Bytes original = X86Program(8000, 40, 0);
    const Bytes newer = Join({X86Program(8000, 40, 1), Random(1 << 20, 41)});
    ASSERT_GT(original.size(), 3u << 19);
    for (const std::int32_t threads : {1, 2}) {
        std::map<Phase, int> calls;
        std::map<std::int64_t, int> sorted; // polls at each figure of the sort
        std::int64_t fileDone = 0;
        CompactSettings counting;
        counting.progress = [&](const Progress& progress) {
            // The first figures, before the sort tells any, are those of
            // the sort not yet begun: never 0 of 0, which reads as done.
            if (calls.empty()) {
                EXPECT_EQ(progress.phase, Phase::Sorting);
                EXPECT_EQ(progress.total, static_cast<std::int64_t>(original.size()));
            }
            ++calls[progress.phase];
            if (progress.phase == Phase::Sorting) {
                ++sorted[progress.done];
            }
            EXPECT_GE(progress.fileDone, fileDone);
            EXPECT_LE(progress.done, progress.total);
            fileDone = progress.fileDone;
        };
        CompactEncode(newer, original, threads, nullptr, counting);
        // The sort's figure moves on while it recurses: no figure holds
        // for a third of its polls, but 0, where the library's sort (which
        // tells nothing until it is done) holds it.
        for (const auto& [done, polls] : sorted) {
            if (done != 0) {
                EXPECT_LE(polls, calls[Phase::Sorting] / 3) << done << " of " << original.size();
            }
        }
        // Sorting 1.5 MiB is some 20 MiB of scans; one thread's search
        // looks up each of a MiB of new bytes that match nothing, while
        // with two the caller is polled as their pieces go on and after
        // each of the two searches; one thread codes the 2.5 MiB of
        // difference and extra bytes in pieces of 256 KiB, and is polled
        // between them, as the caller is after each segment handed to the
        // coders.
        const std::map<Phase, int> least = {{Phase::Sorting, 10},
                                            {Phase::Searching, threads == 1 ? 100 : 2},
                                            {Phase::Coding, threads == 1 ? 8 : 2}};
        for (const auto& [phase, count] : least) {
            EXPECT_GE(calls[phase], count) << static_cast<int>(phase) << " " << threads;
            for (const int stopAt : {1, count}) {
                int left = stopAt;
                CompactSettings stopping;
                stopping.progress = [&, phase = phase](const Progress& progress) {
                    if (progress.phase == phase && --left == 0) {
                        throw EInterrupted("Operation interrupted");
                    }
                };
                EXPECT_THROW(CompactEncode(newer, original, threads, nullptr, stopping),
                             EInterrupted)
                    << static_cast<int>(phase) << " " << stopAt;
            }
        }
    }
}

// A body of 2.0 put together by hand around one control stream, for edits
// that no encoder writes.
Bytes HandMade(std::uint64_t newerSize, std::uint64_t originalSize,
               const std::vector<std::uint8_t>& control, std::uint32_t dictionary = 1 << 20) {
    Bytes body(CompactHeaderBytes);
    std::memcpy(body.data(), CompactTag, 4);
    PutLe64(body.data() + NewerSizeField, newerSize);
    PutLe64(body.data() + OriginalSizeField, originalSize);
    for (const int field : {ControlDictionaryField, DiffDictionaryField, ExtraDictionaryField}) {
        PutLe32(body.data() + field, dictionary);
    }
    std::array<Bytes, 3> pieces;
    const std::array<Bytes, 3> content = {control, Bytes(newerSize), Bytes(newerSize)};
    for (std::size_t i = 0; i < 3; ++i) {
        LzmaEncoder coder({1 << 20, 1, 0, {}});
        coder.Code(content[i], pieces[i], LzmaEncoder::End::Finish);
    }
    Bytes segment(SegmentHeaderBytes + 4);
    PutLe32(segment.data() + OutputBytesField, static_cast<std::uint32_t>(newerSize));
    PutLe32(segment.data() + ControlBytesField, static_cast<std::uint32_t>(pieces[0].size()));
    PutLe32(segment.data() + DiffBytesField, static_cast<std::uint32_t>(pieces[1].size()));
    PutLe32(segment.data() + ExtraBytesField, static_cast<std::uint32_t>(pieces[2].size()));
    return Join({body, segment, pieces[0], pieces[1], pieces[2]});
}

// The streams of a hand-made segment that rebuilds the newer file's output
// bytes from done on.
using StreamsOf = std::function<std::array<Bytes, 3>(std::uint64_t done, std::uint64_t output)>;

// A body of format 2.minor with header, whose newer size, CRC and
// dictionaries are set here, and segments that rebuild newer, each with
// the streams streamsOf gives it, coded fast; the end segment last.
Bytes HandMadeBody(CompactHeader header, std::int32_t minor, const Bytes& newer,
                   const StreamsOf& streamsOf) {
    header.NewerSize = newer.size();
    header.NewerCrc = Crc32Buffer(newer.data(), newer.size());
    header.ControlDictionary = header.DiffDictionary = header.ExtraDictionary = 1 << 20;
    MemoryStream body;
    WriteCompactHeader(body, header, minor);
    const LzmaSettings fast{1 << 20, 1, 0, {}};
    std::array<LzmaEncoder, 3> coders = {LzmaEncoder(fast), LzmaEncoder(fast), LzmaEncoder(fast)};
    for (std::uint64_t done = 0;;) {
        const std::uint64_t output = std::min<std::uint64_t>(newer.size() - done, SegmentBytes);
        const std::array<Bytes, 3> streams =
            output != 0 ? streamsOf(done, output) : std::array<Bytes, 3>{};
        std::array<Bytes, 3> pieces;
        for (std::size_t i = 0; i < 3; ++i) {
            coders[i].Code(streams[i], pieces[i],
                           output == 0 ? LzmaEncoder::End::Finish : LzmaEncoder::End::Flush);
        }
        Bytes segment(SegmentHeaderBytes);
        PutLe32(&segment[OutputBytesField], static_cast<std::uint32_t>(output));
        PutLe32(&segment[ControlBytesField], static_cast<std::uint32_t>(pieces[0].size()));
        PutLe32(&segment[DiffBytesField], static_cast<std::uint32_t>(pieces[1].size()));
        PutLe32(&segment[ExtraBytesField], static_cast<std::uint32_t>(pieces[2].size()));
        for (std::uint64_t at = 0; at < output; at += ChunkBytes) {
            const auto size = std::min<std::uint64_t>(output - at, ChunkBytes);
            segment.resize(segment.size() + 4);
            PutLe32(&segment[segment.size() - 4], Crc32Buffer(&newer[done + at], size));
        }
        for (const Bytes& part : {segment, pieces[0], pieces[1], pieces[2]}) {
            body.WriteBuffer(part.data(), static_cast<std::int64_t>(part.size()));
        }
        if (output == 0) {
            return body.Bytes();
        }
        done += output;
    }
}

TEST(CompactStream, RefusesHostileFields) {
    const Bytes original(100, 'o');
    // Seek before the start, beyond the end, a copy past the original's
    // end, lengths beyond the segment, an edit that rebuilds nothing, a
    // varint of ten bytes: each is refused before it addresses anything.
    const std::vector<std::vector<std::uint8_t>> controls = {
        {0x01, 10, 0},                     // move -1
        {0xCA, 0x01, 1, 0},                // move +101
        {0xB4, 0x01, 20, 0},               // to 90, then 20 bytes
        {0x00, 11, 0},                     // 11 bytes of a 10-byte segment
        {0x00, 0, 0x80, 0x80, 0x80, 0x01}, // 2^21 extra bytes
        {0x00, 0, 0},                      // nothing
        {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0, 10},
    };
    for (std::size_t i = 0; i < controls.size(); ++i) {
        EXPECT_THROW(CompactDecode(HandMade(10, 100, controls[i]), original, 0), Exception) << i;
    }
    EXPECT_THROW(
        CompactDecode(HandMade(10, 100, {0, 10, 0}, CompactMaxDictionary * 2), original, 0),
        Exception);
    // The same, well formed, would pass but for the missing CRC.
    EXPECT_THROW(CompactDecode(HandMade(10, 100, {0, 10, 0}), original, 0), Exception);
    // Pieces longer than the file.
    Bytes body = HandMade(10, 100, {0, 10, 0});
    PutLe32(body.data() + CompactHeaderBytes + DiffBytesField, 0x7FFFFFFF);
    EXPECT_THROW(CompactDecode(body, original, 0), Exception);
}

// Runs of zero differences may go on from one edit into the next and come
// cut anywhere, but a segment's runs give exactly its difference bytes: a
// run that goes on past them, or stops short of them, is damage, as is a
// run's length of ten bytes or of a segment's bytes. The same differences
// may come plain; a form the reader does not know is damage.
TEST(CompactStream, DiffFormsGiveExactlyTheSegmentsDifferences) {
    const Bytes original = ToBytes("0123456789abcdefghij");
    const Bytes newer = ToBytes("012345678abcdefgh");
    CompactHeader header;
    header.OriginalSize = original.size();
    header.DiffCoding = DiffCodingBySegment;
    const Bytes twoEdits = {0x00, 9, 0, 0x02, 8, 0}; // 9 bytes, then 8 from one further on
    const struct {
        const char* name;
        Bytes differences;
        bool rebuilds;
    } cases[] = {
        {"one run across both edits", {1, 0, 16}, true},
        {"runs cut anywhere", {1, 0, 3, 0, 6, 0, 5}, true},
        {"a run past the segment's differences", {1, 0, 17}, false},
        {"runs short of them", {1, 0, 15}, false},
        {"a run's length cut off", {1, 0, 0x90}, false},
        {"a run's length of ten bytes",
         {1, 0, 0x90, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0},
         false},
        {"a run of 8 MiB zeros more", {1, 0, 0x80, 0x80, 0x80, 0x04}, false},
        {"plain", Join({{0}, Bytes(17, 0)}), true},
        {"plain, a byte short", Join({{0}, Bytes(16, 0)}), false},
        {"a form it does not know", {2, 0, 16}, false},
    };
    for (const auto& c : cases) {
        Bytes rebuilt;
        try {
            CompactDecode(HandMadeBody(header, 4, newer,
                                       [&](std::uint64_t, std::uint64_t) {
                                           return std::array<Bytes, 3>{twoEdits, c.differences};
                                       }),
                          original, rebuilt);
            EXPECT_TRUE(c.rebuilds) << c.name;
            EXPECT_EQ(rebuilt, newer) << c.name;
        } catch (const Exception& failure) {
            EXPECT_FALSE(c.rebuilds) << c.name << ": " << failure.Message();
            EXPECT_EQ(failure.Message(), "CRC Error") << c.name;
        }
    }
}

// 2.2 rebuilds each shape exactly, the same for any number of threads and
// through small windows, and is far smaller than 2.1 and 2.0, which a
// writer limited to them still writes (maxMinor 1 keeps to the x86 filter).
TEST(CompactStream, ImageFilterRoundTripsEveryShape) {
    for (const ImageShape& shape : ImageShapes) {
        SCOPED_TRACE(shape.name);
        const auto [original, newer] = ImageVersions(shape, 800);
        std::int32_t minor = -1;
        const Bytes body = CompactEncode(newer, original, 3, &minor);
        ASSERT_EQ(minor, CompactLatestMinor);
        EXPECT_EQ(GetLe32(body.data() + FiltersField), CompactFilterImage);
        EXPECT_EQ(CompactDecode(body, original), newer);
        EXPECT_EQ(CompactEncode(newer, original, 1), body);
        std::size_t best = SIZE_MAX;
        for (const std::int32_t limit : {1, 0}) {
            CompactSettings limited;
            limited.maxMinor = limit;
            const Bytes other = CompactEncode(newer, original, 3, &minor, limited);
            EXPECT_EQ(minor, std::min(limit, shape.minorOf21)) << limit;
            if (minor == 1) {
                EXPECT_EQ(GetLe32(other.data() + FiltersField), CompactFilterX86);
            }
            EXPECT_EQ(CompactDecode(other, original, minor), newer) << limit;
            best = std::min(best, other.size());
        }
        EXPECT_LT(static_cast<double>(body.size()) * shape.gain, static_cast<double>(best))
            << body.size() << " bytes against " << best;
        CompactSettings windowed;
        windowed.windowBytes = 16 << 10;
        windowed.partBytes = 4 << 10;
        const Bytes small = CompactEncode(newer, original, 2, &minor, windowed);
        EXPECT_EQ(minor, CompactLatestMinor);
        EXPECT_EQ(CompactDecode(small, original), newer);
    }
}

// The extra stream's preset is the stretch of the original that lies where
// the newer file has the most new bytes: here a run of them put over the
// code three quarters of the way in, not at its end.
TEST(CompactStream, ImageFilterPresetsTheOriginalWhereTheNewBytesAre) {
    auto [original, newer] = ImageVersions(ImageShapes[0], 800);
    MemoryStream originalStream = StreamOf(original);
    const ImageSection code = ReadImage(originalStream).sections[0];
    const std::size_t at = code.fileOffset + code.fileSize * 3 / 4;
    ASSERT_GT(code.fileSize, 32u << 10);
    std::mt19937 random(5);
    std::generate_n(newer.begin() + static_cast<std::ptrdiff_t>(at), 4096,
                    [&] { return static_cast<std::uint8_t>(random()); });
    CompactSettings settings;
    settings.presetBytes = 4096;
    std::int32_t minor = -1;
    const Bytes body = CompactEncode(newer, original, 2, &minor, settings);
    EXPECT_EQ(CompactDecode(body, original, minor), newer);
    MemoryStream delta = StreamOf(body);
    CompactHeader header;
    ASSERT_TRUE(ReadCompactHeader(delta, minor, header));
    EXPECT_EQ(header.PresetSize, 4096u);
    EXPECT_NEAR(static_cast<double>(header.PresetOffset), static_cast<double>(at), 4096.0);
}

// Two images of one instruction set have the image filter, whatever their
// formats; of two instruction sets, not.
TEST(CompactStream, ImageFilterNeedsOneInstructionSet) {
    struct Pair {
        ImageFormat fromFormat;
        Machine from;
        ImageFormat toFormat;
        Machine to;
        std::uint32_t filters;
    };
    const Pair pairs[] = {
        {ImageFormat::Elf, Machine::Arm64, ImageFormat::Pe, Machine::Arm64, CompactFilterImage},
        {ImageFormat::Pe, Machine::X64, ImageFormat::Elf, Machine::X64, CompactFilterImage},
        {ImageFormat::Pe, Machine::X64, ImageFormat::Pe, Machine::Arm64, CompactFilterX86},
        {ImageFormat::Pe, Machine::I386, ImageFormat::Pe, Machine::X64, CompactFilterX86},
        {ImageFormat::Elf, Machine::Arm64, ImageFormat::Elf, Machine::X64, 0},
    };
    for (const Pair& pair : pairs) {
        const Bytes original = BuildProgram({pair.fromFormat, pair.from, 60}).bytes;
        const Bytes newer = BuildProgram({pair.toFormat, pair.to, 60, 1, true}).bytes;
        std::int32_t minor = -1;
        const Bytes body = CompactEncode(newer, original, 2, &minor);
        EXPECT_EQ(minor, CompactLatestMinor) << &pair - pairs;
        EXPECT_EQ(GetLe32(body.data() + FiltersField), pair.filters) << &pair - pairs;
        EXPECT_EQ(CompactDecode(body, original, minor), newer) << &pair - pairs;
    }
}

// Every byte of a small 2.2 body changed, and every length it may be cut
// to, the layout, table list and preset fields among them: each is refused
// with "CRC Error" (the test's "no tag" for a changed tag), or rebuilds
// exactly the newer file; what reached the output before a refusal is a
// prefix of it.
TEST(CompactStream, ImageFilterRefusesEveryDamage) {
    for (const ImageShape& shape : {ImageShapes[0], ImageShapes[4]}) {
        SCOPED_TRACE(shape.name);
        const auto [original, newer] = ImageVersions(shape, 10, 0x40);
        std::int32_t minor = -1;
        const Bytes body = CompactEncode(newer, original, 1, &minor);
        ASSERT_EQ(minor, CompactLatestMinor);
        const auto refused = [&](const Bytes& damaged, bool tag, const std::string& what) {
            Bytes rebuilt;
            try {
                CompactDecode(damaged, original, rebuilt);
            } catch (const Exception& failure) {
                EXPECT_EQ(failure.Message(), tag ? "no tag" : "CRC Error") << what;
                EXPECT_TRUE(IsPrefix(rebuilt, newer)) << what;
                return true;
            }
            EXPECT_EQ(rebuilt, newer) << what;
            return false;
        };
        // In the header, a change may leave what the reader makes of it as
        // it was (a larger dictionary, a section or table entry no
        // prediction uses); from the first segment on, none does.
        const std::size_t sectionsAt = CompactCodedHeaderBytes + SectionCountField;
        const std::size_t tablesAt =
            sectionsAt + 4 + LayoutSectionBytes * std::size_t{GetLe32(&body[sectionsAt])};
        const std::size_t segmentsAt =
            tablesAt + 4 + OffsetTableBytes * std::size_t{GetLe32(&body[tablesAt])} + 12;
        for (std::size_t i = 0; i < body.size(); ++i) {
            Bytes damaged = body;
            damaged[i] ^= 0x41;
            const bool refusal = refused(damaged, i < 4, "byte " + std::to_string(i));
            EXPECT_TRUE(refusal || i < segmentsAt) << "byte " << i;
        }
        for (std::size_t size = 0; size < body.size(); ++size) {
            EXPECT_TRUE(refused(Slice(body, 0, size), size < 4, "cut to " + std::to_string(size)));
        }
    }
}

// The fields a 2.2 header adds are each checked before they are used:
// tables inside the original, by offset, none overlapping and none empty;
// a preset inside the original and no larger than the extra stream's
// dictionary; at most MaxLayoutSections sections; one filter, the image
// filter only from 2.2 on. Each bound itself is accepted.
TEST(CompactStream, ImageFilterRefusesHostileHeaderFields) {
    const auto [original, newer] = ImageVersions(ImageShapes[0], 60);
    const Bytes body = CompactEncode(newer, original);
    const std::uint64_t size = original.size();
    ASSERT_GT(size, 4097u);
    const std::size_t sectionsAt = CompactCodedHeaderBytes + SectionCountField;
    const std::size_t tablesAt =
        sectionsAt + 4 + LayoutSectionBytes * std::size_t{GetLe32(&body[sectionsAt])};
    const std::size_t presetAt =
        tablesAt + 4 + OffsetTableBytes * std::size_t{GetLe32(&body[tablesAt])};
    const auto tables = [&](const std::vector<OffsetTable>& list) {
        Bytes fields(4 + OffsetTableBytes * list.size());
        PutLe32(fields.data(), static_cast<std::uint32_t>(list.size()));
        for (std::size_t i = 0; i < list.size(); ++i) {
            PutLe64(&fields[4 + OffsetTableBytes * i], list[i].offset);
            PutLe32(&fields[4 + OffsetTableBytes * i + 8], list[i].entries);
        }
        return Join({Slice(body, 0, tablesAt), fields, Slice(body, presetAt, body.size())});
    };
    const auto preset = [&](std::uint64_t offset, std::uint32_t bytes,
                            std::uint32_t dictionary = 4096) {
        Bytes changed = body;
        PutLe32(&changed[ExtraDictionaryField], dictionary);
        PutLe64(&changed[presetAt], offset);
        PutLe32(&changed[presetAt + 8], bytes);
        return changed;
    };
    const auto sections = [&](std::uint32_t count) {
        Bytes layout(4 + LayoutSectionBytes * std::size_t{count});
        PutLe32(layout.data(), count);
        return Join({Slice(body, 0, sectionsAt), layout, Slice(body, tablesAt, body.size())});
    };
    const auto field = [&](int at, std::uint32_t value) {
        Bytes changed = body;
        PutLe32(&changed[static_cast<std::size_t>(at)], value);
        return changed;
    };
    const auto filters = [&](std::uint32_t value) { return field(FiltersField, value); };
    struct Row {
        const char* name;
        Bytes body;
        bool accepted;
        std::int32_t minor = CompactLatestMinor;
    };
    const Row rows[] = {
        {"tables at both ends", tables({{0, 4}, {16, 4}, {size - 4, 1}}), true},
        {"a table past the original's end", tables({{size - 3, 1}}), false},
        {"a table beyond the original", tables({{size + 4, 1}}), false},
        {"a table of four billion entries", tables({{8, 0xFFFFFFFF}}), false},
        {"an empty table", tables({{8, 0}}), false},
        {"overlapping tables", tables({{8, 4}, {20, 4}}), false},
        {"tables out of order", tables({{40, 4}, {8, 4}}), false},
        {"a preset as large as its dictionary", preset(size - 4096, 4096), true},
        {"a preset at the original's end", preset(size, 0), true},
        {"a preset larger than its dictionary", preset(0, 4097), false},
        {"a preset past the original's end", preset(size - 10, 11, 1 << 20), false},
        {"a preset beyond the original", preset(size + 1, 0), false},
        {"65535 sections", sections(MaxLayoutSections), true},
        {"65536 sections", sections(MaxLayoutSections + 1), false},
        {"both filters", filters(CompactFilterImage | CompactFilterX86), false},
        {"a filter it does not know", filters(CompactFilterImage | 4), false},
        {"the image filter in 2.1", body, false, 1},
        {"differences as they are", field(DiffCodingField, DiffCodingPlain), true},
        {"a difference coding it does not know", field(DiffCodingField, 2), false},
    };
    for (const Row& row : rows) {
        MemoryStream delta = StreamOf(row.body);
        CompactHeader header;
        try {
            EXPECT_TRUE(ReadCompactHeader(delta, row.minor, header));
            EXPECT_TRUE(row.accepted) << row.name;
        } catch (const Exception& failure) {
            EXPECT_FALSE(row.accepted) << row.name;
            EXPECT_EQ(failure.Message(), "CRC Error") << row.name;
        }
    }
    // The body against an original of the same size that is no program of
    // an instruction set the model knows: refused before any output.
    Bytes other = original;
    PutLe16(&other[PeHeaderAt + 4], 0x01C4);
    Bytes rebuilt;
    EXPECT_THROW(CompactDecode(body, other, rebuilt), Exception);
    EXPECT_TRUE(rebuilt.empty());
}

// AArch64 code in two code sections over the same file bytes, the second's
// words straddling the first's (StraddlingArm64Code), whose branch a
// prediction rewrites where the data it names moves in the newer image.
// The bytes belong to the first section alone, so the second's ADRP is no
// reference; writer and reader agree, and the sanitizer build finds
// nothing undefined.
TEST(CompactStream, ImageFilterRoundTripsOverlappingArm64Code) {
    const Bytes original = StraddlingArm64Code(0x20000);
    const Bytes newer = StraddlingArm64Code(0x20400);
    for (const std::int32_t threads : {1, 2}) {
        std::int32_t minor = -1;
        const Bytes body = CompactEncode(newer, original, threads, &minor);
        EXPECT_EQ(GetLe32(body.data() + FiltersField), CompactFilterImage);
        EXPECT_EQ(CompactDecode(body, original, minor), newer);
    }
}

// A body of the image filter whose edits each take one byte of the
// original, the third (in the DOS header, which no reference, table or slot
// holds), to the next byte of the newer file: each at a shift of its own,
// so every edit records a stretch of the map. The newer file is that byte
// as many times; the difference bytes are zero.
Bytes RecordingBody(const Bytes& original, std::uint64_t edits) {
    MemoryStream originalStream = StreamOf(original);
    CompactHeader header;
    header.OriginalSize = original.size();
    header.Filters = CompactFilterImage;
    header.Newer = LayoutOf(ReadImage(originalStream));
    return HandMadeBody(
        header, 2, Bytes(edits, original[2]), [](std::uint64_t done, std::uint64_t output) {
            std::array<Bytes, 3> streams = {Bytes(), Bytes(output), Bytes()};
            for (std::uint64_t i = done; i < done + output; ++i) {
                streams[0].insert(streams[0].end(),
                                  {static_cast<std::uint8_t>(i == 0 ? 4 : 1), 1, 0});
            }
            return streams;
        });
}

// The map that the image filter builds before anything is checked holds at
// most MaxImageStretches stretches, bounded by the original's real size: a
// body that records exactly that many rebuilds its file, one that records
// one more is refused before any output, and one that records a segment's
// worth (8 MiB of one-byte edits, which took some 400 MB) is refused with
// the map's memory within its bound.
TEST(CompactStream, ImageFilterMapIsBoundedByTheOriginalsSize) {
    const Bytes original = BuildProgram({ImageFormat::Pe, Machine::X64, 40}).bytes;
    const std::uint64_t most = MaxImageStretches(original.size());
    ASSERT_EQ(most, MinImageStretches);
    EXPECT_EQ(CompactDecode(RecordingBody(original, most), original, 2), Bytes(most, original[2]));
    Bytes rebuilt;
    EXPECT_THROW(CompactDecode(RecordingBody(original, most + 1), original, rebuilt, 2), Exception);
    EXPECT_TRUE(rebuilt.empty());
    const Bytes flood = RecordingBody(original, SegmentBytes);
    const MemoryPeak memory;
    try {
        CompactDecode(flood, original, rebuilt, 2);
        ADD_FAILURE() << "a body past the bound was rebuilt";
    } catch (const Exception& failure) {
        EXPECT_EQ(failure.Message(), "CRC Error");
    }
    EXPECT_TRUE(rebuilt.empty());
    EXPECT_LT(memory.Most(), ReferenceMap::StretchBytes * most + (4 << 20));
    // The bound grows with the original: a stretch for every 32 bytes.
    EXPECT_EQ(MaxImageStretches(std::uint64_t{1} << 30), std::uint64_t{1} << 25);
}

// A writer whose edits would record more stretches than a reader takes
// leaves the image filter out: a program whose 2 MiB of data the newer
// version holds three times over, shuffled in pieces of 48 bytes (a new
// stretch each, some 130000: the bound is 65536), gets a body of the x86
// filter, which rebuilds it; in pieces of 128 bytes (some 49000), one of
// the image filter.
TEST(CompactStream, ImageFilterIsLeftOutWhereTheEditsRecordTooManyStretches) {
    const Bytes data = Random(2 << 20, 35);
    const auto program = [](const Bytes& bytes) {
        ImagePlan plan;
        plan.sections = {{".text", 0x1000, Bytes(0x200, 0xC3), 0, true}, {".data", 0x2000, bytes}};
        LayOut(plan);
        return BuildImage(plan);
    };
    const Bytes original = program(data);
    std::mt19937 random(3);
    for (const auto& [piece, filter] :
         {std::pair{48, CompactFilterX86}, std::pair{128, CompactFilterImage}}) {
        Bytes shuffled;
        while (shuffled.size() < 3 * data.size()) {
            const auto from = data.begin() + random() % (data.size() - piece);
            shuffled.insert(shuffled.end(), from, from + piece);
        }
        const Bytes newer = program(shuffled);
        std::int32_t needed = -1;
        const Bytes body = CompactEncode(newer, original, 2, &needed);
        EXPECT_EQ(needed, CompactLatestMinor) << piece;
        EXPECT_EQ(GetLe32(body.data() + FiltersField), filter) << piece;
        EXPECT_EQ(CompactDecode(body, original, needed), newer) << piece;
    }
}

// A newer version whose section table lists 65530 empty sections before
// its own five, which the body's layout carries (its reader took 45 s for
// 9 MB, and half a minute to stop): the body rebuilds it, the reader polls
// as it predicts the edits (a step for each byte of code, each reference
// and table entry), and a poll that throws stops it there, with a part of
// the file written.
TEST(CompactStream, ImageFilterReaderPollsAndStopsAtAPoll) {
    ProgramPlan plan{ImageFormat::Pe, Machine::X64, 20000};
    const Bytes original = BuildProgram(plan).bytes;
    plan.newer = true;
    ImagePlan layout = BuildProgram(plan).plan;
    layout.sections.insert(layout.sections.begin(), 65530, SectionPlan{".z", 0, Bytes()});
    LayOut(layout);
    const Bytes newer = BuildImage(layout);
    std::int32_t minor = -1;
    const Bytes body = CompactEncode(newer, original, 2, &minor);
    ASSERT_EQ(GetLe32(body.data() + FiltersField), CompactFilterImage);
    MemoryStream delta = StreamOf(body);
    CompactHeader header;
    ASSERT_TRUE(ReadCompactHeader(delta, minor, header));
    ASSERT_EQ(header.Newer.sections.size(), MaxLayoutSections);
    const std::int64_t bodyAt = delta.Position();
    const auto decode = [&](const std::function<void()>& poll, Bytes& rebuilt) {
        delta.SetPosition(bodyAt);
        MemoryStream originalStream = StreamOf(original);
        MemoryStream out;
        struct Keep {
            MemoryStream& out;
            Bytes& rebuilt;
            ~Keep() { rebuilt = out.Bytes(); }
        } keep{out, rebuilt};
        DecodeCompactBody(delta, header, originalStream, out, poll);
    };
    std::size_t polls = 0;
    Bytes rebuilt;
    decode([&] { ++polls; }, rebuilt);
    EXPECT_EQ(rebuilt, newer);
    const std::uint64_t code = BuildProgram(plan).plan.sections[0].bytes.size();
    ASSERT_GT(code, 1u << 20);
    EXPECT_GE(polls, code >> 20);
    for (std::size_t stop = 1; stop <= polls; ++stop) {
        std::size_t polled = 0;
        EXPECT_THROW(decode(
                         [&] {
                             if (++polled == stop) {
                                 throw EInterrupted("Operation interrupted");
                             }
                         },
                         rebuilt),
                     EInterrupted)
            << stop;
        EXPECT_TRUE(IsPrefix(rebuilt, newer) && rebuilt.size() < newer.size()) << stop;
    }
}

} // namespace
} // namespace kestro::test

namespace kestro::test {
namespace {

// 32-bit ARM programs are images that 2.2 does not take: 2.3 names the row
// that reads their code, chosen by their state (with literals unless the
// writer is held to 2.3), and a reader reads them in that state. A row it does not know is a body
// of a later release (no tag for it: the delta's version is refused), a row of another machine a
// damaged body; a writer held to 2.2 leaves the image filter out.
TEST(CompactStream, NamesTheInstructionSetWhere22DoesNotKnowIt) {
    for (const ArmState state : {ArmState::Arm, ArmState::Thumb}) {
        SCOPED_TRACE(state == ArmState::Arm ? "A32" : "T32");
        const Bytes original = BuildArmProgram(state, 400, 7).bytes;
        const Bytes newer = BuildArmProgram(state, 400, 7, 200).bytes;
        std::int32_t minor = -1;
        const Bytes body = CompactEncode(newer, original, 1, &minor, UpTo(3));
        ASSERT_EQ(minor, 3);
        EXPECT_EQ(GetLe32(body.data() + FiltersField), CompactFilterNamedImage);
        EXPECT_EQ(CompactDecode(body, original, 3), newer);
        EXPECT_THROW(CompactDecode(body, original, 2), Exception);
        const Bytes runs = CompactEncode(newer, original, 1, &minor);
        EXPECT_EQ(minor, 4);
        EXPECT_EQ(GetLe32(runs.data() + FiltersField), CompactFilterNamedImage);
        EXPECT_EQ(CompactDecode(runs, original), newer);

        // The row: with literals, but not for readers of 2.3.
        const auto namedIn = [](const Bytes& bytes, std::int32_t version) {
            MemoryStream delta = StreamOf(bytes);
            CompactHeader header;
            EXPECT_TRUE(ReadCompactHeader(delta, version, header));
            return static_cast<std::size_t>(delta.Position()) - 4;
        };
        const bool arm = state == ArmState::Arm;
        EXPECT_EQ(GetLe32(runs.data() + namedIn(runs, 4)),
                  static_cast<std::uint32_t>(arm ? InstructionSetId::A32Literals
                                                 : InstructionSetId::T32Literals));
        const std::size_t named = namedIn(body, 3);
        EXPECT_EQ(GetLe32(body.data() + named),
                  static_cast<std::uint32_t>(arm ? InstructionSetId::A32 : InstructionSetId::T32));
        CompactHeader header;
        for (const std::uint32_t id : {0u, 0x7Fu, 0x10000u}) {
            Bytes later = body;
            PutLe32(later.data() + named, id);
            MemoryStream laterDelta = StreamOf(later);
            EXPECT_FALSE(ReadCompactHeader(laterDelta, 3, header)) << id;
        }
        Bytes other = body;
        PutLe32(other.data() + named, static_cast<std::uint32_t>(InstructionSetId::X64));
        EXPECT_THROW(CompactDecode(other, original, 3), Exception);

        CompactSettings older;
        older.maxMinor = 2;
        const Bytes plain = CompactEncode(newer, original, 1, &minor, older);
        EXPECT_EQ(minor, 0);
        EXPECT_EQ(CompactDecode(plain, original, 0), newer);
    }
}

} // namespace
} // namespace kestro::test

namespace kestro::test {
namespace {

// The worked example of format 2.3: a 208-byte ELF32 image for 32-bit ARM
// whose code grows by four bytes in front of the target of two calls.
std::pair<Bytes, Bytes> Arm32ExamplePair() {
    Bytes original(208);
    PutLe32(&original[0], 0x464C457F); // "\x7F" "ELF"
    original[4] = 1;                   // ELF32
    original[5] = 1;
    original[6] = 1;
    PutLe16(&original[16], 3);  // a shared object
    PutLe16(&original[18], 40); // 32-bit ARM
    PutLe32(&original[20], 1);
    PutLe32(&original[32], 128); // e_shoff
    PutLe16(&original[40], 52);
    PutLe16(&original[46], 40);
    PutLe16(&original[48], 2);
    PutLe32(&original[64], 0xEB00000A); // bl 0x1070
    PutLe32(&original[68], 0xEB000009); // bl 0x1070
    std::iota(original.begin() + 72, original.begin() + 112, std::uint8_t{0x41});
    PutLe32(&original[112], 0xE12FFF1E); // bx lr
    std::uint8_t* text = &original[168];
    PutLe32(text + 4, 1); // SHT_PROGBITS
    PutLe32(text + 8, 6); // SHF_ALLOC | SHF_EXECINSTR
    PutLe32(text + 12, 0x1040);
    PutLe32(text + 16, 64);
    PutLe32(text + 20, 64);
    PutLe32(text + 32, 4);
    Bytes newer = Join({Slice(original, 0, 80), Words({0xE320F000}), Slice(original, 80, 128)});
    PutLe32(&newer[64], 0xEB00000B);
    PutLe32(&newer[68], 0xEB00000A);
    PutLe32(&newer[32], 132);
    PutLe32(&newer[192], 68);
    return {original, newer};
}

// The worked example of format 2.3, byte for byte: the body decodes to the
// newer image; the writer's body has the same header, image record (with
// the row A32 that the two calls choose) and segment header, and streams
// that decode alike, in which both calls cost nothing.
TEST(CompactStream, Arm32WorkedExample) {
    const auto [original, newer] = Arm32ExamplePair();
    const Bytes example = {
        0x4B, 0x43, 0x4D, 0x50, 0xD4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0xF5,
        0x4B, 0x99, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
        0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x10, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x00,
        0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xD4, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
        0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0xF5, 0x4B, 0x99, 0x01, 0x00,
        0x06, 0x00, 0x50, 0x00, 0x07, 0x84, 0x01, 0x00, 0xE0, 0x00, 0xD3, 0x00, 0x15, 0x00,
        0x00, 0x00, 0x6E, 0xA7, 0x77, 0x78, 0x78, 0x73, 0x30, 0xFB, 0x03, 0x1C, 0xF9, 0xA1,
        0x94, 0x4F, 0x55, 0x56, 0x14, 0x34, 0xDD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
        0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(example.size(), 181u);
    EXPECT_EQ(CompactDecode(example, original, 3), newer);
    EXPECT_THROW(CompactDecode(example, original, 2), Exception);

    // The code holds no literal load: the body reads alike with the row
    // that reads them too.
    EXPECT_EQ(GetLe32(example.data() + 100), static_cast<std::uint32_t>(InstructionSetId::A32));
    Bytes named = example;
    PutLe32(named.data() + 100, static_cast<std::uint32_t>(InstructionSetId::A32Literals));
    EXPECT_EQ(CompactDecode(named, original, 3), newer);
    std::int32_t minor = -1;
    const Bytes body = CompactEncode(newer, original, 3, &minor, UpTo(3));
    ASSERT_EQ(minor, 3);
    // {M 0, D 80, X 0}, {M -4, D 132, X 0}; e_shoff (at 32) and sh_size (at
    // 192) grown, the nop E320F000 against 45 46 47 48.
    ExpectLikeTheExample(body, example, 104, {0x00, 0x50, 0x00, 0x07, 0x84, 0x01, 0x00}, 212,
                         {32, 192}, {0xBB, 0xAA, 0xD9, 0x9B});
}

} // namespace
} // namespace kestro::test
