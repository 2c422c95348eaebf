// The compact writer's choice of its three streams' coders: each stream's
// dictionary, the stretch of the original that the extra stream's
// dictionary starts with (its preset), and each coder's settings.
#pragma once

#include "codec/compact/ApproximateMatch.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/DiffForms.hpp"
#include "codec/compact/Lzma.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace kestro {

class ByteStream;
struct Image;

// The dictionaries of a body without a preset: each no larger than the
// newer file (header.NewerSize) needs, the three within
// CompactMaxDictionaries.
void ChooseDictionaries(CompactHeader& header);

// With the image filter the extra stream's dictionary starts with a
// stretch of the original (new code and data often repeat pieces of the
// old): sets its size, and the extra dictionary that holds it too. Where
// it lies is chosen once the first search has found the new bytes
// (ChoosePreset).
void ChoosePresetSize(CompactHeader& header, const CompactSettings& settings);

// Sets header.PresetOffset for the edits of the first search (OldStart in
// the whole original) and returns the preset's bytes, read from original,
// whose model is image.
std::vector<std::uint8_t> ChoosePreset(ByteStream& original, const Image& image,
                                       const std::vector<Edit>& edits, CompactHeader& header);

// The coders of the three streams. The extra stream's depends on its
// preset and on the original's size (originalSize), the difference
// stream's on the bytes of the segment it codes and their form.
LzmaSettings ControlCoder(const CompactHeader& header);
LzmaSettings DiffCoder(std::uint32_t dictionary, std::span<const std::uint8_t> differences,
                       DiffForm form);
LzmaSettings ExtraCoder(std::uint32_t dictionary, std::span<const std::uint8_t> preset,
                        std::int64_t originalSize);

} // namespace kestro
