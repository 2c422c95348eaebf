// What the compact body's writer and reader share besides its format
// (CompactFormat.hpp): a few fields' codings and the header's one
// writer, which CompactStream.cpp holds beside its reader.
#pragma once

#include "codec/compact/CompactStream.hpp"
#include "common/Failures.hpp"

#include <cstdint>
#include <vector>

namespace kestro {

class ByteStream;

// A number takes at most this many bytes of LEB128 in the control stream
// (63 bits).
inline constexpr int MaxVarintBytes = 9;

// Every refusal of a damaged body is the failure of a damaged block stream.
[[noreturn]] inline void Damaged() {
    throw Exception("CRC Error");
}

// A number as LEB128: seven bits a byte, lowest first, the top bit set on
// every byte but the last.
inline void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

// Reads one, taking its bytes from next(); more than MaxVarintBytes is
// damage.
template <typename NextByte>
std::uint64_t ReadVarint(NextByte next) {
    std::uint64_t value = 0;
    for (int i = 0; i < MaxVarintBytes; ++i) {
        const std::uint8_t byte = next();
        value |= std::uint64_t{byte & 0x7Fu} << (7 * i);
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    Damaged();
}

// The MiB chunks (ChunkBytes) of a segment of outputBytes, each with its CRC.
inline std::int64_t ChunksOf(std::int64_t outputBytes) {
    return (outputBytes + ChunkBytes - 1) / ChunkBytes;
}

// The move of the old position, signed, as the unsigned number the control
// stream holds: 2M for M >= 0, -2M - 1 for M < 0.
inline std::uint64_t ZigZag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t UnZigZag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Writes the body header of format 2.minor, with the newer layout, table
// list and preset of the image filter where it is on.
void WriteCompactHeader(ByteStream& out, const CompactHeader& header, std::int32_t minor);

} // namespace kestro
