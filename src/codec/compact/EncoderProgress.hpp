// What the compact writer's stages share while they run: the progress told
// to the caller, which is also where the caller may stop the writer, and
// the polled reading of large stretches of an input.
#pragma once

#include "common/Progress.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

namespace kestro {

class ByteStream;

// How often the encoder's caller is polled while the encoder waits for work
// on other threads (coders, searches).
inline constexpr std::chrono::milliseconds CoderPollInterval{50};

// The encoder's progress: the phase under way, how far it is, and the
// newer file's bytes accounted for. With a filter the search counts for
// the first half of them and the coding for the second; without one the
// two run as one pass, which is told as coding.
class EncoderProgress {
public:
    // The work starts with the sort of the original's first window, whose
    // size is its total: what the model's reading before it is told as.
    EncoderProgress(const ProgressFunction& told, std::int64_t newerSize, std::int64_t firstSort);
    // Whether the search and the coding are passes of their own (with a
    // filter), known once the filter is chosen.
    void CountTwoPasses(bool twoPasses) { twoPasses_ = twoPasses; }

    void Tell(Phase phase, std::int64_t done, std::int64_t total);
    std::int64_t FileDone() const { return now_.fileDone; }
    // Tells the figures as they stand: the poll of work that does not
    // advance them.
    void Poll() const;

private:
    const ProgressFunction& told_;
    bool twoPasses_ = false;
    Progress now_{Phase::Sorting};
};

// Reads count bytes into bytes, which holds them and nothing else after,
// in pieces with a poll after each; bytes grows a piece at a time as they
// arrive, since a window of 256 MiB takes a while only to clear.
void ReadPolled(ByteStream& in, std::vector<std::uint8_t>& bytes, std::int64_t count,
                const EncoderProgress& progress);

} // namespace kestro
