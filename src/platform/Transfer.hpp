// Whole transfers over the port's single reads and writes.
#pragma once

#include "platform/Port.hpp"

#include <cstdint>

namespace kestro {

// Reads until count bytes have arrived or the data ends, one readSome(at,
// n, done) at a time; -1 on a read error.
template <typename ReadSome>
std::int64_t ReadUntilFull(void* buffer, std::int64_t count, ReadSome readSome) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = readSome(at + done, count - done, done);
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

inline std::int64_t ReadFully(port::Handle file, void* buffer, std::int64_t count) {
    return ReadUntilFull(buffer, count, [file](void* at, std::int64_t n, std::int64_t) {
        return port::ReadSome(file, at, n);
    });
}

// The same from position on, leaving the file's position alone.
inline std::int64_t ReadFullyAt(port::Handle file, void* buffer, std::int64_t count,
                                std::int64_t position) {
    return ReadUntilFull(buffer, count,
                         [file, position](void* at, std::int64_t n, std::int64_t done) {
                             return port::ReadSomeAt(file, at, n, position + done);
                         });
}

// Writes until count bytes have been taken or the medium takes no more;
// returns how many were taken.
inline std::int64_t WriteFully(port::Handle file, const void* buffer, std::int64_t count) {
    const auto* at = static_cast<const unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = port::WriteSome(file, at + done, count - done);
        if (n <= 0) {
            break;
        }
        done += n;
    }
    return done;
}

} // namespace kestro
