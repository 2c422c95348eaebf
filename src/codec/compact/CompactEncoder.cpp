// The compact body's writer, as the list of its stages: the filter's plan
// (FilterPlan), the choice of the streams' dictionaries and preset
// (StreamChoice), the search for edits (EditSearch) and the segments
// (SegmentWriter), which pass plain records between them.
//
// Without a filter each edit is coded as it is found, in one pass that
// reads each input once. With one, all the edits come first, since a
// filter predicts a value from where the edits put its target, which may
// lie anywhere in the newer file; a last pass over the newer file then
// codes them. The image filter searches twice (EditSearch::SearchMasked,
// then SearchProjected).
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/EditSearch.hpp"
#include "codec/compact/EncoderProgress.hpp"
#include "codec/compact/FilterPlan.hpp"
#include "codec/compact/SegmentWriter.hpp"
#include "codec/compact/StreamChoice.hpp"
#include "common/ByteStream.hpp"
#include "common/FreeStorage.hpp"

#include <algorithm>

namespace kestro {

namespace {

// The edits of a filtered body: the x86 filter's one search, or the image
// filter's two, between which the extra stream's preset and the tables
// the filter lists are chosen (into header). The extra stream's coder is
// started after them: its match finder (some 85 MiB for a dictionary of
// 8 MiB) beside the second search's index made the writer's peak, and its
// start takes some 0.15 s.
EditList SearchFiltered(EditSearch& search, const FilterPlan& plan, ByteStream& newer,
                        ByteStream& original, SegmentWriter& segments, CompactHeader& header,
                        const std::function<void()>& poll) {
    if (!plan.IsImage()) {
        return search.Search();
    }
    const EditList masked = search.SearchMasked();
    std::vector<std::uint8_t> preset =
        ChoosePreset(original, plan.inputs.originalImage, masked.edits, header);
    const ReferenceMap first = MapEdits(masked.edits, SIZE_MAX);
    header.Tables = ChooseTables(plan, first, original, newer, header.Newer, poll);
    EditList edits = search.SearchProjected(masked, first, header);
    segments.StartExtra(header.ExtraDictionary, std::move(preset),
                        static_cast<std::int64_t>(header.OriginalSize));
    return edits;
}

// The settings of the same body again, whose progress goes on from where
// the first attempt's stands (reached).
CompactSettings Again(const CompactSettings& settings, std::int64_t reached) {
    CompactSettings again = settings;
    if (settings.progress) {
        again.progress = [&settings, reached](Progress told) {
            told.fileDone = std::max(told.fileDone, reached);
            settings.progress(told);
        };
    }
    return again;
}

// The body with a filter of minor filterMinor at most.
std::int32_t EncodeBody(ByteStream& newer, ByteStream& original, ByteStream& out,
                        const CompactSettings& settings, std::int32_t filterMinor) {
    const std::int64_t newerSize = newer.Size();
    const std::int64_t originalSize = original.Size();
    EncoderProgress progress(settings.progress, newerSize,
                             std::min(originalSize, settings.windowBytes));
    // The poll of the model's loops, which tell no figures of their own.
    const std::function<void()> poll = [&progress] { progress.Poll(); };
    CompactHeader header;
    header.NewerSize = static_cast<std::uint64_t>(newerSize);
    header.OriginalSize = static_cast<std::uint64_t>(originalSize);
    ChooseDictionaries(header);
    header.DiffCoding =
        settings.maxMinor >= CompactDiffCodingMinor ? DiffCodingBySegment : DiffCodingPlain;
    FilterPlan plan = PlanFilter(newer, original, settings, filterMinor, progress, header);
    const std::int32_t minor = MinorOf(header);
    const std::int64_t headerAt = out.Position();
    progress.CountTwoPasses(plan.filters != 0);
    if (plan.IsImage()) {
        ChoosePresetSize(header, settings);
    }
    SegmentWriter segments(out, header, settings, progress);
    if (!plan.IsImage()) {
        segments.StartExtra(header.ExtraDictionary, {}, originalSize);
    }
    EditSearch search(newer, original, settings, progress, plan);
    const auto add = [&segments](const Edit& edit, const std::uint8_t* bytes,
                                 const std::uint8_t* window, std::int64_t windowStart) {
        segments.Add(edit, bytes, window, windowStart);
    };
    if (plan.filters == 0) {
        // The header is complete but for its CRC.
        WriteCompactHeader(out, header, minor);
        search.SearchAndTake(add);
        FinishBody(out, segments, header, headerAt, minor);
        return minor;
    }
    const EditList edits = SearchFiltered(search, plan, newer, original, segments, header, poll);
    FreeStorage(plan.candidates);
    const ReferenceMap map = MapEdits(edits.edits, plan.filter->mapStretches);
    if (map.Recorded() > plan.filter->mostStretches(header.OriginalSize)) {
        // Edits this many would be refused by a reader of the filter (no
        // real update comes near): the body goes without it, nor any
        // filter a later minor brings. Nothing is written yet.
        newer.SetPosition(0);
        original.SetPosition(0);
        out.SetPosition(headerAt);
        return EncodeBody(newer, original, out, Again(settings, progress.FileDone()),
                          std::min(filterMinor, plan.filter->minor - 1));
    }
    WriteCompactHeader(out, header, minor);
    FilterPredictor predictor(plan, header, map, poll);
    segments.SetPredictor(predictor.Predictor());
    search.TakeEdits(edits, [&](const Edit& edit, const std::uint8_t* bytes,
                                const std::uint8_t* window, std::int64_t windowStart) {
        predictor.SetWindow(window, windowStart);
        add(edit, bytes, window, windowStart);
    });
    FinishBody(out, segments, header, headerAt, minor);
    return minor;
}

} // namespace

std::int32_t EncodeCompactBody(ByteStream& newer, ByteStream& original, ByteStream& out,
                               const CompactSettings& settings) {
    return EncodeBody(newer, original, out, settings, settings.maxMinor);
}

} // namespace kestro
