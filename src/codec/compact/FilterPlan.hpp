// The compact writer's filter: which one the body uses, what it reads of
// the two inputs to predict, the offset tables it lists, and its
// prediction of each edit's old bytes in the coding pass.
#pragma once

#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/EncoderProgress.hpp"
#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kestro {

class ByteStream;

// What the chosen filter knows of the inputs before the search.
struct FilterPlan {
    const CompactFilter* filter = nullptr; // none without a filter
    std::uint32_t filters = 0;             // the body's Filters field
    // What the filter's predictor reads of the original.
    FilterInputs inputs;
    // The image filter's model of the newer file and its address slots.
    Image newerImage;
    std::vector<AddressSlot> newerSlots;
    // The tables of offsets the image filter may predict, found in the
    // whole original where it fits one window.
    std::vector<OffsetTable> candidates;
    // 32-bit ARM: whether the record may name the rows with literals, which
    // readers of 2.3 and of 2.4's first release lack: not for a writer held
    // to an earlier minor than the latest, which writes for such readers.
    bool literalRows = true;

    bool IsImage() const {
        return filters == CompactFilterImage || filters == CompactFilterNamedImage;
    }
};

// Chooses the filter: the first row of CompactFilters() of minor
// filterMinor at most (what the readers asked for know, or fewer after a
// filter was left out) that the inputs allow (the image filter where both
// files are images of one instruction set the model knows, else the x86
// filter for an x86 program). Sets header.Filters, and the newer layout
// with the image filter. Leaves both inputs at their first byte.
FilterPlan PlanFilter(ByteStream& newer, ByteStream& original, const CompactSettings& settings,
                      std::int32_t filterMinor, EncoderProgress& progress, CompactHeader& header);

// The minor version of format 2 that a body of this header needs: its
// filter's, and 4 for the forms of its differences.
std::int32_t MinorOf(const CompactHeader& header);

// The candidate tables that the image filter predicts better than it
// leaves them, with the edits that map records.
std::vector<OffsetTable> ChooseTables(const FilterPlan& plan, const ReferenceMap& map,
                                      ByteStream& original, ByteStream& newer,
                                      const ImageLayout& layout, const std::function<void()>& poll);

// The filter's predictor in the coding pass, from the edits that map
// records (sealed). It reads the old bytes of the edit it predicts from
// the window that SetWindow names last.
class FilterPredictor {
public:
    FilterPredictor(const FilterPlan& plan, const CompactHeader& header, const ReferenceMap& map,
                    const std::function<void()>& poll);

    // The window of the original being coded: its bytes from start on.
    void SetWindow(const std::uint8_t* data, std::int64_t start) {
        windowData_ = data;
        windowStart_ = start;
    }
    EditPredictor* Predictor() const { return predictor_.get(); }

private:
    const std::uint8_t* windowData_ = nullptr;
    std::int64_t windowStart_ = 0;
    std::unique_ptr<EditPredictor> predictor_;
};

} // namespace kestro
