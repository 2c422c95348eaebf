#include "checksum/Crc32Reader.hpp"

#include "checksum/Crc32.hpp"
#include "common/Failures.hpp"

#include <vector>

namespace kestro {

std::int64_t Crc32Reader::Read(void* buffer, std::int64_t count) {
    const std::int64_t n = source_.Read(buffer, count);
    register_ = Crc32Update(buffer, register_, static_cast<std::size_t>(n));
    return n;
}

std::int64_t Crc32Reader::Write(const void*, std::int64_t) {
    throw EStreamError("Cannot write to a checksum reader");
}

void Crc32Reader::SetPosition(std::int64_t) {
    throw EStreamError("Cannot set the position of a checksum reader");
}

void Crc32Reader::ReadToEnd() {
    std::vector<std::uint8_t> buffer(1 << 18);
    while (Read(buffer.data(), static_cast<std::int64_t>(buffer.size())) > 0) {
    }
}

} // namespace kestro
