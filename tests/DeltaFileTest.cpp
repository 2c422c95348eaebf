#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using test::Bytes;
using test::StreamOf;

Bytes HeaderBytes() {
    MemoryStream out;
    WriteDeltaHeader(out);
    return out.Bytes();
}

DeltaDescriptor SampleDescriptor() {
    DeltaDescriptor descriptor;
    descriptor.OriginalName = "tool.exe";
    descriptor.OriginalVersion = {1, 2, 3, 4};
    descriptor.NewerVersion = {65535, 0, 7, 65535};
    descriptor.OriginalCrc = 0xCBF43926u;
    return descriptor;
}

Bytes DescriptorBytes(const DeltaDescriptor& descriptor) {
    MemoryStream out;
    WriteDeltaDescriptor(out, descriptor);
    return out.Bytes();
}

TEST(DeltaHeader, LayoutIsPinned) {
    const Bytes header = HeaderBytes();
    ASSERT_EQ(header.size(), 28u);
    EXPECT_EQ(header[0], 18);
    EXPECT_EQ(std::string(header.begin() + 1, header.begin() + 18), "Kestro Delta File");
    EXPECT_EQ(header[18], 0);
    EXPECT_EQ(GetLe32(header.data() + 20), 1u);
    EXPECT_EQ(GetLe32(header.data() + 24), 0u);
    MemoryStream in = StreamOf(header);
    EXPECT_EQ(ReadDeltaHeader(in), ResultOk);
    EXPECT_EQ(in.Position(), 28);
}

TEST(DeltaHeader, SignatureAndVersionChecks) {
    auto check = [](const Bytes& header) {
        MemoryStream in = StreamOf(header);
        return ReadDeltaHeader(in);
    };
    Bytes header = HeaderBytes();
    for (std::uint8_t count : {0, 17, 19, 255}) {
        Bytes changed = header;
        changed[0] = count;
        EXPECT_EQ(check(changed), ResultNotADelta) << int{count};
    }
    Bytes changed = header;
    changed[18] = 'x'; // the counted zero byte
    EXPECT_EQ(check(changed), ResultNotADelta);
    changed = header;
    changed[19] = 0xAB; // not defined: anything goes
    EXPECT_EQ(check(changed), ResultOk);
    // The signature is checked before the version.
    changed[5] = 'X';
    PutLe32(changed.data() + 20, 2);
    EXPECT_EQ(check(changed), ResultNotADelta);
    for (auto [major, minor] : {std::pair{1, 1}, std::pair{2, 0}, std::pair{0, 0}}) {
        changed = header;
        PutLe32(changed.data() + 20, static_cast<std::uint32_t>(major));
        PutLe32(changed.data() + 24, static_cast<std::uint32_t>(minor));
        EXPECT_EQ(check(changed), ResultWrongDeltaVersion) << major << "." << minor;
    }
    MemoryStream shortFile = StreamOf(Bytes(header.begin(), header.begin() + 27));
    EXPECT_THROW(ReadDeltaHeader(shortFile), EReadError);
}

TEST(DeltaDescriptor, LayoutIsPinnedAndReadBack) {
    const Bytes bytes = DescriptorBytes(SampleDescriptor());
    ASSERT_EQ(bytes.size(), 112u);
    EXPECT_EQ(GetLe32(bytes.data()), 1u);
    EXPECT_EQ(bytes[4], 8);
    EXPECT_EQ(std::string(bytes.begin() + 5, bytes.begin() + 13), "tool.exe");
    const std::uint32_t versions[8] = {1, 2, 3, 4, 65535, 0, 7, 65535};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(GetLe32(bytes.data() + 76 + 4 * i), versions[i]) << i;
    }
    EXPECT_EQ(GetLe32(bytes.data() + 108), 0xCBF43926u);

    // The undefined bytes after the name and after its field may hold
    // anything.
    Bytes noisy = bytes;
    noisy[13] = 0xFF;
    noisy[75] = 0xEE;
    noisy[0] = 9;
    MemoryStream in = StreamOf(noisy);
    DeltaDescriptor read;
    ASSERT_EQ(ReadDeltaDescriptor(in, read), ResultOk);
    EXPECT_EQ(read.OriginalName, "tool.exe");
    EXPECT_EQ(read.NewerVersion.major, 65535);
    EXPECT_EQ(read.NewerVersion.build, 65535);
    EXPECT_EQ(read.OriginalVersion.release, 3);
    EXPECT_EQ(read.OriginalCrc, 0xCBF43926u);
}

TEST(DeltaDescriptor, LongNameIsCutToSeventyCharacters) {
    DeltaDescriptor descriptor = SampleDescriptor();
    descriptor.OriginalName = std::string(75, 'n');
    MemoryStream in = StreamOf(DescriptorBytes(descriptor));
    DeltaDescriptor read;
    ASSERT_EQ(ReadDeltaDescriptor(in, read), ResultOk);
    EXPECT_EQ(read.OriginalName, std::string(70, 'n'));
}

TEST(DeltaDescriptor, NamesThatReachAnotherFolderAreNotOurs) {
    const Bytes good = DescriptorBytes(SampleDescriptor());
    auto withName = [&good](std::uint8_t count, std::string_view name) {
        Bytes bytes = good;
        bytes[4] = count;
        std::copy(name.begin(), name.end(), bytes.begin() + 5);
        MemoryStream in = StreamOf(bytes);
        DeltaDescriptor read;
        return ReadDeltaDescriptor(in, read);
    };
    EXPECT_EQ(withName(71, std::string(71, 'a')), ResultNotADelta);
    EXPECT_EQ(withName(255, ""), ResultNotADelta);
    EXPECT_EQ(withName(0, ""), ResultNotADelta);
    EXPECT_EQ(withName(1, "."), ResultNotADelta);
    EXPECT_EQ(withName(2, ".."), ResultNotADelta);
    EXPECT_EQ(withName(9, "../a.exe"), ResultNotADelta);
    EXPECT_EQ(withName(9, "/etc/pwd"), ResultNotADelta);
    EXPECT_EQ(withName(3, std::string_view("a\0b", 3)), ResultNotADelta);
    EXPECT_EQ(withName(70, std::string(70, 'a')), ResultOk);

    MemoryStream shortFile = StreamOf(Bytes(good.begin(), good.end() - 1));
    DeltaDescriptor read;
    EXPECT_THROW(ReadDeltaDescriptor(shortFile, read), EReadError);
}

} // namespace
} // namespace kestro
