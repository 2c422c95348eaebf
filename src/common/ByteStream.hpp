// Byte streams: the one way the codecs and the delta operations reach bytes.
//
// A stream is a sequential source and sink of bytes with a position and a
// size. Streams that end somewhere: a file stream (platform/FileStream.hpp:
// opened read-only with sharing, or created), and here the growable
// in-memory stream and the sink that keeps nothing. Streams over another
// that pass its bytes through: the counting stream here, and the
// checksumming reader (checksum/Crc32Reader.hpp). Read returns fewer bytes
// than asked only at the end of the data; a read error is a failure, never
// an end.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace kestro {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    ByteStream() = default;
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // Reads up to count bytes; fewer only at the end of the data.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes up to count bytes and returns how many were taken; fewer than
    // count means the medium could not take more (a full disk, say).
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t position) = 0;
    virtual std::int64_t Size() const = 0;
    // Reads up to count bytes from position on, fewer only at the end of the
    // data, for random access. Where the stream has no positional read of
    // its own this sets the position; callers that mix it with sequential
    // reads set the position they need before those.
    virtual std::int64_t ReadAt(std::int64_t position, void* buffer, std::int64_t count);

    // Reads exactly count bytes or fails with EReadError "Stream read error".
    void ReadBuffer(void* buffer, std::int64_t count);
    // Writes exactly count bytes or fails with EWriteError "Stream write error".
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Copies count bytes from source's position into this stream; fails as
    // ReadBuffer and WriteBuffer do.
    void CopyFrom(ByteStream& source, std::int64_t count);

protected:
    ByteStream(ByteStream&&) = default;
    ByteStream& operator=(ByteStream&&) = default;
};

class MemoryStream final : public ByteStream {
public:
    MemoryStream() = default;
    MemoryStream(MemoryStream&&) = default;
    MemoryStream& operator=(MemoryStream&&) = default;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Grows as needed; fails with EStreamError "Out of memory while expanding
    // memory stream" when it cannot.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
};

// A stream over another that passes every read and write through and, when
// it moved any bytes, tells how many have passed in all, so that an operation can report
// its progress, or be stopped, from within a loop that knows nothing of
// either: what it tells may throw, and the failure leaves the loop like any
// other. Positioning is passed through and not counted.
class CountingStream final : public ByteStream {
public:
    CountingStream(ByteStream& inner, std::function<void(std::int64_t passed)> told)
        : inner_(inner), told_(std::move(told)) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return inner_.Position(); }
    void SetPosition(std::int64_t position) override { inner_.SetPosition(position); }
    std::int64_t Size() const override { return inner_.Size(); }

private:
    std::int64_t Passed(std::int64_t n);

    ByteStream& inner_;
    std::function<void(std::int64_t)> told_;
    std::int64_t passed_ = 0;
};

// A stretch of another stream, read only: bytes start to start + size of
// inner, at positions 0 to size here. For one payload among others, so
// that its reader sees where it ends and never reads past it.
class SliceStream final : public ByteStream {
public:
    SliceStream(ByteStream& inner, std::int64_t start, std::int64_t size)
        : inner_(inner), start_(start), size_(size) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t ReadAt(std::int64_t position, void* buffer, std::int64_t count) override;
    // Fails with EStreamError: a slice is read only.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override { position_ = position; }
    std::int64_t Size() const override { return size_; }

private:
    ByteStream& inner_;
    std::int64_t start_;
    std::int64_t size_;
    std::int64_t position_ = 0;
};

// A sink that takes every byte and keeps none: for checking a delta by
// rebuilding it without writing anything.
class DiscardingStream final : public ByteStream {
public:
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void*, std::int64_t count) override;
    std::int64_t Position() const override { return size_; }
    void SetPosition(std::int64_t) override {}
    std::int64_t Size() const override { return size_; }

private:
    std::int64_t size_ = 0;
};

} // namespace kestro
