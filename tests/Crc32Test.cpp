#include "engine/Crc32.hpp"
#include "platform/ByteStream.hpp"
#include "platform/Failures.hpp"

#include "TestSupport.hpp"

#include <cstring>
#include <gtest/gtest.h>

namespace kestro {
namespace {

using test::Bytes;

TEST(Crc32, StandardCheckValueAndEmptyInput) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc32Buffer(digits.data(), digits.size()), 0xCBF43926u);
    EXPECT_EQ(Crc32Buffer(nullptr, 0), 0u);
    EXPECT_EQ(Crc32Update(nullptr, 0x12345678u, 0), 0x12345678u);
}

TEST(Crc32, MatchesBitwiseReferenceOnEveryLengthAndAlignment) {
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    const Bytes data = test::RandomBytes(random, 4096 + 64);
    // Lengths around the 8-byte stride and starts at every alignment.
    for (std::size_t offset = 0; offset < 9; ++offset) {
        for (std::size_t length = 0; length < 80; ++length) {
            ASSERT_EQ(Crc32Buffer(data.data() + offset, length),
                      test::ReferenceCrc32(data.data() + offset, length))
                << "seed " << seed << " offset " << offset << " length " << length;
        }
    }
    for (std::size_t length : {1023u, 4095u, 4096u, 4097u}) {
        EXPECT_EQ(Crc32Buffer(data.data() + 3, length),
                  test::ReferenceCrc32(data.data() + 3, length))
            << "seed " << seed << " length " << length;
    }
}

TEST(Crc32, PiecewiseUpdateEqualsOneCall) {
    std::mt19937 random(7);
    const Bytes data = test::RandomBytes(random, 1000);
    for (std::size_t split : {0u, 1u, 7u, 8u, 9u, 500u, 999u, 1000u}) {
        const std::uint32_t first = Crc32Update(data.data(), 0xFFFFFFFFu, split);
        const std::uint32_t both = ~Crc32Update(data.data() + split, first, data.size() - split);
        EXPECT_EQ(both, Crc32Buffer(data.data(), data.size())) << "split " << split;
    }
}

TEST(Crc32, FileChecksumEqualsBufferChecksum) {
    test::ScratchDir dir;
    std::mt19937 random(11);
    // More than one read chunk, and not a multiple of it.
    const Bytes data = test::RandomBytes(random, (1 << 20) * 2 + 12345);
    test::WriteBytes(dir.File("data.bin"), data);
    EXPECT_EQ(FileCrc32(dir.File("data.bin")), Crc32Buffer(data.data(), data.size()));

    test::WriteBytes(dir.File("empty.bin"), {});
    EXPECT_EQ(FileCrc32(dir.File("empty.bin")), 0u);
}

TEST(Crc32, FileChecksumOfMissingFileIsOpenFailure) {
    test::ScratchDir dir;
    const std::string name = dir.File("missing.bin");
    try {
        FileCrc32(name);
        FAIL() << "no failure";
    } catch (const EFOpenError& failure) {
        EXPECT_EQ(failure.Message(), "Cannot open file " + name);
    }
}

// A stream that reports more bytes than it can deliver, like a file cut
// short while it is read.
class ShrunkenStream final : public ByteStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override {
        const std::int64_t n = std::min<std::int64_t>(count, 100 - position_);
        std::memset(buffer, 0x5A, static_cast<std::size_t>(n));
        position_ += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override { position_ = position; }
    std::int64_t Size() const override { return 200; }

private:
    std::int64_t position_ = 0;
};

TEST(Crc32, StreamEndingBeforeItsSizeIsReadFailure) {
    ShrunkenStream stream;
    EXPECT_THROW(StreamCrc32(stream), EReadError);
}

} // namespace
} // namespace kestro
