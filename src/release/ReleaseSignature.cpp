#include "release/ReleaseSignature.hpp"

#include "common/Failures.hpp"
#include "release/ReleaseVersion.hpp"

namespace kestro {

namespace {

// The size of a release's files, and the SHA-512 of a stretch of the
// manifest.
StreamDigest ListDigest(const ManifestBytes& bytes, std::size_t from, std::size_t to,
                        std::uint64_t size) {
    Sha512 sha;
    sha.Update(bytes.bytes.data() + from, to - from);
    return {static_cast<std::int64_t>(size), sha.Finish()};
}

} // namespace

DeltaSignature ReleaseStatement(const ReleaseManifest& manifest, const ManifestBytes& bytes) {
    DeltaSignature statement;
    statement.FormatMajor = ReleaseMajor;
    statement.FormatMinor = ReleaseMinor;
    statement.OriginalName = manifest.FolderName;
    statement.OriginalVersion = VersionNumbers(manifest.OriginalVersion);
    statement.NewerVersion = VersionNumbers(manifest.NewerVersion);
    std::uint64_t originalSize = 0;
    for (const OriginalEntry& entry : manifest.Originals) {
        originalSize += entry.Size;
    }
    std::uint64_t newerSize = 0;
    for (const NewerEntry& entry : manifest.Entries) {
        newerSize += entry.Size;
    }
    statement.Original = ListDigest(bytes, bytes.originalsAt, bytes.entriesAt, originalSize);
    statement.Newer = ListDigest(bytes, bytes.entriesAt, bytes.bytes.size(), newerSize);
    return statement;
}

void BindReleaseSignature(DeltaSignature& signature, const ReleaseManifest& manifest,
                          const ManifestBytes& bytes, const std::string& packageName) {
    // Version 1 of the signature file knew no packages.
    const DeltaSignature own = ReleaseStatement(manifest, bytes);
    if (signature.Version < 2 || signature.FormatMajor != own.FormatMajor ||
        signature.FormatMinor != own.FormatMinor || signature.OriginalName != own.OriginalName ||
        signature.OriginalVersion != own.OriginalVersion ||
        signature.NewerVersion != own.NewerVersion || signature.Original != own.Original ||
        signature.Newer != own.Newer) {
        throw ESignatureError("Delta file does not match its signature: " + packageName);
    }
    RefuseUnmarkedDowngrade(signature, packageName);
}

} // namespace kestro
