// The compact filters' table: each row's header record and its predictor,
// as the writer and the reader use them.
#include "CompactSupport.hpp"
#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/ImageFilter.hpp"
#include "common/Failures.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace kestro::test {
namespace {

// Every row of the filters' table: found by its id, its header record read
// back as written at its minor version and refused by a reader of the one
// before (where that one has the Filters field), and its predictor the same whether an edit is
// predicted whole (as the writer does) or a stretch at a time (as the reader does, 64 KiB at a
// time; here in stretches of a few bytes, so that references and slots straddle them).
TEST(CompactFilters, EachRowReadsItsRecordAndPredictsAlikeInPieces) {
    EXPECT_EQ(FindCompactFilter(0), nullptr);
    EXPECT_EQ(FindCompactFilter(0x80), nullptr);
    const auto [original, newer] = ImageVersions(ImageShapes[0], 150);
    for (const CompactFilter& row : CompactFilters()) {
        SCOPED_TRACE("filter " + std::to_string(row.id));
        EXPECT_EQ(FindCompactFilter(row.id), &row);
        MemoryStream originalStream = StreamOf(original);
        MemoryStream newerStream = StreamOf(newer);
        CompactHeader header;
        header.NewerSize = newer.size();
        header.OriginalSize = original.size();
        header.ControlDictionary = header.DiffDictionary = header.ExtraDictionary = 1 << 20;
        header.Filters = row.id;
        header.Newer = LayoutOf(ReadImage(newerStream));
        header.Tables = {{0x400, 2}};
        header.PresetOffset = 0x200;
        header.PresetSize = 0x300;
        header.InstructionSet = row.id == CompactFilterNamedImage
                                    ? static_cast<std::uint32_t>(InstructionSetId::X64)
                                    : 0;
        MemoryStream written;
        WriteCompactHeader(written, header, row.minor);
        for (const std::int32_t minor : {row.minor, row.minor - 1}) {
            MemoryStream delta = StreamOf(written.Bytes());
            CompactHeader read;
            if (minor < 1) {
                continue;
            }
            if (minor < row.minor) {
                EXPECT_THROW(ReadCompactHeader(delta, minor, read), Exception);
                continue;
            }
            ASSERT_TRUE(ReadCompactHeader(delta, minor, read));
            EXPECT_EQ(delta.Position(), static_cast<std::int64_t>(written.Bytes().size()));
            EXPECT_EQ(read.Filters, row.id);
            MemoryStream again;
            WriteCompactHeader(again, read, minor);
            EXPECT_EQ(again.Bytes(), written.Bytes());
        }

        std::mt19937 random(row.id);
        const std::vector<TestEdit> edits =
            RandomEdits(static_cast<std::int64_t>(original.size()),
                        static_cast<std::int64_t>(newer.size()), random);
        ReferenceMap map(row.mapStretches);
        for (const TestEdit& edit : edits) {
            map.Add(edit.oldStart, edit.length, edit.newStart);
        }
        map.Seal();
        const FilterInputs inputs = row.read(originalStream, header, {});
        const ReadOld readOld = [&](std::int64_t at, std::uint8_t* to, std::int64_t count) {
            std::memcpy(to, original.data() + at, static_cast<std::size_t>(count));
        };
        const std::unique_ptr<EditPredictor> whole =
            row.predictor(inputs, header, map, readOld, {});
        const std::unique_ptr<EditPredictor> pieces =
            row.predictor(inputs, header, map, readOld, {});
        std::size_t changed = 0;
        for (const TestEdit& edit : edits) {
            const auto from = original.begin() + edit.oldStart;
            Bytes wholly(from, from + edit.length);
            whole->StartEdit(edit.oldStart, edit.length, edit.newStart);
            whole->Predict(wholly, edit.oldStart);
            Bytes inPieces(from, from + edit.length);
            pieces->StartEdit(edit.oldStart, edit.length, edit.newStart);
            for (std::int64_t at = 0; at < edit.length;) {
                const std::int64_t take = std::min<std::int64_t>(
                    edit.length - at, 1 + static_cast<std::int64_t>(random() % 7));
                pieces->Predict(std::span<std::uint8_t>(inPieces).subspan(
                                    static_cast<std::size_t>(at), static_cast<std::size_t>(take)),
                                edit.oldStart + at);
                at += take;
            }
            ASSERT_EQ(inPieces, wholly) << "edit at " << edit.oldStart;
            changed += Bytes(from, from + edit.length) != wholly ? 1 : 0;
        }
        // The predictions do rewrite references of this program.
        EXPECT_GT(changed, 0u);
    }
}

} // namespace
} // namespace kestro::test
