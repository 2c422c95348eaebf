// The compact writer's search for edits, part by part and window by window.
#include "codec/compact/EditSearch.hpp"

#include "codec/compact/PositionHash.hpp"
#include "codec/compact/SuffixArray.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/FreeStorage.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <span>
#include <tuple>

namespace kestro {

namespace {

// The newer bytes one search works through at a time: the searches of a
// part's pieces are independent, and run on as many threads as the encoder
// has, while the edits stay the same whatever the number. Small enough
// that two threads share the work of a program of 10 MB evenly (its code
// takes most of the time, its data little); each piece starts from an
// alignment a search before it or the file's layout gives, so the cuts
// cost next to nothing.
constexpr std::int64_t SearchPieceBytes = std::int64_t{1} << 20;

// A part cut into pieces of SearchPieceBytes, each searched on its own.
struct PartPieces {
    std::span<const std::uint8_t> part;
    std::int64_t count = 0;

    explicit PartPieces(std::span<const std::uint8_t> bytes)
        : part(bytes), count(std::max<std::int64_t>(
                           1, (static_cast<std::int64_t>(bytes.size()) + SearchPieceBytes - 1) /
                                  SearchPieceBytes)) {}
    std::span<const std::uint8_t> operator[](std::int64_t index) const {
        const std::int64_t start = index * SearchPieceBytes;
        return part.subspan(static_cast<std::size_t>(start),
                            static_cast<std::size_t>(std::min(
                                SearchPieceBytes, static_cast<std::int64_t>(part.size()) - start)));
    }
};

// The search of one piece of a part (its index among the part's pieces,
// and its bytes) in the window: tells take each edit found, OldStart in
// the window, and told the bytes of the piece searched.
using PieceSearch = std::function<void(std::int64_t index, std::span<const std::uint8_t> piece,
                                       const std::function<void(const Edit&)>& take,
                                       const std::function<void(std::int64_t searched)>& told)>;

// Searches the pieces on workers threads, each taking the next piece not
// yet taken; the calling thread tells the bytes searched meanwhile, and a
// throw from it stops the other threads' searches too.
void SearchPiecesOnThreads(const PartPieces& pieces, const PieceSearch& search,
                           std::int64_t workers, std::vector<std::vector<Edit>>& found,
                           const std::function<void(std::int64_t searched)>& told) {
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> searched{0};
    std::atomic<bool> abandoned{false};
    const auto work = [&] {
        for (std::int64_t index = next++; index < pieces.count; index = next++) {
            std::int64_t counted = 0;
            search(
                index, pieces[index],
                [&](const Edit& edit) { found[static_cast<std::size_t>(index)].push_back(edit); },
                [&](std::int64_t now) {
                    if (abandoned.load()) {
                        throw Exception("Search abandoned");
                    }
                    searched += now - counted;
                    counted = now;
                });
            searched += static_cast<std::int64_t>(pieces[index].size()) - counted;
        }
    };
    std::vector<std::future<void>> jobs;
    // Every job is waited for before this frame goes, also when a poll
    // throws: its searches stop at their next poll.
    struct Join {
        std::vector<std::future<void>>& jobs;
        std::atomic<bool>& abandoned;
        ~Join() {
            abandoned = true;
            for (std::future<void>& job : jobs) {
                if (job.valid()) {
                    job.wait();
                }
            }
        }
    } join{jobs, abandoned};
    for (std::int64_t i = 0; i < workers; ++i) {
        jobs.push_back(std::async(std::launch::async, work));
    }
    for (std::future<void>& job : jobs) {
        while (job.wait_for(CoderPollInterval) != std::future_status::ready) {
            told(searched.load());
        }
    }
    for (std::future<void>& job : jobs) {
        job.get();
    }
}

// The edits of part, a piece at a time, the pieces on up to threads
// threads; OldStart in the window. The calling thread tells progress (the
// bytes of the part searched, through told) while it waits.
std::vector<Edit> SearchPart(std::span<const std::uint8_t> part, const PieceSearch& search,
                             std::int32_t threads,
                             const std::function<void(std::int64_t searched)>& told) {
    const PartPieces pieces(part);
    std::vector<std::vector<Edit>> found(static_cast<std::size_t>(pieces.count));
    const std::int64_t workers = std::min<std::int64_t>(threads, pieces.count);
    if (workers <= 1) {
        for (std::int64_t index = 0; index < pieces.count; ++index) {
            search(
                index, pieces[index],
                [&](const Edit& edit) { found[static_cast<std::size_t>(index)].push_back(edit); },
                [&](std::int64_t searched) { told(index * SearchPieceBytes + searched); });
        }
    } else {
        SearchPiecesOnThreads(pieces, search, workers, found, told);
    }
    std::vector<Edit> edits;
    for (const std::vector<Edit>& piece : found) {
        edits.insert(edits.end(), piece.begin(), piece.end());
    }
    return edits;
}

// The alignments of the edits in list whose difference bytes take the
// original (offsets in the whole files), in newer order.
std::vector<Alignment> AlignmentsOf(const std::vector<Edit>& edits) {
    std::vector<Alignment> alignments;
    std::int64_t newStart = 0;
    for (const Edit& edit : edits) {
        if (edit.DiffLength > 0) {
            alignments.push_back({newStart, edit.OldStart - newStart});
        }
        newStart += edit.DiffLength + edit.ExtraLength;
    }
    return alignments;
}

// The alignments (of the whole files) that a search of the newer bytes
// from pieceStart on, length of them, against the window from windowStart
// on tries, in the piece's and the window's offsets: those that start in
// the piece and AlignmentsAround on either side, which the positions near
// its ends try too.
constexpr std::ptrdiff_t AlignmentsAround = 2;
std::vector<Alignment> AlignmentsFor(const std::vector<Alignment>& all, std::int64_t pieceStart,
                                     std::int64_t length, std::int64_t windowStart) {
    const auto byStart = [](const Alignment& a, std::int64_t at) { return a.newStart < at; };
    const auto from = std::lower_bound(all.begin(), all.end(), pieceStart + 1, byStart);
    const auto to = std::lower_bound(from, all.end(), pieceStart + length, byStart);
    const auto first = from - std::min(from - all.begin(), AlignmentsAround + 1);
    const auto last = to + std::min(all.end() - to, AlignmentsAround);
    std::vector<Alignment> alignments;
    for (auto a = first; a != last; ++a) {
        alignments.push_back({a->newStart - pieceStart, a->offset - windowStart + pieceStart});
    }
    return alignments;
}

// The offset of the alignment that holds a piece's first byte, among those
// AlignmentsFor gives it, if any does.
std::optional<std::int64_t> HoldingOffset(const std::vector<Alignment>& alignments) {
    std::optional<std::int64_t> offset;
    for (const Alignment& alignment : alignments) {
        if (alignment.newStart > 0) {
            break;
        }
        offset = alignment.offset;
    }
    return offset;
}

// Cuts the edit that covers newer offset cut (edits start at newer offset
// 0 and follow each other) in two there; nothing where an edit starts
// there already. Returns the index of the edit that starts at cut.
std::size_t CutEdits(std::vector<Edit>& edits, std::int64_t cut) {
    std::int64_t at = 0;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const std::int64_t length = edits[i].DiffLength + edits[i].ExtraLength;
        if (at == cut) {
            return i;
        }
        if (cut < at + length) {
            Edit first = edits[i];
            Edit rest = edits[i];
            const std::int64_t head = cut - at;
            if (head < first.DiffLength) {
                first.DiffLength = head;
                first.ExtraLength = 0;
                rest.OldStart += head;
                rest.DiffLength -= head;
            } else {
                first.ExtraLength = head - first.DiffLength;
                rest.OldStart += first.DiffLength;
                rest.DiffLength = 0;
                rest.ExtraLength -= first.ExtraLength;
            }
            edits[i] = first;
            edits.insert(edits.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest);
            return i + 1;
        }
        at += length;
    }
    return edits.size();
}

// The window of the original that a part of the newer file is searched
// in: all of it when it fits, else the window on a grid of half windows
// nearest the part's place, scaled to the original's size, so that
// neighbouring parts share a window and its suffix array.
std::pair<std::int64_t, std::int64_t> WindowFor(std::int64_t partStart, std::int64_t partLength,
                                                std::int64_t newerSize, std::int64_t originalSize,
                                                std::int64_t windowBytes) {
    if (originalSize <= windowBytes) {
        return {0, originalSize};
    }
    const auto centre = static_cast<std::int64_t>(
        static_cast<long double>(partStart + partLength / 2) * originalSize / newerSize);
    const std::int64_t step = windowBytes / 2;
    const std::int64_t lastStart = originalSize - windowBytes;
    const std::int64_t wanted = std::clamp<std::int64_t>(centre - step, 0, lastStart);
    const std::int64_t start = std::min((wanted + step / 2) / step * step, lastStart);
    return {start, start + windowBytes};
}

// Searches the newer bytes from newerAt on once more, as newerView, in
// oldView, which stands for the original from oldAt on, and puts the edits
// found in place of those that covered them. The edits of other bytes stay
// as they are.
void SearchAgain(std::vector<Edit>& edits, std::int64_t newerAt,
                 std::span<const std::uint8_t> newerView, std::int64_t oldAt,
                 std::span<const std::uint8_t> oldView) {
    std::vector<Edit> local;
    FindEdits(newerView, oldView, BuildSuffixArray(oldView), [&](const Edit& edit) {
        local.push_back({edit.OldStart + oldAt, edit.DiffLength, edit.ExtraLength});
    });
    const std::size_t first = CutEdits(edits, newerAt);
    const std::size_t last = CutEdits(edits, newerAt + static_cast<std::int64_t>(newerView.size()));
    edits.erase(edits.begin() + static_cast<std::ptrdiff_t>(first),
                edits.begin() + static_cast<std::ptrdiff_t>(last));
    edits.insert(edits.begin() + static_cast<std::ptrdiff_t>(first), local.begin(), local.end());
}

// The bytes of a PE table as the file holds them, and their offset.
std::pair<std::int64_t, std::vector<std::uint8_t>> ReadTable(ByteStream& file, const Image& of,
                                                             PeTable table) {
    const std::optional<FileRange> range = TableRange(of, table);
    if (!range) {
        return {};
    }
    const auto offset = static_cast<std::int64_t>(range->offset);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(range->size));
    if (file.ReadAt(offset, bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
        static_cast<std::int64_t>(bytes.size())) {
        throw EReadError("Stream read error");
    }
    return {offset, std::move(bytes)};
}

} // namespace

ReferenceMap MapEdits(const std::vector<Edit>& edits, std::size_t maxStretches) {
    ReferenceMap map(maxStretches);
    std::int64_t newStart = 0;
    for (const Edit& edit : edits) {
        map.Add(edit.OldStart, edit.DiffLength, newStart);
        newStart += edit.DiffLength + edit.ExtraLength;
    }
    map.Seal();
    return map;
}

EditSearch::EditSearch(ByteStream& newer, ByteStream& original, const CompactSettings& settings,
                       EncoderProgress& progress, const FilterPlan& plan)
    : newer_(newer), original_(original), settings_(settings), progress_(progress), plan_(plan),
      poll_([&progress] { progress.Poll(); }), newerSize_(newer.Size()),
      originalSize_(original.Size()),
      searching_(plan.filters != 0 ? Phase::Searching : Phase::Coding) {}

void EditSearch::SearchAndTake(const Take& take) {
    EditList none;
    Pass(View::Raw, 0, 1, none, &take);
}

EditList EditSearch::Search() {
    EditList list;
    Pass(View::Raw, 0, 1, list, nullptr);
    return list;
}

EditList EditSearch::SearchMasked() {
    EditList list;
    Pass(View::Masked, 0, 2, list, nullptr);
    return list;
}

EditList EditSearch::SearchProjected(const EditList& firstEdits, const ReferenceMap& first,
                                     const CompactHeader& header) {
    const ImagePredictor firstModel(plan_.inputs.originalImage, plan_.inputs.originalSlots,
                                    header.Tables, header.Newer, first, poll_);
    std::tie(oldMarks_, newMarks_) = MarkUnwindOwners(original_, plan_.inputs.originalImage, newer_,
                                                      plan_.newerImage, first, poll_);
    projector_ = &firstModel;
    firstAlignments_ = AlignmentsOf(firstEdits.edits);
    EditList list;
    Pass(View::Projected, newerSize_, 2, list, nullptr);
    loaded_.reset();
    projector_ = nullptr;
    FreeStorage(firstAlignments_);
    FreeStorage(oldMarks_);
    FreeStorage(newMarks_);
    if (originalSize_ <= settings_.windowBytes) {
        SearchTablesAgain(list, header);
    }
    return list;
}

void EditSearch::TakeEdits(const EditList& list, const Take& take) {
    progress_.Tell(Phase::Coding, 0, newerSize_);
    newer_.SetPosition(0);
    std::size_t next = 0;
    for (std::int64_t partStart = 0, index = 0; partStart < newerSize_;
         partStart += settings_.partBytes, ++index) {
        const auto wanted = ReadPart(partStart, View::Raw);
        Load(wanted, View::Raw, false);
        const std::uint8_t* at = part_.data();
        for (; next < list.partEnds[static_cast<std::size_t>(index)]; ++next) {
            Edit edit = list.edits[next];
            edit.OldStart -= wanted.first;
            take(edit, at, window_.data(), wanted.first);
            at += edit.DiffLength + edit.ExtraLength;
        }
    }
}

// One search over the newer file as view, its edits kept in list or, where
// take is given, taken as they are found. counted of the newer file's
// bytes, out of of passes over it, were searched before.
void EditSearch::Pass(View view, std::int64_t counted, std::int64_t of, EditList& list,
                      const Take* take) {
    newer_.SetPosition(0);
    list = {};
    for (std::int64_t partStart = 0; partStart < newerSize_; partStart += settings_.partBytes) {
        const auto wanted = ReadPart(partStart, view == View::Masked ? View::Masked : View::Raw);
        if (view == View::Projected) {
            ApplyMarks(partBuffer_, static_cast<std::uint64_t>(partStart), newMarks_);
            MaskLinkage(partBuffer_, static_cast<std::uint64_t>(partStart), plan_.newerImage);
        }
        Load(wanted, view, true);
        // A piece starts where its bytes lay if nothing had moved; in the
        // second search, at the first search's alignment there.
        const auto diagonal = [&](std::int64_t index) {
            return partStart + index * SearchPieceBytes - wanted.first;
        };
        PieceSearch search = [&](std::int64_t index, std::span<const std::uint8_t> piece,
                                 const auto& found, const auto& searched) {
            FindEdits(piece, window_, suffixes_, found, searched, diagonal(index));
        };
        if (view == View::Masked) {
            search = [&](std::int64_t index, std::span<const std::uint8_t> piece, const auto& found,
                         const auto& searched) {
                const Alignment unmoved[] = {{0, diagonal(index)}};
                FindEditsNear(piece, window_, unmoved, positions_, found, searched,
                              diagonal(index));
            };
        } else if (view == View::Projected) {
            search = [&](std::int64_t index, std::span<const std::uint8_t> piece, const auto& found,
                         const auto& searched) {
                const std::vector<Alignment> alignments =
                    AlignmentsFor(firstAlignments_, partStart + index * SearchPieceBytes,
                                  static_cast<std::int64_t>(piece.size()), wanted.first);
                FindEditsNear(piece, window_, alignments, positions_, found, searched,
                              HoldingOffset(alignments).value_or(diagonal(index)));
            };
        }
        const std::uint8_t* at = part_.data();
        for (const Edit& edit :
             SearchPart(part_, search, settings_.threads, [&](std::int64_t searched) {
                 progress_.Tell(searching_, (counted + partStart + searched) / of, newerSize_);
             })) {
            if (take != nullptr) {
                (*take)(edit, at, window_.data(), wanted.first);
                at += edit.DiffLength + edit.ExtraLength;
                continue;
            }
            list.edits.push_back({edit.OldStart + wanted.first, edit.DiffLength, edit.ExtraLength});
        }
        progress_.Tell(searching_,
                       (counted + partStart + static_cast<std::int64_t>(part_.size())) / of,
                       newerSize_);
        list.partEnds.push_back(list.edits.size());
    }
    FreeStorage(suffixes_);
    positions_ = {};
    part_ = {};
    FreeStorage(maskedNewer_);
}

// Loads the window wanted as view, unless it is loaded already, and where
// indexed the index its search needs: for the image filter's searches
// (Masked, Projected) a hash of its positions, else its suffix array.
void EditSearch::Load(std::pair<std::int64_t, std::int64_t> wanted, View view, bool indexed) {
    if (!loaded_ || loaded_->start != wanted.first || loaded_->end != wanted.second ||
        loaded_->view != view) {
        FreeStorage(suffixes_);
        positions_ = {};
        original_.SetPosition(wanted.first);
        ReadPolled(original_, window_, wanted.second - wanted.first, progress_);
        const auto start = static_cast<std::uint64_t>(wanted.first);
        if (view == View::Masked) {
            // The plan found the offset tables of an original the window
            // holds whole.
            const Image& image = plan_.inputs.originalImage;
            MaskReferences(window_, start, image, plan_.inputs.originalSlots,
                           originalSize_ <= settings_.windowBytes
                               ? plan_.candidates
                               : FindOffsetTables(window_, start, image, poll_),
                           poll_);
        } else if (view == View::Projected) {
            projector_->Project(window_, start);
            ApplyMarks(window_, start, oldMarks_);
            MaskLinkage(window_, start, plan_.inputs.originalImage);
        }
        loaded_ = Loaded{wanted.first, wanted.second, view};
    }
    const auto windowSize = static_cast<std::int64_t>(window_.size());
    if (indexed && view != View::Raw && positions_.Empty()) {
        // Told as the window's sort: it stands where the sort did, and
        // takes a fraction of its time.
        progress_.Tell(Phase::Sorting, 0, windowSize);
        positions_ = PositionHash(
            window_, [&](std::int64_t done) { progress_.Tell(Phase::Sorting, done, windowSize); });
        progress_.Tell(Phase::Sorting, windowSize, windowSize);
    } else if (indexed && view == View::Raw && suffixes_.empty()) {
        progress_.Tell(Phase::Sorting, 0, windowSize);
        suffixes_ = SortWindow(
            window_, [&](std::int64_t done) { progress_.Tell(Phase::Sorting, done, windowSize); });
    }
}

// Reads the part of the newer file from partStart on (the next bytes of
// the newer stream) as view, Raw or Masked; returns the window it is
// searched in.
std::pair<std::int64_t, std::int64_t> EditSearch::ReadPart(std::int64_t partStart, View view) {
    const std::int64_t length = std::min(settings_.partBytes, newerSize_ - partStart);
    if (view == View::Masked && newerSize_ <= settings_.windowBytes) {
        if (partStart == 0) {
            ReadPolled(newer_, maskedNewer_, newerSize_, progress_);
            MaskReferences(maskedNewer_, 0, plan_.newerImage, plan_.newerSlots, poll_);
        }
        part_ = std::span<const std::uint8_t>(maskedNewer_)
                    .subspan(static_cast<std::size_t>(partStart), static_cast<std::size_t>(length));
    } else {
        ReadPolled(newer_, partBuffer_, length, progress_);
        part_ = partBuffer_;
        if (view == View::Masked) {
            MaskReferences(partBuffer_, static_cast<std::uint64_t>(partStart), plan_.newerImage,
                           plan_.newerSlots, poll_);
        }
    }
    return WindowFor(partStart, static_cast<std::int64_t>(part_.size()), newerSize_, originalSize_,
                     settings_.windowBytes);
}

// A table's projection depends on the edits of everything it lists, which
// the second search changed: the exception table, whose entries name the
// functions and their unwind records, and the relocation table, which
// lists every pointer. Each is searched once more against its projection
// by the edits as they now stand, which is what the reader predicts.
// Neither lists places in the other, nor in itself.
void EditSearch::SearchTablesAgain(EditList& list, const CompactHeader& header) {
    std::vector<Edit>& edits = list.edits;
    const ReferenceMap found = MapEdits(edits, SIZE_MAX);
    const ImagePredictor projection(plan_.inputs.originalImage, plan_.inputs.originalSlots,
                                    header.Tables, header.Newer, found, poll_);
    auto [oldAt, functions] = ReadTable(original_, plan_.inputs.originalImage, PeTable::Exception);
    const auto [newerAt, table] = ReadTable(newer_, plan_.newerImage, PeTable::Exception);
    if (!functions.empty() && !table.empty()) {
        projection.Project(functions, static_cast<std::uint64_t>(oldAt));
        SearchAgain(edits, newerAt, table, oldAt, functions);
    }
    const auto tableAt = static_cast<std::int64_t>(projection.RelocationsAt());
    const auto [relocationsAt, relocations] =
        ReadTable(newer_, plan_.newerImage, PeTable::BaseRelocation);
    if (!projection.Relocations().empty() && !relocations.empty()) {
        SearchAgain(edits, relocationsAt, relocations, tableAt,
                    projection.Relocations().first(static_cast<std::size_t>(std::min<std::int64_t>(
                        static_cast<std::int64_t>(projection.Relocations().size()),
                        originalSize_ - tableAt))));
    }
    // Each part's edits end where the part does.
    list.partEnds.clear();
    for (std::int64_t partEnd = settings_.partBytes; partEnd < newerSize_;
         partEnd += settings_.partBytes) {
        list.partEnds.push_back(CutEdits(edits, partEnd));
    }
    list.partEnds.push_back(edits.size());
}

} // namespace kestro
