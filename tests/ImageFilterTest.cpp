// The image filter's parts: the maps of writer and reader and their
// predictions, the scan of code that many sections share, and the marks of
// unwind records. Its round trips through the compact body are
// CompactStreamTest's.
#include "CompactSupport.hpp"
#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

namespace kestro::test {
namespace {

// The writer maps the edits it found whole; the reader maps them as its
// control stream gives them, cut where segments end, and reads each piece's
// old bytes from the original's stream. Both maps place each old byte where
// the first edit that took it put it (NearbyPosition: as the nearest byte
// taken), both predict each piece alike, and where an edit's bytes lie
// where the map places them, the projection the writer searches in is that
// edit's prediction.
TEST(ImageFilter, WriterAndReaderPredictAlike) {
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        for (const ImageShape& shape : ImageShapes) {
            SCOPED_TRACE(shape.name);
            const auto [original, newer] = ImageVersions(shape, 150);
            MemoryStream originalStream = StreamOf(original);
            MemoryStream newerStream = StreamOf(newer);
            const Image image = ReadImage(originalStream);
            const std::vector<AddressSlot> slots = ReadAddressSlots(originalStream, image);
            const ImageLayout layout = LayoutOf(ReadImage(newerStream));
            const std::vector<OffsetTable> tables = FindOffsetTables(original, 0, image);
            const auto size = static_cast<std::int64_t>(original.size());
            const std::vector<TestEdit> edits =
                RandomEdits(size, static_cast<std::int64_t>(newer.size()), random);
            std::vector<TestEdit> pieces;
            std::vector<std::optional<std::int64_t>> shift(original.size()); // by the first edit
            ReferenceMap writer(SIZE_MAX);
            ReferenceMap reader(SIZE_MAX);
            for (const TestEdit& edit : edits) {
                writer.Add(edit.oldStart, edit.length, edit.newStart);
                for (std::int64_t i = edit.oldStart; i < edit.oldStart + edit.length; ++i) {
                    shift[static_cast<std::size_t>(i)] =
                        shift[static_cast<std::size_t>(i)].value_or(edit.newStart - edit.oldStart);
                }
                for (std::int64_t done = 0; done < edit.length;) {
                    const auto piece =
                        std::min<std::int64_t>(edit.length - done, 1 + random() % 2000);
                    pieces.push_back({edit.oldStart + done, piece, edit.newStart + done});
                    reader.Add(edit.oldStart + done, piece, edit.newStart + done);
                    done += piece;
                }
            }
            writer.Seal();
            reader.Seal();
            std::vector<std::int64_t> nextTaken(original.size() + 1, size);
            for (std::int64_t at = size - 1; at >= 0; --at) {
                nextTaken[static_cast<std::size_t>(at)] =
                    shift[static_cast<std::size_t>(at)]
                        ? at
                        : nextTaken[static_cast<std::size_t>(at) + 1];
            }
            std::int64_t lastTaken = -1;
            for (std::int64_t at = 0; at < size; ++at) {
                const auto& moved = shift[static_cast<std::size_t>(at)];
                const std::optional<std::int64_t> expected =
                    moved ? std::optional<std::int64_t>(at + *moved) : std::nullopt;
                ASSERT_EQ(writer.NewPosition(at), expected) << at;
                ASSERT_EQ(reader.NewPosition(at), expected) << at;
                lastTaken = moved ? at : lastTaken;
                const std::int64_t from = at - static_cast<std::int64_t>(random() % 512);
                const std::int64_t to = at + 1 + static_cast<std::int64_t>(random() % 512);
                const std::int64_t next = nextTaken[static_cast<std::size_t>(at)];
                std::optional<std::int64_t> nearby;
                if (lastTaken >= from && lastTaken >= 0) {
                    nearby = at + *shift[static_cast<std::size_t>(lastTaken)];
                } else if (next < std::min(to, size)) {
                    nearby = at + *shift[static_cast<std::size_t>(next)];
                }
                ASSERT_EQ(reader.NearbyPosition(at, from, to), nearby)
                    << at << " in " << from << ".." << to;
            }

            const ImagePredictor writing(image, slots, tables, layout, writer);
            const ImagePredictor reading(image, slots, tables, layout, reader);
            const auto oldBytes = [&](const TestEdit& edit) {
                const auto start = original.begin() + edit.oldStart;
                return Bytes(start, start + edit.length);
            };
            std::size_t changed = 0;
            for (const TestEdit& piece : pieces) {
                Bytes whole = oldBytes(piece);
                writing.Predict(whole, static_cast<std::uint64_t>(piece.oldStart),
                                static_cast<std::uint64_t>(piece.newStart));
                Bytes read(static_cast<std::size_t>(piece.length));
                ASSERT_EQ(originalStream.ReadAt(piece.oldStart, read.data(), piece.length),
                          piece.length);
                reading.Predict(read, static_cast<std::uint64_t>(piece.oldStart),
                                static_cast<std::uint64_t>(piece.newStart));
                ASSERT_EQ(whole, read) << piece.oldStart << " to " << piece.newStart;
                changed += whole != oldBytes(piece) ? 1 : 0;
            }
            EXPECT_GT(changed * 3, pieces.size());
            std::size_t compared = 0;
            for (const TestEdit& edit : edits) {
                bool placed = true;
                for (std::int64_t i = 0; i < edit.length; ++i) {
                    placed &= writer.NewPosition(edit.oldStart + i) == edit.newStart + i;
                }
                for (const OffsetTable& table : tables) {
                    const auto start = static_cast<std::int64_t>(table.offset);
                    placed &= start >= edit.oldStart ||
                              start + 4 * std::int64_t{table.entries} <= edit.oldStart;
                }
                if (!placed) {
                    continue;
                }
                Bytes projected = oldBytes(edit);
                writing.Project(projected, static_cast<std::uint64_t>(edit.oldStart));
                Bytes predicted = oldBytes(edit);
                writing.Predict(predicted, static_cast<std::uint64_t>(edit.oldStart),
                                static_cast<std::uint64_t>(edit.newStart));
                EXPECT_EQ(projected, predicted) << edit.oldStart << " to " << edit.newStart;
                ++compared;
            }
            EXPECT_GT(compared, 0u);
        }
    }
}

// A 32-bit ARM program whose functions from the 100th on move 64 bytes
// further, away from the data their literal words name and from their
// exception index entries: each row with literals predicts the moved code
// and the index exactly, the row without all of them but those words.
TEST(ImageFilter, PredictsArm32LiteralWordsAndTheExceptionIndex) {
    constexpr unsigned Functions = 200;
    constexpr unsigned Grown = 100;
    for (const ArmState state : {ArmState::Arm, ArmState::Thumb}) {
        const Bytes original = BuildArmProgram(state, Functions, 7).bytes;
        const Bytes newer = BuildArmProgram(state, Functions, 7, Grown).bytes;
        MemoryStream originalStream = StreamOf(original);
        MemoryStream newerStream = StreamOf(newer);
        Image image = ReadImage(originalStream);
        image.armState = state;
        const ImageLayout layout = LayoutOf(ReadImage(newerStream));
        const std::uint64_t text = image.Code()[0].fileOffset;
        const std::uint64_t moved = text + 64 * Grown;
        const std::uint64_t end = text + 64 * Functions;
        const std::uint64_t index = image.sections[2].fileOffset;
        ReferenceMap map(SIZE_MAX);
        map.Add(0, static_cast<std::int64_t>(moved), 0);
        map.Add(static_cast<std::int64_t>(moved),
                static_cast<std::int64_t>(original.size() - moved),
                static_cast<std::int64_t>(moved + 64));
        map.Seal();
        for (const bool literals : {false, true}) {
            image.armLiterals = literals;
            SCOPED_TRACE(InstructionSetName(InstructionSetIdOf(image)));
            const std::vector<AddressSlot> slots = ReadAddressSlots(originalStream, image);
            const std::vector<OffsetTable> tables;
            const ImagePredictor predictor(image, slots, tables, layout, map);
            // The words predicted wrongly, by offset in the original.
            std::vector<std::uint64_t> wrong;
            for (const auto& [start, count] :
                 {std::pair<std::uint64_t, std::uint64_t>{moved, end - moved},
                  {index, 8 * Functions}}) {
                Bytes predicted = Slice(original, start, count);
                predictor.Predict(predicted, start, start + 64);
                const Bytes expected = Slice(newer, start + 64, count);
                for (std::uint64_t at = 0; at < count; at += 4) {
                    if (GetLe32(&predicted[at]) != GetLe32(&expected[at])) {
                        wrong.push_back(start + at);
                    }
                }
            }
            std::vector<std::uint64_t> words; // each moved function's literal word, index entry
            for (unsigned f = Grown; !literals && f < Functions; ++f) {
                words.insert(words.end(), {text + 64 * f + 60, index + 8 * f});
            }
            std::sort(words.begin(), words.end());
            EXPECT_EQ(wrong, words);
        }
    }
}

// 200 KiB of A32 code, a literal load every 65000 bytes whose word lies
// 4 KiB on, naming data that moves: the scan, which looks at the code a
// window of 64 KiB at a time from the last reference it found, finds each
// load though it lies just before the window's end and its word past it,
// and each word is predicted.
TEST(ImageFilter, FindsLiteralLoadsAcrossScanWindows) {
    constexpr std::uint64_t Code = 200 << 10;
    constexpr std::uint32_t Moved = 0x1000;
    Bytes file(Code + 0x100);
    for (std::uint64_t at = 0; at < Code; at += 4) {
        PutLe32(&file[at], 0xE320F000);
    }
    std::vector<std::uint64_t> words;
    for (std::uint64_t at = 65000; at + 4012 <= Code; at += 65000) {
        PutLe32(&file[at], 0xE59F0000 | 4000); // ldr r0, [pc, #4000]
        PutLe32(&file[at + 4], 0xE08F0000);    // add r0, pc, r0
        const auto userPc = static_cast<std::uint32_t>(0x10000 + at + 12);
        PutLe32(&file[at + 4008], 0x80000 + static_cast<std::uint32_t>(at % 64) - userPc);
        words.push_back(at + 4008);
    }
    Image image =
        ElfImageOf(Machine::Arm32, ArmState::Arm,
                   {{0x10000, Code, 0, Code, true}, {0x80000, 0x100, Code, 0x100, false}});
    image.armLiterals = true;
    ImageLayout layout = LayoutOf(image);
    layout.sections[1].address += Moved;
    layout.IndexSections();
    ReferenceMap map(SIZE_MAX);
    map.Add(0, static_cast<std::int64_t>(file.size()), 0);
    map.Seal();
    const std::vector<AddressSlot> slots;
    const std::vector<OffsetTable> tables;
    const ImagePredictor predictor(image, slots, tables, layout, map);
    Bytes predicted = file;
    predictor.Predict(predicted, 0, 0);
    Bytes expected = file;
    for (const std::uint64_t at : words) {
        PutLe32(&expected[at], GetLe32(&file[at]) + Moved);
    }
    EXPECT_EQ(predicted, expected);
}

// The offsets of 32-bit ARM linkage table entries are erased where code
// holds them at aligned addresses, in either state's image, and nothing
// else: not other words, not the same words in data or unaligned, and not
// in an image of another machine.
TEST(ImageFilter, MasksArmLinkageOffsets) {
    const Bytes entry = Words({0xE28FC602, 0xE28CCA1D, 0xE5BCF59C, 0xE7FD4778});
    // Code at 0x1000 (file offset 0), data at 0x2000 (file offset 32).
    const Bytes file = Join({entry, Bytes(2, 0), Slice(entry, 0, 14), entry});
    Bytes erased = file;
    PutLe32(&erased[0], 0xE28FC000);
    PutLe32(&erased[4], 0xE28CC000);
    PutLe32(&erased[8], 0xE5BCF000);
    for (const auto& [machine, state] : {std::pair{Machine::Arm32, ArmState::Arm},
                                         {Machine::Arm32, ArmState::Thumb},
                                         {Machine::X64, ArmState::Thumb}}) {
        const Image image =
            ElfImageOf(machine, state, {{0x1000, 32, 0, 32, true}, {0x2000, 16, 32, 16, false}});
        // The whole file, and a window of it from offset 4 on.
        Bytes masked = file;
        MaskLinkage(masked, 0, image);
        Bytes window = Slice(file, 4, file.size() - 4);
        MaskLinkage(window, 4, image);
        const Bytes& expected = machine == Machine::Arm32 ? erased : file;
        EXPECT_EQ(masked, expected);
        EXPECT_EQ(window, Slice(expected, 4, file.size() - 4));
    }
}

// Code that 65535 sections hold all at once is scanned once: masking it
// and projecting it take as many steps as with one section (each a few
// seconds per section before), and poll after each MiB of code or so.
TEST(ImageFilter, ScansOverlappingCodeOnceAndPolls) {
    std::array<std::pair<std::size_t, std::size_t>, 2> polls{};
    for (const unsigned sections : {1u, 65535u}) {
        SCOPED_TRACE(std::to_string(sections) + " sections");
        Bytes bytes = OverlappingCode(ImageFormat::Pe, sections, 2 << 20);
        MemoryStream stream = StreamOf(bytes);
        const Image image = ReadImage(stream);
        ASSERT_EQ(image.sections.size(), sections);
        ASSERT_EQ(image.Code().size(), 1u);
        auto& [masking, projecting] = polls[sections == 1 ? 0 : 1];
        const std::vector<AddressSlot> slots;
        Bytes masked = bytes;
        MaskReferences(masked, 0, image, slots, [&] { ++masking; });
        EXPECT_NE(masked, bytes);
        ReferenceMap map(SIZE_MAX);
        map.Add(0, static_cast<std::int64_t>(bytes.size()), 0);
        map.Seal();
        const ImageLayout layout = LayoutOf(image);
        const std::vector<OffsetTable> tables;
        const ImagePredictor model(image, slots, tables, layout, map, [&] { ++projecting; });
        Bytes projected = bytes;
        model.Project(projected, 0);
        EXPECT_EQ(projected, bytes);
    }
    EXPECT_GE(polls[0].first, 2u);
    EXPECT_GE(polls[0].second, 2u);
    EXPECT_LE(polls[1].first, polls[0].first + 1);
    EXPECT_LE(polls[1].second, polls[0].second + 1);
}

// A newer image that names the original's unwind records, all alike, in
// another order (turned by half), mapped byte for byte but for the first
// function's first byte. Marked, each function's record looks the same in
// both files wherever its table puts it, and unlike its neighbours'; the
// first function's is left as it is in both.
TEST(ImageFilter, MarksUnwindRecordsWithTheirFunction) {
    for (const ImageShape& shape : {ImageShapes[0], ImageShapes[2]}) {
        SCOPED_TRACE(shape.name);
        Bytes original = BuildProgram({shape.format, shape.machine, 100, 3}).bytes;
        MemoryStream originalStream = StreamOf(original);
        const Image image = ReadImage(originalStream);
        const std::vector<UnwindEntry> entries = ReadUnwindEntries(originalStream, image);
        ASSERT_GT(entries.size(), 40u);
        const auto recordAt = [&](const UnwindEntry& entry) {
            return static_cast<std::size_t>(*image.OffsetOf(entry.unwind));
        };
        for (const UnwindEntry& entry : entries) {
            PutLe64(&original[recordAt(entry)], 0x0000420400010401u);
        }
        Bytes newer = original;
        const std::size_t entryBytes = shape.machine == Machine::X64 ? 12 : 8;
        std::size_t field = *image.OffsetOf(image.directories[3].address) + entryBytes - 4;
        for (std::size_t i = 0; i < entries.size(); field += entryBytes) {
            if (GetLe32(&original[field]) == entries[i].unwind) {
                const UnwindEntry& named = entries[(i + entries.size() / 2) % entries.size()];
                PutLe32(&newer[field], static_cast<std::uint32_t>(named.unwind));
                ++i;
            }
        }
        const auto first = static_cast<std::int64_t>(*image.OffsetOf(entries[0].function));
        const auto size = static_cast<std::int64_t>(original.size());
        ReferenceMap map(SIZE_MAX);
        map.Add(0, first, 0);
        map.Add(first + 1, size - first - 1, first + 1);
        map.Seal();
        MemoryStream newerStream = StreamOf(newer);
        const auto [oldMarks, newMarks] =
            MarkUnwindOwners(originalStream, image, newerStream, image, map);
        Bytes oldView = original;
        Bytes newView = newer;
        ApplyMarks(oldView, 0, oldMarks);
        ApplyMarks(newView, 0, newMarks);
        const auto record = [&](const Bytes& view, std::size_t i) {
            const std::size_t at = recordAt(entries[i % entries.size()]);
            return Bytes(view.begin() + static_cast<std::ptrdiff_t>(at),
                         view.begin() + static_cast<std::ptrdiff_t>(at + 8));
        };
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(record(oldView, i), record(newView, i + entries.size() / 2)) << i;
            EXPECT_EQ(record(oldView, i) == record(original, i), i == 0) << i;
            EXPECT_NE(record(oldView, i), record(oldView, i + 1)) << i;
        }
    }
}

} // namespace
} // namespace kestro::test
