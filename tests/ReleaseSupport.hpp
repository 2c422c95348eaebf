// The folders of the release package tests: trees of files, folders and
// links written and read back, and a release and the next in a scratch
// folder with what making and applying their package leaves there.
#pragma once

#include "DiffUnit/ResultCodes.hpp"
#include "release/ReleasePackage.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestro {

// An entry of a tree as a test writes and reads it: a file's bytes, a
// link's target, or a folder; and a file's or folder's permission bits.
struct Node {
    char kind = 'f'; // 'f' file, 'd' folder, 'l' link
    std::string content;
    unsigned permissions = 0644;
    bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

inline Node File(std::string content, unsigned permissions = 0644) {
    return {'f', std::move(content), permissions};
}
inline Node Folder(unsigned permissions = 0755) {
    return {'d', "", permissions};
}
inline Node Link(std::string target) {
    return {'l', std::move(target), 0};
}

// Whether this system and user may make symbolic links at all.
inline bool LinksWork(const test::ScratchDir& dir) {
    std::error_code error;
    std::filesystem::create_symlink("target", dir.Path() / "probe-link", error);
    std::filesystem::remove(dir.Path() / "probe-link");
    return !error;
}

inline std::filesystem::path PathOf(const std::filesystem::path& root, const std::string& path) {
    return root / std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// A path as UTF-8 text, "/" between its parts.
inline std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

inline void WriteTree(const std::filesystem::path& root, const Tree& tree) {
    std::filesystem::create_directories(root);
    for (const auto& [path, node] : tree) {
        const std::filesystem::path name = PathOf(root, path);
        if (node.kind == 'd') {
            std::filesystem::create_directories(name);
        } else if (node.kind == 'l') {
            std::filesystem::create_symlink(
                std::filesystem::path(std::u8string(node.content.begin(), node.content.end())),
                name);
        } else {
            test::WriteBytes(name.string(), test::ToBytes(node.content));
        }
    }
    // Permissions last, deepest first, so that a folder is filled before
    // it may be closed.
    for (auto entry = tree.rbegin(); entry != tree.rend(); ++entry) {
        if (entry->second.kind != 'l') {
            std::filesystem::permissions(
                PathOf(root, entry->first),
                static_cast<std::filesystem::perms>(entry->second.permissions));
        }
    }
}

inline Tree ReadTree(const std::filesystem::path& root) {
    Tree tree;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        const std::string path = Utf8(it->path().lexically_relative(root));
        const std::filesystem::file_status status = it->symlink_status();
        Node node;
        if (std::filesystem::is_symlink(status)) {
            node = Link(Utf8(std::filesystem::read_symlink(it->path())));
        } else if (std::filesystem::is_directory(status)) {
            node = Folder(static_cast<unsigned>(status.permissions()) & 0777);
        } else {
            const test::Bytes bytes = test::ReadBytes(it->path().string());
            node = File(std::string(bytes.begin(), bytes.end()),
                        static_cast<unsigned>(status.permissions()) & 0777);
        }
#ifdef _WIN32
        // Windows keeps the read-only attribute alone.
        node.permissions = node.kind == 'l'                 ? 0
                           : node.kind == 'd'               ? 0755
                           : (node.permissions & 0200) != 0 ? 0644
                                                            : 0444;
#endif
        tree[path] = node;
    }
    return tree;
}

#ifdef _WIN32
inline Tree AsWindowsKeepsIt(Tree tree) {
    for (auto& [path, node] : tree) {
        node.permissions = node.kind == 'l'                 ? 0
                           : node.kind == 'd'               ? 0755
                           : (node.permissions & 0200) != 0 ? 0644
                                                            : 0444;
    }
    return tree;
}
#else
inline Tree AsWindowsKeepsIt(Tree tree) {
    return tree;
}
#endif

inline std::string SampleProgram(const char* name) {
    const test::Bytes bytes = test::ReadBytes(std::string(KESTRO_SAMPLES) + "/" + name);
    return std::string(bytes.begin(), bytes.end());
}

inline std::string RandomText(std::size_t size, unsigned seed) {
    const test::Bytes bytes = test::Random(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

// A release and the next, both written in a scratch folder as app and
// app-new, and what making and applying their package does there.
class ReleaseFolders {
public:
    ReleaseFolders(const Tree& original, const Tree& newer) : original_(original), newer_(newer) {
        WriteTree(dir_.Path() / "app", original);
        WriteTree(dir_.Path() / "app-new", newer);
    }

    std::string Name(const std::string& name) const { return dir_.File(name); }
    const test::ScratchDir& Dir() const { return dir_; }

    // Makes the package and returns its name.
    std::string Make(OperationOptions options = {}) {
        EXPECT_EQ(MakeRelease(Name("app"), Name("app-new"), options), ResultOk);
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            if (entry.path().extension() == ".kst") {
                return entry.path().string();
            }
        }
        ADD_FAILURE() << "no package made";
        return {};
    }

    // What the scratch folder holds at its top, but for the two releases.
    std::vector<std::string> Others() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            const std::string name = entry.path().filename().string();
            if (name != "app" && name != "app-new") {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    const Tree& Original() const { return original_; }
    const Tree& Newer() const { return newer_; }

private:
    test::ScratchDir dir_;
    Tree original_;
    Tree newer_;
};

} // namespace kestro
