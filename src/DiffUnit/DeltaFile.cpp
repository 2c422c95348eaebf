#include "DiffUnit/DeltaFile.hpp"

#include "DiffUnit/ResultCodes.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "codec/compact/CompactStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "common/Text.hpp"
#include "exe/Disassembler.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "platform/Text.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kestro {

namespace {

// The signature field's count byte and its 18 counted characters.
constexpr std::string_view Signature("\x12Kestro Delta File\0", 19);
// Each format's version: the block stream's is 1.0, the compact body's
// 2.0 to 2.CompactLatestMinor.
struct FormatVersion {
    std::int32_t major;
    std::int32_t minor;
};
constexpr FormatVersion BlocksVersion = {1, 0};
constexpr std::int32_t CompactMajor = 2;
constexpr FormatVersion ReleaseVersion = {3, 0};

// The listing's words for a body's filter: which, and for the image filter
// of 2.3 the instruction set its record names.
std::string FiltersText(const CompactHeader& header) {
    switch (header.Filters) {
    case CompactFilterX86:
        return " Filters=x86";
    case CompactFilterImage:
        return " Filters=image";
    case CompactFilterNamedImage:
        return std::string(" Filters=image InstructionSet=") +
               InstructionSetName(static_cast<InstructionSetId>(header.InstructionSet));
    default:
        return "";
    }
}

void PutVersion(std::uint8_t* at, const FileVersionQuad& version) {
    PutLe32(at, static_cast<std::uint32_t>(version.major));
    PutLe32(at + 4, static_cast<std::uint32_t>(version.minor));
    PutLe32(at + 8, static_cast<std::uint32_t>(version.release));
    PutLe32(at + 12, static_cast<std::uint32_t>(version.build));
}

FileVersionQuad GetVersion(const std::uint8_t* at) {
    FileVersionQuad version;
    version.major = static_cast<std::int32_t>(GetLe32(at));
    version.minor = static_cast<std::int32_t>(GetLe32(at + 4));
    version.release = static_cast<std::int32_t>(GetLe32(at + 8));
    version.build = static_cast<std::int32_t>(GetLe32(at + 12));
    return version;
}

// The compact body in a few lines: its header, then the coded bytes of each
// stream over all segments. Damaged where a header or a segment's header
// does not fit.
DeltaListing DescribeCompactBody(ByteStream& delta, std::int32_t minor,
                                 std::vector<std::string>& lines) {
    CompactHeader header;
    try {
        if (!ReadCompactHeader(delta, minor, header)) {
            lines.push_back("Body=unsupported");
            return DeltaListing::Delta;
        }
    } catch (const Exception&) {
        lines.push_back("Body=damaged");
        return DeltaListing::Damaged;
    }
    lines.push_back("Body=compact NewerSize=" + std::to_string(header.NewerSize) +
                    " NewerCrc=" + "0x" + HexDigits(header.NewerCrc, 8) +
                    " OriginalSize=" + std::to_string(header.OriginalSize) + FiltersText(header) +
                    (header.DiffCoding == DiffCodingBySegment ? " Differences=by-segment" : ""));
    if (header.Filters == CompactFilterImage || header.Filters == CompactFilterNamedImage) {
        lines.push_back("Image=Sections=" + std::to_string(header.Newer.sections.size()) +
                        " Tables=" + std::to_string(header.Tables.size()) +
                        " PresetOffset=" + std::to_string(header.PresetOffset) +
                        " PresetSize=" + std::to_string(header.PresetSize));
    }
    lines.push_back("Dictionaries=" + std::to_string(header.ControlDictionary) + " " +
                    std::to_string(header.DiffDictionary) + " " +
                    std::to_string(header.ExtraDictionary));
    try {
        const CompactSummary summary = ListCompactBody(delta, header);
        lines.push_back("Segments=" + std::to_string(summary.Segments));
        lines.push_back("ControlBytes=" + std::to_string(summary.ControlBytes));
        lines.push_back("DiffBytes=" + std::to_string(summary.DiffBytes));
        lines.push_back("ExtraBytes=" + std::to_string(summary.ExtraBytes));
    } catch (const Exception&) {
        lines.push_back("Segments=damaged");
        return DeltaListing::Damaged;
    }
    return DeltaListing::Delta;
}

} // namespace

std::optional<std::string> StoredName(std::string_view name) {
    return TextToCodePage(name);
}

std::string NameFromStored(std::string_view stored) {
    return CodePageToText(stored);
}

std::int32_t FormatMajor(DeltaFormat format) {
    switch (format) {
    case DeltaFormat::Compact:
        return CompactMajor;
    case DeltaFormat::Release:
        return ReleaseVersion.major;
    case DeltaFormat::Blocks:
        break;
    }
    return BlocksVersion.major;
}

void WriteDeltaHeader(ByteStream& out, DeltaFormat format, std::int32_t minor) {
    std::uint8_t header[DeltaHeaderBytes] = {};
    std::memcpy(header + SignatureField, Signature.data(), Signature.size());
    PutLe32(header + FormatMajorField, static_cast<std::uint32_t>(FormatMajor(format)));
    PutLe32(
        header + FormatMinorField,
        static_cast<std::uint32_t>(format == DeltaFormat::Blocks ? BlocksVersion.minor : minor));
    out.WriteBuffer(header, DeltaHeaderBytes);
}

void WriteDeltaDescriptor(ByteStream& out, const DeltaDescriptor& descriptor) {
    const std::optional<std::string> name = StoredName(descriptor.OriginalName);
    if (!name) {
        throw Exception("Original file name cannot be stored in a delta: " +
                        descriptor.OriginalName);
    }
    std::uint8_t bytes[DeltaDescriptorBytes] = {};
    PutLe32(bytes + UncheckedField, 1);
    const std::size_t length = std::min(name->size(), MaxStoredNameLength);
    bytes[NameField] = static_cast<std::uint8_t>(length);
    std::memcpy(bytes + NameField + 1, name->data(), length);
    PutVersion(bytes + OriginalVersionField, descriptor.OriginalVersion);
    PutVersion(bytes + NewerVersionField, descriptor.NewerVersion);
    PutLe32(bytes + CrcField, descriptor.OriginalCrc);
    out.WriteBuffer(bytes, DeltaDescriptorBytes);
}

std::int32_t ReadDeltaHeader(ByteStream& in, DeltaFormat& format, std::int32_t& minor) {
    std::uint8_t header[DeltaHeaderBytes];
    in.ReadBuffer(header, DeltaHeaderBytes);
    // The count byte is compared first, so only a count of 18 followed by
    // the 18 signature characters passes.
    if (std::memcmp(header + SignatureField, Signature.data(), Signature.size()) != 0) {
        return ResultNotADelta;
    }
    const auto major = static_cast<std::int32_t>(GetLe32(header + FormatMajorField));
    minor = static_cast<std::int32_t>(GetLe32(header + FormatMinorField));
    if (major == BlocksVersion.major && minor == BlocksVersion.minor) {
        format = DeltaFormat::Blocks;
        return ResultOk;
    }
    if (major == CompactMajor && minor >= 0 && minor <= CompactLatestMinor) {
        format = DeltaFormat::Compact;
        return ResultOk;
    }
    if (major == ReleaseVersion.major && minor == ReleaseVersion.minor) {
        format = DeltaFormat::Release;
        return ResultOk;
    }
    return ResultWrongDeltaVersion;
}

std::int32_t ReadDeltaDescriptor(ByteStream& in, DeltaDescriptor& descriptor) {
    std::uint8_t bytes[DeltaDescriptorBytes];
    in.ReadBuffer(bytes, DeltaDescriptorBytes);
    const std::size_t length = bytes[NameField];
    if (length > MaxStoredNameLength) {
        return ResultNotADelta;
    }
    // Checked as the name it stores: in a double-byte code page a
    // character's second byte may be that of "\".
    descriptor.OriginalName = NameFromStored(
        std::string_view(reinterpret_cast<const char*>(bytes + NameField + 1), length));
    if (!IsPlainFileName(descriptor.OriginalName)) {
        return ResultNotADelta;
    }
    descriptor.OriginalVersion = GetVersion(bytes + OriginalVersionField);
    descriptor.NewerVersion = GetVersion(bytes + NewerVersionField);
    descriptor.OriginalCrc = GetLe32(bytes + CrcField);
    return ResultOk;
}

DeltaListing DescribeDelta(const std::string& fileName, std::vector<std::string>& lines) {
    FileStream delta = FileStream::OpenRead(fileName);
    DeltaDescriptor descriptor;
    const std::int64_t size = delta.Size();
    // A file that begins with the signature is a delta, however short: cut
    // before its block stream, it is a damaged one, not some other file.
    const auto cutShort = [&](std::string_view part) {
        lines.push_back("Delta file damaged: it ends after " + std::to_string(size) +
                        " bytes, inside its " + std::string(part));
        return DeltaListing::Damaged;
    };
    if (size < DeltaHeaderBytes) {
        std::uint8_t start[Signature.size()];
        if (size < static_cast<std::int64_t>(Signature.size())) {
            return DeltaListing::NotADelta;
        }
        delta.ReadBuffer(start, Signature.size());
        return std::memcmp(start, Signature.data(), Signature.size()) == 0
                   ? cutShort("header")
                   : DeltaListing::NotADelta;
    }
    DeltaFormat format = DeltaFormat::Blocks;
    std::int32_t minor = 0;
    const std::int32_t header = ReadDeltaHeader(delta, format, minor);
    if (header == ResultNotADelta) {
        return DeltaListing::NotADelta;
    }
    if (header == ResultWrongDeltaVersion) {
        lines.push_back("FormatVersion=unsupported");
        return DeltaListing::Delta;
    }
    lines.push_back("FormatVersion=" + std::to_string(FormatMajor(format)) + "." +
                    std::to_string(minor));
    if (size < BlockStreamOffset) {
        return cutShort("descriptor");
    }
    if (ReadDeltaDescriptor(delta, descriptor) != ResultOk) {
        lines.push_back("OriginalName=invalid");
        return DeltaListing::Delta;
    }
    lines.push_back("OriginalName=" + descriptor.OriginalName);
    lines.push_back("OriginalVersion=" + VersionText(descriptor.OriginalVersion));
    lines.push_back("NewerVersion=" + VersionText(descriptor.NewerVersion));
    lines.push_back("OriginalCrc=0x" + HexDigits(descriptor.OriginalCrc, 8));
    if (format == DeltaFormat::Compact) {
        return DescribeCompactBody(delta, minor, lines);
    }
    int number = 0;
    try {
        for (const BlockSummary& block : ListBlockStream(delta)) {
            const BlockHeader& h = block.Header;
            std::string line = "Block" + std::to_string(++number) + "=";
            if (h.Kind == BlockKind::Stored && h.BlockLength == 0) {
                line += "end SourceLength=" + std::to_string(h.SourceLength);
            } else if (h.Kind == BlockKind::Stored) {
                line += "stored SourceLength=" + std::to_string(h.SourceLength) +
                        " TargetLength=" + std::to_string(block.TargetLength);
            } else {
                line += "coded SourceLength=" + std::to_string(h.SourceLength) +
                        " TargetLength=" + std::to_string(block.TargetLength) +
                        " LiteralCount=" + std::to_string(h.LiteralCount) +
                        " Records=" + std::to_string(h.RecordBytes / CopyRecordBytes - 1);
            }
            lines.push_back(line);
        }
    } catch (const Exception&) {
        lines.push_back("Block" + std::to_string(number + 1) + "=damaged");
        return DeltaListing::Damaged;
    }
    return DeltaListing::Delta;
}

} // namespace kestro
