// The SHA-512 of a stream's bytes, taken as they pass: of a file read from
// its first byte to its last, of a file as it is written, and of a delta
// as it is copied to where nobody else can change it.
#pragma once

#include "common/ByteStream.hpp"
#include "crypto/Signing.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestro {

// The size and SHA-512 of a stream's bytes from its first to its last.
struct StreamDigest {
    std::int64_t size = 0;
    Digest digest{};
    bool operator==(const StreamDigest&) const = default;
};

// Told how many bytes of how many are done as they pass; it may stop the
// work by throwing.
using DigestTold = std::function<void(std::int64_t done, std::int64_t total)>;

// The digest of stream's bytes, read from its first byte; the stream is left
// at its end.
StreamDigest DigestOfStream(ByteStream& stream, const DigestTold& told);

// A stream that passes every read or every write to another and takes the
// SHA-512 of the bytes as they pass: for a file read, or written, from its
// first byte to its last, one way only.
class DigestingStream final : public ByteStream {
public:
    explicit DigestingStream(ByteStream& inner) : inner_(inner) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return inner_.Position(); }
    // Only to where it is: the digest is of bytes taken in order.
    void SetPosition(std::int64_t position) override;
    std::int64_t Size() const override { return inner_.Size(); }
    StreamDigest Finish();

private:
    std::int64_t Passed(const void* buffer, std::int64_t n);

    ByteStream& inner_;
    Sha512 sha_;
    std::int64_t size_ = 0;
};

// A stream's bytes copied where no other program can reach them, and their
// digest.
struct DigestedCopy {
    std::unique_ptr<ByteStream> bytes; // positioned at its first byte
    StreamDigest digest;
};

// Reads source from its first byte, once, into a private copy: in memory
// when expected, the size the caller expects, is at most inMemory bytes,
// else in a scratch file beside scratchName (FileStream::CreateScratch),
// which only this process can open. At most expected + 1 bytes are read,
// so that a source that goes on is told apart without being read whole:
// the copy's size then differs from expected.
DigestedCopy CopyDigested(ByteStream& source, std::int64_t expected, std::int64_t inMemory,
                          const std::string& scratchName, const DigestTold& told);

} // namespace kestro
