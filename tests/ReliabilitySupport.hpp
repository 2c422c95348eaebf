// What the reliability tests share: a folder's state taken and put back,
// the program run in this process, a pair of files that spans blocks, and
// what the program prints.
#pragma once

#include "DiffUnit/Driver.hpp"

#include "TestSupport.hpp"

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace kestro {

// A folder's files and their content.
using FolderState = std::map<std::string, test::Bytes>;

inline FolderState StateOf(const std::filesystem::path& folder) {
    FolderState state;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        state[entry.path().filename().string()] = test::ReadBytes(entry.path().string());
    }
    return state;
}

// Files that are as they were are left alone, so that they keep their
// permissions (a private key's among them).
inline void Restore(const std::filesystem::path& folder, const FolderState& state) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto kept = state.find(entry.path().filename().string());
        if (kept == state.end() || std::filesystem::is_directory(entry.path()) ||
            test::ReadBytes(entry.path().string()) != kept->second) {
            std::filesystem::remove_all(entry.path());
        }
    }
    for (const auto& [name, bytes] : state) {
        if (!std::filesystem::exists(folder / name)) {
            test::WriteBytes((folder / name).string(), bytes);
        }
    }
}

struct Outcome {
    int status = -1;
    std::string output; // after the banner
};

inline Outcome RunInProcess(const std::vector<std::string>& arguments) {
    test::CapturedConsole console;
    Outcome outcome;
    outcome.status = RunProgram("kestro", arguments, ProgramOperations(), console.Get());
    outcome.output = console.output.substr(test::ExpectedBanner.size());
    return outcome;
}

// A multi-block pair without version information: the newer file shares
// most of the original, block by block, and grows into a further block.
inline std::pair<test::Bytes, test::Bytes> MultiBlockPair() {
    std::mt19937 random(77);
    const test::Bytes original = test::RandomBytes(random, 1048576 + 1234);
    test::Bytes newer = original;
    for (std::size_t i = 0; i < newer.size(); i += 50000) {
        newer[i] ^= 0xFF;
    }
    const test::Bytes grown = test::RandomBytes(random, 60000);
    newer.insert(newer.end(), grown.begin(), grown.end());
    return {original, newer};
}

inline const std::string Ok = "OK\r\n";
inline const std::string WarnNewer =
    "Warning: Newer file doesn't have file version information\r\n";
inline const std::string WarnSource =
    "Warning: Source File has no file version information included!\r\n";
inline const std::string AlreadyUpdated = "Error: Source file already updated!\r\n";

} // namespace kestro
