// How far a long operation is, for a display and for a caller that may stop
// it. Whoever does the work calls its progress function on the calling
// thread as the work advances, and again with unchanged figures at least
// once for every few MiB of work of any kind (sorting, searching, coding,
// checksums), so that a caller can stop the work at any point by throwing
// from it: the failure then leaves the work like any other.
#pragma once

#include <cstdint>
#include <functional>

namespace kestro {

// What an operation is doing.
enum class Phase : std::uint8_t {
    Checksum,   // reading an input whole for its CRC-32
    Sorting,    // sorting the original's suffixes for the compact search
    Searching,  // finding the edits (compact format)
    Coding,     // coding the newer file into the delta
    Rebuilding, // rebuilding the newer file from a delta
    Verifying,  // reading a signed delta whole for its digest
};

struct Progress {
    Phase phase = Phase::Coding;
    // Bytes of the phase's work done, and in all.
    std::int64_t done = 0;
    std::int64_t total = 0;
    // Bytes of the newer file (creating) or of the rebuilt file (applying)
    // accounted for, and in all: one figure for the whole operation that
    // never goes back, whatever the phase.
    std::int64_t fileDone = 0;
    std::int64_t fileTotal = 0;
    // Of a whole release: its files accounted for, and in all (0 and 0 for
    // the work on a single file).
    std::int64_t itemsDone = 0;
    std::int64_t itemsTotal = 0;
};

using ProgressFunction = std::function<void(const Progress&)>;

// Counts steps of work and calls a function once every interval of them:
// the poll of a loop that does no file calls of its own. Cheap enough for
// the innermost loops: a step is one decrement and a test.
class WorkPoll {
public:
    explicit WorkPoll(std::function<void()> poll, std::uint32_t interval = 1u << 20)
        : poll_(std::move(poll)), interval_(interval), left_(interval) {}

    void Step() {
        if (--left_ == 0) {
            Fire();
        }
    }
    // count steps at once: a loop that counts its own steps calls this
    // every so many.
    void Step(std::uint32_t count) {
        if (left_ <= count) {
            Fire();
        } else {
            left_ -= count;
        }
    }
    // Calls the function now, and starts counting again.
    void Fire() {
        left_ = interval_;
        if (poll_) {
            poll_();
        }
    }

private:
    std::function<void()> poll_;
    std::uint32_t interval_;
    std::uint32_t left_;
};

} // namespace kestro
