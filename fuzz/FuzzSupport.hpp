// Shared pieces of the fuzz targets.
#pragma once

#include "common/ByteStream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kestro::fuzz {

using Bytes = std::vector<std::uint8_t>;

inline MemoryStream StreamOf(const std::uint8_t* data, std::size_t size) {
    MemoryStream stream;
    stream.WriteBuffer(data, static_cast<std::int64_t>(size));
    stream.SetPosition(0);
    return stream;
}

// A folder of this process's own, made once, for targets that work on files.
// It is not entered: libFuzzer reads its corpus folders by relative names.
// The framing of the decoder targets' inputs: two bytes giving the
// original's length (little-endian, cut to what there is), the original,
// then the rest.
struct OriginalAndRest {
    OriginalAndRest(const std::uint8_t* data, std::size_t size)
        : originalSize(std::min<std::size_t>(data[0] | data[1] << 8, size - 2)),
          original(StreamOf(data + 2, originalSize)),
          rest(StreamOf(data + 2 + originalSize, size - 2 - originalSize)) {}
    std::size_t originalSize;
    MemoryStream original;
    MemoryStream rest;
};

inline const std::filesystem::path& ScratchFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("kestro-fuzz-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

inline void WriteFileBytes(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline Bytes ReadFileBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Ends the run as a finding.
[[noreturn]] inline void Finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

} // namespace kestro::fuzz
