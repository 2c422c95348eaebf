// What a signature's statement says of a release package: the same
// signature file as a delta's (DeltaSignature.hpp), with format 3.0, the
// original folder's name, both releases' version numbers, and each release
// by the total size of its files and the SHA-512 of its list in the
// manifest, which names every file by its SHA-256.
#pragma once

#include "DiffUnit/DeltaSignature.hpp"
#include "release/ReleaseManifest.hpp"

#include <string>

namespace kestro {

// The statement of a package whose manifest is given, without its key, its
// delta digest and whether a downgrade is meant.
DeltaSignature ReleaseStatement(const ReleaseManifest& manifest, const ManifestBytes& bytes);

// Binds a verified signature to the package's manifest as BindSignature
// binds one to a delta's descriptor: a version 2 statement must be the
// package's own (else ESignatureError "Delta file does not match its
// signature: <package>"; version 1 knew no packages); a downgrade it does
// not mark is refused.
void BindReleaseSignature(DeltaSignature& signature, const ReleaseManifest& manifest,
                          const ManifestBytes& bytes, const std::string& packageName);

} // namespace kestro
