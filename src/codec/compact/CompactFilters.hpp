// The compact body's filters, one row each in one table: the value of the
// header's Filters field that names it, the lowest minor version of format
// 2 that reads it, the record it adds behind the body header (written and
// read only here), what it reads of the original, and its predictor of an
// edit's old bytes, which writer and reader alike use. A body uses one
// filter at most; Filters 0 is none.
#pragma once

#include "codec/compact/CompactStream.hpp"
#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "codec/compact/legacy/X86Filter.hpp"
#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kestro {

class ByteStream;
struct FilterPlan;

// What a filter reads of the original before it predicts: the image
// filter's model and address slots, the x86 filter's address table.
struct FilterInputs {
    Image originalImage;
    std::vector<AddressSlot> originalSlots;
    AddressTable addresses;
};

// Reads count bytes of the original at old position at into to; asked only
// for bytes inside the edit being predicted.
using ReadOld = std::function<void(std::int64_t at, std::uint8_t* to, std::int64_t count)>;

// A filter's prediction of the edits' old bytes, edit by edit in order.
class EditPredictor {
public:
    virtual ~EditPredictor() = default;
    // The next edit takes the old bytes [oldStart, oldStart + length) to
    // the newer file at newStart.
    virtual void StartEdit(std::int64_t oldStart, std::int64_t length, std::int64_t newStart) = 0;
    // bytes holds the original's bytes from old position at on, the next
    // stretch of the current edit: rewrites them as the filter predicts.
    virtual void Predict(std::span<std::uint8_t> bytes, std::int64_t at) = 0;
};

struct CompactFilter {
    std::uint32_t id;   // the Filters field's value
    std::int32_t minor; // the lowest minor version of format 2 that reads it
    // The most stretches the map of a body's edits holds (ReferenceMap),
    // and the most they may record against an original of originalSize
    // bytes: a reader refuses more, a writer leaves the filter out.
    std::size_t mapStretches;
    std::uint64_t (*mostStretches)(std::uint64_t originalSize);
    // The writer's choice: whether the inputs allow the filter, filling
    // plan (and header's part of the record) where they do.
    bool (*choose)(ByteStream& newer, ByteStream& original, const std::function<void()>& poll,
                   FilterPlan& plan, CompactHeader& header);
    // The reader's inputs from the original, as the header's record
    // describes them; fails as a damaged body where the original cannot be
    // what the writer's was.
    FilterInputs (*read)(ByteStream& original, const CompactHeader& header,
                         const std::function<void()>& poll);
    // The record behind the body header, appended to bytes (the header's
    // bytes so far) and read from delta's position; none where null. The
    // reader is false where the record names what this program does not
    // know (a later instruction set): a body it cannot read, not a
    // damaged one.
    void (*writeRecord)(std::vector<std::uint8_t>& bytes, const CompactHeader& header);
    bool (*readRecord)(ByteStream& delta, CompactHeader& header);
    // The predictor from the inputs, the header and the map of the edits
    // (sealed); polls, where set, after every few MiB of its work.
    std::unique_ptr<EditPredictor> (*predictor)(const FilterInputs& inputs,
                                                const CompactHeader& header,
                                                const ReferenceMap& map, ReadOld readOld,
                                                const std::function<void()>& poll);
};

// The filters, the writer's first choice first.
std::span<const CompactFilter> CompactFilters();
// The filter of a Filters value; null for 0 and for values no row has.
const CompactFilter* FindCompactFilter(std::uint32_t id);

// The image filter's rows (ImageFilterRow.cpp) and the x86 filter's
// (legacy/X86FilterRow.cpp).
extern const CompactFilter ImageFilterRow;
extern const CompactFilter NamedImageFilterRow;
extern const CompactFilter X86FilterRow;

} // namespace kestro
