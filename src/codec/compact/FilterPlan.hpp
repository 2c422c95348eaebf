// The compact writer's filter: which one the body uses, what it reads of
// the two inputs to predict, the offset tables it lists, and its
// prediction of each edit's old bytes in the coding pass.
#pragma once

#include "codec/compact/CompactStream.hpp"
#include "codec/compact/EncoderProgress.hpp"
#include "codec/compact/ModelFilter.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "codec/compact/SegmentWriter.hpp"
#include "codec/compact/X86Filter.hpp"
#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kestro {

class ByteStream;

// What the chosen filter knows of the inputs before the search.
struct FilterPlan {
    std::uint32_t filters = 0; // the body's Filters field
    // The image filter's models of both files and their address slots.
    Image originalImage;
    Image newerImage;
    std::vector<AddressSlot> originalSlots;
    std::vector<AddressSlot> newerSlots;
    // The tables of offsets the image filter may predict, found in the
    // whole original where it fits one window.
    std::vector<OffsetTable> candidates;
    // The x86 filter's addresses of the original.
    AddressTable addresses;

    bool IsImage() const { return filters == CompactFilterImage; }
};

// Chooses the filter: the image filter where both files are images of one
// instruction set the model knows, else the x86 filter for an x86 program,
// as far as the readers asked for (settings.maxMinor) know them. Sets
// header.Filters, and the newer layout with the image filter. Leaves both
// inputs at their first byte.
FilterPlan PlanFilter(ByteStream& newer, ByteStream& original, const CompactSettings& settings,
                      EncoderProgress& progress, CompactHeader& header);

// The minor version of format 2 that a body of these filters needs.
std::int32_t MinorOf(std::uint32_t filters);

// The candidate tables that the image filter predicts better than it
// leaves them, with the edits that map records.
std::vector<OffsetTable> ChooseTables(const FilterPlan& plan, const ReferenceMap& map,
                                      ByteStream& original, ByteStream& newer,
                                      const ImageLayout& layout, const std::function<void()>& poll);

// The filter's predictions in the coding pass, from the edits that map
// records (sealed): the segment writer's Predict. The x86 filter reads
// the old bytes of the edit it predicts from the window that SetWindow
// names last.
class FilterPredictor {
public:
    FilterPredictor(const FilterPlan& plan, const CompactHeader& header, const ReferenceMap& map,
                    const std::function<void()>& poll);
    ~FilterPredictor();

    // The window of the original being coded: its bytes from start on.
    void SetWindow(const std::uint8_t* data, std::int64_t start) {
        windowData_ = data;
        windowStart_ = start;
    }
    SegmentWriter::Predict Predict();

private:
    const std::uint8_t* windowData_ = nullptr;
    std::int64_t windowStart_ = 0;
    std::unique_ptr<ReferencePredictor> x86_;
    std::unique_ptr<ModelPredictor> model_;
};

} // namespace kestro
