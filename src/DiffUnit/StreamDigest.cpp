#include "DiffUnit/StreamDigest.hpp"

#include "common/Failures.hpp"
#include "platform/FileStream.hpp"

#include <algorithm>
#include <vector>

namespace kestro {

namespace {

constexpr std::int64_t DigestPiece = 1 << 20;

} // namespace

StreamDigest DigestOfStream(ByteStream& stream, const DigestTold& told) {
    Sha512 sha;
    StreamDigest result;
    std::vector<std::uint8_t> piece(DigestPiece);
    const std::int64_t total = stream.Size();
    stream.SetPosition(0);
    for (;;) {
        const std::int64_t n = stream.Read(piece.data(), DigestPiece);
        if (n <= 0) {
            break;
        }
        sha.Update(piece.data(), static_cast<std::size_t>(n));
        result.size += n;
        if (told) {
            told(result.size, total);
        }
    }
    result.digest = sha.Finish();
    return result;
}

std::int64_t DigestingStream::Passed(const void* buffer, std::int64_t n) {
    if (n > 0) {
        sha_.Update(buffer, static_cast<std::size_t>(n));
        size_ += n;
    }
    return n;
}

std::int64_t DigestingStream::Read(void* buffer, std::int64_t count) {
    return Passed(buffer, inner_.Read(buffer, count));
}

std::int64_t DigestingStream::Write(const void* buffer, std::int64_t count) {
    return Passed(buffer, inner_.Write(buffer, count));
}

void DigestingStream::SetPosition(std::int64_t position) {
    if (position != inner_.Position()) {
        throw EStreamError("A digesting stream is read or written in order");
    }
}

StreamDigest DigestingStream::Finish() {
    return {size_, sha_.Finish()};
}

DigestedCopy CopyDigested(ByteStream& source, std::int64_t expected, std::int64_t inMemory,
                          const std::string& scratchName, const DigestTold& told) {
    DigestedCopy copy;
    if (expected <= inMemory) {
        copy.bytes = std::make_unique<MemoryStream>();
    } else {
        copy.bytes = std::make_unique<FileStream>(FileStream::CreateScratch(scratchName));
    }
    DigestingStream digesting(*copy.bytes);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(DigestPiece));
    const std::int64_t limit = expected + 1;
    source.SetPosition(0);
    for (std::int64_t done = 0; done < limit;) {
        const std::int64_t n = source.Read(piece.data(), std::min(DigestPiece, limit - done));
        if (n <= 0) {
            break;
        }
        digesting.WriteBuffer(piece.data(), n);
        done += n;
        if (told) {
            told(done, expected);
        }
    }
    copy.digest = digesting.Finish();
    copy.bytes->SetPosition(0);
    return copy;
}

} // namespace kestro
