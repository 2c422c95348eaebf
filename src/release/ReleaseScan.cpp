#include "release/ReleaseScan.hpp"

#include "common/Failures.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "release/ReleasePaths.hpp"

#include <algorithm>
#include <set>

namespace kestro {

namespace {

constexpr std::int64_t ReadPiece = 1 << 20;
// A stretch ends a sketch's hash where the rolling hash's low bits are zero:
// one in 64 positions on average.
constexpr std::uint64_t SketchMask = 63;
constexpr std::size_t SketchWindow = 32;

[[noreturn]] void Refused(const std::string& why, const std::string& path) {
    throw Exception("Cannot put into a release package (" + why + "): " + path);
}

// The smallest SketchSize hashes of the stretches a file's content picks,
// kept as the bytes go by.
class SketchMaker {
public:
    void Update(const std::uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            // A Rabin-Karp hash over the last SketchWindow bytes.
            const std::uint8_t leaving = window_[at_];
            window_[at_] = bytes[i];
            at_ = (at_ + 1) % SketchWindow;
            rolling_ = rolling_ * Multiplier + bytes[i] - leaving * Outgoing;
            if (++seen_ >= SketchWindow && (rolling_ & SketchMask) == 0) {
                Keep(Mix(rolling_));
            }
        }
    }
    Sketch Finish() { return Sketch(kept_.begin(), kept_.end()); }

private:
    static constexpr std::uint64_t Multiplier = 0x100000001B3u;
    static constexpr std::uint64_t Outgoing = [] {
        std::uint64_t power = 1;
        for (std::size_t i = 0; i < SketchWindow; ++i) {
            power *= Multiplier;
        }
        return power;
    }();

    // A hash's bits spread, so that the smallest are a fair sample.
    static std::uint64_t Mix(std::uint64_t value) {
        value ^= value >> 33;
        value *= 0xFF51AFD7ED558CCDu;
        value ^= value >> 33;
        return value;
    }
    void Keep(std::uint64_t hash) {
        if (kept_.size() < SketchSize) {
            kept_.insert(hash);
        } else if (hash < *kept_.rbegin() && kept_.insert(hash).second) {
            kept_.erase(std::prev(kept_.end()));
        }
    }

    std::array<std::uint8_t, SketchWindow> window_{};
    std::size_t at_ = 0;
    std::uint64_t rolling_ = 0;
    std::uint64_t seen_ = 0;
    std::set<std::uint64_t> kept_;
};

// The entries under folder (path relative to the release's folder),
// depth first.
void Walk(const std::string& root, const std::string& path, std::vector<ScannedEntry>& entries) {
    const std::string folder = path.empty() ? root : EntryName(root, path);
    for (const std::string& name : ListFolder(folder)) {
        ScannedEntry entry;
        entry.Path = path.empty() ? name : path + "/" + name;
        const std::string problem = PathProblem(entry.Path, WindowsNameRules());
        if (!problem.empty()) {
            Refused(problem, entry.Path);
        }
        const std::string full = EntryName(root, entry.Path);
        const std::optional<EntryStatus> status = StatusOf(full);
        if (!status) {
            throw EFOpenError("Cannot open file " + full);
        }
        entry.Permissions = status->permissions & 0777;
        switch (status->kind) {
        case EntryKind::File:
            entry.Kind = ReleaseKind::File;
            entry.Size = static_cast<std::uint64_t>(status->size);
            break;
        case EntryKind::Folder:
            entry.Kind = ReleaseKind::Folder;
            break;
        case EntryKind::Link: {
            entry.Kind = ReleaseKind::Link;
            entry.Permissions = 0;
            const std::optional<std::string> target = ReadLink(full);
            if (!target) {
                throw EFOpenError("Cannot open file " + full);
            }
            entry.Target = *target;
            const std::string linkProblem = LinkProblem(entry.Path, entry.Target);
            if (!linkProblem.empty()) {
                Refused(linkProblem, entry.Path);
            }
            break;
        }
        case EntryKind::Other:
            Refused("neither a file, a folder nor a link", entry.Path);
        }
        const bool folderEntry = entry.Kind == ReleaseKind::Folder;
        const std::string below = entry.Path;
        entries.push_back(std::move(entry));
        if (folderEntry) {
            Walk(root, below, entries);
        }
    }
}

// A file's SHA-256 and sketch, its bytes read once; it must still have the
// size it was listed with.
void ReadContent(const std::string& name, ScannedEntry& entry,
                 const std::function<void(std::int64_t)>& read) {
    FileStream file = FileStream::OpenRead(name);
    entry.Stamp = file.Stamp();
    Sha256 sha;
    SketchMaker sketch;
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(ReadPiece));
    std::uint64_t size = 0;
    for (;;) {
        const std::int64_t n = file.Read(piece.data(), ReadPiece);
        if (n <= 0) {
            break;
        }
        sha.Update(piece.data(), static_cast<std::size_t>(n));
        sketch.Update(piece.data(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
        read(n);
    }
    if (size != entry.Size || file.Stamp() != entry.Stamp) {
        throw EReadError("File changed while reading: " + name);
    }
    entry.Sha256 = sha.Finish();
    entry.Likeness = sketch.Finish();
}

} // namespace

std::string EntryName(const std::string& folder, const std::string& path) {
    if (folder.empty()) {
        return path;
    }
    return IsPathSeparator(folder.back()) ? folder + path : folder + "/" + path;
}

std::vector<ScannedEntry> ScanRelease(const std::string& folder, const ScanTold& told) {
    std::vector<ScannedEntry> entries;
    Walk(folder, "", entries);
    std::sort(entries.begin(), entries.end(),
              [](const ScannedEntry& a, const ScannedEntry& b) { return a.Path < b.Path; });
    std::int64_t total = 0;
    for (const ScannedEntry& entry : entries) {
        total += static_cast<std::int64_t>(entry.Size);
    }
    std::int64_t done = 0;
    for (ScannedEntry& entry : entries) {
        if (entry.Kind == ReleaseKind::File) {
            ReadContent(EntryName(folder, entry.Path), entry, [&](std::int64_t n) {
                done += n;
                if (told) {
                    told(done, total);
                }
            });
        }
    }
    if (told) {
        told(total, total);
    }
    return entries;
}

double Likeness(const Sketch& a, const Sketch& b) {
    // The smallest SketchSize hashes of both together are a sample of
    // their union; the share of it that both hold estimates how much of
    // their content they share.
    std::size_t both = 0;
    std::size_t taken = 0;
    auto x = a.begin();
    auto y = b.begin();
    while (taken < SketchSize && (x != a.end() || y != b.end())) {
        if (y == b.end() || (x != a.end() && *x < *y)) {
            ++x;
        } else if (x == a.end() || *y < *x) {
            ++y;
        } else {
            ++both;
            ++x;
            ++y;
        }
        ++taken;
    }
    return taken == 0 ? 0.0 : static_cast<double>(both) / static_cast<double>(taken);
}

} // namespace kestro
