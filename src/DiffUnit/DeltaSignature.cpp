#include "DiffUnit/DeltaSignature.hpp"

#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"

#include <charconv>
#include <optional>
#include <vector>

namespace kestro {

namespace {

constexpr std::string_view FirstLine = "Kestro delta signature 1";
// Key files are a few hundred bytes of PEM text.
constexpr std::int64_t MaxKeyFileSize = 16 * 1024;
constexpr std::int64_t DigestPiece = 1 << 20;

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

// A size as written: decimal digits, no sign, no leading zero.
std::optional<std::int64_t> ReadSize(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty() || (text.size() > 1 && text[0] == '0') || text[0] == '+' || text[0] == '-') {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
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

// "<size> <digest>" of the Delta and Newer lines.
bool ReadSizedDigest(std::optional<std::string_view> line, std::int64_t& size, Digest& digest) {
    if (!line) {
        return false;
    }
    const std::size_t space = line->find(' ');
    if (space == std::string_view::npos) {
        return false;
    }
    const std::optional<std::int64_t> value = ReadSize(line->substr(0, space));
    const std::optional<Digest> bytes = ReadHex<64>(line->substr(space + 1));
    if (!value || !bytes) {
        return false;
    }
    size = *value;
    digest = *bytes;
    return true;
}

// A whole small file, at most limit bytes; nothing when it is larger.
std::optional<std::string> ReadSmallFile(const std::string& name, std::int64_t limit) {
    if (!FileExists(name)) {
        throw EFOpenError("Cannot open file " + name);
    }
    FileStream file = FileStream::OpenRead(name);
    std::string text(static_cast<std::size_t>(limit) + 1, '\0');
    std::int64_t size = 0;
    for (std::int64_t n = 1; n > 0 && size <= limit; size += n) {
        n = file.Read(text.data() + size, limit + 1 - size);
    }
    if (size > limit) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(size));
    return text;
}

std::string KeyText(const std::string& name) {
    std::optional<std::string> text = ReadSmallFile(name, MaxKeyFileSize);
    return text ? std::move(*text) : std::string();
}

// A key file written whole or not at all: a file of that name is never
// replaced, and a failure removes what this run made.
class NewKeyFile {
public:
    NewKeyFile(const std::string& name, CreateMode mode)
        : stream_(FileStream::Create(name, mode)), name_(name) {}
    NewKeyFile(const NewKeyFile&) = delete;
    NewKeyFile& operator=(const NewKeyFile&) = delete;
    ~NewKeyFile() {
        if (!kept_) {
            stream_.reset(); // closed before it is removed
            DeleteFile(name_);
        }
    }
    void Write(const std::string& text) {
        stream_->WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
        stream_->Sync();
        stream_->Close();
    }
    void Keep() { kept_ = true; }

private:
    std::optional<FileStream> stream_;
    std::string name_;
    bool kept_ = false;
};

} // namespace

std::string SignatureFileName(const std::string& deltaName) {
    return deltaName + ".sig";
}

std::string SignedLines(const DeltaSignature& signature) {
    return std::string(FirstLine) + "\nKey: " + signature.KeyId +
           "\nDelta: " + std::to_string(signature.DeltaSize) + " " +
           LowerHex(signature.DeltaDigest) + "\nNewer: " + std::to_string(signature.NewerSize) +
           " " + LowerHex(signature.NewerDigest) + "\n";
}

std::string SignatureText(const DeltaSignature& signature) {
    return SignedLines(signature) + "Ed25519: " + LowerHex(signature.Ed25519) + "\n";
}

std::optional<DeltaSignature> ReadSignatureText(std::string_view text) {
    DeltaSignature signature;
    const std::optional<std::string_view> first = TakeLine(text, FirstLine);
    const std::optional<std::string_view> key = TakeLine(text, "Key: ");
    if (!first || !first->empty() || !key || !ReadHex<8>(*key) ||
        !ReadSizedDigest(TakeLine(text, "Delta: "), signature.DeltaSize, signature.DeltaDigest) ||
        !ReadSizedDigest(TakeLine(text, "Newer: "), signature.NewerSize, signature.NewerDigest)) {
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

std::int64_t DigestingStream::Read(void*, std::int64_t) {
    throw EStreamError("A digesting stream is written only");
}

std::int64_t DigestingStream::Write(const void* buffer, std::int64_t count) {
    const std::int64_t n = inner_.Write(buffer, count);
    if (n > 0) {
        sha_.Update(buffer, static_cast<std::size_t>(n));
        size_ += n;
    }
    return n;
}

void DigestingStream::SetPosition(std::int64_t position) {
    if (position != inner_.Position()) {
        throw EStreamError("A digesting stream is written in order");
    }
}

StreamDigest DigestingStream::Finish() {
    return {size_, sha_.Finish()};
}

DeltaSignature SignDelta(const PrivateKey& key, const StreamDigest& delta,
                         const StreamDigest& newer) {
    DeltaSignature signature;
    signature.KeyId = KeyFingerprint(PublicKeyOf(key));
    signature.DeltaSize = delta.size;
    signature.DeltaDigest = delta.digest;
    signature.NewerSize = newer.size;
    signature.NewerDigest = newer.digest;
    signature.Ed25519 = Sign(key, SignedLines(signature));
    return signature;
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

void CheckSignedDelta(const DeltaSignature& signature, const std::string& deltaName,
                      ByteStream& delta, const DigestTold& told) {
    const StreamDigest bytes = DigestOfStream(delta, told);
    if (bytes.size != signature.DeltaSize || bytes.digest != signature.DeltaDigest) {
        throw ESignatureError("Delta file does not match its signature: " + deltaName);
    }
}

void CheckRebuilt(const DeltaSignature& signature, const StreamDigest& rebuilt,
                  const std::string& target) {
    if (rebuilt.size != signature.NewerSize || rebuilt.digest != signature.NewerDigest) {
        throw ESignatureError("Rebuilt file does not match the signature: " + target);
    }
}

PrivateKey ReadPrivateKeyFile(const std::string& name) {
    std::optional<PrivateKey> key = ReadPrivateKeyPem(KeyText(name));
    if (!key) {
        throw ESignatureError("Not an Ed25519 private key: " + name);
    }
    return *key;
}

PublicKey ReadPublicKeyFile(const std::string& name) {
    const std::optional<PublicKey> key = ReadPublicKeyPem(KeyText(name));
    if (!key) {
        throw ESignatureError("Not an Ed25519 public key: " + name);
    }
    return *key;
}

std::string WriteKeyPair(const std::string& name) {
    const std::string privateName = name + ".key";
    const std::string publicName = name + ".pub";
    for (const std::string& file : {privateName, publicName}) {
        if (StampOfFile(file)) {
            throw EFCreateError("File exists: " + file);
        }
    }
    const PrivateKey key = GeneratePrivateKey();
    const PublicKey point = PublicKeyOf(key);
    NewKeyFile privateFile(privateName, CreateMode::NewPrivate);
    privateFile.Write(PrivateKeyPem(key));
    NewKeyFile publicFile(publicName, CreateMode::New);
    publicFile.Write(PublicKeyPem(point));
    privateFile.Keep();
    publicFile.Keep();
    return KeyFingerprint(point);
}

} // namespace kestro
