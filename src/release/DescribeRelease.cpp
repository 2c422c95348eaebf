#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleaseReader.hpp"

#include <set>

namespace kestro {

namespace {

std::string Octal(std::uint32_t permissions) {
    std::string text;
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += static_cast<char>('0' + ((permissions >> shift) & 7));
    }
    return "0" + text;
}

// How an entry of the newer release is made, in words.
std::string HowMade(const NewerEntry& entry, const ReleaseManifest& manifest,
                    const std::set<std::string>& newerPaths) {
    switch (entry.Kind) {
    case ReleaseKind::Folder:
        return "folder " + Octal(entry.Permissions);
    case ReleaseKind::Link:
        return "link to " + entry.Target;
    case ReleaseKind::File:
        break;
    }
    std::string line = "file " + Octal(entry.Permissions) + " " + std::to_string(entry.Size) +
                       " bytes SHA-256 " + LowerHex(entry.Sha256) + ", ";
    // The source: an original, or for a copy an entry listed before.
    const std::string& source = entry.Method == ReleaseMethod::Copy
                                    ? manifest.Entries[entry.Source].Path
                                    : manifest.Originals[entry.Source].Path;
    switch (entry.Method) {
    case ReleaseMethod::Same:
        return line + (source == entry.Path            ? "identical"
                       : newerPaths.count(source) != 0 ? "copied from " + source
                                                       : "moved from " + source);
    case ReleaseMethod::Delta:
        return line + "delta against " + source + " (" + std::to_string(entry.PayloadBytes) +
               " bytes, format 2." + std::to_string(entry.Detail) + ")";
    case ReleaseMethod::Copy:
        return line + "copy of " + source;
    case ReleaseMethod::Whole:
        break;
    }
    return line + "whole (" + std::to_string(entry.PayloadBytes) + " bytes)";
}

} // namespace

DeltaListing DescribeRelease(const std::string& packageName, std::vector<std::string>& lines) {
    lines.push_back("FormatVersion=3.0");
    try {
        OpenPackage package(packageName, std::nullopt, {});
        if (package.code != 0) {
            lines.back() = "FormatVersion=unsupported";
            return DeltaListing::Delta;
        }
        const ReleaseManifest& manifest = package.package.manifest;
        std::set<std::string> newerPaths;
        std::int64_t newerBytes = 0;
        for (const NewerEntry& entry : manifest.Entries) {
            newerPaths.insert(entry.Path);
            newerBytes += static_cast<std::int64_t>(entry.Size);
        }
        std::int64_t originalBytes = 0;
        for (const OriginalEntry& entry : manifest.Originals) {
            originalBytes += static_cast<std::int64_t>(entry.Size);
        }
        lines.push_back("Release=" + manifest.FolderName + " " + manifest.OriginalVersion + " to " +
                        manifest.NewerVersion);
        lines.push_back("Originals=" + std::to_string(manifest.Originals.size()) + " entries, " +
                        std::to_string(originalBytes) + " bytes");
        lines.push_back("Entries=" + std::to_string(manifest.Entries.size()) + " entries, " +
                        std::to_string(newerBytes) + " bytes, payloads " +
                        std::to_string(package.package.payloadBytes) + " bytes");
        for (const NewerEntry& entry : manifest.Entries) {
            lines.push_back("Entry=" + entry.Path + ": " + HowMade(entry, manifest, newerPaths));
        }
        for (const OriginalEntry& entry : manifest.Originals) {
            if (newerPaths.count(entry.Path) == 0) {
                lines.push_back("Removed=" + entry.Path);
            }
        }
    } catch (const Exception& damage) {
        lines.push_back(damage.Message());
        return DeltaListing::Damaged;
    }
    return DeltaListing::Delta;
}

} // namespace kestro
