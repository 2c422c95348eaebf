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

// The named offsets are the layout that the format document describes;
// every other test takes its offsets from them.
TEST(DeltaFileLayout, FieldOffsetsArePinned) {
    struct Pin {
        const char* name;
        std::size_t value;
        std::size_t expected;
    };
    const Pin pins[] = {
        {"DeltaHeaderBytes", DeltaHeaderBytes, 28},
        {"DeltaDescriptorBytes", DeltaDescriptorBytes, 112},
        {"BlockStreamOffset", BlockStreamOffset, 140},
        {"MaxStoredNameLength", MaxStoredNameLength, 70},
        {"SignatureField", SignatureField, 0},
        {"FormatMajorField", FormatMajorField, 20},
        {"FormatMinorField", FormatMinorField, 24},
        {"UncheckedField", UncheckedField, 0},
        {"NameField", NameField, 4},
        {"OriginalVersionField", OriginalVersionField, 76},
        {"NewerVersionField", NewerVersionField, 92},
        {"CrcField", CrcField, 108},
    };
    for (const Pin& pin : pins) {
        EXPECT_EQ(pin.value, pin.expected) << pin.name;
    }
}

// The header and descriptor of the worked example in doc/FORMAT.md.
TEST(DeltaFileLayout, FormatDocumentExampleIsExact) {
    DeltaDescriptor descriptor;
    descriptor.OriginalName = "example.bin";
    descriptor.OriginalVersion = {1, 0, 0, 1};
    descriptor.NewerVersion = {1, 0, 0, 2};
    descriptor.OriginalCrc = 0x65F08BC4u;
    MemoryStream out;
    WriteDeltaHeader(out);
    WriteDeltaDescriptor(out, descriptor);
    const Bytes expected = {
        0x12, 0x4B, 0x65, 0x73, 0x74, 0x72, 0x6F, 0x20, 0x44, 0x65, 0x6C, 0x74, 0x61, 0x20,
        0x46, 0x69, 0x6C, 0x65, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x0B, 0x65, 0x78, 0x61, 0x6D, 0x70, 0x6C, 0x65, 0x2E, 0x62,
        0x69, 0x6E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0xC4, 0x8B, 0xF0, 0x65};
    ASSERT_EQ(expected.size(), 140u);
    EXPECT_EQ(out.Bytes(), expected);
}

TEST(DeltaHeader, LayoutIsPinned) {
    const Bytes header = HeaderBytes();
    ASSERT_EQ(header.size(), 28u);
    EXPECT_EQ(header[SignatureField], 18);
    EXPECT_EQ(
        std::string(header.begin() + SignatureField + 1, header.begin() + SignatureField + 18),
        "Kestro Delta File");
    EXPECT_EQ(header[SignatureField + 18], 0);
    EXPECT_EQ(GetLe32(header.data() + FormatMajorField), 1u);
    EXPECT_EQ(GetLe32(header.data() + FormatMinorField), 0u);
    MemoryStream in = StreamOf(header);
    DeltaFormat format = DeltaFormat::Compact;
    std::int32_t minor = -1;
    EXPECT_EQ(ReadDeltaHeader(in, format, minor), ResultOk);
    EXPECT_EQ(format, DeltaFormat::Blocks);
    EXPECT_EQ(in.Position(), 28);
}

TEST(DeltaHeader, SignatureAndVersionChecks) {
    auto check = [](const Bytes& header) {
        MemoryStream in = StreamOf(header);
        DeltaFormat format;
        std::int32_t minor = 0;
        return ReadDeltaHeader(in, format, minor);
    };
    Bytes header = HeaderBytes();
    for (std::uint8_t count : {0, 17, 19, 255}) {
        Bytes changed = header;
        changed[SignatureField] = count;
        EXPECT_EQ(check(changed), ResultNotADelta) << int{count};
    }
    Bytes changed = header;
    changed[SignatureField + 18] = 'x'; // the counted zero byte
    EXPECT_EQ(check(changed), ResultNotADelta);
    changed = header;
    changed[SignatureField + 19] = 0xAB; // not defined: anything goes
    EXPECT_EQ(check(changed), ResultOk);
    // The signature is checked before the version.
    changed[SignatureField + 5] = 'X';
    PutLe32(changed.data() + FormatMajorField, 2);
    EXPECT_EQ(check(changed), ResultNotADelta);
    // 2.0 to 2.2 are the compact format, whose body's tag the apply checks
    // next.
    for (const std::uint32_t minor : {0u, 1u, 2u}) {
        changed = header;
        PutLe32(changed.data() + FormatMajorField, 2);
        PutLe32(changed.data() + FormatMinorField, minor);
        MemoryStream in = StreamOf(changed);
        DeltaFormat format = DeltaFormat::Blocks;
        std::int32_t read = -1;
        EXPECT_EQ(ReadDeltaHeader(in, format, read), ResultOk);
        EXPECT_EQ(format, DeltaFormat::Compact);
        EXPECT_EQ(read, static_cast<std::int32_t>(minor));
    }
    for (auto [major, minor] : {std::pair{1, 1}, std::pair{2, 5}, std::pair{2, -1}, std::pair{3, 1},
                                std::pair{4, 0}, std::pair{0, 0}}) {
        changed = header;
        PutLe32(changed.data() + FormatMajorField, static_cast<std::uint32_t>(major));
        PutLe32(changed.data() + FormatMinorField, static_cast<std::uint32_t>(minor));
        EXPECT_EQ(check(changed), ResultWrongDeltaVersion) << major << "." << minor;
    }
    MemoryStream shortFile = StreamOf(Bytes(header.begin(), header.end() - 1));
    DeltaFormat format;
    std::int32_t minor = 0;
    EXPECT_THROW(ReadDeltaHeader(shortFile, format, minor), EReadError);
}

TEST(DeltaDescriptor, LayoutIsPinnedAndReadBack) {
    const Bytes bytes = DescriptorBytes(SampleDescriptor());
    ASSERT_EQ(bytes.size(), 112u);
    EXPECT_EQ(GetLe32(bytes.data() + UncheckedField), 1u);
    EXPECT_EQ(bytes[NameField], 8);
    const auto name = bytes.begin() + NameField + 1;
    EXPECT_EQ(std::string(name, name + 8), "tool.exe");
    const std::uint32_t original[4] = {1, 2, 3, 4};
    const std::uint32_t newer[4] = {65535, 0, 7, 65535};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(GetLe32(bytes.data() + OriginalVersionField + 4 * i), original[i]) << i;
        EXPECT_EQ(GetLe32(bytes.data() + NewerVersionField + 4 * i), newer[i]) << i;
    }
    EXPECT_EQ(GetLe32(bytes.data() + CrcField), 0xCBF43926u);

    // The undefined bytes after the name and after its field may hold
    // anything.
    Bytes noisy = bytes;
    noisy[NameField + 1 + 8] = 0xFF;
    noisy[NameField + 1 + MaxStoredNameLength] = 0xEE;
    noisy[UncheckedField] = 9;
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
        bytes[NameField] = count;
        std::copy(name.begin(), name.end(), bytes.begin() + NameField + 1);
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
