// The compact writer's progress and its polled reads.
#include "codec/compact/EncoderProgress.hpp"

#include "common/ByteStream.hpp"

#include <algorithm>

namespace kestro {

namespace {

// The most the encoder reads in one call between two polls.
constexpr std::int64_t ReadPieceBytes = std::int64_t{8} << 20;

} // namespace

EncoderProgress::EncoderProgress(const ProgressFunction& told, std::int64_t newerSize,
                                 std::int64_t firstSort)
    : told_(told) {
    now_.total = firstSort;
    now_.fileTotal = newerSize;
}

void EncoderProgress::Tell(Phase phase, std::int64_t done, std::int64_t total) {
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

void EncoderProgress::Poll() const {
    if (told_) {
        told_(now_);
    }
}

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

} // namespace kestro
