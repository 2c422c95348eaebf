#include "release/ReleaseReader.hpp"

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "platform/Files.hpp"
#include "release/ReleaseSignature.hpp"

namespace kestro {

OpenPackage::OpenPackage(const std::string& packageName, const std::optional<PublicKey>& key,
                         const ProgressFunction& told)
    : file(FileStream::OpenRead(packageName)) {
    if (key) {
        signature = ReadVerifiedSignature(packageName, *key);
        verified = CopySignedDelta(*signature, packageName, file,
                                   [&](std::int64_t done, std::int64_t total) {
                                       if (told) {
                                           told({Phase::Verifying, done, total, 0, 0});
                                       }
                                   });
    }
    ByteStream& bytes = Bytes();
    DeltaFormat format = DeltaFormat::Blocks;
    std::int32_t minor = 0;
    code = ReadDeltaHeader(bytes, format, minor);
    if (code == ResultOk && format != DeltaFormat::Release) {
        code = ResultWrongDeltaVersion;
    }
    if (code != ResultOk) {
        return;
    }
    package = ReadPackageManifest(bytes, WindowsNameRules());
    if (signature) {
        BindReleaseSignature(*signature, package.manifest, package.bytes, packageName);
    }
    std::int64_t at = bytes.Position();
    for (const NewerEntry& entry : package.manifest.Entries) {
        payloadAt.push_back(at);
        at += static_cast<std::int64_t>(entry.PayloadBytes);
    }
}

SliceStream OpenPackage::Payload(std::size_t entry) {
    return SliceStream(Bytes(), payloadAt[entry],
                       static_cast<std::int64_t>(package.manifest.Entries[entry].PayloadBytes));
}

bool IsReleasePackage(const std::string& name) {
    if (!FileExists(name)) {
        return false;
    }
    FileStream file = FileStream::OpenRead(name);
    if (file.Size() < DeltaHeaderBytes) {
        return false;
    }
    DeltaFormat format = DeltaFormat::Blocks;
    std::int32_t minor = 0;
    const std::int32_t code = ReadDeltaHeader(file, format, minor);
    if (code != ResultWrongDeltaVersion) {
        return code == ResultOk && format == DeltaFormat::Release;
    }
    // A package of a later version is still one, for the message it gets.
    file.SetPosition(FormatMajorField);
    std::uint8_t major[4];
    file.ReadBuffer(major, 4);
    return GetLe32(major) == static_cast<std::uint32_t>(ReleaseMajor);
}

} // namespace kestro
