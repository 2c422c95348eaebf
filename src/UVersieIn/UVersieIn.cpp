#include "UVersieIn/UVersieIn.hpp"

#include "UVersieIn/PeResource.hpp"
#include "UVersieIn/VersionTree.hpp"
#include "common/LittleEndian.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace kestro {

namespace {

// VS_FIXEDFILEINFO: thirteen little-endian uint32 words, in this order.
enum FixedWord : std::size_t {
    Signature,
    StrucVersion,
    FileVersionMS,
    FileVersionLS,
    ProductVersionMS,
    ProductVersionLS,
    FileFlagsMask,
    FileFlags,
    FileOS,
    FileType,
    FileSubtype,
    FileDateMS,
    FileDateLS,
    FixedWordCount,
};

constexpr std::size_t FixedRecordBytes = 4 * FixedWordCount;
// The translation value is an array of (language, code page) uint16 pairs;
// it is taken into a buffer of this size and only its first pair is read.
constexpr std::size_t TranslationBufferBytes = 256;

// The strings reported, in the order of the list. "LegalTradeMarks" is
// spelled so on purpose; with lookups that ignore case it also finds the
// published "LegalTrademarks".
constexpr std::array<std::string_view, 10> StringNames = {
    "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTradeMarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments",
};

constexpr std::string_view FileVersionKey = "L_FileVersion";

using FixedRecord = std::array<std::uint32_t, FixedWordCount>;

// Copies a value into a zero-filled buffer of N bytes, at most N of them, so
// that whatever a short value does not supply reads as 0.
template <std::size_t N>
std::array<std::uint8_t, N> ZeroFilledCopy(const VersionValue& value) {
    std::array<std::uint8_t, N> buffer{};
    std::copy_n(value.bytes.begin(), std::min(value.bytes.size(), N), buffer.begin());
    return buffer;
}

// The root's value, without any check of its signature or structure version.
std::optional<FixedRecord> ReadFixedRecord(std::span<const std::uint8_t> data) {
    const std::optional<VersionValue> value = QueryVersionValue(data, "\\");
    if (!value) {
        return std::nullopt;
    }
    const auto bytes = ZeroFilledCopy<FixedRecordBytes>(*value);
    FixedRecord record{};
    for (std::size_t i = 0; i < FixedWordCount; ++i) {
        record[i] = GetLe32(&bytes[4 * i]);
    }
    return record;
}

// The key of the string table that the first translation names: language
// and code page as eight upper-case hexadecimal digits.
std::optional<std::string> ReadStringTableKey(std::span<const std::uint8_t> data) {
    const std::optional<VersionValue> value = QueryVersionValue(data, "\\VarFileInfo\\Translation");
    if (!value) {
        return std::nullopt;
    }
    const auto bytes = ZeroFilledCopy<TranslationBufferBytes>(*value);
    const std::uint32_t language = bytes[0] | bytes[1] << 8;
    const std::uint32_t codePage = bytes[2] | bytes[3] << 8;
    return HexDigits(language << 16 | codePage, 8);
}

std::string Decimal(std::uint32_t word) {
    return std::to_string(word);
}

std::string DottedPair(std::uint32_t word) {
    return std::to_string(word >> 16) + "." + std::to_string(word & 0xFFFF);
}

void AppendFixedLines(const FixedRecord& r, std::vector<std::string>& list) {
    list.push_back("Signature=" + Decimal(r[Signature]));
    list.push_back("StrucVersion=" + DottedPair(r[StrucVersion]));
    list.push_back("FileVersion=" + DottedPair(r[FileVersionMS]) + "." +
                   DottedPair(r[FileVersionLS]));
    list.push_back("FileVersionMS=" + DottedPair(r[FileVersionMS]));
    list.push_back("FileVersionLS=" + DottedPair(r[FileVersionLS]));
    list.push_back("ProductVersion=" + DottedPair(r[ProductVersionMS]) + "." +
                   DottedPair(r[ProductVersionLS]));
    list.push_back("ProductVersionMS=" + DottedPair(r[ProductVersionMS]));
    list.push_back("ProductVersionLS=" + DottedPair(r[ProductVersionLS]));
    list.push_back("dwFileFlagsMask=" + Decimal(r[FileFlagsMask]));
    list.push_back("dwFileFlags=" + Decimal(r[FileFlags]));
    list.push_back("dwFileOS=" + Decimal(r[FileOS]));
    list.push_back("dwFileType=" + Decimal(r[FileType]));
    list.push_back("dwFileSubtype=" + Decimal(r[FileSubtype]));
    list.push_back("dwFileDateMS=" + Decimal(r[FileDateMS]));
    list.push_back("dwFileDateLS=" + Decimal(r[FileDateLS]));
}

VersionInfo ReadVersionInfo(std::span<const std::uint8_t> data) {
    VersionInfo info;
    if (const std::optional<FixedRecord> record = ReadFixedRecord(data)) {
        const FixedRecord& r = *record;
        info.HasFixedRecord = true;
        info.Version.major = static_cast<std::int32_t>(r[FileVersionMS] >> 16);
        info.Version.minor = static_cast<std::int32_t>(r[FileVersionMS] & 0xFFFF);
        info.Version.release = static_cast<std::int32_t>(r[FileVersionLS] >> 16);
        info.Version.build = static_cast<std::int32_t>(r[FileVersionLS] & 0xFFFF);
        AppendFixedLines(r, info.Lines);
    }
    const std::optional<std::string> key = ReadStringTableKey(data);
    if (!key) {
        return info;
    }
    info.Lines.push_back("Localization=" + *key);
    const std::string table = "StringFileInfo\\" + *key + "\\";
    for (const std::string_view name : StringNames) {
        const std::string path = table + std::string(name);
        if (const std::optional<VersionValue> value = QueryVersionValue(data, path)) {
            info.Lines.push_back("L_" + std::string(name) + "=" + VersionValueText(*value));
        }
    }
    return info;
}

} // namespace

VersionInfo ReadVersionInfo(ByteStream& file) {
    return ReadVersionInfo(LoadVersionData(file));
}

VersionInfo ReadVersionInfo(const std::string& fileName) {
    return ReadVersionInfo(LoadVersionData(fileName));
}

std::string VersionText(const FileVersionQuad& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.release) + "." + std::to_string(version.build);
}

std::string VersionString(const VersionInfo& info) {
    for (const std::string& line : info.Lines) {
        const std::string_view key = std::string_view(line).substr(0, line.find('='));
        if (key.size() < line.size() && EqualIgnoringAsciiCase(key, FileVersionKey)) {
            return line.substr(key.size() + 1);
        }
    }
    return std::string();
}

void GetVersionInfoList(const std::string& fileName, std::vector<std::string>& list) {
    const VersionInfo info = ReadVersionInfo(fileName);
    list.insert(list.end(), info.Lines.begin(), info.Lines.end());
}

} // namespace kestro
