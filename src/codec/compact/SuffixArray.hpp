// The suffix array of a byte string: the start positions of all its
// suffixes in lexicographic order, a shorter suffix before every longer one
// that it begins. The compact codec finds the longest match of any newer
// file position anywhere in the original by binary search over it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kestro {

// The most bytes a suffix array is built over: positions are int32.
inline constexpr std::int64_t MaxSuffixArrayText = INT32_MAX - 1;

// Builds the suffix array of text by induced sorting (SA-IS) in time linear
// in its length. Memory: the array itself (4 bytes a position) and a bit a
// position for the suffix types; the reduced problem of the recursion, its
// array and, where they fit (as on most data), its bucket counts live
// inside the result, else the counts take at most 2 bytes a position more.
// text may hold at most MaxSuffixArrayText bytes. told, when set, is told
// how far the sort is, in bytes of text (an estimate that never goes
// back), at least once for every MiB of its scans, and may throw to stop it.
std::vector<std::int32_t> BuildSuffixArray(std::span<const std::uint8_t> text,
                                           const std::function<void(std::int64_t done)>& told = {});

// The suffix array of a window of the original, for the compact writer's
// search of files that are not images: by libdivsufsort where the build has it and the window is
// at most 64 MiB (twice as fast on programs; the array is the same, a text
// has only one), else BuildSuffixArray. The library can neither be stopped nor tell how far it
// is, so it sorts on a thread of its own, which window's bytes move to for
// the time, while this one tells told 0 every 50 ms; a throw from told
// stops the wait at once, and the thread then finishes alone and frees the
// bytes and the array. window holds its bytes again once the array is
// returned, and nothing after a throw.
std::vector<std::int32_t> SortWindow(std::vector<std::uint8_t>& window,
                                     const std::function<void(std::int64_t done)>& told);

} // namespace kestro
