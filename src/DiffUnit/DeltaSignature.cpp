#include "DiffUnit/DeltaSignature.hpp"

#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/Files.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

namespace kestro {

namespace {

// The first line, up to the file's version.
constexpr std::string_view FirstLine = "Kestro delta signature ";
constexpr std::int32_t HighestVersion = 2;

std::optional<int> HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return std::nullopt;
}

// Exactly 2 * N lower-case hexadecimal digits.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> ReadHex(std::string_view text) {
    if (text.size() != 2 * N) {
        return std::nullopt;
    }
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        const std::optional<int> high = HexValue(text[2 * i]);
        const std::optional<int> low = HexValue(text[2 * i + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(*high << 4 | *low);
    }
    return bytes;
}

// A number as written: decimal digits, no sign, no leading zero, at most
// limit.
std::optional<std::int64_t>
ReadNumber(std::string_view text, std::int64_t limit = std::numeric_limits<std::int64_t>::max()) {
    std::int64_t value = 0;
    if (text.empty() || (text.size() > 1 && text[0] == '0') || text[0] < '0' || text[0] > '9') {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > limit) {
        return std::nullopt;
    }
    return value;
}

// Takes the line that starts text, up to its LF, which must be there;
// nothing when the line does not begin with label.
std::optional<std::string_view> TakeLine(std::string_view& text, std::string_view label) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || text.substr(0, label.size()) != label) {
        return std::nullopt;
    }
    const std::string_view value = text.substr(label.size(), end - label.size());
    text.remove_prefix(end + 1);
    return value;
}

// Splits "<first> <rest>" at its first space.
bool Split(std::string_view line, std::string_view& first, std::string_view& rest) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        return false;
    }
    first = line.substr(0, space);
    rest = line.substr(space + 1);
    return true;
}

// "<size> <SHA-512>".
std::string SizedText(const StreamDigest& bytes) {
    return std::to_string(bytes.size) + " " + LowerHex(bytes.digest);
}

bool ReadSized(std::optional<std::string_view> line, StreamDigest& bytes) {
    std::string_view size;
    std::string_view digest;
    if (!line || !Split(*line, size, digest)) {
        return false;
    }
    const std::optional<std::int64_t> value = ReadNumber(size);
    const std::optional<Digest> hex = ReadHex<64>(digest);
    if (!value || !hex) {
        return false;
    }
    bytes = {*value, *hex};
    return true;
}

// "<version> <size> <SHA-512>", the version as VersionText writes it.
bool ReadVersioned(std::optional<std::string_view> line, FileVersionQuad& version,
                   StreamDigest& bytes) {
    std::string_view text;
    std::string_view sized;
    if (!line || !Split(*line, text, sized) || !ReadSized(sized, bytes)) {
        return false;
    }
    std::int32_t* const parts[] = {&version.major, &version.minor, &version.release,
                                   &version.build};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        const std::optional<std::int64_t> value = ReadNumber(text.substr(0, dot), 0xFFFF);
        if (dot == std::string_view::npos || !value) {
            return false;
        }
        *parts[i] = static_cast<std::int32_t>(*value);
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    return true;
}

bool ReadFormat(std::optional<std::string_view> line, DeltaSignature& signature) {
    const std::size_t dot = line ? line->find('.') : std::string_view::npos;
    if (dot == std::string_view::npos) {
        return false;
    }
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    const std::optional<std::int64_t> major = ReadNumber(line->substr(0, dot), limit);
    const std::optional<std::int64_t> minor = ReadNumber(line->substr(dot + 1), limit);
    if (!major || !minor) {
        return false;
    }
    signature.FormatMajor = static_cast<std::int32_t>(*major);
    signature.FormatMinor = static_cast<std::int32_t>(*minor);
    return true;
}

// Whether a name's stored bytes fit a statement: what a descriptor holds,
// without a control character, which would break the line.
bool StatableName(std::string_view stored) {
    return !stored.empty() && stored.size() <= MaxStoredNameLength &&
           std::none_of(stored.begin(), stored.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The statement's line holds the name as the descriptor stores it (the
// ANSI code page on Windows): the bytes signed are the same wherever the
// delta was made, and a signature made by an earlier version still holds.
std::optional<std::string> StatedName(std::string_view name) {
    std::optional<std::string> stored = StoredName(name);
    return stored && StatableName(*stored) ? stored : std::nullopt;
}

bool ReadStatement(std::string_view& text, DeltaSignature& signature) {
    if (signature.Version == 1) {
        return ReadSized(TakeLine(text, "Delta: "), signature.Delta) &&
               ReadSized(TakeLine(text, "Newer: "), signature.Newer);
    }
    // Line by line, in the order they are written.
    const bool format = ReadFormat(TakeLine(text, "Format: "), signature);
    // A name that does not come back to the same bytes would not be the
    // name that was signed.
    const std::optional<std::string_view> stored = TakeLine(text, "Original name: ");
    const std::string name = stored ? NameFromStored(*stored) : std::string();
    const bool read =
        format && stored && StatableName(*stored) && StoredName(name) == *stored &&
        ReadVersioned(TakeLine(text, "Original: "), signature.OriginalVersion,
                      signature.Original) &&
        ReadVersioned(TakeLine(text, "Newer: "), signature.NewerVersion, signature.Newer) &&
        ReadSized(TakeLine(text, "Delta: "), signature.Delta);
    const std::optional<std::string_view> downgrade = TakeLine(text, "Downgrade: ");
    if (!read || !downgrade || (*downgrade != "yes" && *downgrade != "no")) {
        return false;
    }
    signature.OriginalName = name;
    signature.Downgrade = *downgrade == "yes";
    return true;
}

} // namespace

std::string SignatureFileName(const std::string& deltaName) {
    return deltaName + ".sig";
}

std::string SignedLines(const DeltaSignature& signature) {
    std::string lines = std::string(FirstLine) + std::to_string(signature.Version) + "\n" +
                        "Key: " + signature.KeyId + "\n";
    if (signature.Version == 1) {
        return lines + "Delta: " + SizedText(signature.Delta) +
               "\nNewer: " + SizedText(signature.Newer) + "\n";
    }
    return lines + "Format: " + std::to_string(signature.FormatMajor) + "." +
           std::to_string(signature.FormatMinor) +
           "\nOriginal name: " + StatedName(signature.OriginalName).value_or("") +
           "\nOriginal: " + VersionText(signature.OriginalVersion) + " " +
           SizedText(signature.Original) + "\nNewer: " + VersionText(signature.NewerVersion) + " " +
           SizedText(signature.Newer) + "\nDelta: " + SizedText(signature.Delta) +
           "\nDowngrade: " + (signature.Downgrade ? "yes" : "no") + "\n";
}

std::string SignatureText(const DeltaSignature& signature) {
    return SignedLines(signature) + "Ed25519: " + LowerHex(signature.Ed25519) + "\n";
}

std::optional<DeltaSignature> ReadSignatureText(std::string_view text) {
    DeltaSignature signature;
    const std::optional<std::string_view> first = TakeLine(text, FirstLine);
    const std::optional<std::int64_t> version =
        first ? ReadNumber(*first, HighestVersion) : std::nullopt;
    if (!version || *version == 0) {
        return std::nullopt;
    }
    signature.Version = static_cast<std::int32_t>(*version);
    const std::optional<std::string_view> key = TakeLine(text, "Key: ");
    if (!key || !ReadHex<8>(*key) || !ReadStatement(text, signature)) {
        return std::nullopt;
    }
    signature.KeyId = std::string(*key);
    const std::optional<std::string_view> line = TakeLine(text, "Ed25519: ");
    const std::optional<Signature> bytes = line ? ReadHex<64>(*line) : std::nullopt;
    if (!bytes || !text.empty()) {
        return std::nullopt;
    }
    signature.Ed25519 = *bytes;
    return signature;
}

std::optional<DeltaSignature> ReadSignatureFile(const std::string& name) {
    const std::optional<std::string> text = ReadSmallFile(name, MaxSignatureFileSize);
    return text ? ReadSignatureText(*text) : std::nullopt;
}

DeltaSignature SignDelta(const PrivateKey& key, DeltaSignature statement) {
    if (!StatedName(statement.OriginalName)) {
        throw ESignatureError("Cannot sign a delta for a file whose name holds a control "
                              "character: " +
                              statement.OriginalName);
    }
    statement.Version = HighestVersion;
    statement.KeyId = KeyFingerprint(PublicKeyOf(key));
    statement.Ed25519 = Sign(key, SignedLines(statement));
    return statement;
}

DeltaSignature ReadVerifiedSignature(const std::string& deltaName, const PublicKey& key) {
    const std::string signatureName = SignatureFileName(deltaName);
    if (!FileExists(signatureName)) {
        throw ESignatureError("Delta file is not signed: " + deltaName);
    }
    const std::optional<DeltaSignature> signature = ReadSignatureFile(signatureName);
    if (!signature) {
        throw ESignatureError("Damaged signature file: " + signatureName);
    }
    if (signature->KeyId != KeyFingerprint(key)) {
        throw ESignatureError("Delta file is signed by another key (" + signature->KeyId +
                              "): " + deltaName);
    }
    if (!Verify(key, SignedLines(*signature), signature->Ed25519)) {
        throw ESignatureError("Signature does not match: " + signatureName);
    }
    return *signature;
}

std::unique_ptr<ByteStream> CopySignedDelta(const DeltaSignature& signature,
                                            const std::string& deltaName, ByteStream& delta,
                                            const DigestTold& told, std::int64_t inMemory) {
    DigestedCopy copy =
        CopyDigested(delta, signature.Delta.size, inMemory, deltaName + ".verified", told);
    if (copy.digest != signature.Delta) {
        throw ESignatureError("Delta file does not match its signature: " + deltaName);
    }
    return std::move(copy.bytes);
}

void BindSignature(DeltaSignature& signature, DeltaFormat format, std::int32_t minor,
                   const DeltaDescriptor& descriptor, const std::string& deltaName) {
    if (signature.Version == 1) {
        signature.FormatMajor = FormatMajor(format);
        signature.FormatMinor = minor;
        signature.OriginalName = descriptor.OriginalName;
        signature.OriginalVersion = descriptor.OriginalVersion;
        signature.NewerVersion = descriptor.NewerVersion;
    } else if (signature.FormatMajor != FormatMajor(format) || signature.FormatMinor != minor ||
               signature.OriginalName != descriptor.OriginalName ||
               signature.OriginalVersion != descriptor.OriginalVersion ||
               signature.NewerVersion != descriptor.NewerVersion) {
        throw ESignatureError("Delta file does not match its signature: " + deltaName);
    }
    RefuseUnmarkedDowngrade(signature, deltaName);
}

void RefuseUnmarkedDowngrade(const DeltaSignature& signature, const std::string& deltaName) {
    if (signature.NewerVersion < signature.OriginalVersion && !signature.Downgrade) {
        throw ESignatureError("Signed delta would downgrade " + signature.OriginalName + " from " +
                              VersionText(signature.OriginalVersion) + " to " +
                              VersionText(signature.NewerVersion) + ": " + deltaName);
    }
}

bool SignsOriginal(const DeltaSignature& signature) {
    return signature.Version >= 2;
}

void CheckSignedOriginal(const DeltaSignature& signature, const StreamDigest& target,
                         const std::string& targetName) {
    if (SignsOriginal(signature) && target != signature.Original) {
        throw ESignatureError("File does not match the signed original: " + targetName);
    }
}

void CheckRebuilt(const DeltaSignature& signature, const StreamDigest& rebuilt,
                  const std::string& targetName) {
    if (rebuilt != signature.Newer) {
        throw ESignatureError("Rebuilt file does not match the signature: " + targetName);
    }
}

} // namespace kestro
