#include "engine/CompactStream.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "common/Progress.hpp"
#include "engine/ApproximateMatch.hpp"
#include "engine/Crc32.hpp"
#include "engine/Lzma.hpp"
#include "engine/References.hpp"
#include "engine/SuffixArray.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

namespace {

// Each stream's dictionary as the encoder chooses it: no larger than the
// newer file needs, and so that the three fit in CompactMaxDictionaries.
constexpr std::uint32_t ControlDictionaryLimit = 1u << 20;
constexpr std::uint32_t DiffDictionaryLimit = 4u << 20;
constexpr std::uint32_t ExtraDictionaryLimit = 8u << 20;
constexpr std::uint32_t CompactLevel = 9;
// The difference stream is most of a body: a longer search for matches in
// it is worth its time (on a program of 12 MB, 7 % smaller for twice the
// time of its coder, which runs beside the match search).
constexpr std::uint32_t DiffNiceLength = 128;
constexpr int MaxVarintBytes = 9; // 63 bits
// How often the encoder's caller is polled while the encoder waits for its
// coders on other threads.
constexpr std::chrono::milliseconds CoderPollInterval{50};
// The most the encoder reads in one call between two polls.
constexpr std::int64_t ReadPieceBytes = std::int64_t{8} << 20;

[[noreturn]] void Damaged() {
    throw Exception("CRC Error");
}

std::int64_t ChunksOf(std::int64_t outputBytes) {
    return (outputBytes + ChunkBytes - 1) / ChunkBytes;
}

// ---- the encoder ----------------------------------------------------------

void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t ZigZag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t UnZigZag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

int CompactHeaderSize(std::int32_t minor) {
    return minor >= 1 ? CompactFilteredHeaderBytes : CompactHeaderBytes;
}

void WriteCompactHeader(ByteStream& out, const CompactHeader& header, std::int32_t minor) {
    std::uint8_t bytes[CompactFilteredHeaderBytes] = {};
    std::memcpy(bytes + CompactTagField, CompactTag, sizeof CompactTag);
    PutLe64(bytes + NewerSizeField, header.NewerSize);
    PutLe32(bytes + NewerCrcField, header.NewerCrc);
    PutLe64(bytes + OriginalSizeField, header.OriginalSize);
    PutLe32(bytes + ControlDictionaryField, header.ControlDictionary);
    PutLe32(bytes + DiffDictionaryField, header.DiffDictionary);
    PutLe32(bytes + ExtraDictionaryField, header.ExtraDictionary);
    if (minor >= 1) {
        PutLe32(bytes + FiltersField, header.Filters);
    }
    out.WriteBuffer(bytes, CompactHeaderSize(minor));
}

std::uint32_t DictionaryFor(std::uint64_t newerSize, std::uint32_t limit) {
    std::uint32_t size = MinLzmaDictionary;
    while (size < limit && size < newerSize) {
        size *= 2;
    }
    return size;
}

// The encoder's progress: the phase under way, how far it is, and the
// newer file's bytes accounted for. With the x86 filter the search counts
// for the first half of them and the coding for the second; without it the
// two run as one pass, which is told as coding.
class EncoderProgress {
public:
    EncoderProgress(const ProgressFunction& told, std::int64_t newerSize, bool twoPasses)
        : told_(told), twoPasses_(twoPasses) {
        now_.fileTotal = newerSize;
    }

    void Tell(Phase phase, std::int64_t done, std::int64_t total) {
        if (phase != now_.phase || total != now_.total) {
            now_.done = 0;
        }
        now_.phase = phase;
        now_.done = std::max(now_.done, done);
        now_.total = total;
        std::int64_t file = 0;
        if (phase == Phase::Searching) {
            file = done / 2;
        } else if (phase == Phase::Coding) {
            file = twoPasses_ ? (now_.fileTotal + done) / 2 : done;
        }
        now_.fileDone = std::max(now_.fileDone, file);
        Poll();
    }
    // Tells the figures as they stand: the poll of work that does not
    // advance them.
    void Poll() const {
        if (told_) {
            told_(now_);
        }
    }

private:
    const ProgressFunction& told_;
    bool twoPasses_;
    Progress now_{Phase::Sorting};
};

// Cuts the edits into segments, fills each segment's three streams and
// writes it once it holds SegmentBytes of output (or the file ends).
class SegmentWriter {
public:
    // map and addresses, where not null, are the x86 filter's, for an
    // original of originalSize bytes.
    SegmentWriter(ByteStream& out, const CompactHeader& header, const CompactSettings& settings,
                  EncoderProgress& progress, const ReferenceMap* map, const AddressTable* addresses,
                  std::int64_t originalSize)
        : out_(out), settings_(settings), progress_(progress), newerSize_(header.NewerSize),
          coders_{LzmaEncoder({header.ControlDictionary, CompactLevel}),
                  LzmaEncoder({header.DiffDictionary, CompactLevel, DiffNiceLength}),
                  LzmaEncoder({header.ExtraDictionary, CompactLevel})} {
        if (map != nullptr) {
            // Each edit is predicted whole, so the predictor never reads
            // past the bytes it is given.
            predictor_ = std::make_unique<ReferencePredictor>(
                *map, *addresses, originalSize,
                [this](std::int64_t at, std::uint8_t* to, std::int64_t count) {
                    std::memcpy(to, old_ + (at - oldBase_), static_cast<std::size_t>(count));
                });
        }
    }

    // Adds an edit of the newer bytes at newer (DiffLength + ExtraLength of
    // them) against old, which holds the original from oldBase on.
    void Add(Edit edit, const std::uint8_t* newer, const std::uint8_t* old, std::int64_t oldBase) {
        old_ = old;
        oldBase_ = oldBase;
        std::int64_t oldStart = oldBase + edit.OldStart;
        while (edit.DiffLength + edit.ExtraLength > 0) {
            const std::int64_t room = SegmentBytes - output_;
            const std::int64_t diff = std::min(edit.DiffLength, room);
            const std::int64_t extra = std::min(edit.ExtraLength, room - diff);
            PutVarint(streams_[0], ZigZag(oldStart - oldPosition_));
            PutVarint(streams_[0], static_cast<std::uint64_t>(diff));
            PutVarint(streams_[0], static_cast<std::uint64_t>(extra));
            const std::uint8_t* from = old + (oldStart - oldBase);
            if (predictor_) {
                predicted_.assign(from, from + diff);
                predictor_->StartEdit(oldStart, diff, done_ + output_);
                predictor_->Predict(predicted_, oldStart);
                from = predicted_.data();
            }
            std::vector<std::uint8_t>& differences = streams_[1];
            const std::size_t base = differences.size();
            differences.resize(base + static_cast<std::size_t>(diff));
            for (std::int64_t i = 0; i < diff; ++i) {
                differences[base + static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(newer[i] - from[i]);
            }
            streams_[2].insert(streams_[2].end(), newer + diff, newer + diff + extra);
            TakeOutput(newer, diff + extra);
            oldStart += diff;
            oldPosition_ = oldStart;
            newer += diff + extra;
            edit.DiffLength -= diff;
            edit.ExtraLength -= extra;
            if (output_ == SegmentBytes) {
                WriteSegment(LzmaEncoder::End::Flush);
            }
        }
    }

    // Writes the last segment with output, if any, and the end segment.
    // Returns the CRC-32 of all output.
    std::uint32_t Finish() {
        if (output_ > 0) {
            WriteSegment(LzmaEncoder::End::Flush);
        }
        WriteSegment(LzmaEncoder::End::Finish);
        return ~wholeCrc_;
    }

private:
    void TakeOutput(const std::uint8_t* bytes, std::int64_t count) {
        while (count > 0) {
            const std::int64_t take = std::min(count, ChunkBytes - output_ % ChunkBytes);
            chunkCrc_ = Crc32Update(bytes, chunkCrc_, static_cast<std::size_t>(take));
            wholeCrc_ = Crc32Update(bytes, wholeCrc_, static_cast<std::size_t>(take));
            output_ += take;
            bytes += take;
            count -= take;
            if (output_ % ChunkBytes == 0) {
                CloseChunk();
            }
        }
    }

    void CloseChunk() {
        chunkCrcs_.push_back(~chunkCrc_);
        chunkCrc_ = 0xFFFFFFFFu;
    }

    // Hands the filled segment to its coders and writes the one before,
    // whose coding is then complete. With more than one thread the coding
    // runs on two others, the difference stream on one, the control and
    // extra streams on the other, while this thread goes on finding edits;
    // each coder takes its segments in order, so no byte changes.
    void WriteSegment(LzmaEncoder::End end) {
        if (output_ % ChunkBytes != 0) {
            CloseChunk();
        }
        auto segment = std::make_unique<Coding>();
        segment->streams = std::move(streams_);
        segment->chunkCrcs = std::move(chunkCrcs_);
        segment->output = output_;
        segment->end = end;
        streams_ = {};
        chunkCrcs_.clear();
        done_ += output_;
        output_ = 0;
        Coding& coding = *segment;
        WritePending(); // its coders must be done before they take the next
        if (settings_.threads > 1) {
            // A coder on another thread stops between pieces of its input
            // once the segment is abandoned.
            const std::atomic<bool>& abandoned = coding.abandoned;
            const auto stop = [&abandoned] {
                if (abandoned.load()) {
                    throw Exception("Coding abandoned");
                }
            };
            coding.diff =
                std::async(std::launch::async, [this, &coding, stop] { Code(coding, 1, stop); });
            coding.others = std::async(std::launch::async, [this, &coding, stop] {
                Code(coding, 0, stop);
                Code(coding, 2, stop);
            });
        } else {
            const auto poll = [this] { progress_.Poll(); };
            for (const std::size_t stream : {1, 0, 2}) {
                Code(coding, stream, poll);
            }
        }
        pending_ = std::move(segment);
        if (end == LzmaEncoder::End::Finish) {
            WritePending();
        }
        progress_.Tell(Phase::Coding, done_, static_cast<std::int64_t>(newerSize_));
    }

    struct Coding {
        std::array<std::vector<std::uint8_t>, 3> streams;
        std::array<std::vector<std::uint8_t>, 3> pieces;
        std::vector<std::uint32_t> chunkCrcs;
        std::int64_t output = 0;
        LzmaEncoder::End end = LzmaEncoder::End::Flush;
        std::future<void> diff;
        std::future<void> others;
        std::atomic<bool> abandoned{false};
        // A coding still under way is abandoned, and waited for before its
        // buffers go: its coders stop at their next piece.
        ~Coding() {
            abandoned = true;
            for (std::future<void>* job : {&diff, &others}) {
                if (job->valid()) {
                    job->wait();
                }
            }
        }
    };

    void Code(Coding& coding, std::size_t stream, const std::function<void()>& between) {
        coders_[stream].Code(coding.streams[stream], coding.pieces[stream], coding.end, between);
        coding.streams[stream] = {};
    }

    void WritePending() {
        if (!pending_) {
            return;
        }
        const std::unique_ptr<Coding> coding = std::move(pending_);
        for (std::future<void>* job : {&coding->diff, &coding->others}) {
            if (job->valid()) {
                // Polled while it waits, so that the caller may stop the
                // encoder meanwhile.
                while (job->wait_for(CoderPollInterval) != std::future_status::ready) {
                    progress_.Poll();
                }
                job->get();
            }
        }
        const auto& pieces = coding->pieces;
        std::vector<std::uint8_t> header(SegmentHeaderBytes + 4 * coding->chunkCrcs.size());
        PutLe32(header.data() + OutputBytesField, static_cast<std::uint32_t>(coding->output));
        PutLe32(header.data() + ControlBytesField, static_cast<std::uint32_t>(pieces[0].size()));
        PutLe32(header.data() + DiffBytesField, static_cast<std::uint32_t>(pieces[1].size()));
        PutLe32(header.data() + ExtraBytesField, static_cast<std::uint32_t>(pieces[2].size()));
        for (std::size_t i = 0; i < coding->chunkCrcs.size(); ++i) {
            PutLe32(header.data() + SegmentHeaderBytes + 4 * i, coding->chunkCrcs[i]);
        }
        out_.WriteBuffer(header.data(), static_cast<std::int64_t>(header.size()));
        for (const std::vector<std::uint8_t>& piece : pieces) {
            out_.WriteBuffer(piece.data(), static_cast<std::int64_t>(piece.size()));
        }
    }

    ByteStream& out_;
    const CompactSettings& settings_;
    EncoderProgress& progress_;
    std::uint64_t newerSize_;
    std::array<LzmaEncoder, 3> coders_;
    std::array<std::vector<std::uint8_t>, 3> streams_; // control, difference, extra
    std::unique_ptr<Coding> pending_;                  // coded or being coded, not yet written
    std::vector<std::uint32_t> chunkCrcs_;
    std::uint32_t chunkCrc_ = 0xFFFFFFFFu;
    std::uint32_t wholeCrc_ = 0xFFFFFFFFu;
    std::int64_t output_ = 0;      // bytes in the segment being filled
    std::int64_t done_ = 0;        // bytes in the segments written
    std::int64_t oldPosition_ = 0; // the reader's old position after the last edit
    std::unique_ptr<ReferencePredictor> predictor_;
    std::vector<std::uint8_t> predicted_; // an edit's old bytes as the filter predicts them
    const std::uint8_t* old_ = nullptr;   // the window of the edit being added
    std::int64_t oldBase_ = 0;
};

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

// Reads count bytes into to, in pieces with a poll after each.
void ReadPolled(ByteStream& in, std::uint8_t* to, std::int64_t count,
                const EncoderProgress& progress) {
    while (count > 0) {
        const std::int64_t piece = std::min(count, ReadPieceBytes);
        in.ReadBuffer(to, piece);
        to += piece;
        count -= piece;
        progress.Poll();
    }
}

// ---- the decoder ----------------------------------------------------------

// One stream's decoder and where its current piece lies in the delta.
class PieceReader {
public:
    PieceReader(ByteStream& delta, std::uint32_t dictionary)
        : delta_(delta), decoder_(dictionary), input_(64 * 1024) {
        output_.reserve(64 * 1024);
    }

    void StartPiece(std::int64_t offset, std::int64_t size) {
        offset_ = offset;
        remaining_ = size;
    }

    void Read(std::uint8_t* to, std::int64_t count) {
        while (count > 0) {
            if (outputAt_ == output_.size() && !Produce()) {
                Damaged();
            }
            const auto take = static_cast<std::size_t>(std::min<std::int64_t>(
                count, static_cast<std::int64_t>(output_.size() - outputAt_)));
            std::memcpy(to, output_.data() + outputAt_, take);
            outputAt_ += take;
            to += take;
            count -= static_cast<std::int64_t>(take);
        }
    }

    std::uint64_t ReadVarint() {
        std::uint64_t value = 0;
        for (int i = 0; i < MaxVarintBytes; ++i) {
            std::uint8_t byte;
            Read(&byte, 1);
            value |= std::uint64_t{byte & 0x7Fu} << (7 * i);
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        Damaged();
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

std::int32_t EncodeCompactBody(ByteStream& newer, ByteStream& original, ByteStream& out,
                               const CompactSettings& settings) {
    CompactHeader header;
    const std::int64_t newerSize = newer.Size();
    const std::int64_t originalSize = original.Size();
    header.NewerSize = static_cast<std::uint64_t>(newerSize);
    header.OriginalSize = static_cast<std::uint64_t>(originalSize);
    header.ControlDictionary = DictionaryFor(header.NewerSize, ControlDictionaryLimit);
    header.DiffDictionary = DictionaryFor(header.NewerSize, DiffDictionaryLimit);
    header.ExtraDictionary = DictionaryFor(header.NewerSize, ExtraDictionaryLimit);
    if (settings.maxMinor >= 1) {
        std::vector<std::uint8_t> start(
            static_cast<std::size_t>(std::min<std::int64_t>(originalSize, 4096)));
        original.SetPosition(0);
        original.ReadBuffer(start.data(), static_cast<std::int64_t>(start.size()));
        header.Filters = IsX86Program(start) ? CompactFilterX86 : 0;
    }
    const std::int32_t minor = header.Filters != 0 ? 1 : 0;
    const std::int64_t headerAt = out.Position();
    WriteCompactHeader(out, header, minor);

    // Without the filter each edit is coded as it is found, in one pass that
    // reads each input once. With it, all the edits come first, since the
    // filter predicts a value from where the edits put its target, which may
    // lie anywhere in the newer file; a second pass over the newer file then
    // codes them.
    const bool filtered = header.Filters != 0;
    EncoderProgress progress(settings.progress, newerSize, filtered);
    std::vector<std::uint8_t> part;
    std::vector<std::uint8_t> window;
    std::vector<std::int32_t> suffixes;
    std::optional<std::pair<std::int64_t, std::int64_t>> loaded;
    const auto load = [&](std::pair<std::int64_t, std::int64_t> wanted, bool withSuffixes) {
        if (loaded != wanted) {
            suffixes = {};
            window.resize(static_cast<std::size_t>(wanted.second - wanted.first));
            original.SetPosition(wanted.first);
            ReadPolled(original, window.data(), static_cast<std::int64_t>(window.size()), progress);
            loaded = wanted;
        }
        if (withSuffixes && suffixes.empty()) {
            const auto windowSize = static_cast<std::int64_t>(window.size());
            progress.Tell(Phase::Sorting, 0, windowSize);
            suffixes = BuildSuffixArray(window, [&](std::int64_t done) {
                progress.Tell(Phase::Sorting, done, windowSize);
            });
        }
    };
    const auto readPart = [&](std::int64_t partStart) {
        part.resize(static_cast<std::size_t>(std::min(settings.partBytes, newerSize - partStart)));
        ReadPolled(newer, part.data(), static_cast<std::int64_t>(part.size()), progress);
        return WindowFor(partStart, static_cast<std::int64_t>(part.size()), newerSize, originalSize,
                         settings.windowBytes);
    };

    const AddressTable addresses = filtered ? ReadAddressTable(original) : AddressTable();
    ReferenceMap map;
    SegmentWriter segments(out, header, settings, progress, filtered ? &map : nullptr, &addresses,
                           originalSize);
    std::vector<Edit> edits; // OldStart in the whole original
    std::vector<std::size_t> partEnds;
    const Phase searching = filtered ? Phase::Searching : Phase::Coding;
    for (std::int64_t partStart = 0; partStart < newerSize; partStart += settings.partBytes) {
        const auto wanted = readPart(partStart);
        load(wanted, true);
        const std::uint8_t* at = part.data();
        FindEdits(
            part, window, suffixes,
            [&](const Edit& edit) {
                if (!filtered) {
                    segments.Add(edit, at, window.data(), wanted.first);
                    at += edit.DiffLength + edit.ExtraLength;
                    return;
                }
                edits.push_back({edit.OldStart + wanted.first, edit.DiffLength, edit.ExtraLength});
            },
            [&](std::int64_t searched) {
                progress.Tell(searching, partStart + searched, newerSize);
            });
        progress.Tell(searching, partStart + static_cast<std::int64_t>(part.size()), newerSize);
        partEnds.push_back(edits.size());
    }
    suffixes = {};
    if (filtered) {
        std::int64_t newStart = 0;
        for (const Edit& edit : edits) {
            map.Add(edit.OldStart, edit.DiffLength, newStart);
            newStart += edit.DiffLength + edit.ExtraLength;
        }
        map.Seal();
        progress.Tell(Phase::Coding, 0, newerSize);
        newer.SetPosition(0);
        std::size_t next = 0;
        for (std::int64_t partStart = 0, index = 0; partStart < newerSize;
             partStart += settings.partBytes, ++index) {
            const auto wanted = readPart(partStart);
            load(wanted, false);
            const std::uint8_t* at = part.data();
            for (; next < partEnds[static_cast<std::size_t>(index)]; ++next) {
                Edit edit = edits[next];
                edit.OldStart -= wanted.first;
                segments.Add(edit, at, window.data(), wanted.first);
                at += edit.DiffLength + edit.ExtraLength;
            }
        }
    }
    header.NewerCrc = segments.Finish();
    const std::int64_t end = out.Position();
    out.SetPosition(headerAt);
    WriteCompactHeader(out, header, minor);
    out.SetPosition(end);
    return minor;
}

bool ReadCompactHeader(ByteStream& delta, std::int32_t minor, CompactHeader& header) {
    std::uint8_t bytes[CompactFilteredHeaderBytes];
    const int size = CompactHeaderSize(minor);
    const std::int64_t n = delta.Read(bytes, size);
    if (n < static_cast<std::int64_t>(sizeof CompactTag) ||
        std::memcmp(bytes + CompactTagField, CompactTag, sizeof CompactTag) != 0) {
        return false;
    }
    if (n != size) {
        Damaged();
    }
    header.NewerSize = GetLe64(bytes + NewerSizeField);
    header.NewerCrc = GetLe32(bytes + NewerCrcField);
    header.OriginalSize = GetLe64(bytes + OriginalSizeField);
    header.ControlDictionary = GetLe32(bytes + ControlDictionaryField);
    header.DiffDictionary = GetLe32(bytes + DiffDictionaryField);
    header.ExtraDictionary = GetLe32(bytes + ExtraDictionaryField);
    header.Filters = minor >= 1 ? GetLe32(bytes + FiltersField) : 0;
    std::uint64_t total = 0;
    for (const std::uint32_t dictionary :
         {header.ControlDictionary, header.DiffDictionary, header.ExtraDictionary}) {
        if (dictionary < MinLzmaDictionary || dictionary > CompactMaxDictionary) {
            Damaged();
        }
        total += dictionary;
    }
    if (total > CompactMaxDictionaries || (header.Filters & ~CompactFilterX86) != 0 ||
        header.NewerSize > INT64_MAX || header.OriginalSize > INT64_MAX) {
        Damaged();
    }
    return true;
}

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

// The x86 filter's map: a first pass over the control stream of the
// segments from segmentAt on, checked as the decoding pass checks it.
ReferenceMap MapEdits(ByteStream& delta, const CompactHeader& header, std::int64_t segmentAt) {
    ReferenceMap map;
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
            map.Add(edit.OldStart, edit.DiffLength, done + segment.OutputBytes - left);
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

} // namespace

void DecodeCompactBody(ByteStream& delta, const CompactHeader& header, ByteStream& original,
                       ByteStream& out) {
    const auto originalSize = static_cast<std::int64_t>(header.OriginalSize);
    if (original.Size() != originalSize) {
        Damaged();
    }
    const std::int64_t bodyAt = delta.Position();
    const bool filtered = (header.Filters & CompactFilterX86) != 0;
    const ReferenceMap map = filtered ? MapEdits(delta, header, bodyAt) : ReferenceMap();
    const AddressTable addresses = filtered ? ReadAddressTable(original) : AddressTable();
    std::unique_ptr<ReferencePredictor> predictor;
    if (filtered) {
        predictor = std::make_unique<ReferencePredictor>(
            map, addresses, originalSize,
            [&original](std::int64_t at, std::uint8_t* to, std::int64_t count) {
                if (original.ReadAt(at, to, count) != count) {
                    Damaged();
                }
            });
    }
    PieceReader control(delta, header.ControlDictionary);
    PieceReader diff(delta, header.DiffDictionary);
    PieceReader extra(delta, header.ExtraDictionary);
    ChunkWriter output(out);
    std::vector<std::uint8_t> differences(64 * 1024);
    std::int64_t done = 0;
    std::int64_t oldPosition = 0;
    std::int64_t segmentAt = bodyAt;
    for (;;) {
        const SegmentHeader segment =
            ReadSegmentHeader(delta, segmentAt, static_cast<std::int64_t>(header.NewerSize) - done);
        segmentAt = segment.End;
        std::int64_t at = segment.PiecesAt;
        control.StartPiece(at, segment.PieceBytes[0]);
        diff.StartPiece(at += segment.PieceBytes[0], segment.PieceBytes[1]);
        extra.StartPiece(at += segment.PieceBytes[1], segment.PieceBytes[2]);
        output.StartSegment(segment);
        for (std::int64_t left = segment.OutputBytes; left > 0;) {
            const ControlEdit edit = ReadEdit(control, left, oldPosition, originalSize);
            oldPosition = edit.OldStart;
            if (predictor) {
                predictor->StartEdit(oldPosition, edit.DiffLength,
                                     done + segment.OutputBytes - left);
            }
            for (std::int64_t n = edit.DiffLength; n > 0;) {
                const std::span<std::uint8_t> room = output.Room(
                    std::min<std::int64_t>(n, static_cast<std::int64_t>(differences.size())));
                const auto take = static_cast<std::int64_t>(room.size());
                if (original.ReadAt(oldPosition, room.data(), take) != take) {
                    Damaged();
                }
                if (predictor) {
                    predictor->Predict(room, oldPosition);
                }
                diff.Read(differences.data(), take);
                for (std::size_t i = 0; i < room.size(); ++i) {
                    room[i] = static_cast<std::uint8_t>(room[i] + differences[i]);
                }
                output.Filled();
                oldPosition += take;
                n -= take;
            }
            for (std::int64_t n = edit.ExtraLength; n > 0;) {
                const std::span<std::uint8_t> room = output.Room(n);
                extra.Read(room.data(), static_cast<std::int64_t>(room.size()));
                output.Filled();
                n -= static_cast<std::int64_t>(room.size());
            }
            left -= edit.DiffLength + edit.ExtraLength;
        }
        const bool last = segment.OutputBytes == 0;
        control.EndPiece(last);
        diff.EndPiece(last);
        extra.EndPiece(last);
        done += segment.OutputBytes;
        if (last) {
            break;
        }
    }
    if (output.Crc() != header.NewerCrc || segmentAt != delta.Size()) {
        Damaged();
    }
    delta.SetPosition(segmentAt);
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
