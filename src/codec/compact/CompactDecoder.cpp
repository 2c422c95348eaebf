// The compact body's reader: segments checked and rebuilt a MiB at a time,
// the three streams decoded piece by piece, the filters' predictions.
#include "checksum/Crc32.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/DiffForms.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

namespace {

// One stream's decoder and where its current piece lies in the delta.
class PieceReader final : public DiffSource {
public:
    PieceReader(ByteStream& delta, std::uint32_t dictionary,
                std::span<const std::uint8_t> preset = {})
        : delta_(delta), decoder_(dictionary, preset), input_(64 * 1024) {
        output_.reserve(64 * 1024);
    }

    void StartPiece(std::int64_t offset, std::int64_t size) {
        offset_ = offset;
        remaining_ = size;
    }

    void Read(std::uint8_t* to, std::int64_t count) {
        while (count > 0) {
            const std::span<const std::uint8_t> decoded = Available();
            const auto take = static_cast<std::size_t>(
                std::min<std::int64_t>(count, static_cast<std::int64_t>(decoded.size())));
            std::memcpy(to, decoded.data(), take);
            Consume(take);
            to += take;
            count -= static_cast<std::int64_t>(take);
        }
    }

    std::span<const std::uint8_t> Available() override {
        if (outputAt_ == output_.size() && !Produce()) {
            Damaged();
        }
        return std::span<const std::uint8_t>(output_).subspan(outputAt_);
    }
    void Consume(std::size_t count) override { outputAt_ += count; }

    std::uint64_t ReadVarint() {
        return kestro::ReadVarint([this] {
            const std::uint8_t byte = Available()[0];
            Consume(1);
            return byte;
        });
    }

    // The segment is complete: its piece must hold nothing more than what
    // was read, and, for the end segment, the stream's end.
    void EndPiece(bool streamEnds) {
        if (outputAt_ != output_.size() || Produce() || remaining_ != 0 || !pending_.empty() ||
            ended_ != streamEnds) {
            Damaged();
        }
    }

private:
    // Decodes the next bytes of the piece; false when it holds no more.
    bool Produce() {
        output_.resize(output_.capacity());
        outputAt_ = 0;
        for (;;) {
            if (pending_.empty() && remaining_ > 0) {
                const std::int64_t n =
                    std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(input_.size()));
                if (delta_.ReadAt(offset_, input_.data(), n) != n) {
                    Damaged();
                }
                offset_ += n;
                remaining_ -= n;
                pending_ =
                    std::span<const std::uint8_t>(input_.data(), static_cast<std::size_t>(n));
            }
            std::span<std::uint8_t> free(output_);
            const std::size_t before = pending_.size();
            const LzmaDecoder::Status status = decoder_.Decode(pending_, free);
            if (status == LzmaDecoder::Status::Damaged) {
                Damaged();
            }
            ended_ = status == LzmaDecoder::Status::Ended;
            const std::size_t made = output_.size() - free.size();
            if (made > 0) {
                output_.resize(made);
                return true;
            }
            if (ended_ || (pending_.size() == before && (remaining_ == 0 || !pending_.empty()))) {
                output_.clear();
                return false;
            }
        }
    }

    ByteStream& delta_;
    LzmaDecoder decoder_;
    std::vector<std::uint8_t> input_;
    std::span<const std::uint8_t> pending_;
    std::vector<std::uint8_t> output_;
    std::size_t outputAt_ = 0;
    std::int64_t offset_ = 0;
    std::int64_t remaining_ = 0;
    bool ended_ = false;
};

struct SegmentHeader {
    std::int64_t OutputBytes = 0;
    std::array<std::int64_t, 3> PieceBytes{};
    std::vector<std::uint32_t> ChunkCrcs;
    std::int64_t PiecesAt = 0; // where the pieces begin in the delta
    std::int64_t End = 0;      // and where they end
};

// Reads the segment header at offset at of delta and checks it against the
// output still to come and the bytes left in the delta. Positional reads
// only: the pieces' readers share the stream.
SegmentHeader ReadSegmentHeader(ByteStream& delta, std::int64_t at, std::int64_t outputLeft) {
    std::uint8_t bytes[SegmentHeaderBytes];
    if (delta.ReadAt(at, bytes, SegmentHeaderBytes) != SegmentHeaderBytes) {
        Damaged();
    }
    at += SegmentHeaderBytes;
    SegmentHeader header;
    header.OutputBytes = GetLe32(bytes + OutputBytesField);
    header.PieceBytes = {GetLe32(bytes + ControlBytesField), GetLe32(bytes + DiffBytesField),
                         GetLe32(bytes + ExtraBytesField)};
    if (header.OutputBytes != std::min(outputLeft, SegmentBytes)) {
        Damaged();
    }
    header.ChunkCrcs.resize(static_cast<std::size_t>(ChunksOf(header.OutputBytes)));
    for (std::uint32_t& crc : header.ChunkCrcs) {
        std::uint8_t field[4];
        if (delta.ReadAt(at, field, 4) != 4) {
            Damaged();
        }
        crc = GetLe32(field);
        at += 4;
    }
    header.PiecesAt = at;
    header.End = at + header.PieceBytes[0] + header.PieceBytes[1] + header.PieceBytes[2];
    if (header.End > delta.Size()) {
        Damaged();
    }
    return header;
}

// The rebuilt output in CRC-checked pieces of one chunk.
class ChunkWriter {
public:
    explicit ChunkWriter(ByteStream& out)
        : out_(out), chunk_(static_cast<std::size_t>(ChunkBytes)) {}

    void StartSegment(const SegmentHeader& segment) {
        segment_ = &segment;
        chunk_.resize(0);
        index_ = 0;
    }
    // Room for up to count bytes at the end of the chunk being filled.
    std::span<std::uint8_t> Room(std::int64_t count) {
        const std::int64_t size = ChunkSize();
        const std::size_t filled = chunk_.size();
        const auto take = static_cast<std::size_t>(
            std::min<std::int64_t>(count, size - static_cast<std::int64_t>(filled)));
        chunk_.resize(filled + take);
        return {chunk_.data() + filled, take};
    }
    // Checks and writes the chunk once it is full.
    void Filled() {
        if (static_cast<std::int64_t>(chunk_.size()) < ChunkSize()) {
            return;
        }
        if (Crc32Buffer(chunk_.data(), chunk_.size()) != segment_->ChunkCrcs[index_]) {
            Damaged();
        }
        wholeCrc_ = Crc32Update(chunk_.data(), wholeCrc_, chunk_.size());
        out_.WriteBuffer(chunk_.data(), static_cast<std::int64_t>(chunk_.size()));
        chunk_.resize(0);
        ++index_;
    }
    std::uint32_t Crc() const { return ~wholeCrc_; }

private:
    std::int64_t ChunkSize() const {
        return std::min(ChunkBytes,
                        segment_->OutputBytes - static_cast<std::int64_t>(index_) * ChunkBytes);
    }

    ByteStream& out_;
    std::vector<std::uint8_t> chunk_;
    const SegmentHeader* segment_ = nullptr;
    std::size_t index_ = 0;
    std::uint32_t wholeCrc_ = 0xFFFFFFFFu;
};

} // namespace

namespace {

struct ControlEdit {
    std::int64_t OldStart = 0; // the old position after the move
    std::int64_t DiffLength = 0;
    std::int64_t ExtraLength = 0;
};

// Reads the next edit of a segment that has left bytes still to rebuild,
// at old position oldPosition. Every field is checked before it addresses
// anything: the edit lies inside the segment and its old bytes inside the
// original.
ControlEdit ReadEdit(PieceReader& control, std::int64_t left, std::int64_t oldPosition,
                     std::int64_t originalSize) {
    const std::int64_t move = UnZigZag(control.ReadVarint());
    const std::uint64_t diffLength = control.ReadVarint();
    const std::uint64_t extraLength = control.ReadVarint();
    if (diffLength + extraLength == 0 || diffLength > static_cast<std::uint64_t>(left) ||
        extraLength > static_cast<std::uint64_t>(left) - diffLength || move < -oldPosition ||
        move > originalSize - oldPosition ||
        static_cast<std::int64_t>(diffLength) > originalSize - (oldPosition + move)) {
        Damaged();
    }
    return {oldPosition + move, static_cast<std::int64_t>(diffLength),
            static_cast<std::int64_t>(extraLength)};
}

// A filter's map: a first pass over the control stream of the segments
// from segmentAt on, checked as the decoding pass checks it. The edits may
// record no more stretches than the filter allows, which is refused as
// soon as they do.
ReferenceMap MapEdits(ByteStream& delta, const CompactHeader& header, std::int64_t segmentAt,
                      const CompactFilter& filter, WorkPoll& steps) {
    ReferenceMap map(filter.mapStretches);
    const std::uint64_t most = filter.mostStretches(header.OriginalSize);
    PieceReader control(delta, header.ControlDictionary);
    const auto originalSize = static_cast<std::int64_t>(header.OriginalSize);
    std::int64_t done = 0;
    std::int64_t oldPosition = 0;
    for (;;) {
        const SegmentHeader segment =
            ReadSegmentHeader(delta, segmentAt, static_cast<std::int64_t>(header.NewerSize) - done);
        segmentAt = segment.End;
        control.StartPiece(segment.PiecesAt, segment.PieceBytes[0]);
        for (std::int64_t left = segment.OutputBytes; left > 0;) {
            const ControlEdit edit = ReadEdit(control, left, oldPosition, originalSize);
            steps.Step();
            map.Add(edit.OldStart, edit.DiffLength, done + segment.OutputBytes - left);
            if (map.Recorded() > most) {
                Damaged();
            }
            oldPosition = edit.OldStart + edit.DiffLength;
            left -= edit.DiffLength + edit.ExtraLength;
        }
        control.EndPiece(segment.OutputBytes == 0);
        if (segment.OutputBytes == 0) {
            break;
        }
        done += segment.OutputBytes;
    }
    map.Seal();
    return map;
}

// The original's bytes the extra stream's dictionary starts with.
std::vector<std::uint8_t> ReadPreset(ByteStream& original, const CompactHeader& header) {
    std::vector<std::uint8_t> preset(header.PresetSize);
    if (original.ReadAt(static_cast<std::int64_t>(header.PresetOffset), preset.data(),
                        header.PresetSize) != header.PresetSize) {
        Damaged();
    }
    return preset;
}

// The rebuilding of a body's segments, edit by edit, once its filter's
// predictor (if any) is ready.
class Rebuilder {
public:
    Rebuilder(ByteStream& delta, const CompactHeader& header, ByteStream& original, ByteStream& out,
              EditPredictor* predictor, WorkPoll& steps)
        : delta_(delta), header_(header), original_(original), predictor_(predictor), steps_(steps),
          control_(delta, header.ControlDictionary), diff_(delta, header.DiffDictionary),
          extra_(delta, header.ExtraDictionary, ReadPreset(original, header)), output_(out),
          differences_(64 * 1024) {
        if (header.DiffCoding == DiffCodingBySegment) {
            forms_.emplace(diff_);
        }
    }

    // Rebuilds the segments from segmentAt on; returns where they end.
    std::int64_t Segments(std::int64_t segmentAt) {
        for (;;) {
            const SegmentHeader segment = ReadSegmentHeader(
                delta_, segmentAt, static_cast<std::int64_t>(header_.NewerSize) - done_);
            segmentAt = segment.End;
            std::int64_t at = segment.PiecesAt;
            control_.StartPiece(at, segment.PieceBytes[0]);
            diff_.StartPiece(at += segment.PieceBytes[0], segment.PieceBytes[1]);
            extra_.StartPiece(at += segment.PieceBytes[1], segment.PieceBytes[2]);
            output_.StartSegment(segment);
            const bool last = segment.OutputBytes == 0;
            if (forms_ && !last) {
                forms_->StartSegment();
            }
            Edits(segment.OutputBytes);
            control_.EndPiece(last);
            if (forms_) {
                forms_->EndSegment();
            }
            diff_.EndPiece(last);
            extra_.EndPiece(last);
            done_ += segment.OutputBytes;
            if (last) {
                return segmentAt;
            }
        }
    }
    std::uint32_t Crc() const { return output_.Crc(); }

private:
    // The edits of a segment that rebuilds outputBytes.
    void Edits(std::int64_t outputBytes) {
        const auto originalSize = static_cast<std::int64_t>(header_.OriginalSize);
        for (std::int64_t left = outputBytes; left > 0;) {
            const ControlEdit edit = ReadEdit(control_, left, oldPosition_, originalSize);
            steps_.Step();
            oldPosition_ = edit.OldStart;
            if (predictor_ != nullptr) {
                predictor_->StartEdit(oldPosition_, edit.DiffLength, done_ + outputBytes - left);
            }
            Differences(edit.DiffLength);
            for (std::int64_t n = edit.ExtraLength; n > 0;) {
                const std::span<std::uint8_t> room = output_.Room(n);
                extra_.Read(room.data(), static_cast<std::int64_t>(room.size()));
                output_.Filled();
                n -= static_cast<std::int64_t>(room.size());
            }
            left -= edit.DiffLength + edit.ExtraLength;
        }
    }

    // The length bytes of an edit from the old position on: the original's,
    // as the filter predicts them, plus the difference stream's.
    void Differences(std::int64_t length) {
        for (std::int64_t n = length; n > 0;) {
            const std::span<std::uint8_t> room = output_.Room(
                std::min<std::int64_t>(n, static_cast<std::int64_t>(differences_.size())));
            const auto take = static_cast<std::int64_t>(room.size());
            if (original_.ReadAt(oldPosition_, room.data(), take) != take) {
                Damaged();
            }
            if (predictor_ != nullptr) {
                predictor_->Predict(room, oldPosition_);
            }
            if (forms_) {
                forms_->Read(std::span(differences_.data(), room.size()));
            } else {
                diff_.Read(differences_.data(), take);
            }
            for (std::size_t i = 0; i < room.size(); ++i) {
                room[i] = static_cast<std::uint8_t>(room[i] + differences_[i]);
            }
            output_.Filled();
            oldPosition_ += take;
            n -= take;
        }
    }

    ByteStream& delta_;
    const CompactHeader& header_;
    ByteStream& original_;
    EditPredictor* predictor_;
    WorkPoll& steps_;
    PieceReader control_;
    PieceReader diff_;
    PieceReader extra_;
    std::optional<DiffReader> forms_; // reads diff_ by segment, where the body's DiffCoding says
    ChunkWriter output_;
    std::vector<std::uint8_t> differences_;
    std::int64_t done_ = 0;
    std::int64_t oldPosition_ = 0;
};

} // namespace

void DecodeCompactBody(ByteStream& delta, const CompactHeader& header, ByteStream& original,
                       ByteStream& out, const std::function<void()>& poll) {
    if (original.Size() != static_cast<std::int64_t>(header.OriginalSize)) {
        Damaged();
    }
    const std::int64_t bodyAt = delta.Position();
    // The first pass counts a step for each edit, and so does the
    // rebuilding, whose predictions count their own.
    WorkPoll steps(poll);
    const CompactFilter* filter = FindCompactFilter(header.Filters);
    FilterInputs inputs;
    ReferenceMap map;
    std::unique_ptr<EditPredictor> predictor;
    if (filter != nullptr) {
        inputs = filter->read(original, header, poll);
        map = MapEdits(delta, header, bodyAt, *filter, steps);
        predictor = filter->predictor(
            inputs, header, map,
            [&original](std::int64_t at, std::uint8_t* to, std::int64_t count) {
                if (original.ReadAt(at, to, count) != count) {
                    Damaged();
                }
            },
            poll);
    }
    Rebuilder rebuilder(delta, header, original, out, predictor.get(), steps);
    const std::int64_t end = rebuilder.Segments(bodyAt);
    if (rebuilder.Crc() != header.NewerCrc || end != delta.Size()) {
        Damaged();
    }
    delta.SetPosition(end);
}

CompactSummary ListCompactBody(ByteStream& delta, const CompactHeader& header) {
    CompactSummary summary;
    std::int64_t done = 0;
    std::int64_t segmentAt = delta.Position();
    for (;;) {
        const SegmentHeader segment =
            ReadSegmentHeader(delta, segmentAt, static_cast<std::int64_t>(header.NewerSize) - done);
        segmentAt = segment.End;
        ++summary.Segments;
        summary.ControlBytes += segment.PieceBytes[0];
        summary.DiffBytes += segment.PieceBytes[1];
        summary.ExtraBytes += segment.PieceBytes[2];
        done += segment.OutputBytes;
        if (segment.OutputBytes == 0) {
            delta.SetPosition(segmentAt);
            return summary;
        }
    }
}

} // namespace kestro
