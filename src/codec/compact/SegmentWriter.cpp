// The compact writer's segments: streams filled, coded on threads, written
// in order with their CRCs.
#include "codec/compact/SegmentWriter.hpp"

#include "checksum/Crc32.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/DiffForms.hpp"
#include "codec/compact/StreamChoice.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>
#include <future>
#include <memory>
#include <thread>
#include <utility>

namespace kestro {

namespace {

// Segments being coded at once at most: each holds its streams and its
// difference stream's coder.
constexpr std::size_t MaxSegmentsCoding = 2;

// A segment's difference bytes (in their form) of at least this many are
// coded in two halves, each by a coder of its own. Run form leaves
// recompiled code's differences a tenth to a hundredth as long; plain data
// tables whose entries all moved keep megabytes, which the strongest coder
// takes some 0.4 s a MiB over, and a program's last such segment was coded
// alone on one thread while the other waited (a fifth of the create time
// of a Go program). The halves are the same with one thread, which codes
// them one after the other.
//
// The second coder's first chunk resets the state but not the dictionary,
// which the reader has filled with the first half: that coder starts with
// the first half's last SecondHalfPresetBytes as its preset, so that its
// first matches may reach back into them. On two Go programs that took a
// third to two fifths off what the halves cost (left 0.3 to 0.5 % of the
// stream, the coder's probabilities learnt anew), for no measurable time;
// larger presets gained no more.
constexpr std::size_t SplitDifferencesFrom = std::size_t{1} << 20;
constexpr std::size_t SecondHalfPresetBytes = 64 * 1024;

// Waits for a coding on another thread, polling the caller meanwhile, so
// that the caller may stop the encoder; rethrows what the coding threw.
template <typename Future>
void WaitPolled(Future& coding, const EncoderProgress& progress) {
    if (!coding.valid()) {
        return;
    }
    while (coding.wait_for(CoderPollInterval) != std::future_status::ready) {
        progress.Poll();
    }
    coding.get();
}

} // namespace

struct SegmentWriter::Coding {
    std::array<std::vector<std::uint8_t>, 3> streams;
    std::array<std::vector<std::uint8_t>, 3> pieces;
    std::vector<std::uint32_t> chunkCrcs;
    std::int64_t output = 0;
    LzmaEncoder::End end = LzmaEncoder::End::Flush;
    std::future<void> diff;
    std::shared_future<void> others;
    std::atomic<bool> abandoned{false};
    // A coding still under way is abandoned, and waited for before its
    // buffers go: its coders stop at their next piece.
    ~Coding() {
        abandoned = true;
        if (diff.valid()) {
            diff.wait();
        }
        if (others.valid()) {
            others.wait();
        }
    }
};

SegmentWriter::SegmentWriter(ByteStream& out, const CompactHeader& header,
                             const CompactSettings& settings, EncoderProgress& progress)
    : out_(out), settings_(settings), progress_(progress), newerSize_(header.NewerSize),
      control_(ControlCoder(header)), diffDictionary_(header.DiffDictionary),
      diffCoding_(header.DiffCoding) {}

SegmentWriter::~SegmentWriter() = default;

void SegmentWriter::StartExtra(std::uint32_t dictionary, std::vector<std::uint8_t> preset,
                               std::int64_t originalSize) {
    if (settings_.threads <= 1) {
        startingExtra_ = std::async(
            std::launch::deferred, [dictionary, preset = std::move(preset), originalSize] {
                return LzmaEncoder(ExtraCoder(dictionary, preset, originalSize));
            });
        return;
    }
    // The start cannot be stopped (liblzma reads the preset in one call, up
    // to 1.5 s for 8 MiB into binary trees): its thread owns the preset and
    // the coder, and a writer that is stopped meanwhile leaves it to finish
    // alone rather than wait for it.
    struct Start {
        std::vector<std::uint8_t> preset;
        std::promise<LzmaEncoder> started;
    };
    const auto job = std::make_shared<Start>();
    job->preset = std::move(preset);
    startingExtra_ = job->started.get_future();
    std::thread([job, dictionary, originalSize] {
        try {
            job->started.set_value(LzmaEncoder(ExtraCoder(dictionary, job->preset, originalSize)));
        } catch (...) {
            job->started.set_exception(std::current_exception());
        }
    }).detach();
}

void SegmentWriter::Add(Edit edit, const std::uint8_t* newer, const std::uint8_t* old,
                        std::int64_t oldBase) {
    std::int64_t oldStart = oldBase + edit.OldStart;
    while (edit.DiffLength + edit.ExtraLength > 0) {
        const std::int64_t room = SegmentBytes - output_;
        const std::int64_t diff = std::min(edit.DiffLength, room);
        const std::int64_t extra = std::min(edit.ExtraLength, room - diff);
        PutVarint(streams_[0], ZigZag(oldStart - oldPosition_));
        PutVarint(streams_[0], static_cast<std::uint64_t>(diff));
        PutVarint(streams_[0], static_cast<std::uint64_t>(extra));
        const std::uint8_t* from = old + (oldStart - oldBase);
        if (predictor_ != nullptr) {
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

std::uint32_t SegmentWriter::Finish() {
    if (output_ > 0) {
        WriteSegment(LzmaEncoder::End::Flush);
    }
    WriteSegment(LzmaEncoder::End::Finish);
    return ~wholeCrc_;
}

void SegmentWriter::TakeOutput(const std::uint8_t* bytes, std::int64_t count) {
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

void SegmentWriter::CloseChunk() {
    chunkCrcs_.push_back(~chunkCrc_);
    chunkCrc_ = 0xFFFFFFFFu;
}

// Hands the filled segment to its coders, and writes the oldest one still
// pending once MaxSegmentsCoding are.
void SegmentWriter::WriteSegment(LzmaEncoder::End end) {
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
    if (pending_.size() >= MaxSegmentsCoding) {
        WritePending();
    }
    StartCoding(*segment);
    pending_.push_back(std::move(segment));
    if (end == LzmaEncoder::End::Finish) {
        while (!pending_.empty()) {
            WritePending();
        }
    }
    progress_.Tell(Phase::Coding, done_, static_cast<std::int64_t>(newerSize_));
}

// The difference stream, most of the work, starts anew in each segment
// (its first chunk resets the dictionary), so segments' difference pieces
// are coded at once on threads of their own; the control and extra streams
// run on through the segments on one more, each segment after the one
// before. With one thread all of it runs here, in the same order; no byte
// changes.
void SegmentWriter::StartCoding(Coding& coding) {
    if (settings_.threads > 1) {
        // A coder on another thread stops between pieces of its input once
        // the segment is abandoned.
        const std::atomic<bool>& abandoned = coding.abandoned;
        const auto stop = [&abandoned] {
            if (abandoned.load()) {
                throw Exception("Coding abandoned");
            }
        };
        coding.diff = std::async(std::launch::async,
                                 [this, &coding, stop] { CodeDifferences(coding, stop); });
        coding.others = std::async(std::launch::async, [this, &coding, stop, before = others_] {
                            if (before.valid()) {
                                before.get();
                            }
                            Code(control_, coding, 0, stop);
                            Code(Extra(stop), coding, 2, stop);
                        }).share();
        others_ = coding.others;
    } else {
        const auto poll = [this] { progress_.Poll(); };
        CodeDifferences(coding, poll);
        Code(control_, coding, 0, poll);
        Code(Extra(poll), coding, 2, poll);
    }
}

// The extra stream's coder, once started. Its start may still be under way
// as the first segment is coded: the control and extra streams' thread
// waits for it, calling between meanwhile, while the difference coders and
// the gathering of the next segment go on.
LzmaEncoder& SegmentWriter::Extra(const std::function<void()>& between) {
    if (!extra_) {
        while (startingExtra_.wait_for(CoderPollInterval) == std::future_status::timeout) {
            between();
        }
        extra_.emplace(startingExtra_.get());
    }
    return *extra_;
}

void SegmentWriter::Code(LzmaEncoder& coder, Coding& coding, std::size_t stream,
                         const std::function<void()>& between) {
    coder.Code(coding.streams[stream], coding.pieces[stream], coding.end, between);
    coding.streams[stream] = {};
}

void SegmentWriter::CodeDifferences(Coding& coding, const std::function<void()>& between) {
    DiffForm form = DiffForm::Plain;
    // A data segment's differences with the form they take; the end
    // segment's none.
    if (diffCoding_ == DiffCodingBySegment && coding.output > 0) {
        form = ChooseDiffForm(coding.streams[1]);
        std::vector<std::uint8_t> formed;
        AppendDifferences(form, coding.streams[1], formed);
        coding.streams[1] = std::move(formed);
    }
    const std::span<const std::uint8_t> formed = coding.streams[1];
    const auto code = [&](std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out,
                          LzmaEncoder::End end, std::span<const std::uint8_t> preset = {}) {
        LzmaSettings settings = DiffCoder(diffDictionary_, bytes, form);
        settings.preset = preset;
        LzmaEncoder(settings).Code(bytes, out, end, between);
    };
    const std::span<const std::uint8_t> first =
        formed.first(formed.size() < SplitDifferencesFrom ? formed.size() : formed.size() / 2);
    const std::span<const std::uint8_t> second = formed.subspan(first.size());
    const std::span<const std::uint8_t> secondPreset =
        first.last(std::min(first.size(), SecondHalfPresetBytes));
    if (second.empty()) {
        code(first, coding.pieces[1], coding.end);
    } else if (settings_.threads <= 1) {
        code(first, coding.pieces[1], LzmaEncoder::End::Flush);
        code(second, coding.pieces[1], coding.end, secondPreset);
    } else {
        std::vector<std::uint8_t> secondCoded;
        std::future<void> secondJob = std::async(
            std::launch::async, [&] { code(second, secondCoded, coding.end, secondPreset); });
        // Waited for also when the first half's coding throws: the segment
        // is abandoned then, and the second's coder stops at its next piece.
        struct Wait {
            std::future<void>& job;
            ~Wait() {
                if (job.valid()) {
                    job.wait();
                }
            }
        } wait{secondJob};
        code(first, coding.pieces[1], LzmaEncoder::End::Flush);
        secondJob.get();
        coding.pieces[1].insert(coding.pieces[1].end(), secondCoded.begin(), secondCoded.end());
    }
    coding.streams[1] = {};
}

// Writes the oldest pending segment once its coding is complete.
void SegmentWriter::WritePending() {
    const std::unique_ptr<Coding> coding = std::move(pending_.front());
    pending_.pop_front();
    WaitPolled(coding->diff, progress_);
    WaitPolled(coding->others, progress_);
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

void FinishBody(ByteStream& out, SegmentWriter& segments, CompactHeader& header,
                std::int64_t headerAt, std::int32_t minor) {
    header.NewerCrc = segments.Finish();
    const std::int64_t end = out.Position();
    out.SetPosition(headerAt);
    WriteCompactHeader(out, header, minor);
    out.SetPosition(end);
}

} // namespace kestro
