#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "engine/BlockStream.hpp"
#include "engine/Crc32.hpp"
#include "platform/ByteStream.hpp"
#include "platform/Failures.hpp"
#include "platform/Files.hpp"

namespace kestro {

namespace {

// Match candidates examined per target position.
constexpr std::int32_t MaxCandidates = 25;

bool ReadVersion(const std::string& fileName, FileVersionQuad& version) {
    return GetFixedFileVersion(fileName, version.major, version.minor, version.release,
                               version.build);
}

} // namespace

std::string DeltaFileName(const std::string& originalName, const std::string& newerVersion) {
    return originalName + "_" + newerVersion + ".kst";
}

std::int32_t MakeDelta(const std::string& originalName, const std::string& newerName) {
    std::int32_t warning = ResultOk;
    DeltaDescriptor descriptor;
    descriptor.OriginalName = originalName.substr(0, MaxStoredNameLength);
    descriptor.OriginalCrc = FileCrc32(originalName);

    // The version string comes from the newer file; one that holds a path
    // separator would put the delta into another folder, and a delta named
    // like the newer file would take its place.
    const std::string deltaName = DeltaFileName(originalName, GetFileVersionString(newerName));
    if (!IsPlainFileName(deltaName) || SameFileName(deltaName, newerName)) {
        throw EFCreateError("Cannot create file " + deltaName);
    }
    if (!ReadVersion(originalName, descriptor.OriginalVersion)) {
        warning = ResultOriginalUnversioned;
    }
    if (!ReadVersion(newerName, descriptor.NewerVersion)) {
        warning = ResultNewerUnversioned;
    }

    // The delta is written to a temporary file beside it and renamed onto
    // its name once complete, so that a failure never leaves a partial delta
    // and an earlier delta of that name survives until the new one is whole.
    TemporaryFile delta = TemporaryFile::Beside(deltaName);
    WriteDeltaHeader(delta.Stream());
    WriteDeltaDescriptor(delta.Stream(), descriptor);
    {
        FileStream newer = FileStream::OpenRead(newerName);
        FileStream original = FileStream::OpenRead(originalName);
        EncodeBlockStream(newer, original, delta.Stream(), MaxCandidates);
    }
    delta.Publish(deltaName);
    return warning;
}

} // namespace kestro
