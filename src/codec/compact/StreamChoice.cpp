// The compact writer's dictionaries, preset and coder settings.
#include "codec/compact/StreamChoice.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "exe/Image.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace kestro {

namespace {

// Each stream's dictionary as the encoder chooses it: no larger than the
// newer file needs, and so that the three fit in CompactMaxDictionaries.
// The difference stream's matches are near ones (the same corrections in
// neighbouring entries and instructions), and its dictionary starts empty
// in each segment: 1 MiB codes the benchmark's bodies as 4 MiB did, within
// a byte, and each of its coders, two or four at once, takes 13 MiB where
// it took up to 46 (create's peak 6 to 14 MiB lower on Go programs).
constexpr std::uint32_t ControlDictionaryLimit = 1u << 20;
constexpr std::uint32_t DiffDictionaryLimit = 1u << 20;
constexpr std::uint32_t ExtraDictionaryLimit = 8u << 20;
constexpr std::uint32_t CompactLevel = 9;
// The difference stream is most of a body: a longer search for matches in
// it is worth its time. A nice length of 128 makes it 7 % smaller than the
// level's own for twice the coder's time on a program of 12 MB; the
// longest (273) 3 to 5 % smaller again where corrections are dense, as in
// recompiled code, for 1.7 times the coder's time. Where they are sparse
// (long runs of zeros with a correction every few KiB, as in a file with
// a few edits) 273 is 2.7 times as slow, and the stream is small anyway:
// a segment with fewer nonzero bytes than one in SparseDifferences keeps
// 128. The stream's bytes are differences, so neither the byte before nor
// the position tells much of a literal's value: no context bits (1.5 %
// smaller, and a little faster).
// In run form (DiffForm::ZeroRuns) the zeros are gone and with them most
// of the coder's work: the longest matches throughout, the byte before a
// literal as context (a run's length follows its zero byte), and no
// position bits, since the runs leave no byte where it lay (together 1 to
// 2 % smaller than with neither).
constexpr std::uint32_t DiffNiceLength = 273;
constexpr std::uint32_t SparseDiffNiceLength = 128;
constexpr std::size_t SparseDifferences = 1024;
constexpr std::uint32_t RunsLiteralContextBits = 3;
constexpr std::uint32_t RunsPositionBits = 0;
// The extra stream's match finder. Binary trees code it 1 to 2 % smaller
// than hash chains on large programs. But they take 2 to 5 s to read an
// 8 MiB preset, where hash chains take 0.3 s: a start that hides beside
// the second search only where the original is at least ExtraTreesFrom
// presets long. A smaller original, or a body without a preset, keeps hash
// chains, and a walk of ExtraChainsDepth places of a chain rather than the
// few liblzma chooses: once the differences come in run form, this coder
// is most of the coding, and, coding the segments' extra bytes one after
// the other on one thread, the last of the coding to end. A walk of 32
// took a third to two fifths off it, for a stream 0.1 to 0.5 % larger; 24
// a quarter more (the benchmark's bodies 0.1 % larger). Either finder's
// search ends at a match of ExtraNiceLength bytes: smaller, and as fast,
// than at the longest (the benchmark's bodies 0.1 % smaller with chains,
// one Go program's 1.4 %).
constexpr std::int64_t ExtraTreesFrom = 4;
constexpr std::uint32_t ExtraNiceLength = 64;
constexpr std::uint32_t ExtraChainsDepth = 24;

std::uint32_t DictionaryFor(std::uint64_t newerSize, std::uint32_t limit) {
    std::uint32_t size = MinLzmaDictionary;
    while (size < limit && size < newerSize) {
        size *= 2;
    }
    return size;
}

// The extra bytes of the edits (newer offsets from 0 on) in buckets of
// bucket bytes of the newer file.
std::vector<std::int64_t> ExtrasByBucket(const std::vector<Edit>& edits, std::int64_t bucket) {
    std::vector<std::int64_t> extras;
    std::int64_t newStart = 0;
    for (const Edit& edit : edits) {
        for (std::int64_t at = newStart + edit.DiffLength, left = edit.ExtraLength; left > 0;) {
            const std::int64_t index = at / bucket;
            const std::int64_t take = std::min(left, (index + 1) * bucket - at);
            if (static_cast<std::int64_t>(extras.size()) <= index) {
                extras.resize(static_cast<std::size_t>(index) + 1);
            }
            extras[static_cast<std::size_t>(index)] += take;
            at += take;
            left -= take;
        }
        newStart += edit.DiffLength + edit.ExtraLength;
    }
    return extras;
}

// The middle of the old bytes that the edits starting in the newer file's
// [from, from + size) take, weighted by their difference bytes: their
// median; nothing where none take any.
std::optional<std::int64_t> MedianOldMiddle(const std::vector<Edit>& edits, std::int64_t from,
                                            std::int64_t size) {
    std::vector<std::pair<std::int64_t, std::int64_t>> taken;
    std::int64_t weight = 0;
    std::int64_t newStart = 0;
    for (const Edit& edit : edits) {
        if (edit.DiffLength > 0 && newStart >= from && newStart < from + size) {
            taken.emplace_back(edit.OldStart + edit.DiffLength / 2, edit.DiffLength);
            weight += edit.DiffLength;
        }
        newStart += edit.DiffLength + edit.ExtraLength;
    }
    if (taken.empty()) {
        return std::nullopt;
    }
    std::sort(taken.begin(), taken.end());
    std::int64_t passed = 0;
    for (const auto& [middle, bytes] : taken) {
        passed += bytes;
        if (2 * passed >= weight) {
            return middle;
        }
    }
    return 0;
}

// The end of the original's largest code section, or 0.
std::int64_t EndOfLargestCode(const Image& original) {
    const ImageSection* code = nullptr;
    for (const ImageSection& section : original.sections) {
        if (section.code && (code == nullptr || section.fileSize > code->fileSize)) {
            code = &section;
        }
    }
    return code != nullptr ? static_cast<std::int64_t>(code->fileOffset + code->fileSize) : 0;
}

// Where the extra stream's preset of size bytes starts in the original.
// New code is often much like the old code it replaces or lies beside: the
// stretch of the original that the edits take around the part of the
// newer file with the most extra bytes (in eighths of the preset) is the
// likeliest to hold what those bytes repeat. Its middle is where the
// edits there take their median difference byte. Without such edits, the
// original around the end of its largest code section: code, and the data
// after it.
std::int64_t PresetStart(const std::vector<Edit>& edits, std::int64_t size,
                         std::int64_t originalSize, const Image& original) {
    if (size <= 0 || size >= originalSize) {
        return 0;
    }
    const std::int64_t bucket = std::max<std::int64_t>(size / 8, 1);
    const std::vector<std::int64_t> extras = ExtrasByBucket(edits, bucket);
    std::int64_t most = 0;
    std::int64_t from = 0;
    for (std::size_t first = 0; first < extras.size(); ++first) {
        std::int64_t sum = 0;
        for (std::size_t i = first; i < std::min(first + 8, extras.size()); ++i) {
            sum += extras[i];
        }
        if (sum > most) {
            most = sum;
            from = static_cast<std::int64_t>(first) * bucket;
        }
    }
    const std::optional<std::int64_t> middle =
        most > 0 ? MedianOldMiddle(edits, from, size) : std::nullopt;
    const std::int64_t centre = middle ? *middle : EndOfLargestCode(original);
    return std::clamp<std::int64_t>(centre - size / 2, 0, originalSize - size);
}

} // namespace

void ChooseDictionaries(CompactHeader& header) {
    header.ControlDictionary = DictionaryFor(header.NewerSize, ControlDictionaryLimit);
    header.DiffDictionary = DictionaryFor(header.NewerSize, DiffDictionaryLimit);
    header.ExtraDictionary = DictionaryFor(header.NewerSize, ExtraDictionaryLimit);
}

void ChoosePresetSize(CompactHeader& header, const CompactSettings& settings) {
    const auto originalSize = static_cast<std::int64_t>(header.OriginalSize);
    header.PresetSize = static_cast<std::uint32_t>(std::clamp<std::int64_t>(
        std::min(originalSize, settings.presetBytes), 0, CompactPresetBytes));
    header.ExtraDictionary =
        DictionaryFor(header.NewerSize + header.PresetSize, ExtraDictionaryLimit);
}

std::vector<std::uint8_t> ChoosePreset(ByteStream& original, const Image& image,
                                       const std::vector<Edit>& edits, CompactHeader& header) {
    const auto presetSize = static_cast<std::int64_t>(header.PresetSize);
    const std::int64_t presetAt =
        PresetStart(edits, presetSize, static_cast<std::int64_t>(header.OriginalSize), image);
    header.PresetOffset = static_cast<std::uint64_t>(presetAt);
    std::vector<std::uint8_t> preset(static_cast<std::size_t>(presetSize));
    if (original.ReadAt(presetAt, preset.data(), presetSize) != presetSize) {
        throw EReadError("Stream read error");
    }
    return preset;
}

LzmaSettings ControlCoder(const CompactHeader& header) {
    return {header.ControlDictionary, CompactLevel, 0, {}};
}

LzmaSettings DiffCoder(std::uint32_t dictionary, std::span<const std::uint8_t> differences,
                       DiffForm form) {
    // A segment's coder starts with an empty dictionary and never reaches
    // further back than its own bytes: a dictionary no larger than them
    // loses no match (the reader's stays the header's), and the match
    // finder's hash table, which is cleared whole as the coder starts,
    // shrinks with it: 3 to 8 MiB less while coding real programs, two
    // segments at once. The bodies of the benchmark's pairs come out the
    // same.
    dictionary = DictionaryFor(differences.size(), dictionary);
    if (form == DiffForm::ZeroRuns) {
        LzmaSettings runs{dictionary, CompactLevel, DiffNiceLength, {}};
        runs.literalContextBits = RunsLiteralContextBits;
        runs.positionBits = RunsPositionBits;
        return runs;
    }
    const auto nonzero = static_cast<std::size_t>(
        differences.size() - std::count(differences.begin(), differences.end(), 0));
    const std::uint32_t nice =
        nonzero * SparseDifferences < differences.size() ? SparseDiffNiceLength : DiffNiceLength;
    return {dictionary, CompactLevel, nice, {}, false, 0, 0};
}

LzmaSettings ExtraCoder(std::uint32_t dictionary, std::span<const std::uint8_t> preset,
                        std::int64_t originalSize) {
    const bool trees = !preset.empty() &&
                       originalSize >= ExtraTreesFrom * static_cast<std::int64_t>(preset.size());
    LzmaSettings settings{dictionary, CompactLevel, ExtraNiceLength, preset, !trees};
    if (!trees) {
        settings.depth = ExtraChainsDepth;
    }
    return settings;
}

} // namespace kestro
