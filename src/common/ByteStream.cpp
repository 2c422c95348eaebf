#include "common/ByteStream.hpp"

#include "common/Failures.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace kestro {

void ByteStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count != 0 && Read(buffer, count) != count) {
        throw EReadError("Stream read error");
    }
}

std::int64_t ByteStream::ReadAt(std::int64_t position, void* buffer, std::int64_t count) {
    SetPosition(position);
    return Read(buffer, count);
}

void ByteStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count != 0 && Write(buffer, count) != count) {
        throw EWriteError("Stream write error");
    }
}

void ByteStream::CopyFrom(ByteStream& source, std::int64_t count) {
    constexpr std::int64_t chunk = 1 << 16;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, chunk)));
    while (count > 0) {
        const std::int64_t n = std::min(count, chunk);
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        count -= n;
    }
}

std::int64_t SliceStream::Read(void* buffer, std::int64_t count) {
    const std::int64_t n = ReadAt(position_, buffer, count);
    position_ += n;
    return n;
}

std::int64_t SliceStream::ReadAt(std::int64_t position, void* buffer, std::int64_t count) {
    if (position < 0 || position >= size_ || count <= 0) {
        return 0;
    }
    return inner_.ReadAt(start_ + position, buffer, std::min(count, size_ - position));
}

std::int64_t SliceStream::Write(const void*, std::int64_t) {
    throw EStreamError("A slice of a stream is read only");
}

std::int64_t MemoryStream::Read(void* buffer, std::int64_t count) {
    const std::int64_t available = std::max<std::int64_t>(Size() - position_, 0);
    const std::int64_t n = std::clamp<std::int64_t>(count, 0, available);
    if (n > 0) {
        std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
        position_ += n;
    }
    return n;
}

std::int64_t MemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    const std::int64_t end = position_ + count;
    if (end > Size()) {
        try {
            if (static_cast<std::uint64_t>(end) > bytes_.max_size()) {
                throw std::bad_alloc();
            }
            bytes_.resize(static_cast<std::size_t>(end));
        } catch (const std::bad_alloc&) {
            throw EStreamError("Out of memory while expanding memory stream");
        }
    }
    std::memcpy(bytes_.data() + position_, buffer, static_cast<std::size_t>(count));
    position_ = end;
    return count;
}

void MemoryStream::SetPosition(std::int64_t position) {
    // A position past the end is allowed, as for files: a later write fills
    // the gap with zeros, a read there returns nothing.
    position_ = std::max<std::int64_t>(position, 0);
}

std::int64_t CountingStream::Read(void* buffer, std::int64_t count) {
    return Passed(inner_.Read(buffer, count));
}

std::int64_t CountingStream::Write(const void* buffer, std::int64_t count) {
    return Passed(inner_.Write(buffer, count));
}

std::int64_t CountingStream::Passed(std::int64_t n) {
    if (n > 0) {
        passed_ += n;
        told_(passed_);
    }
    return n;
}

std::int64_t DiscardingStream::Write(const void*, std::int64_t count) {
    const std::int64_t n = std::max<std::int64_t>(count, 0);
    size_ += n;
    return n;
}

} // namespace kestro
