// Signed deltas. A delta is signed by a file beside it, <delta>.sig, so
// that every format is signed the same way and a delta itself is the same
// whether it is signed or not. doc/FORMAT.md describes the file: text
// lines naming the key, the delta's size and SHA-512, the newer file's size
// and SHA-512, and an Ed25519 signature over those lines.
//
// An apply with a key checks the signature file, the key and the delta's
// bytes before it writes anything, and checks the file it rebuilt against
// the signed newer file before that file takes the target's place: a delta
// changed while it is applied cannot put a file in place that the signer
// did not make.
#pragma once

#include "common/ByteStream.hpp"
#include "crypto/Signing.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// The record of a signature file.
struct DeltaSignature {
    std::string KeyId; // KeyFingerprint of the key that signed
    std::int64_t DeltaSize = 0;
    Digest DeltaDigest{};
    std::int64_t NewerSize = 0;
    Digest NewerDigest{};
    Signature Ed25519{};
};

// A signature file is never larger than this; a larger one is damaged.
constexpr std::int64_t MaxSignatureFileSize = 1024;

// deltaName + ".sig".
std::string SignatureFileName(const std::string& deltaName);

// The lines of the file that the signature covers, and the whole file.
std::string SignedLines(const DeltaSignature& signature);
std::string SignatureText(const DeltaSignature& signature);
// The record from a file's text; nothing when the text is not exactly
// what SignatureText writes.
std::optional<DeltaSignature> ReadSignatureText(std::string_view text);

// The record in a signature file; nothing when the file is damaged (larger
// than MaxSignatureFileSize, or not what SignatureText writes). Fails with
// EFOpenError "Cannot open file <name>" when it cannot be read.
std::optional<DeltaSignature> ReadSignatureFile(const std::string& name);

// The size and SHA-512 of a stream's bytes from its first to its last;
// told how many bytes of how many are done as they pass (it may stop the
// work by throwing). The stream is left at its end.
struct StreamDigest {
    std::int64_t size = 0;
    Digest digest{};
};
using DigestTold = std::function<void(std::int64_t done, std::int64_t total)>;
StreamDigest DigestOfStream(ByteStream& stream, const DigestTold& told);

// A stream that passes every write to another and takes the SHA-512 of the
// bytes as they pass: for a file written from its first byte to its last.
class DigestingStream final : public ByteStream {
public:
    explicit DigestingStream(ByteStream& inner) : inner_(inner) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return inner_.Position(); }
    // Only to where it is: the digest is of bytes written in order.
    void SetPosition(std::int64_t position) override;
    std::int64_t Size() const override { return inner_.Size(); }
    StreamDigest Finish();

private:
    ByteStream& inner_;
    Sha512 sha_;
    std::int64_t size_ = 0;
};

// The signature of a delta, made with key: what the delta stream holds
// from its first byte, and the newer file it rebuilds.
DeltaSignature SignDelta(const PrivateKey& key, const StreamDigest& delta,
                         const StreamDigest& newer);

// Reads deltaName's signature file and checks it against key: the record,
// whose delta the apply then checks with CheckSignedDelta and whose newer
// file it checks with CheckRebuilt. Fails with ESignatureError: "Delta file
// is not signed: <delta>" (no signature file), "Damaged signature file:
// <file>", "Delta file is signed by another key (<key id>): <delta>" or
// "Signature does not match: <file>".
DeltaSignature ReadVerifiedSignature(const std::string& deltaName, const PublicKey& key);

// Fails with ESignatureError "Delta file does not match its signature:
// <delta>" unless delta, read from its first byte (and left at its end),
// is the delta signature names.
void CheckSignedDelta(const DeltaSignature& signature, const std::string& deltaName,
                      ByteStream& delta, const DigestTold& told);

// Fails with ESignatureError "Rebuilt file does not match the signature:
// <target>" unless rebuilt is the newer file signature names.
void CheckRebuilt(const DeltaSignature& signature, const StreamDigest& rebuilt,
                  const std::string& target);

// The key in a key file, as kestro --keygen writes it. Fail with
// EFOpenError "Cannot open file <name>" or ESignatureError "Not an Ed25519
// private key: <name>" ("public" for the other).
PrivateKey ReadPrivateKeyFile(const std::string& name);
PublicKey ReadPublicKeyFile(const std::string& name);

// Writes NAME.key (the private key, readable by its owner only) and
// NAME.pub (the public key); neither may exist (EFCreateError "File exists:
// <name>"). Both are made or neither. Returns the key's fingerprint.
std::string WriteKeyPair(const std::string& name);

} // namespace kestro
