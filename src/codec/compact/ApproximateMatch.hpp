// The compact codec's match search: the newer file described against the
// whole of an original (or a window of it) as a list of edits, each "take
// DiffLength bytes from the original at OldStart, adding a difference byte
// to each, then ExtraLength new bytes as they are". Recompiled code mostly
// equals its old form but for shifted addresses, so an approximate match
// (most difference bytes zero) carries it in a stream that compresses well.
//
// The search walks the newer bytes and looks up, at each position, the
// longest exact match anywhere in the original through its suffix array.
// It keeps extending the current alignment (old position minus new
// position) while that alignment does about as well as the best exact
// match, and switches to a new alignment when the exact match beats it by
// more than a few bytes. Each alignment's region is then grown forward and
// the next one's backward for as long as more than half the bytes agree.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace kestro {

class PositionHash;

struct Edit {
    std::int64_t OldStart = 0; // where the difference bytes apply in the original
    std::int64_t DiffLength = 0;
    std::int64_t ExtraLength = 0;
};

// An exact match found by a lookup: its length and where it starts in old.
struct Lookup {
    std::int64_t length = 0;
    std::int64_t oldPos = 0;
};

// An alignment an earlier search found: from newer offset newStart on, the
// old position minus the new position is offset.
struct Alignment {
    std::int64_t newStart = 0;
    std::int64_t offset = 0;
};

// Describes newer against old, whose suffix array is suffixes, telling each
// edit to take as it is found. The edits cover newer from its first byte to
// its last, in order; OldStart is an offset in old, and OldStart +
// DiffLength never passes old's end. Edits with nothing to take may appear;
// they carry no bytes. told, when set, is told how many bytes of newer
// have been searched (never going back) every few thousand lookups, and may
// throw to stop the search. The walk starts at the alignment startOffset
// (old position minus new position, held to old): for a piece of a larger
// file, where its bytes are expected to lie, since an alignment far from
// the current one must win by more before the walk takes it.
void FindEdits(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
               std::span<const std::int32_t> suffixes, const std::function<void(const Edit&)>& take,
               const std::function<void(std::int64_t searched)>& told = {},
               std::int64_t startOffset = 0);

// The same walk with exact matches looked for only near where an earlier
// search put them: along the alignments it found (sorted by newStart), at
// each position those of the few that start nearest it, and at the places
// that index, a PositionHash of old, gives for the bytes there; of matches
// equally long, the one nearest the walk's alignment. For a second look at
// files that search has aligned already, in bytes that now match better,
// and for a first one with the alignment where nothing moved: an index
// built in one pass serves code as well as a suffix array, and a lookup
// costs a few comparisons.
void FindEditsNear(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
                   std::span<const Alignment> alignments, const PositionHash& index,
                   const std::function<void(const Edit&)>& take,
                   const std::function<void(std::int64_t searched)>& told = {},
                   std::int64_t startOffset = 0);

} // namespace kestro
