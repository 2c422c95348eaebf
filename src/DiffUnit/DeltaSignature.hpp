// Signed deltas. A delta is signed by a file beside it, <delta>.sig, so
// that every format is signed the same way and a delta itself is the same
// whether it is signed or not. doc/FORMAT.md section 12 describes the file.
//
// A signature file of version 2 signs a statement of the update: the file
// it updates (name, version, size and SHA-512), the file it makes (version,
// size and SHA-512), the delta (format, size and SHA-512), and whether it
// goes back to a lower version. Version 1, which Kestro 1.3 wrote, signs
// the delta's and the newer file's size and SHA-512 only; it is still
// read, and the rest of its statement is what the signed delta's own
// descriptor says (the original known by its CRC-32 only).
//
// An apply with a key checks the signature file and the key, then reads the
// delta once into a copy no other program can reach, checks that copy
// against the signature and reads nothing but that copy afterwards; it
// refuses a downgrade the statement does not mark, checks the target
// against the signed original before it writes anything, and the rebuilt
// file against the signed newer file before that takes the target's place.
#pragma once

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/StreamDigest.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "common/ByteStream.hpp"
#include "crypto/Signing.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// The record of a signature file: the signed statement and its signature.
struct DeltaSignature {
    std::int32_t Version = 2; // of the signature file: 1 or 2
    std::string KeyId;        // KeyFingerprint of the key that signed
    // The delta's format version.
    std::int32_t FormatMajor = 0;
    std::int32_t FormatMinor = 0;
    // The file the delta updates: its name as the descriptor holds it (the
    // program's text, which the file stores as the descriptor does), its
    // version, size and SHA-512 (size and digest in version 2 only).
    std::string OriginalName;
    FileVersionQuad OriginalVersion;
    StreamDigest Original;
    // The file the delta makes.
    FileVersionQuad NewerVersion;
    StreamDigest Newer;
    // The delta file's bytes.
    StreamDigest Delta;
    // The newer version is lower than the original's, and the signer said
    // that was meant.
    bool Downgrade = false;
    Signature Ed25519{};
};

// A signature file is never larger than this; a larger one is damaged.
constexpr std::int64_t MaxSignatureFileSize = 2048;
// A signed delta of at most this many bytes is checked and applied from a
// copy in memory; a larger one from a scratch file beside it.
constexpr std::int64_t SignedDeltaInMemory = std::int64_t{8} << 20;

// deltaName + ".sig".
std::string SignatureFileName(const std::string& deltaName);

// The lines of the file that the signature covers, and the whole file, in
// the record's version.
std::string SignedLines(const DeltaSignature& signature);
std::string SignatureText(const DeltaSignature& signature);
// The record from a file's text; nothing when the text is not exactly
// what SignatureText writes.
std::optional<DeltaSignature> ReadSignatureText(std::string_view text);

// The record in a signature file; nothing when the file is damaged (larger
// than MaxSignatureFileSize, or not what SignatureText writes). Fails with
// EFOpenError "Cannot open file <name>" when it cannot be read.
std::optional<DeltaSignature> ReadSignatureFile(const std::string& name);

// statement signed with key, as a version 2 signature file says it.
DeltaSignature SignDelta(const PrivateKey& key, DeltaSignature statement);

// Reads deltaName's signature file and checks it against key. Fails with
// ESignatureError: "Delta file is not signed: <delta>" (no signature
// file), "Damaged signature file: <file>", "Delta file is signed by another
// key (<key id>): <delta>" or "Signature does not match: <file>".
DeltaSignature ReadVerifiedSignature(const std::string& deltaName, const PublicKey& key);

// The bytes the signature covers: delta, the open delta file, read once
// from its first byte into a copy that no other program can reach (memory
// up to inMemory bytes, else a scratch file beside the delta) and checked
// against the signature. Only the copy may be read afterwards: a delta
// file changed meanwhile is then applied as it was signed, or refused.
// Fails with ESignatureError "Delta file does not match its signature:
// <delta>".
std::unique_ptr<ByteStream> CopySignedDelta(const DeltaSignature& signature,
                                            const std::string& deltaName, ByteStream& delta,
                                            const DigestTold& told,
                                            std::int64_t inMemory = SignedDeltaInMemory);

// Binds the statement to the signed delta's own header and descriptor: a
// version 2 statement must name the same format, file and versions (else
// "Delta file does not match its signature: <delta>"); a version 1
// statement takes them from there. Then refuses a downgrade that the
// statement does not mark: ESignatureError "Signed delta would downgrade
// <name> from <version> to <version>: <delta>".
void BindSignature(DeltaSignature& signature, DeltaFormat format, std::int32_t minor,
                   const DeltaDescriptor& descriptor, const std::string& deltaName);

// Fails with ESignatureError "Signed delta would downgrade <name> from
// <version> to <version>: <delta>" for a newer version lower than the
// original's that the statement does not mark as meant.
void RefuseUnmarkedDowngrade(const DeltaSignature& signature, const std::string& deltaName);

// Whether the statement names the original's size and SHA-512 (version 2).
bool SignsOriginal(const DeltaSignature& signature);

// Fails with ESignatureError "File does not match the signed original:
// <target>" unless target is the original a version 2 statement names.
void CheckSignedOriginal(const DeltaSignature& signature, const StreamDigest& target,
                         const std::string& targetName);

// Fails with ESignatureError "Rebuilt file does not match the signature:
// <target>" unless rebuilt is the newer file signature names.
void CheckRebuilt(const DeltaSignature& signature, const StreamDigest& rebuilt,
                  const std::string& targetName);

} // namespace kestro
