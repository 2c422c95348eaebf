#include "checksum/Crc32.hpp"
#include "checksum/Crc32Kernels.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "platform/FileStream.hpp"

#include "TestSupport.hpp"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

namespace kestro {

// Names a kernel in the messages of failed tests.
static void PrintTo(const Crc32Kernel& kernel, std::ostream* out) {
    *out << kernel.Name;
}

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
    FileStream file = FileStream::OpenRead(dir.File("data.bin"));
    EXPECT_EQ(StreamCrc32(file), Crc32Buffer(data.data(), data.size()));

    test::WriteBytes(dir.File("empty.bin"), {});
    FileStream empty = FileStream::OpenRead(dir.File("empty.bin"));
    EXPECT_EQ(StreamCrc32(empty), 0u);
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

// Each kernel built for this architecture against the table-driven kernel
// and the bitwise reference; a kernel this processor cannot run is skipped.
class Crc32KernelTest : public ::testing::TestWithParam<Crc32Kernel> {
protected:
    void SetUp() override {
        if (!GetParam().Unsupported.empty()) {
            GTEST_SKIP() << GetParam().Unsupported;
        }
    }

    // Checks the kernel on length bytes starting offset bytes into an
    // allocation that ends with them, so that a read past the end is a
    // sanitizer error, from the preset and from crc.
    void Check(std::mt19937& random, std::size_t offset, std::size_t length, std::uint32_t crc) {
        const Bytes buffer = test::RandomBytes(random, offset + length);
        const unsigned char* data = buffer.data() + offset;
        ASSERT_EQ(~GetParam().Update(data, 0xFFFFFFFFu, length), test::ReferenceCrc32(data, length))
            << "offset " << offset << " length " << length;
        ASSERT_EQ(GetParam().Update(data, crc, length), Crc32UpdateTable(data, crc, length))
            << "offset " << offset << " length " << length << " register " << crc;
    }
};

TEST_P(Crc32KernelTest, EveryShortLengthAtSeveralAlignments) {
    const unsigned seed = 20270101;
    std::mt19937 random(seed);
    EXPECT_EQ(GetParam().Update(nullptr, 0x12345678u, 0), 0x12345678u);
    for (std::size_t offset : {0u, 1u, 3u, 8u, 15u, 16u, 33u, 63u}) {
        for (std::size_t length = 0; length <= 300; ++length) {
            ASSERT_NO_FATAL_FAILURE(Check(random, offset, length, random())) << "seed " << seed;
        }
    }
}

TEST_P(Crc32KernelTest, LengthsAroundFoldingSteps) {
    const unsigned seed = 20270102;
    std::mt19937 random(seed);
    const std::size_t mib = 1 << 20;
    for (std::size_t length : {63u,  64u,  65u,  127u, 128u,  129u,  255u,  256u,  257u,  319u,
                               320u, 511u, 512u, 513u, 1023u, 1024u, 1025u, 4095u, 4096u, 4097u}) {
        for (std::size_t offset : {0u, 5u, 32u}) {
            ASSERT_NO_FATAL_FAILURE(Check(random, offset, length, random())) << "seed " << seed;
        }
    }
    for (std::size_t length : {mib - 1, mib, mib + 1}) {
        ASSERT_NO_FATAL_FAILURE(Check(random, 7, length, random())) << "seed " << seed;
    }
}

TEST_P(Crc32KernelTest, PieceByPieceInterleavedWithTableEqualsOneRun) {
    const unsigned seed = 20270103;
    std::mt19937 random(seed);
    const Bytes data = test::RandomBytes(random, 40000);
    const std::uint32_t whole = Crc32UpdateTable(data.data(), 0xFFFFFFFFu, data.size());
    for (int round = 0; round < 20; ++round) {
        std::uint32_t crc = 0xFFFFFFFFu;
        bool useKernel = round % 2 == 0;
        for (std::size_t at = 0, piece = 0; at < data.size(); at += piece, useKernel = !useKernel) {
            piece = std::min<std::size_t>(random() % 1500, data.size() - at);
            crc = useKernel ? GetParam().Update(data.data() + at, crc, piece)
                            : Crc32UpdateTable(data.data() + at, crc, piece);
        }
        ASSERT_EQ(crc, whole) << "seed " << seed << " round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32KernelTest, ::testing::ValuesIn(Crc32Kernels()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Crc32, UpdateUsesFastestKernelThisProcessorRuns) {
    const auto kernels = Crc32Kernels();
#if defined(__x86_64__)
    // Losing the accelerated kernels from an x86-64 build would leave only
    // the table-driven kernel under test here.
    ASSERT_EQ(kernels.size(), 3u);
#endif
    ASSERT_EQ(kernels.front().Name, "table");
    EXPECT_TRUE(kernels.front().Unsupported.empty());
    const auto usable = std::find_if(kernels.rbegin(), kernels.rend(),
                                     [](const auto& kernel) { return kernel.Unsupported.empty(); });
    EXPECT_EQ(SelectedCrc32Kernel().Name, usable->Name);
    RecordProperty("kernel", std::string(SelectedCrc32Kernel().Name));
}

} // namespace
} // namespace kestro
