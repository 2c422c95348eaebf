#include "release/ReleaseStage.hpp"

#include "codec/compact/CompactStream.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/Failures.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "release/ReleasePaths.hpp"
#include "release/ReleaseScan.hpp"

#include <algorithm>
#include <set>

namespace kestro {

namespace {

constexpr std::int64_t Piece = 1 << 20;

[[noreturn]] void Damaged(const std::string& what) {
    throw Exception("Damaged release package: " + what);
}

// Passes a rebuilt file's bytes on, counting them and taking their SHA-256.
// A file never grows past its listed size: a payload that would make more
// is damaged, and stops before it fills a disk.
class CheckedOutput final : public ByteStream {
public:
    CheckedOutput(ByteStream& out, const NewerEntry& entry,
                  const std::function<void(std::int64_t)>& told)
        : out_(out), entry_(entry), told_(told) {}
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (static_cast<std::uint64_t>(size_ + count) > entry_.Size) {
            Damaged("a file rebuilt larger than its listing: " + entry_.Path);
        }
        out_.WriteBuffer(buffer, count);
        sha_.Update(buffer, static_cast<std::size_t>(count));
        size_ += count;
        if (told_) {
            told_(count);
        }
        return count;
    }
    std::int64_t Position() const override { return size_; }
    void SetPosition(std::int64_t) override {}
    std::int64_t Size() const override { return size_; }
    Digest256 Finish() { return sha_.Finish(); }

private:
    ByteStream& out_;
    const NewerEntry& entry_;
    const std::function<void(std::int64_t)>& told_;
    Sha256 sha_;
    std::int64_t size_ = 0;
};

// Whether every folder above path in folder is a folder, not a link or a
// file put in its place.
bool FoldersAbove(const std::string& folder, std::string_view path) {
    for (std::string_view parent = ParentPath(path); !parent.empty(); parent = ParentPath(parent)) {
        const std::optional<EntryStatus> status = StatusOf(EntryName(folder, std::string(parent)));
        if (!status || status->kind != EntryKind::Folder) {
            return false;
        }
    }
    return true;
}

// Whether the file at path in folder is the one listed.
bool IsListedFile(const std::string& folder, const std::string& path, std::uint64_t size,
                  const Digest256& sha256, const std::function<void(std::int64_t)>& told) {
    const std::string name = EntryName(folder, path);
    const std::optional<EntryStatus> status = StatusOf(name);
    if (!FoldersAbove(folder, path) || !status || status->kind != EntryKind::File ||
        static_cast<std::uint64_t>(status->size) != size) {
        return false;
    }
    FileStream file = FileStream::OpenRead(name);
    Sha256 sha;
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(Piece));
    std::uint64_t read = 0;
    for (std::int64_t n; (n = file.Read(piece.data(), Piece)) > 0;) {
        sha.Update(piece.data(), static_cast<std::size_t>(n));
        read += static_cast<std::uint64_t>(n);
        if (told) {
            told(n);
        }
    }
    return read == size && sha.Finish() == sha256;
}

// A whole file's LZMA2 stream, which must end with its payload.
void DecodeWhole(SliceStream& payload, std::uint32_t dictionary, ByteStream& out) {
    LzmaDecoder decoder(dictionary);
    std::vector<std::uint8_t> input(static_cast<std::size_t>(Piece));
    std::vector<std::uint8_t> output(static_cast<std::size_t>(Piece));
    std::span<const std::uint8_t> coded;
    for (;;) {
        if (coded.empty()) {
            const std::int64_t n = payload.Read(input.data(), Piece);
            if (n == 0) {
                Damaged("a whole file's stream that ends early");
            }
            coded = std::span<const std::uint8_t>(input.data(), static_cast<std::size_t>(n));
        }
        std::span<std::uint8_t> room(output);
        const LzmaDecoder::Status status = decoder.Decode(coded, room);
        out.WriteBuffer(output.data(), static_cast<std::int64_t>(output.size() - room.size()));
        if (status == LzmaDecoder::Status::Damaged) {
            Damaged("a whole file's stream that does not decode");
        }
        if (status == LzmaDecoder::Status::Ended) {
            if (!coded.empty() || payload.Position() != payload.Size()) {
                Damaged("bytes after a whole file's stream");
            }
            return;
        }
    }
}

// Whether a link's target, taken from the link's folder, is a folder of
// the release.
bool PointsToFolder(const ReleaseManifest& manifest, const NewerEntry& link) {
    std::vector<std::string> parts;
    for (std::string_view folder = ParentPath(link.Path); !folder.empty();
         folder = ParentPath(folder)) {
        parts.insert(parts.begin(), std::string(folder.substr(folder.rfind('/') + 1)));
    }
    for (std::size_t start = 0; start <= link.Target.size();) {
        const std::size_t end = std::min(link.Target.find('/', start), link.Target.size());
        const std::string part = link.Target.substr(start, end - start);
        if (part == ".." && !parts.empty()) {
            parts.pop_back();
        } else if (part != "..") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string path;
    for (const std::string& part : parts) {
        path += path.empty() ? part : "/" + part;
    }
    return path.empty() ||
           std::any_of(manifest.Entries.begin(), manifest.Entries.end(), [&](const NewerEntry& e) {
               return e.Path == path && e.Kind == ReleaseKind::Folder;
           });
}

void CopyFile(const std::string& from, const std::string& to, std::uint32_t permissions) {
    FileStream source = FileStream::OpenRead(from);
    FileStream copy = FileStream::Create(to, CreateMode::New);
    copy.CopyFrom(source, source.Size());
    copy.Sync();
    copy.Close();
    if (!SetPermissions(to, permissions)) {
        throw EFCreateError("Cannot create file " + to);
    }
}

// What folder holds below path that neither release lists, copied into
// staging where the newer release leaves room for it.
void CarryOver(const std::string& folder, const std::string& staging, const std::string& path,
               const std::set<std::string>& known, bool windowsNames) {
    for (const std::string& name : ListFolder(path.empty() ? folder : EntryName(folder, path))) {
        const std::string entry = path.empty() ? name : path + "/" + name;
        const std::string from = EntryName(folder, entry);
        const std::string to = EntryName(staging, entry);
        const std::optional<EntryStatus> status = StatusOf(from);
        if (!status) {
            continue;
        }
        const bool listed = known.count(PathKey(entry, windowsNames)) != 0;
        if (listed) {
            const std::optional<EntryStatus> made = StatusOf(to);
            if (status->kind == EntryKind::Folder && made && made->kind == EntryKind::Folder) {
                CarryOver(folder, staging, entry, known, windowsNames);
            }
            continue;
        }
        const std::optional<EntryStatus> parent =
            StatusOf(path.empty() ? staging : EntryName(staging, path));
        if (!parent || parent->kind != EntryKind::Folder) {
            continue; // the newer release has a file or link there; the backup keeps it
        }
        switch (status->kind) {
        case EntryKind::File:
            CopyFile(from, to, status->permissions & 0777);
            break;
        case EntryKind::Folder:
            if (MakeFolder(to) != NameOutcome::Made) {
                throw EFCreateError("Cannot create folder " + to);
            }
            CarryOver(folder, staging, entry, known, windowsNames);
            SetPermissions(to, status->permissions & 0777);
            break;
        case EntryKind::Link: {
            const std::optional<std::string> target = ReadLink(from);
            const std::optional<EntryStatus> pointed =
                StatusOf(DirectoryPart(from) + (target ? *target : std::string()));
            if (!target || MakeLink(*target, to, pointed && pointed->kind == EntryKind::Folder) !=
                               NameOutcome::Made) {
                throw EFCreateError("Cannot create file " + to);
            }
            break;
        }
        case EntryKind::Other:
            break;
        }
    }
}

void CollectFiles(const std::string& folder, std::vector<std::string>& files) {
    for (const std::string& name : ListFolder(folder)) {
        const std::string entry = folder + "/" + name;
        const std::optional<EntryStatus> status = StatusOf(entry);
        if (status && status->kind == EntryKind::Folder) {
            CollectFiles(entry, files);
        } else if (status && status->kind == EntryKind::File) {
            files.push_back(entry);
        }
    }
}

} // namespace

std::vector<std::string> ChangedOriginals(const ReleaseManifest& manifest,
                                          const std::string& folder, const StageTold& told) {
    std::set<std::uint32_t> sources;
    for (const NewerEntry& entry : manifest.Entries) {
        if (entry.Kind == ReleaseKind::File &&
            (entry.Method == ReleaseMethod::Same || entry.Method == ReleaseMethod::Delta)) {
            sources.insert(entry.Source);
        }
    }
    std::int64_t total = 0;
    for (const std::uint32_t index : sources) {
        total += static_cast<std::int64_t>(manifest.Originals[index].Size);
    }
    std::vector<std::string> changed;
    std::int64_t bytes = 0;
    for (const std::uint32_t index : sources) {
        const OriginalEntry& original = manifest.Originals[index];
        if (!IsListedFile(folder, original.Path, original.Size, original.Sha256,
                          [&](std::int64_t n) {
                              bytes += n;
                              if (told) {
                                  told(bytes, total);
                              }
                          })) {
            changed.push_back(original.Path);
        }
    }
    return changed;
}

bool HoldsNewerRelease(const ReleaseManifest& manifest, const std::string& folder) {
    return std::all_of(manifest.Entries.begin(), manifest.Entries.end(), [&](const NewerEntry& e) {
        return e.Kind != ReleaseKind::File || IsListedFile(folder, e.Path, e.Size, e.Sha256, {});
    });
}

void RebuildFile(OpenPackage& package, std::size_t index, const std::string& folder,
                 const std::string& staging, ByteStream& out,
                 const std::function<void(std::int64_t)>& told) {
    const ReleaseManifest& manifest = package.package.manifest;
    const NewerEntry& entry = manifest.Entries[index];
    CheckedOutput checked(out, entry, told);
    if (entry.Method == ReleaseMethod::Copy) {
        FileStream made =
            FileStream::OpenRead(EntryName(staging, manifest.Entries[entry.Source].Path));
        checked.CopyFrom(made, static_cast<std::int64_t>(entry.Size));
    } else if (entry.Method == ReleaseMethod::Whole) {
        SliceStream payload = package.Payload(index);
        DecodeWhole(payload, entry.Detail, checked);
    } else {
        FileStream original =
            FileStream::OpenRead(EntryName(folder, manifest.Originals[entry.Source].Path));
        if (entry.Method == ReleaseMethod::Same) {
            checked.CopyFrom(original, static_cast<std::int64_t>(entry.Size));
        } else {
            SliceStream payload = package.Payload(index);
            CompactHeader header;
            if (!ReadCompactHeader(payload, static_cast<std::int32_t>(entry.Detail), header) ||
                header.NewerSize != entry.Size) {
                Damaged("a delta of another file than its entry: " + entry.Path);
            }
            DecodeCompactBody(payload, header, original, checked, [&told] {
                if (told) {
                    told(0);
                }
            });
        }
    }
    if (static_cast<std::uint64_t>(checked.Size()) != entry.Size ||
        checked.Finish() != entry.Sha256) {
        Damaged("a file rebuilt unlike its listing: " + entry.Path);
    }
}

void StageRelease(OpenPackage& package, const std::string& folder, const std::string& staging,
                  const StageTold& told) {
    const ReleaseManifest& manifest = package.package.manifest;
    if (MakeFolder(staging) != NameOutcome::Made) {
        throw EFCreateError("Cannot create folder " + staging);
    }
    std::int64_t bytes = 0;
    std::int64_t files = 0;
    std::set<std::string> known;
    for (std::size_t i = 0; i < manifest.Entries.size(); ++i) {
        const NewerEntry& entry = manifest.Entries[i];
        const std::string name = EntryName(staging, entry.Path);
        known.insert(PathKey(entry.Path, WindowsNameRules()));
        switch (entry.Kind) {
        case ReleaseKind::Folder:
            if (MakeFolder(name) != NameOutcome::Made) {
                throw EFCreateError("Cannot create folder " + name);
            }
            break;
        case ReleaseKind::Link:
            if (MakeLink(entry.Target, name, PointsToFolder(manifest, entry)) !=
                NameOutcome::Made) {
                throw EFCreateError("Cannot create file " + name);
            }
            break;
        case ReleaseKind::File: {
            FileStream out = FileStream::Create(name, CreateMode::New);
            RebuildFile(package, i, folder, staging, out, [&](std::int64_t n) {
                bytes += n;
                if (told) {
                    told(bytes, files);
                }
            });
            out.Sync();
            out.Close();
            if (!SetPermissions(name, entry.Permissions)) {
                throw EFCreateError("Cannot create file " + name);
            }
            ++files;
            break;
        }
        }
    }
    for (const OriginalEntry& original : manifest.Originals) {
        known.insert(PathKey(original.Path, WindowsNameRules()));
    }
    CarryOver(folder, staging, "", known, WindowsNameRules());
    // Folders last, deepest first: a folder without write permission is
    // filled before it gets them, and each one's names are durable before
    // its parent's.
    for (auto entry = manifest.Entries.rbegin(); entry != manifest.Entries.rend(); ++entry) {
        if (entry->Kind == ReleaseKind::Folder) {
            const std::string name = EntryName(staging, entry->Path);
            if (!SyncFolder(name) || !SetPermissions(name, entry->Permissions)) {
                throw EFCreateError("Cannot create folder " + name);
            }
        }
    }
    // The release's folder keeps the permissions the folder had.
    const std::optional<EntryStatus> own = StatusOf(folder);
    if ((own && !SetPermissions(staging, own->permissions)) || !SyncFolder(staging)) {
        throw EFCreateError("Cannot create folder " + staging);
    }
}

std::vector<std::string> FilesOf(const std::string& folder) {
    std::vector<std::string> files;
    CollectFiles(folder, files);
    return files;
}

} // namespace kestro
