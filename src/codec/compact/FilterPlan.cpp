// The compact writer's choice of filter, its tables and its predictions.
#include "codec/compact/FilterPlan.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kestro {

namespace {

// A candidate table pays for its place in the header's list (12 bytes; a
// mispredicted entry costs about 2 in the difference stream) with this
// many more entries right.
constexpr std::int64_t MinTableGain = 6;

// How many more of table's entries are right as the projection predicts
// them than as they stood.
std::int64_t TableGain(const OffsetTable& table, const ImagePredictor& projection,
                       const ReferenceMap& map, ByteStream& original, ByteStream& newer,
                       WorkPoll& steps) {
    std::vector<std::uint8_t> old(4 * std::size_t{table.entries});
    if (original.ReadAt(static_cast<std::int64_t>(table.offset), old.data(),
                        static_cast<std::int64_t>(old.size())) !=
        static_cast<std::int64_t>(old.size())) {
        throw EReadError("Stream read error");
    }
    std::vector<std::uint8_t> predicted = old;
    projection.Project(predicted, table.offset);
    std::int64_t gain = 0;
    for (std::uint64_t i = 0; i < table.entries; ++i) {
        steps.Step();
        const std::optional<std::int64_t> placed =
            map.NewPosition(static_cast<std::int64_t>(table.offset + 4 * i));
        std::uint8_t now[4];
        if (!placed || newer.ReadAt(*placed, now, 4) != 4) {
            continue;
        }
        gain += std::memcmp(now, &predicted[4 * i], 4) == 0 ? 1 : 0;
        gain -= std::memcmp(now, &old[4 * i], 4) == 0 ? 1 : 0;
    }
    return gain;
}

} // namespace

FilterPlan PlanFilter(ByteStream& newer, ByteStream& original, const CompactSettings& settings,
                      std::int32_t filterMinor, EncoderProgress& progress, CompactHeader& header) {
    const std::function<void()> poll = [&progress] { progress.Poll(); };
    FilterPlan plan;
    plan.literalRows = settings.maxMinor >= CompactLatestMinor;
    for (const CompactFilter& filter : CompactFilters()) {
        if (filter.minor <= filterMinor && filter.choose(newer, original, poll, plan, header)) {
            plan.filter = &filter;
            plan.filters = filter.id;
            break;
        }
    }
    header.Filters = plan.filters;
    const std::int64_t originalSize = original.Size();
    if (plan.IsImage() && originalSize <= settings.windowBytes) {
        std::vector<std::uint8_t> all;
        original.SetPosition(0);
        ReadPolled(original, all, originalSize, progress);
        plan.candidates = FindOffsetTables(all, 0, plan.inputs.originalImage, poll);
    }
    newer.SetPosition(0);
    original.SetPosition(0);
    return plan;
}

std::int32_t MinorOf(const CompactHeader& header) {
    const CompactFilter* filter = FindCompactFilter(header.Filters);
    return std::max(filter != nullptr ? filter->minor : 0,
                    header.DiffCoding != DiffCodingPlain ? CompactDiffCodingMinor : 0);
}

// The candidate tables that the image filter predicts better than it
// leaves them: projected through map, more of the entries it can check
// (those of a table the map places) are right than were right as they
// stood, by a quarter of the table and by at least MinTableGain entries.
std::vector<OffsetTable> ChooseTables(const FilterPlan& plan, const ReferenceMap& map,
                                      ByteStream& original, ByteStream& newer,
                                      const ImageLayout& layout,
                                      const std::function<void()>& poll) {
    std::vector<OffsetTable> chosen;
    const std::vector<AddressSlot> noSlots;
    const ImagePredictor projection(plan.inputs.originalImage, noSlots, plan.candidates, layout,
                                    map, poll);
    WorkPoll steps(poll);
    for (const OffsetTable& table : plan.candidates) {
        const std::int64_t gain = TableGain(table, projection, map, original, newer, steps);
        if (4 * gain > std::int64_t{table.entries} && gain >= MinTableGain) {
            chosen.push_back(table);
        }
    }
    return chosen;
}

FilterPredictor::FilterPredictor(const FilterPlan& plan, const CompactHeader& header,
                                 const ReferenceMap& map, const std::function<void()>& poll)
    : predictor_(plan.filter->predictor(
          plan.inputs, header, map,
          [this](std::int64_t at, std::uint8_t* to, std::int64_t count) {
              std::memcpy(to, windowData_ + (at - windowStart_), static_cast<std::size_t>(count));
          },
          poll)) {}

} // namespace kestro
