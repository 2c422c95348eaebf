// The compact body's format, its records, fields and limits: the newer
// file described against the whole original as edits (see
// ApproximateMatch.hpp), in three LZMA2-coded streams. It follows the delta
// file's header and descriptor in a delta of format 2.0 to 2.4.
// doc/FORMAT.md is the normative description of this layout, of what each
// CRC covers and of what a reader refuses. Integers are little-endian.
//
// CompactHeader, at the body's first byte:
//    0   4  tag "KCMP"
//    4   8  NewerSize          uint64: bytes of the newer file
//   12   4  NewerCrc           CRC-32 of the whole newer file
//   16   8  OriginalSize       uint64: bytes of the original
//   24   4  ControlDictionary  uint32: LZMA2 dictionary of each stream,
//   28   4  DiffDictionary       4096..8 MiB, the three together at most
//   32   4  ExtraDictionary      CompactMaxDictionaries
//   36   4  Filters            uint32, from format 2.1 on: the id of a row of
//                              CompactFilters.hpp (CompactFilterX86 from 2.1
//                              on, CompactFilterImage from 2.2 on,
//                              CompactFilterNamedImage from 2.3 on), or 0
//   40   4  DiffCoding         uint32, from format 2.4 on: how the difference
//                              stream holds its bytes, DiffCodingPlain or
//                              DiffCodingBySegment
// With the image filter, its record follows (ImageFilterRow.cpp), from
// the header's end on:
//    0   8  NewerImageBase     uint64
//    8   4  SectionCount       uint32, at most MaxLayoutSections
//   12  32n  sections           Address, VirtualSize, FileOffset, FileSize
//                              (uint64 each)
//    +   4  TableCount         uint32: the offset tables of the original
//                              that the filter predicts
//    +  12t  tables             Offset (uint64), Entries (uint32), by
//                              offset, none overlapping the next
//    +   8  PresetOffset       uint64: the original's bytes the extra
//    +   4  PresetSize         uint32  stream's dictionary holds before its
//                              first byte, at most ExtraDictionary
// and, with the image filter of 2.3 (CompactFilterNamedImage), one more:
//    +   4  InstructionSet     uint32: the row that reads the code, by its
//                              InstructionSetId (exe/Disassembler.hpp)
// Then segments. Each rebuilds the next min(8 MiB, rest) bytes of the newer
// file; a last one rebuilds nothing and ends the three streams:
//    0   4  OutputBytes        uint32: bytes this segment rebuilds
//    4   4  ControlBytes       uint32: coded bytes of each stream's piece
//    8   4  DiffBytes
//   12   4  ExtraBytes
//   16  4k  ChunkCrc           CRC-32 of each MiB of the segment's output,
//                              k = OutputBytes / 1 MiB rounded up
//           the pieces         control, difference and extra bytes
// Each stream's pieces, joined in segment order, are one raw LZMA2 stream;
// a segment's pieces decode to exactly what the segment needs.
// The control stream holds per edit three LEB128 numbers: the move of the
// old position (zigzag, signed), DiffLength and ExtraLength. With a
// filter, the old bytes each difference byte is added to are first
// rewritten as its predictor (CompactFilters.hpp) predicts. With
// DiffCodingBySegment each data segment's difference bytes start with a
// byte naming their form, plain or runs of zeros (DiffForms.hpp).
#pragma once

#include "codec/compact/ImageFilter.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestro {

inline constexpr std::uint8_t CompactTag[4] = {'K', 'C', 'M', 'P'};
// The body header of format 2.0, of 2.1, which adds Filters, and of 2.4,
// which adds DiffCoding.
inline constexpr int CompactHeaderBytes = 36;
inline constexpr int CompactFilteredHeaderBytes = 40;
inline constexpr int CompactCodedHeaderBytes = 44;
// The newest minor version of format 2 that this program reads and writes.
inline constexpr std::int32_t CompactLatestMinor = 4;
// The first minor whose header has DiffCoding.
inline constexpr std::int32_t CompactDiffCodingMinor = 4;
// How the difference stream holds the difference bytes: each as it is, or
// each data segment's in the form its first byte names (DiffForms.hpp).
inline constexpr std::uint32_t DiffCodingPlain = 0;
inline constexpr std::uint32_t DiffCodingBySegment = 1;
// The filters a body may use, one at most, each a row of CompactFilters.hpp:
// the x86 filter (format 2.1, legacy/X86Filter.hpp), the image filter
// (format 2.2, ImageFilter.hpp) and, from 2.3 on, the image filter whose
// record names the instruction set, for the images that 2.2 does not take
// (ELF32, 32-bit ARM): a later instruction set is a row id, not a minor.
inline constexpr std::uint32_t CompactFilterX86 = 1;
inline constexpr std::uint32_t CompactFilterImage = 2;
inline constexpr std::uint32_t CompactFilterNamedImage = 4;
// The newer image's layout behind the body header of the image filter.
inline constexpr int LayoutHeaderBytes = 12;
inline constexpr int LayoutSectionBytes = 32;
inline constexpr std::uint32_t MaxLayoutSections = 65535;
inline constexpr int OffsetTableBytes = 12;
inline constexpr int SegmentHeaderBytes = 16;
// The newer file's bytes one segment rebuilds (all but the last of them).
inline constexpr std::int64_t SegmentBytes = std::int64_t{8} << 20;
// The stretch of output each CRC of a segment covers.
inline constexpr std::int64_t ChunkBytes = std::int64_t{1} << 20;
inline constexpr std::uint32_t CompactMaxDictionary = std::uint32_t{8} << 20;
inline constexpr std::uint32_t CompactMaxDictionaries = std::uint32_t{16} << 20;
// The most of the original the match search holds at once (with its suffix
// array, five times this); a larger original is searched in windows.
inline constexpr std::int64_t CompactWindowBytes = std::int64_t{256} << 20;
// The newer file's bytes searched against one window at a time.
inline constexpr std::int64_t CompactPartBytes = std::int64_t{32} << 20;
// The most of the original the extra stream's dictionary starts with, with
// the image filter.
inline constexpr std::int64_t CompactPresetBytes = std::int64_t{8} << 20;
// The most stretches (doc/FORMAT.md, section 10.9) the edits of a body of
// the image filter may record, against an original of originalSize bytes:
// the reader's map is built before anything is checked, and this bounds
// it by the original's real size (ReferenceMap::StretchBytes a stretch).
// Real updates record one stretch for every few hundred bytes of the
// original or fewer; a writer whose edits record more leaves the image
// filter out.
inline constexpr std::uint64_t MinImageStretches = 65536;
inline constexpr std::uint64_t OriginalBytesPerStretch = 32;
inline std::uint64_t MaxImageStretches(std::uint64_t originalSize) {
    return std::max(MinImageStretches, originalSize / OriginalBytesPerStretch);
}

// Where the header's and a segment header's fields lie.
inline constexpr int CompactTagField = 0;
inline constexpr int NewerSizeField = 4;
inline constexpr int NewerCrcField = 12;
inline constexpr int OriginalSizeField = 16;
inline constexpr int ControlDictionaryField = 24;
inline constexpr int DiffDictionaryField = 28;
inline constexpr int ExtraDictionaryField = 32;
inline constexpr int FiltersField = 36;
inline constexpr int DiffCodingField = 40;
// Within the image filter's record.
inline constexpr int NewerImageBaseField = 0;
inline constexpr int SectionCountField = 8;
inline constexpr int OutputBytesField = 0;
inline constexpr int ControlBytesField = 4;
inline constexpr int DiffBytesField = 8;
inline constexpr int ExtraBytesField = 12;

struct CompactHeader {
    std::uint64_t NewerSize = 0;
    std::uint32_t NewerCrc = 0;
    std::uint64_t OriginalSize = 0;
    std::uint32_t ControlDictionary = 0;
    std::uint32_t DiffDictionary = 0;
    std::uint32_t ExtraDictionary = 0;
    std::uint32_t Filters = 0;                  // 0 in a 2.0 body
    std::uint32_t DiffCoding = DiffCodingPlain; // DiffCodingPlain before 2.4
    ImageLayout Newer;                          // with the image filter only
    std::vector<OffsetTable> Tables;            // likewise
    std::uint64_t PresetOffset = 0;             // likewise
    std::uint32_t PresetSize = 0;
    // With CompactFilterNamedImage: the InstructionSetId of the code's row.
    std::uint32_t InstructionSet = 0;
};

} // namespace kestro
