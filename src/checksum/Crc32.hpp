// CRC-32 of IEEE 802.3 (the checksum of zlib and PNG): reflected polynomial
// 0xEDB88320, register preset to 0xFFFFFFFF, result complemented. It guards
// every block of a delta and the whole original file. Stored in files as
// four bytes, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestro {

class ByteStream;

// Runs the register crc over count bytes at data, without preset or final
// complement, so a checksum can be computed piece by piece.
std::uint32_t Crc32Update(const void* data, std::uint32_t crc, std::size_t count);

// The CRC-32 of length bytes at data; 0 for no bytes.
std::uint32_t Crc32Buffer(const void* data, std::size_t length);

// The CRC-32 of the whole content of a stream from its current position to
// its end, read in bounded chunks. Fails with EReadError "Stream read error"
// when the stream ends before the size it reported.
std::uint32_t StreamCrc32(ByteStream& stream);

} // namespace kestro
