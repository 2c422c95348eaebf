// The compact writer's last stage: cuts the edits into segments, fills
// each segment's three streams (with the filter's prediction of each
// edit's old bytes), codes them on threads and writes the segments with
// their CRCs; the body's header, written before them, is completed last.
#pragma once

#include "codec/compact/ApproximateMatch.hpp"
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/EncoderProgress.hpp"
#include "codec/compact/Lzma.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace kestro {

class ByteStream;

class SegmentWriter {
public:
    SegmentWriter(ByteStream& out, const CompactHeader& header, const CompactSettings& settings,
                  EncoderProgress& progress);
    ~SegmentWriter();

    // The body's filter's predictor, set before the first edit is added,
    // if any.
    void SetPredictor(EditPredictor* predictor) { predictor_ = predictor; }

    // Starts the extra stream's coder, which must be started before the
    // first segment is written. preset is the original's bytes the header
    // names for its dictionary. Starting reads all of them into its match
    // finder, some 0.15 s for 8 MiB into hash chains and 1.5 s into binary
    // trees: with more than one thread it starts on one of its own, beside
    // the gathering of the first segment, and is waited for, with polls,
    // by the thread that codes that segment's extra bytes.
    void StartExtra(std::uint32_t dictionary, std::vector<std::uint8_t> preset,
                    std::int64_t originalSize);

    // Adds an edit of the newer bytes at newer (DiffLength + ExtraLength of
    // them) against old, which holds the original from oldBase on.
    void Add(Edit edit, const std::uint8_t* newer, const std::uint8_t* old, std::int64_t oldBase);

    // Writes the last segment with output, if any, and the end segment.
    // Returns the CRC-32 of all output.
    std::uint32_t Finish();

private:
    struct Coding;

    void TakeOutput(const std::uint8_t* bytes, std::int64_t count);
    void CloseChunk();
    void WriteSegment(LzmaEncoder::End end);
    void StartCoding(Coding& coding);
    LzmaEncoder& Extra(const std::function<void()>& between);
    void Code(LzmaEncoder& coder, Coding& coding, std::size_t stream,
              const std::function<void()>& between);
    void CodeDifferences(Coding& coding, const std::function<void()>& between);
    void WritePending();

    ByteStream& out_;
    const CompactSettings& settings_;
    EncoderProgress& progress_;
    std::uint64_t newerSize_;
    LzmaEncoder control_;
    std::future<LzmaEncoder> startingExtra_;
    std::optional<LzmaEncoder> extra_;
    std::uint32_t diffDictionary_;
    std::uint32_t diffCoding_;
    std::array<std::vector<std::uint8_t>, 3> streams_; // control, difference, extra
    // Coded or being coded, not yet written, oldest first; the last one's
    // control and extra coding, which the next one's waits for.
    std::deque<std::unique_ptr<Coding>> pending_;
    std::shared_future<void> others_;
    std::vector<std::uint32_t> chunkCrcs_;
    std::uint32_t chunkCrc_ = 0xFFFFFFFFu;
    std::uint32_t wholeCrc_ = 0xFFFFFFFFu;
    std::int64_t output_ = 0;      // bytes in the segment being filled
    std::int64_t done_ = 0;        // bytes in the segments written
    std::int64_t oldPosition_ = 0; // the reader's old position after the last edit
    EditPredictor* predictor_ = nullptr;
    std::vector<std::uint8_t> predicted_; // an edit's old bytes as the filter predicts them
};

// Finishes the segments and completes the header written at headerAt
// (format 2.minor) with the newer file's CRC; out stays at the body's end.
void FinishBody(ByteStream& out, SegmentWriter& segments, CompactHeader& header,
                std::int64_t headerAt, std::int32_t minor);

} // namespace kestro
