// A checksum taken on the way: a read-only stream over another stream that
// runs the CRC-32 over every byte read through it. A file's checksum then
// comes from the very bytes that were used, in the same single pass, and a
// file that changes while it is read cannot give a checksum of other bytes.
#pragma once

#include "common/ByteStream.hpp"

#include <cstdint>

namespace kestro {

class Crc32Reader final : public ByteStream {
public:
    // Reads source from its current position on.
    explicit Crc32Reader(ByteStream& source) : source_(source) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Fails with EStreamError: the reader only reads.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return source_.Position(); }
    // Fails with EStreamError: a checksum over bytes in order cannot skip.
    void SetPosition(std::int64_t position) override;
    std::int64_t Size() const override { return source_.Size(); }

    // Reads the rest of the source, to its end, through the checksum.
    void ReadToEnd();
    // The CRC-32 of the bytes read so far.
    std::uint32_t Crc() const { return ~register_; }

private:
    ByteStream& source_;
    std::uint32_t register_ = 0xFFFFFFFFu;
};

} // namespace kestro
