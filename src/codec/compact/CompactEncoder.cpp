// The compact body's writer: the search for edits (twice with the image
// filter), the filters' predictions, and the three streams' coders.
#include "checksum/Crc32.hpp"
#include "codec/compact/ApproximateMatch.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/Lzma.hpp"
#include "codec/compact/ModelFilter.hpp"
#include "codec/compact/SuffixArray.hpp"
#include "codec/compact/X86Filter.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"
#include "common/Progress.hpp"
#include "exe/Image.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
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
constexpr std::uint32_t DiffNiceLength = 273;
constexpr std::uint32_t SparseDiffNiceLength = 128;
constexpr std::size_t SparseDifferences = 1024;
// The extra stream's match finder. Binary trees code it 1 to 2 % smaller
// than hash chains on large programs, and, unlike hash chains, best with a
// search that ends at a match of 64 bytes (smaller and faster than at the
// longest). But they take about 3 s to read an 8 MiB preset, where hash
// chains take 0.3 s: a start that hides beside the second suffix sort
// only where the original is at least ExtraTreesFrom presets long. A
// smaller original, or a body without a preset, keeps hash chains and the
// longest matches.
constexpr std::int64_t ExtraTreesFrom = 4;
constexpr std::uint32_t ExtraTreesNiceLength = 64;
constexpr std::uint32_t ExtraChainsNiceLength = 273;
// Segments being coded at once at most: each holds its streams and its
// difference stream's coder.
constexpr std::size_t MaxSegmentsCoding = 2;
// How often the encoder's caller is polled while the encoder waits for its
// coders on other threads.
constexpr std::chrono::milliseconds CoderPollInterval{50};
// The most the encoder reads in one call between two polls.
constexpr std::int64_t ReadPieceBytes = std::int64_t{8} << 20;

void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
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
    // The work starts with the sort of the original's first window, whose
    // size is its total: what the model's reading before it is told as.
    EncoderProgress(const ProgressFunction& told, std::int64_t newerSize, std::int64_t firstSort)
        : told_(told) {
        now_.total = firstSort;
        now_.fileTotal = newerSize;
    }
    // Whether the search and the coding are passes of their own (with a
    // filter), known once the filter is chosen.
    void CountTwoPasses(bool twoPasses) { twoPasses_ = twoPasses; }

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
    std::int64_t FileDone() const { return now_.fileDone; }
    // Tells the figures as they stand: the poll of work that does not
    // advance them.
    void Poll() const {
        if (told_) {
            told_(now_);
        }
    }

private:
    const ProgressFunction& told_;
    bool twoPasses_ = false;
    Progress now_{Phase::Sorting};
};

// Cuts the edits into segments, fills each segment's three streams and
// writes it once it holds SegmentBytes of output (or the file ends).
class SegmentWriter {
public:
    // A filter's prediction of an edit's old bytes, which it rewrites: the
    // edit takes them from oldStart on to newStart in the newer file.
    using Predict = std::function<void(std::span<std::uint8_t> bytes, std::int64_t oldStart,
                                       std::int64_t newStart)>;

    // predict, where set, is the body's filter.
    SegmentWriter(ByteStream& out, const CompactHeader& header, const CompactSettings& settings,
                  EncoderProgress& progress, Predict predict)
        : out_(out), settings_(settings), progress_(progress), newerSize_(header.NewerSize),
          control_({header.ControlDictionary, CompactLevel, 0, {}}),
          diffDictionary_(header.DiffDictionary), predict_(std::move(predict)) {}

    // Starts the extra stream's coder, which must be started before the
    // first segment is written. preset is the original's bytes the header
    // names for its dictionary. Starting reads all of them into its match
    // finder, up to 3 s for 8 MiB: with more than one thread it starts on
    // one of its own, beside the search, and is waited for when the first
    // segment is coded.
    void StartExtra(std::uint32_t dictionary, std::vector<std::uint8_t> preset,
                    std::int64_t originalSize) {
        const bool trees =
            !preset.empty() &&
            originalSize >= ExtraTreesFrom * static_cast<std::int64_t>(preset.size());
        auto start = [dictionary, preset = std::move(preset), trees] {
            return LzmaEncoder({dictionary, CompactLevel,
                                trees ? ExtraTreesNiceLength : ExtraChainsNiceLength, preset,
                                !trees});
        };
        startingExtra_ = std::async(
            settings_.threads > 1 ? std::launch::async : std::launch::deferred, std::move(start));
    }

    // Adds an edit of the newer bytes at newer (DiffLength + ExtraLength of
    // them) against old, which holds the original from oldBase on.
    void Add(Edit edit, const std::uint8_t* newer, const std::uint8_t* old, std::int64_t oldBase) {
        std::int64_t oldStart = oldBase + edit.OldStart;
        while (edit.DiffLength + edit.ExtraLength > 0) {
            const std::int64_t room = SegmentBytes - output_;
            const std::int64_t diff = std::min(edit.DiffLength, room);
            const std::int64_t extra = std::min(edit.ExtraLength, room - diff);
            PutVarint(streams_[0], ZigZag(oldStart - oldPosition_));
            PutVarint(streams_[0], static_cast<std::uint64_t>(diff));
            PutVarint(streams_[0], static_cast<std::uint64_t>(extra));
            const std::uint8_t* from = old + (oldStart - oldBase);
            if (predict_) {
                // Each edit is predicted whole, as the reader predicts it.
                predicted_.assign(from, from + diff);
                predict_(predicted_, oldStart, done_ + output_);
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

    // Hands the filled segment to its coders, and writes the oldest one
    // still pending once MaxSegmentsCoding are. The difference stream, most
    // of the work, starts anew in each segment (its first chunk resets the
    // dictionary), so segments' difference pieces are coded at once on
    // threads of their own; the control and extra streams run on through
    // the segments on one more, each segment after the one before. With one
    // thread all of it runs here, in the same order; no byte changes.
    void WriteSegment(LzmaEncoder::End end) {
        if (!extra_) {
            extra_.emplace(startingExtra_.get());
        }
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
        if (pending_.size() >= MaxSegmentsCoding) {
            WritePending();
        }
        if (settings_.threads > 1) {
            // A coder on another thread stops between pieces of its input
            // once the segment is abandoned.
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
                                Code(*extra_, coding, 2, stop);
                            }).share();
            others_ = coding.others;
        } else {
            const auto poll = [this] { progress_.Poll(); };
            CodeDifferences(coding, poll);
            Code(control_, coding, 0, poll);
            Code(*extra_, coding, 2, poll);
        }
        pending_.push_back(std::move(segment));
        if (end == LzmaEncoder::End::Finish) {
            while (!pending_.empty()) {
                WritePending();
            }
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

    void Code(LzmaEncoder& coder, Coding& coding, std::size_t stream,
              const std::function<void()>& between) {
        coder.Code(coding.streams[stream], coding.pieces[stream], coding.end, between);
        coding.streams[stream] = {};
    }

    void CodeDifferences(Coding& coding, const std::function<void()>& between) {
        const std::vector<std::uint8_t>& bytes = coding.streams[1];
        const auto nonzero =
            static_cast<std::size_t>(bytes.size() - std::count(bytes.begin(), bytes.end(), 0));
        const std::uint32_t nice =
            nonzero * SparseDifferences < bytes.size() ? SparseDiffNiceLength : DiffNiceLength;
        LzmaEncoder coder({diffDictionary_, CompactLevel, nice, {}, false, 0, 0});
        Code(coder, coding, 1, between);
    }

    // Writes the oldest pending segment once its coding is complete.
    void WritePending() {
        const std::unique_ptr<Coding> coding = std::move(pending_.front());
        pending_.pop_front();
        // Polled while it waits, so that the caller may stop the encoder
        // meanwhile.
        if (coding->diff.valid()) {
            while (coding->diff.wait_for(CoderPollInterval) != std::future_status::ready) {
                progress_.Poll();
            }
            coding->diff.get();
        }
        if (coding->others.valid()) {
            while (coding->others.wait_for(CoderPollInterval) != std::future_status::ready) {
                progress_.Poll();
            }
            coding->others.get();
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
    LzmaEncoder control_;
    std::future<LzmaEncoder> startingExtra_;
    std::optional<LzmaEncoder> extra_;
    std::uint32_t diffDictionary_;
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
    Predict predict_;
    std::vector<std::uint8_t> predicted_; // an edit's old bytes as the filter predicts them
};

// The candidate tables that the image filter predicts better than it
// leaves them: projected through map, more of the entries it can check
// (those of a table the map places) are right than were right as they
// stood, by a quarter of the table and by at least MinTableGain entries,
// which pay for the table's place in the header's list (12 bytes; a
// mispredicted entry costs about 2 in the difference stream).
constexpr std::int64_t MinTableGain = 6;
std::vector<OffsetTable> ChooseTables(const std::vector<OffsetTable>& candidates,
                                      const ReferenceMap& map, ByteStream& original,
                                      ByteStream& newer, const Image& image,
                                      const ImageLayout& layout,
                                      const std::function<void()>& poll) {
    std::vector<OffsetTable> chosen;
    const std::vector<AddressSlot> noSlots;
    const ModelPredictor projection(image, noSlots, candidates, layout, map, poll);
    WorkPoll steps(poll);
    std::vector<std::uint8_t> old;
    for (const OffsetTable& table : candidates) {
        old.resize(4 * std::size_t{table.entries});
        if (original.ReadAt(static_cast<std::int64_t>(table.offset), old.data(),
                            static_cast<std::int64_t>(old.size())) !=
            static_cast<std::int64_t>(old.size())) {
            throw EReadError("Stream read error");
        }
        std::vector<std::uint8_t> predicted = old;
        projection.Project(predicted, table.offset);
        std::int64_t gain = 0;
        for (std::uint64_t i = 0; i < table.entries; ++i) {
            steps.Step();
            const std::optional<std::int64_t> placed =
                map.NewPosition(static_cast<std::int64_t>(table.offset + 4 * i));
            std::uint8_t now[4];
            if (!placed || newer.ReadAt(*placed, now, 4) != 4) {
                continue;
            }
            gain += std::memcmp(now, &predicted[4 * i], 4) == 0 ? 1 : 0;
            gain -= std::memcmp(now, &old[4 * i], 4) == 0 ? 1 : 0;
        }
        if (4 * gain > std::int64_t{table.entries} && gain >= MinTableGain) {
            chosen.push_back(table);
        }
    }
    return chosen;
}

// The newer bytes one search works through at a time: the searches of a
// part's pieces are independent, and run on as many threads as the encoder
// has, while the edits stay the same whatever the number.
constexpr std::int64_t SearchPieceBytes = std::int64_t{4} << 20;

// The edits of part against window, a piece at a time, the pieces on up
// to threads threads; OldStart in the window. The calling thread tells
// progress (the bytes of the part searched, through told) while it waits,
// and a throw from it stops the other threads' searches too.
std::vector<Edit> SearchPart(std::span<const std::uint8_t> part,
                             std::span<const std::uint8_t> window,
                             std::span<const std::int32_t> suffixes, std::int32_t threads,
                             const std::function<void(std::int64_t searched)>& told) {
    const auto size = static_cast<std::int64_t>(part.size());
    const std::int64_t pieces =
        std::max<std::int64_t>(1, (size + SearchPieceBytes - 1) / SearchPieceBytes);
    std::vector<std::vector<Edit>> found(static_cast<std::size_t>(pieces));
    const auto piece = [&](std::int64_t index) {
        const std::int64_t start = index * SearchPieceBytes;
        return part.subspan(static_cast<std::size_t>(start),
                            static_cast<std::size_t>(std::min(SearchPieceBytes, size - start)));
    };
    const std::int64_t workers = std::min<std::int64_t>(threads, pieces);
    if (workers <= 1) {
        for (std::int64_t index = 0; index < pieces; ++index) {
            FindEdits(
                piece(index), window, suffixes,
                [&](const Edit& edit) { found[static_cast<std::size_t>(index)].push_back(edit); },
                [&](std::int64_t searched) { told(index * SearchPieceBytes + searched); });
        }
    } else {
        std::atomic<std::int64_t> next{0};
        std::atomic<std::int64_t> searched{0};
        std::atomic<bool> abandoned{false};
        const auto work = [&] {
            for (std::int64_t index = next++; index < pieces; index = next++) {
                std::int64_t counted = 0;
                FindEdits(
                    piece(index), window, suffixes,
                    [&](const Edit& edit) {
                        found[static_cast<std::size_t>(index)].push_back(edit);
                    },
                    [&](std::int64_t now) {
                        if (abandoned.load()) {
                            throw Exception("Search abandoned");
                        }
                        searched += now - counted;
                        counted = now;
                    });
                searched += static_cast<std::int64_t>(piece(index).size()) - counted;
            }
        };
        std::vector<std::future<void>> jobs;
        // Every job is waited for before this frame goes, also when a poll
        // throws: its searches stop at their next poll.
        struct Join {
            std::vector<std::future<void>>& jobs;
            std::atomic<bool>& abandoned;
            ~Join() {
                abandoned = true;
                for (std::future<void>& job : jobs) {
                    if (job.valid()) {
                        job.wait();
                    }
                }
            }
        } join{jobs, abandoned};
        for (std::int64_t i = 0; i < workers; ++i) {
            jobs.push_back(std::async(std::launch::async, work));
        }
        for (std::future<void>& job : jobs) {
            while (job.wait_for(CoderPollInterval) != std::future_status::ready) {
                told(searched.load());
            }
        }
        for (std::future<void>& job : jobs) {
            job.get();
        }
    }
    std::vector<Edit> edits;
    for (std::int64_t index = 0; index < pieces; ++index) {
        for (const Edit& edit : found[static_cast<std::size_t>(index)]) {
            edits.push_back(edit);
        }
    }
    return edits;
}

// Cuts the edit that covers newer offset cut (edits start at newer offset
// 0 and follow each other) in two there; nothing where an edit starts
// there already. Returns the index of the edit that starts at cut.
std::size_t CutEdits(std::vector<Edit>& edits, std::int64_t cut) {
    std::int64_t at = 0;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const std::int64_t length = edits[i].DiffLength + edits[i].ExtraLength;
        if (at == cut) {
            return i;
        }
        if (cut < at + length) {
            Edit first = edits[i];
            Edit rest = edits[i];
            const std::int64_t head = cut - at;
            if (head < first.DiffLength) {
                first.DiffLength = head;
                first.ExtraLength = 0;
                rest.OldStart += head;
                rest.DiffLength -= head;
            } else {
                first.ExtraLength = head - first.DiffLength;
                rest.OldStart += first.DiffLength;
                rest.DiffLength = 0;
                rest.ExtraLength -= first.ExtraLength;
            }
            edits[i] = first;
            edits.insert(edits.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest);
            return i + 1;
        }
        at += length;
    }
    return edits.size();
}

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

// Reads count bytes into bytes, which holds them and nothing else after,
// in pieces with a poll after each; bytes grows a piece at a time as they
// arrive, since a window of 256 MiB takes a while only to clear.
void ReadPolled(ByteStream& in, std::vector<std::uint8_t>& bytes, std::int64_t count,
                const EncoderProgress& progress) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(count));
    while (static_cast<std::int64_t>(bytes.size()) < count) {
        const std::int64_t piece =
            std::min(count - static_cast<std::int64_t>(bytes.size()), ReadPieceBytes);
        bytes.resize(bytes.size() + static_cast<std::size_t>(piece));
        in.ReadBuffer(bytes.data() + bytes.size() - piece, piece);
        progress.Poll();
    }
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
    // The middles of the edits that start in that part, weighted by their
    // difference bytes.
    std::vector<std::pair<std::int64_t, std::int64_t>> taken;
    std::int64_t weight = 0;
    newStart = 0;
    for (const Edit& edit : edits) {
        if (edit.DiffLength > 0 && newStart >= from && newStart < from + size) {
            taken.emplace_back(edit.OldStart + edit.DiffLength / 2, edit.DiffLength);
            weight += edit.DiffLength;
        }
        newStart += edit.DiffLength + edit.ExtraLength;
    }
    std::int64_t centre = 0;
    if (most > 0 && !taken.empty()) {
        std::sort(taken.begin(), taken.end());
        std::int64_t passed = 0;
        for (const auto& [middle, bytes] : taken) {
            passed += bytes;
            if (2 * passed >= weight) {
                centre = middle;
                break;
            }
        }
    } else {
        const ImageSection* code = nullptr;
        for (const ImageSection& section : original.sections) {
            if (section.code && (code == nullptr || section.fileSize > code->fileSize)) {
                code = &section;
            }
        }
        centre = code != nullptr ? static_cast<std::int64_t>(code->fileOffset + code->fileSize) : 0;
    }
    return std::clamp<std::int64_t>(centre - size / 2, 0, originalSize - size);
}

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
    // The image filter where both files are images of one instruction set
    // the model knows, else the x86 filter for an x86 program, as far as
    // the readers asked for know them.
    EncoderProgress progress(settings.progress, newerSize,
                             std::min(originalSize, settings.windowBytes));
    // The poll of the model's loops, which tell no figures of their own.
    const std::function<void()> poll = [&progress] { progress.Poll(); };
    Image originalImage;
    Image newerImage;
    std::vector<AddressSlot> originalSlots;
    std::vector<AddressSlot> newerSlots;
    if (settings.maxMinor >= 2) {
        originalImage = ReadImage(original);
        newerImage = ReadImage(newer);
        if (originalImage.Known() && newerImage.Known() &&
            originalImage.machine == newerImage.machine &&
            newerImage.sections.size() <= MaxLayoutSections) {
            header.Filters = CompactFilterImage;
            header.Newer = LayoutOf(newerImage);
            originalSlots = ReadAddressSlots(original, originalImage, poll);
            newerSlots = ReadAddressSlots(newer, newerImage, poll);
        }
    }
    if (settings.maxMinor >= 1 && header.Filters == 0) {
        std::vector<std::uint8_t> start(
            static_cast<std::size_t>(std::min<std::int64_t>(originalSize, 4096)));
        original.SetPosition(0);
        original.ReadBuffer(start.data(), static_cast<std::int64_t>(start.size()));
        header.Filters = IsX86Program(start) ? CompactFilterX86 : 0;
    }
    newer.SetPosition(0);
    const bool image = header.Filters == CompactFilterImage;
    const std::int32_t minor = image ? 2 : header.Filters != 0 ? 1 : 0;
    const std::int64_t headerAt = out.Position();

    // Without a filter each edit is coded as it is found, in one pass that
    // reads each input once. With one, all the edits come first, since a
    // filter predicts a value from where the edits put its target, which
    // may lie anywhere in the newer file; a last pass over the newer file
    // then codes them. The image filter searches twice: first both files
    // with their references erased (MaskReferences), so that code whose
    // references all moved still matches whole; then the newer file as it
    // is in the original as the first search's edits project it
    // (ModelPredictor::Project), where every reference and table that the
    // projection gets right matches exactly.
    const bool filtered = header.Filters != 0;
    progress.CountTwoPasses(filtered);
    // The tables of offsets the image filter may predict, found in the
    // whole original where it fits one window.
    std::vector<OffsetTable> candidates;
    if (image && originalSize <= settings.windowBytes) {
        std::vector<std::uint8_t> all;
        original.SetPosition(0);
        ReadPolled(original, all, originalSize, progress);
        candidates = FindOffsetTables(all, 0, originalImage, poll);
    }
    std::vector<std::uint8_t> part;
    std::vector<std::uint8_t> window;
    std::vector<std::int32_t> suffixes;
    enum class View : std::uint8_t { Raw, Masked, Projected };
    const ModelPredictor* projector = nullptr;
    // The window loaded: its range, and how its bytes are seen.
    struct Loaded {
        std::int64_t start = 0;
        std::int64_t end = 0;
        View view = View::Raw;
    };
    std::optional<Loaded> loaded;
    // The unwind records' owners that the second search sees.
    std::vector<OwnerMark> oldMarks;
    std::vector<OwnerMark> newMarks;
    const auto load = [&](std::pair<std::int64_t, std::int64_t> wanted, View view, bool sorted) {
        if (!loaded || loaded->start != wanted.first || loaded->end != wanted.second ||
            loaded->view != view) {
            suffixes = {};
            original.SetPosition(wanted.first);
            ReadPolled(original, window, wanted.second - wanted.first, progress);
            const auto start = static_cast<std::uint64_t>(wanted.first);
            if (view == View::Masked) {
                MaskReferences(window, start, originalImage, originalSlots, poll);
            } else if (view == View::Projected) {
                projector->Project(window, start);
                ApplyMarks(window, start, oldMarks);
            }
            loaded = Loaded{wanted.first, wanted.second, view};
        }
        if (sorted && suffixes.empty()) {
            const auto windowSize = static_cast<std::int64_t>(window.size());
            progress.Tell(Phase::Sorting, 0, windowSize);
            suffixes = BuildSuffixArray(window, [&](std::int64_t done) {
                progress.Tell(Phase::Sorting, done, windowSize);
            });
        }
    };
    // The newer file masked whole, where it fits one window, for the first
    // search to take its parts from: a reference or table entry is masked
    // to a label read at its target, which may lie in another part (code
    // calls across parts, and its tables lie after it), and a label the
    // part cannot see would differ from the original's.
    std::vector<std::uint8_t> maskedNewer;
    const auto readPart = [&](std::int64_t partStart, View view) {
        const std::int64_t length = std::min(settings.partBytes, newerSize - partStart);
        if (view == View::Masked && newerSize <= settings.windowBytes) {
            if (partStart == 0) {
                ReadPolled(newer, maskedNewer, newerSize, progress);
                MaskReferences(maskedNewer, 0, newerImage, newerSlots, poll);
            }
            const auto from = maskedNewer.begin() + partStart;
            part.assign(from, from + length);
        } else {
            ReadPolled(newer, part, length, progress);
            if (view == View::Masked) {
                MaskReferences(part, static_cast<std::uint64_t>(partStart), newerImage, newerSlots,
                               poll);
            }
        }
        return WindowFor(partStart, static_cast<std::int64_t>(part.size()), newerSize, originalSize,
                         settings.windowBytes);
    };

    const AddressTable addresses =
        header.Filters == CompactFilterX86 ? ReadAddressTable(original) : AddressTable();
    ReferenceMap map(image ? SIZE_MAX : ReferenceMap::MaxStretches);
    std::unique_ptr<ReferencePredictor> x86;
    std::unique_ptr<ModelPredictor> model;
    SegmentWriter::Predict predict;
    const std::uint8_t* windowData = nullptr; // the window of the edit being added
    std::int64_t windowStart = 0;
    if (header.Filters == CompactFilterX86) {
        x86 = std::make_unique<ReferencePredictor>(
            map, addresses, originalSize,
            [&](std::int64_t at, std::uint8_t* to, std::int64_t count) {
                std::memcpy(to, windowData + (at - windowStart), static_cast<std::size_t>(count));
            });
        predict = [&](std::span<std::uint8_t> bytes, std::int64_t oldStart, std::int64_t newStart) {
            x86->StartEdit(oldStart, static_cast<std::int64_t>(bytes.size()), newStart);
            x86->Predict(bytes, oldStart);
        };
    } else if (image) {
        predict = [&](std::span<std::uint8_t> bytes, std::int64_t oldStart, std::int64_t newStart) {
            model->Predict(bytes, static_cast<std::uint64_t>(oldStart),
                           static_cast<std::uint64_t>(newStart));
        };
    }
    // With the image filter the extra stream's dictionary starts with a
    // stretch of the original (new code and data often repeat pieces of the
    // old), chosen once the first search has found where the newer file's
    // new bytes are (PresetStart).
    if (image) {
        header.PresetSize = static_cast<std::uint32_t>(std::clamp<std::int64_t>(
            std::min(originalSize, settings.presetBytes), 0, CompactPresetBytes));
        header.ExtraDictionary =
            DictionaryFor(header.NewerSize + header.PresetSize, ExtraDictionaryLimit);
    }
    SegmentWriter segments(out, header, settings, progress, predict);
    if (!image) {
        segments.StartExtra(header.ExtraDictionary, {}, originalSize);
    }
    // Segments follow the header, which is complete but for its CRC and, with
    // a filter, its table list once the search has chosen it.
    if (!filtered) {
        WriteCompactHeader(out, header, minor);
    }
    std::vector<Edit> edits; // OldStart in the whole original
    std::vector<std::size_t> partEnds;
    const Phase searching = filtered ? Phase::Searching : Phase::Coding;
    // One search over the newer file, its edits kept (with a filter) or
    // coded as they are found.
    const auto search = [&](View view, std::int64_t counted, std::int64_t of) {
        newer.SetPosition(0);
        edits.clear();
        partEnds.clear();
        for (std::int64_t partStart = 0; partStart < newerSize; partStart += settings.partBytes) {
            const auto wanted =
                readPart(partStart, view == View::Masked ? View::Masked : View::Raw);
            if (view == View::Projected) {
                ApplyMarks(part, static_cast<std::uint64_t>(partStart), newMarks);
            }
            load(wanted, view, true);
            const std::uint8_t* at = part.data();
            for (const Edit& edit :
                 SearchPart(part, window, suffixes, settings.threads, [&](std::int64_t searched) {
                     progress.Tell(searching, (counted + partStart + searched) / of, newerSize);
                 })) {
                if (!filtered) {
                    segments.Add(edit, at, window.data(), wanted.first);
                    at += edit.DiffLength + edit.ExtraLength;
                    continue;
                }
                edits.push_back({edit.OldStart + wanted.first, edit.DiffLength, edit.ExtraLength});
            }
            progress.Tell(searching,
                          (counted + partStart + static_cast<std::int64_t>(part.size())) / of,
                          newerSize);
            partEnds.push_back(edits.size());
        }
        suffixes = {};
        maskedNewer = {};
    };
    const auto mapEdits = [&edits](ReferenceMap& into) {
        std::int64_t newStart = 0;
        for (const Edit& edit : edits) {
            into.Add(edit.OldStart, edit.DiffLength, newStart);
            newStart += edit.DiffLength + edit.ExtraLength;
        }
        into.Seal();
    };
    // Searches the newer bytes from newerAt on once more, as newerView, in
    // oldView, which stands for the original from oldAt on, and puts the
    // edits found in place of those that covered them. The edits of other
    // bytes stay as they are.
    const auto searchAgain = [&](std::int64_t newerAt, std::span<const std::uint8_t> newerView,
                                 std::int64_t oldAt, std::span<const std::uint8_t> oldView) {
        std::vector<Edit> local;
        FindEdits(newerView, oldView, BuildSuffixArray(oldView), [&](const Edit& edit) {
            local.push_back({edit.OldStart + oldAt, edit.DiffLength, edit.ExtraLength});
        });
        const std::size_t first = CutEdits(edits, newerAt);
        const std::size_t last =
            CutEdits(edits, newerAt + static_cast<std::int64_t>(newerView.size()));
        edits.erase(edits.begin() + static_cast<std::ptrdiff_t>(first),
                    edits.begin() + static_cast<std::ptrdiff_t>(last));
        edits.insert(edits.begin() + static_cast<std::ptrdiff_t>(first), local.begin(),
                     local.end());
    };
    // The bytes of a PE directory as the file holds them, and their offset.
    const auto readDirectory =
        [](ByteStream& file, const Image& of,
           std::uint32_t index) -> std::pair<std::int64_t, std::vector<std::uint8_t>> {
        if (of.directories.size() <= index) {
            return {};
        }
        const std::optional<std::uint64_t> at = of.OffsetOf(of.directories[index].address);
        const std::int64_t size = file.Size();
        if (!at || *at >= static_cast<std::uint64_t>(size)) {
            return {};
        }
        const auto offset = static_cast<std::int64_t>(*at);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(
            std::min<std::int64_t>(of.directories[index].size, size - offset)));
        if (file.ReadAt(offset, bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
            static_cast<std::int64_t>(bytes.size())) {
            throw EReadError("Stream read error");
        }
        return {offset, std::move(bytes)};
    };
    // A table's projection depends on the edits of everything it lists,
    // which the second search changed: the exception table, whose entries
    // name the functions and their unwind records, and the relocation
    // table, which lists every pointer. Each is searched once more against
    // its projection by the edits as they now stand, which is what the
    // reader predicts. Neither lists places in the other, nor in itself.
    const auto searchTablesAgain = [&] {
        constexpr std::uint32_t ExceptionDirectory = 3;
        constexpr std::uint32_t RelocationDirectory = 5;
        ReferenceMap found(SIZE_MAX);
        mapEdits(found);
        const ModelPredictor projection(originalImage, originalSlots, header.Tables, header.Newer,
                                        found, poll);
        auto [oldAt, functions] = readDirectory(original, originalImage, ExceptionDirectory);
        const auto [newerAt, table] = readDirectory(newer, newerImage, ExceptionDirectory);
        if (!functions.empty() && !table.empty()) {
            projection.Project(functions, static_cast<std::uint64_t>(oldAt));
            searchAgain(newerAt, table, oldAt, functions);
        }
        const auto tableAt = static_cast<std::int64_t>(projection.RelocationsAt());
        const auto [relocationsAt, relocations] =
            readDirectory(newer, newerImage, RelocationDirectory);
        if (!projection.Relocations().empty() && !relocations.empty()) {
            searchAgain(
                relocationsAt, relocations, tableAt,
                projection.Relocations().first(static_cast<std::size_t>(std::min<std::int64_t>(
                    static_cast<std::int64_t>(projection.Relocations().size()),
                    originalSize - tableAt))));
        }
        // Each part's edits end where the part does.
        partEnds.clear();
        for (std::int64_t partEnd = settings.partBytes; partEnd < newerSize;
             partEnd += settings.partBytes) {
            partEnds.push_back(CutEdits(edits, partEnd));
        }
        partEnds.push_back(edits.size());
    };
    if (image) {
        search(View::Masked, 0, 2);
        const auto presetSize = static_cast<std::int64_t>(header.PresetSize);
        const std::int64_t presetAt = PresetStart(edits, presetSize, originalSize, originalImage);
        header.PresetOffset = static_cast<std::uint64_t>(presetAt);
        std::vector<std::uint8_t> preset(static_cast<std::size_t>(presetSize));
        if (original.ReadAt(presetAt, preset.data(), presetSize) != presetSize) {
            throw EReadError("Stream read error");
        }
        segments.StartExtra(header.ExtraDictionary, std::move(preset), originalSize);
        ReferenceMap first(SIZE_MAX);
        mapEdits(first);
        header.Tables =
            ChooseTables(candidates, first, original, newer, originalImage, header.Newer, poll);
        candidates = {};
        const ModelPredictor firstModel(originalImage, originalSlots, header.Tables, header.Newer,
                                        first, poll);
        std::tie(oldMarks, newMarks) =
            MarkUnwindOwners(original, originalImage, newer, newerImage, first, poll);
        projector = &firstModel;
        search(View::Projected, newerSize, 2);
        loaded.reset();
        projector = nullptr;
        oldMarks = {};
        newMarks = {};
        if (originalSize <= settings.windowBytes) {
            searchTablesAgain();
        }
    } else {
        search(View::Raw, 0, 1);
    }
    if (filtered) {
        mapEdits(map);
        if (image && map.Recorded() > MaxImageStretches(header.OriginalSize)) {
            // Edits this many would be refused by a reader of the image
            // filter (no real update comes near): the body goes without it.
            // Nothing is written yet; the progress told goes on from where
            // it stands.
            CompactSettings without = settings;
            without.maxMinor = std::min(settings.maxMinor, std::int32_t{1});
            if (settings.progress) {
                without.progress = [&settings, reached = progress.FileDone()](Progress told) {
                    told.fileDone = std::max(told.fileDone, reached);
                    settings.progress(told);
                };
            }
            newer.SetPosition(0);
            original.SetPosition(0);
            out.SetPosition(headerAt);
            return EncodeCompactBody(newer, original, out, without);
        }
        WriteCompactHeader(out, header, minor);
        if (image) {
            model = std::make_unique<ModelPredictor>(originalImage, originalSlots, header.Tables,
                                                     header.Newer, map, poll);
        }
        progress.Tell(Phase::Coding, 0, newerSize);
        newer.SetPosition(0);
        std::size_t next = 0;
        for (std::int64_t partStart = 0, index = 0; partStart < newerSize;
             partStart += settings.partBytes, ++index) {
            const auto wanted = readPart(partStart, View::Raw);
            load(wanted, View::Raw, false);
            windowData = window.data();
            windowStart = wanted.first;
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

} // namespace kestro
