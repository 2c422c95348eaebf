#include "release/ReleaseManifest.hpp"

#include "DiffUnit/DeltaFile.hpp"
#include "checksum/Crc32.hpp"
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "release/ReleasePaths.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace kestro {

namespace {

[[noreturn]] void Damaged(const std::string& what) {
    throw Exception("Damaged release package: " + what);
}

// Appends the manifest's fields.
class FieldWriter {
public:
    explicit FieldWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void U8(std::uint8_t value) { out_.push_back(value); }
    void U16(std::uint16_t value) { Put(value, 2); }
    void U32(std::uint32_t value) { Put(value, 4); }
    void U64(std::uint64_t value) { Put(value, 8); }
    void Bytes(const std::uint8_t* bytes, std::size_t count) {
        out_.insert(out_.end(), bytes, bytes + count);
    }
    void Text(const std::string& text) {
        U16(static_cast<std::uint16_t>(text.size()));
        Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }

private:
    void Put(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    std::vector<std::uint8_t>& out_;
};

// Takes the manifest's fields from its bytes; a field that runs past them
// is damage.
class FieldReader {
public:
    explicit FieldReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::uint8_t U8() { return *Take(1); }
    std::uint16_t U16() { return GetLe16(Take(2)); }
    std::uint32_t U32() { return GetLe32(Take(4)); }
    std::uint64_t U64() { return GetLe64(Take(8)); }
    Digest256 Sha() {
        Digest256 digest{};
        std::memcpy(digest.data(), Take(digest.size()), digest.size());
        return digest;
    }
    std::string Text(std::size_t limit) {
        const std::size_t size = U16();
        if (size > limit) {
            Damaged("a text longer than " + std::to_string(limit) + " bytes");
        }
        return std::string(reinterpret_cast<const char*>(Take(size)), size);
    }
    std::size_t At() const { return at_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    const std::uint8_t* Take(std::size_t count) {
        if (count > bytes_.size() - at_) {
            Damaged("the manifest ends inside an entry");
        }
        const std::uint8_t* field = bytes_.data() + at_;
        at_ += count;
        return field;
    }
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_ = 0;
};

ReleaseKind ReadKind(FieldReader& in) {
    const std::uint8_t kind = in.U8();
    if (kind > static_cast<std::uint8_t>(ReleaseKind::Link)) {
        Damaged("an entry of unknown kind " + std::to_string(kind));
    }
    return static_cast<ReleaseKind>(kind);
}

// The checks every path of a list passes: a path of a release, after the
// one before it, inside a folder listed before it, and no other name for
// an entry listed already.
class PathChecks {
public:
    explicit PathChecks(bool windowsNames) : windowsNames_(windowsNames) {}

    void Check(const std::string& path, ReleaseKind kind, const std::string& target) {
        const std::string problem = PathProblem(path, windowsNames_);
        if (!problem.empty()) {
            Damaged(problem + ": " + path);
        }
        if (!last_.empty() && path <= last_) {
            Damaged("paths out of order or listed twice: " + path);
        }
        const std::string_view parent = ParentPath(path);
        if (!parent.empty() && folders_.count(PathKey(parent, windowsNames_)) == 0) {
            Damaged("an entry in no folder of the release: " + path);
        }
        if (!keys_.insert(PathKey(path, windowsNames_)).second) {
            Damaged("two entries of one name: " + path);
        }
        if (kind == ReleaseKind::Folder) {
            folders_.insert(PathKey(path, windowsNames_));
        }
        if (kind == ReleaseKind::Link) {
            const std::string linkProblem = LinkProblem(path, target);
            if (!linkProblem.empty()) {
                Damaged(linkProblem + ": " + path);
            }
        }
        last_ = path;
    }

private:
    bool windowsNames_;
    std::string last_;
    std::set<std::string> keys_;
    std::set<std::string> folders_;
};

void ReadOriginals(FieldReader& in, ReleaseManifest& manifest, bool windowsNames) {
    PathChecks checks(windowsNames);
    const std::uint32_t count = in.U32();
    for (std::uint32_t i = 0; i < count; ++i) {
        OriginalEntry entry;
        entry.Path = in.Text(MaxReleasePathBytes);
        entry.Kind = ReadKind(in);
        if (entry.Kind == ReleaseKind::File) {
            entry.Size = in.U64();
            entry.Sha256 = in.Sha();
        } else if (entry.Kind == ReleaseKind::Link) {
            entry.Target = in.Text(MaxReleaseTextBytes);
        }
        checks.Check(entry.Path, entry.Kind, entry.Target);
        manifest.Originals.push_back(std::move(entry));
    }
}

// A file's way of being made, against the originals and the entries
// listed before it.
void CheckMethod(const NewerEntry& entry, const ReleaseManifest& manifest) {
    if (entry.Method == ReleaseMethod::Copy) {
        const std::vector<NewerEntry>& before = manifest.Entries;
        if (entry.Source >= before.size() || before[entry.Source].Kind != ReleaseKind::File ||
            before[entry.Source].Size != entry.Size ||
            before[entry.Source].Sha256 != entry.Sha256 || entry.PayloadBytes != 0) {
            Damaged("a copy of no file listed before it: " + entry.Path);
        }
        return;
    }
    if (entry.Method == ReleaseMethod::Whole) {
        if (entry.Detail < MinLzmaDictionary || entry.Detail > CompactMaxDictionary ||
            entry.PayloadBytes == 0) {
            Damaged("a whole file coded in a way this reader does not take: " + entry.Path);
        }
        return;
    }
    if (entry.Source >= manifest.Originals.size() ||
        manifest.Originals[entry.Source].Kind != ReleaseKind::File) {
        Damaged("a file made from no original file: " + entry.Path);
    }
    const OriginalEntry& source = manifest.Originals[entry.Source];
    if (entry.Method == ReleaseMethod::Same &&
        (entry.PayloadBytes != 0 || source.Size != entry.Size || source.Sha256 != entry.Sha256)) {
        Damaged("a file the same as an original that differs from it: " + entry.Path);
    }
    if (entry.Method == ReleaseMethod::Delta &&
        (entry.PayloadBytes == 0 ||
         entry.Detail > static_cast<std::uint32_t>(CompactLatestMinor))) {
        Damaged("a delta this reader cannot read: " + entry.Path);
    }
}

std::uint64_t ReadEntries(FieldReader& in, ReleaseManifest& manifest, bool windowsNames) {
    PathChecks checks(windowsNames);
    std::uint64_t payloads = 0;
    const std::uint32_t count = in.U32();
    for (std::uint32_t i = 0; i < count; ++i) {
        NewerEntry entry;
        entry.Path = in.Text(MaxReleasePathBytes);
        entry.Kind = ReadKind(in);
        entry.Permissions = in.U16();
        if (entry.Permissions > 0777) {
            Damaged("permissions beyond 0777: " + entry.Path);
        }
        if (entry.Kind == ReleaseKind::File) {
            entry.Size = in.U64();
            entry.Sha256 = in.Sha();
            const std::uint8_t method = in.U8();
            if (method > static_cast<std::uint8_t>(ReleaseMethod::Copy)) {
                Damaged("a file made in an unknown way: " + entry.Path);
            }
            entry.Method = static_cast<ReleaseMethod>(method);
            entry.Source = in.U32();
            entry.Detail = in.U32();
            entry.PayloadBytes = in.U64();
            CheckMethod(entry, manifest);
            if (entry.PayloadBytes > UINT64_MAX - payloads) {
                Damaged("payloads larger than any file");
            }
            payloads += entry.PayloadBytes;
        } else if (entry.Kind == ReleaseKind::Link) {
            entry.Target = in.Text(MaxReleaseTextBytes);
        }
        checks.Check(entry.Path, entry.Kind, entry.Target);
        manifest.Entries.push_back(std::move(entry));
    }
    return payloads;
}

} // namespace

ManifestBytes WriteManifest(const ReleaseManifest& manifest) {
    ManifestBytes result;
    FieldWriter out(result.bytes);
    out.Text(manifest.FolderName);
    out.Text(manifest.OriginalVersion);
    out.Text(manifest.NewerVersion);
    result.originalsAt = result.bytes.size();
    out.U32(static_cast<std::uint32_t>(manifest.Originals.size()));
    for (const OriginalEntry& entry : manifest.Originals) {
        out.Text(entry.Path);
        out.U8(static_cast<std::uint8_t>(entry.Kind));
        if (entry.Kind == ReleaseKind::File) {
            out.U64(entry.Size);
            out.Bytes(entry.Sha256.data(), entry.Sha256.size());
        } else if (entry.Kind == ReleaseKind::Link) {
            out.Text(entry.Target);
        }
    }
    result.entriesAt = result.bytes.size();
    out.U32(static_cast<std::uint32_t>(manifest.Entries.size()));
    for (const NewerEntry& entry : manifest.Entries) {
        out.Text(entry.Path);
        out.U8(static_cast<std::uint8_t>(entry.Kind));
        out.U16(static_cast<std::uint16_t>(entry.Permissions));
        if (entry.Kind == ReleaseKind::File) {
            out.U64(entry.Size);
            out.Bytes(entry.Sha256.data(), entry.Sha256.size());
            out.U8(static_cast<std::uint8_t>(entry.Method));
            out.U32(entry.Source);
            out.U32(entry.Detail);
            out.U64(entry.PayloadBytes);
        } else if (entry.Kind == ReleaseKind::Link) {
            out.Text(entry.Target);
        }
    }
    return result;
}

void WritePackageHeader(ByteStream& out, const ManifestBytes& manifest,
                        std::uint64_t payloadBytes) {
    WriteDeltaHeader(out, DeltaFormat::Release, ReleaseMinor);
    std::uint8_t header[PackageHeaderBytes] = {};
    std::memcpy(header, ReleaseTag, sizeof ReleaseTag);
    PutLe32(header + ManifestBytesField, static_cast<std::uint32_t>(manifest.bytes.size()));
    PutLe32(header + ManifestCrcField, Crc32Buffer(manifest.bytes.data(), manifest.bytes.size()));
    PutLe64(header + PayloadBytesField, payloadBytes);
    out.WriteBuffer(header, PackageHeaderBytes);
}

ReadPackage ReadPackageManifest(ByteStream& in, bool windowsNames) {
    std::uint8_t header[PackageHeaderBytes];
    if (in.Read(header, PackageHeaderBytes) != PackageHeaderBytes ||
        std::memcmp(header, ReleaseTag, sizeof ReleaseTag) != 0) {
        Damaged("no package header");
    }
    ReadPackage package;
    const std::uint32_t manifestBytes = GetLe32(header + ManifestBytesField);
    package.payloadBytes = GetLe64(header + PayloadBytesField);
    const std::int64_t rest = in.Size() - in.Position();
    if (manifestBytes > MaxManifestBytes || manifestBytes > static_cast<std::uint64_t>(rest) ||
        package.payloadBytes != static_cast<std::uint64_t>(rest) - manifestBytes) {
        Damaged("a manifest or payloads of another size than the file holds");
    }
    package.bytes.bytes.resize(manifestBytes);
    in.ReadBuffer(package.bytes.bytes.data(), manifestBytes);
    if (Crc32Buffer(package.bytes.bytes.data(), manifestBytes) !=
        GetLe32(header + ManifestCrcField)) {
        Damaged("the manifest's CRC-32 does not match");
    }
    FieldReader fields(package.bytes.bytes);
    ReleaseManifest& manifest = package.manifest;
    manifest.FolderName = fields.Text(MaxReleaseTextBytes);
    manifest.OriginalVersion = fields.Text(MaxReleaseTextBytes);
    manifest.NewerVersion = fields.Text(MaxReleaseTextBytes);
    if (!PathProblem(manifest.FolderName, windowsNames).empty() ||
        manifest.FolderName.find('/') != std::string::npos) {
        Damaged("a folder name that is no plain name: " + manifest.FolderName);
    }
    package.bytes.originalsAt = fields.At();
    ReadOriginals(fields, manifest, windowsNames);
    package.bytes.entriesAt = fields.At();
    if (ReadEntries(fields, manifest, windowsNames) != package.payloadBytes || !fields.AtEnd()) {
        Damaged("payloads of another size than the manifest lists");
    }
    return package;
}

} // namespace kestro
