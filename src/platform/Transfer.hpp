// Whole transfers over the port's single reads and writes.
#pragma once

#include "platform/Port.hpp"

#include <cstdint>

namespace kestro {

// Reads until count bytes have arrived or the data ends; -1 on a read error.
inline std::int64_t ReadFully(port::Handle file, void* buffer, std::int64_t count) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = port::ReadSome(file, at + done, count - done);
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

// The same from position on, leaving the file's position alone.
inline std::int64_t ReadFullyAt(port::Handle file, void* buffer, std::int64_t count,
                                std::int64_t position) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = port::ReadSomeAt(file, at + done, count - done, position + done);
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
