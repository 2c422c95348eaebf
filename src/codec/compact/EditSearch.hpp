// The compact writer's search for edits: the newer file a part at a time
// against the window of the original nearest it, as the files are, or, for
// the image filter, first with their references masked and then in the
// original as the first search's edits project it, with the tables whose
// projection those edits change searched once more. The coding pass reads
// the parts and windows again to hand each edit over with its bytes.
#pragma once

#include "codec/compact/ApproximateMatch.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/EncoderProgress.hpp"
#include "codec/compact/FilterPlan.hpp"
#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/PositionHash.hpp"
#include "codec/compact/ReferenceMap.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

class ByteStream;

// A search's edits, which cover the newer file in order.
struct EditList {
    std::vector<Edit> edits; // OldStart in the whole original
    // The end of each part's edits (an index into edits), part by part.
    std::vector<std::size_t> partEnds;
};

// The map of where edits put the original's bytes, sealed; at most
// maxStretches stretches.
ReferenceMap MapEdits(const std::vector<Edit>& edits, std::size_t maxStretches);

class EditSearch {
public:
    // Takes an edit of the newer bytes at newer (DiffLength + ExtraLength of
    // them), whose OldStart lies in window, the original's bytes from
    // windowStart on.
    using Take = std::function<void(const Edit& edit, const std::uint8_t* newer,
                                    const std::uint8_t* window, std::int64_t windowStart)>;

    // plan's models and slots serve the image filter's searches.
    EditSearch(ByteStream& newer, ByteStream& original, const CompactSettings& settings,
               EncoderProgress& progress, const FilterPlan& plan);

    // Without a filter: one pass that takes each edit as it is found (told
    // as coding).
    void SearchAndTake(const Take& take);
    // The files as they are.
    EditList Search();
    // The image filter's first search: both files with their references
    // masked (MaskReferences), so that code whose references all moved
    // still matches whole. It sorts nothing: it looks up each position in
    // a hash of the masked window's positions, built in a fraction of a
    // sort's time and in less memory, and takes of matches equally long
    // the one nearest where the walk stands (FindEditsNear); on code, which
    // repeats itself, that finds as much as the longest match a suffix
    // array gives.
    EditList SearchMasked();
    // The image filter's second search, with the first one's edits
    // (firstEdits, and their map first) and header's tables and layout: the
    // newer file in the original as the first edits project it
    // (ImagePredictor::Project), where every reference and table that the
    // projection gets right matches exactly. It sorts nothing: it looks
    // along the first edits' alignments, where the projection changes which
    // bytes match, and in a hash of the projected window's positions, for
    // what moved elsewhere (FindEditsNear).
    EditList SearchProjected(const EditList& firstEdits, const ReferenceMap& first,
                             const CompactHeader& header);
    // The coding pass: takes each edit of list with its bytes, in order.
    void TakeEdits(const EditList& list, const Take& take);

private:
    enum class View : std::uint8_t { Raw, Masked, Projected };
    // The window loaded: its range, and how its bytes are seen.
    struct Loaded {
        std::int64_t start = 0;
        std::int64_t end = 0;
        View view = View::Raw;
    };

    void Pass(View view, std::int64_t counted, std::int64_t of, EditList& list, const Take* take);
    void Load(std::pair<std::int64_t, std::int64_t> wanted, View view, bool indexed);
    std::pair<std::int64_t, std::int64_t> ReadPart(std::int64_t partStart, View view);
    void SearchTablesAgain(EditList& list, const CompactHeader& header);

    ByteStream& newer_;
    ByteStream& original_;
    const CompactSettings& settings_;
    EncoderProgress& progress_;
    const FilterPlan& plan_;
    std::function<void()> poll_;
    std::int64_t newerSize_;
    std::int64_t originalSize_;
    Phase searching_; // searching with a filter, else coding
    // The part being searched: partBuffer_ as read, or a stretch of
    // maskedNewer_.
    std::span<const std::uint8_t> part_;
    std::vector<std::uint8_t> partBuffer_;
    std::vector<std::uint8_t> window_;
    std::vector<std::int32_t> suffixes_;
    PositionHash positions_;
    std::optional<Loaded> loaded_;
    // The second search's projection, and the unwind records' owners that
    // it sees.
    const ImagePredictor* projector_ = nullptr;
    std::vector<Alignment> firstAlignments_;
    std::vector<OwnerMark> oldMarks_;
    std::vector<OwnerMark> newMarks_;
    // The newer file masked whole, where it fits one window, for the first
    // search to take its parts from: a reference or table entry is masked
    // to a label read at its target, which may lie in another part (code
    // calls across parts, and its tables lie after it), and a label the
    // part cannot see would differ from the original's.
    std::vector<std::uint8_t> maskedNewer_;
};

} // namespace kestro
