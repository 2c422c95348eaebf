// The compact body's entry points: its writer (EncodeCompactBody, whose
// stages CompactEncoder.cpp lists), its header's reader and its reader.
// The body's records, fields and limits are CompactFormat.hpp's.
#pragma once

#include "codec/compact/CompactFormat.hpp"
#include "common/Progress.hpp"

#include <cstdint>
#include <functional>

namespace kestro {

class ByteStream;

struct CompactSettings {
    // More than one: the streams of a segment are coded on two other
    // threads (the difference stream on one, the control and extra streams
    // on the other) while this one searches on. The body is the same byte
    // for byte whatever the number.
    std::int32_t threads = 1;
    // The newest minor version of format 2 the body may need: 3 leaves the
    // forms of the differences out, for readers of 2.3, 1 the image
    // filter too, and 0 the x86 filter too.
    std::int32_t maxMinor = CompactLatestMinor;
    // Told, on the calling thread, how far the encoder is (Progress.hpp):
    // its phases are sorting each window of the original, searching and
    // coding (with a filter; without, one pass told as coding). It
    // may throw to stop the encoder, which then stops its coders too.
    ProgressFunction progress;
    // The window of the original searched at once, and the part of the
    // newer file searched in one window (tests make them small, to search
    // a small original in windows; the body then differs).
    std::int64_t windowBytes = CompactWindowBytes;
    std::int64_t partBytes = CompactPartBytes;
    // The most of the original the extra stream's preset takes (tests make
    // it small, to choose it in a small original; at most
    // CompactPresetBytes).
    std::int64_t presetBytes = CompactPresetBytes;
};

// Appends the compact body that turns original into newer to out. Both
// inputs are read from their first byte to their end; out must allow
// SetPosition back to the body's start, whose header is completed last.
// With a filter the newer file is read twice. Returns the minor version of
// format 2 that the body needs: 4 with the differences in forms, which
// it has wherever settings.maxMinor allows; else 2 or 3 with the image
// filter (both files images of one instruction set the model knows), 1
// with the x86 filter (an original that is an x86 program), else 0.
std::int32_t EncodeCompactBody(ByteStream& newer, ByteStream& original, ByteStream& out,
                               const CompactSettings& settings);

// Reads the body header of a delta of format 2.minor, and the newer
// layout that follows it with the image filter. False when the body does
// not start with the tag (a body of another kind, which this reader does
// not know). Dictionaries outside the limits, unknown filters, more than
// one, a layout of more than MaxLayoutSections sections, fail with
// Exception "CRC Error", as does a body too short for its header.
bool ReadCompactHeader(ByteStream& delta, std::int32_t minor, CompactHeader& header);

// Rebuilds the newer file from the segments at delta's position and the
// original, which is read at the positions the edits name, and appends it
// to out in pieces of at most 1 MiB, each only after its CRC has passed.
// Any damage (a CRC mismatch, a count, length or position outside the
// segment, the original or the delta, a stream that does not decode to
// exactly what its segment needs, bytes after the last segment) fails with
// Exception "CRC Error"; the pieces before the damage have been written.
// Memory: the three dictionaries and about 1.3 MiB, and with the x86
// filter at most about 3 MiB more for its map and 3 MiB for its address
// table (built in a first pass over the control stream, whose decoder is
// gone before the others start); with the image filter what doc/FORMAT.md
// (section 10.9) says, bounded by the original's size and the body's.
// poll, where set, is called on this thread after every few MiB of work
// that writes nothing (the first pass, reading the original's tables,
// predicting an edit) and may throw to stop the rebuilding.
void DecodeCompactBody(ByteStream& delta, const CompactHeader& header, ByteStream& original,
                       ByteStream& out, const std::function<void()>& poll = {});

struct CompactSummary {
    std::int64_t Segments = 0; // the end segment included
    std::int64_t ControlBytes = 0;
    std::int64_t DiffBytes = 0;
    std::int64_t ExtraBytes = 0;
};

// Walks the segment headers at delta's position without decoding them; for
// showing a user what a delta holds. Fails as DecodeCompactBody for headers
// that do not fit.
CompactSummary ListCompactBody(ByteStream& delta, const CompactHeader& header);

} // namespace kestro
