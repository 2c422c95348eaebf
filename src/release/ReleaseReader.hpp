// A release package opened for reading: its signature checked first where
// a key is given (the package then read once into a copy no other program
// can reach, and only that copy read afterwards, as for a signed delta),
// its manifest read and checked, and its payloads read in order.
#pragma once

#include "DiffUnit/DeltaSignature.hpp"
#include "common/ByteStream.hpp"
#include "common/Progress.hpp"
#include "platform/FileStream.hpp"
#include "release/ReleaseManifest.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kestro {

struct OpenPackage {
    // code is ResultOk, or ResultNotADelta or ResultWrongDeltaVersion for a
    // file that is no package this reader knows. A damaged package fails
    // with Exception "Damaged release package: <what>", a signature as
    // CopySignedDelta and BindReleaseSignature fail.
    OpenPackage(const std::string& packageName, const std::optional<PublicKey>& key,
                const ProgressFunction& told);

    // The package's bytes: the checked copy of a signed package, else the
    // file.
    ByteStream& Bytes() { return verified ? *verified : static_cast<ByteStream&>(file); }
    // The payload of an entry, as a stream of its own: where each payload
    // lies follows from the sizes of those before it.
    SliceStream Payload(std::size_t entry);

    FileStream file;
    std::unique_ptr<ByteStream> verified;
    std::optional<DeltaSignature> signature; // bound to the manifest
    std::int32_t code = 0;
    ReadPackage package;
    std::vector<std::int64_t> payloadAt; // by entry: where its payload starts
};

// Whether the file's header says it is a release package (of any version):
// for the callers that choose between a delta's and a package's operation.
bool IsReleasePackage(const std::string& name);

} // namespace kestro
