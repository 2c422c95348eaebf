// Little-endian integer fields of the delta file format, put into and taken
// out of byte areas. Every multi-byte integer in a delta file has this form.
#pragma once

#include <cstdint>

namespace kestro {

inline void PutLe16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline void PutLe64(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint16_t GetLe16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t GetLe32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

inline std::uint64_t GetLe64(const std::uint8_t* at) {
    return std::uint64_t{GetLe32(at)} | std::uint64_t{GetLe32(at + 4)} << 32;
}

} // namespace kestro
