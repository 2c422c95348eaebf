// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// captured console output, and reproducible random data.
#pragma once

#include "common/ByteStream.hpp"
#include "platform/Console.hpp"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace kestro::test {

using Bytes = std::vector<std::uint8_t>;

// The ten banner lines that start every run of the program.
extern const std::string ExpectedBanner;

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    const std::filesystem::path& Path() const { return path_; }
    // The path of a file in the folder, as text.
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void WriteBytes(const std::string& name, const Bytes& bytes);
Bytes ReadBytes(const std::string& name);
Bytes ToBytes(std::string_view text);
// A memory stream holding bytes, positioned at its start.
MemoryStream StreamOf(const Bytes& bytes);

// Console output collected in a string; the input side reports how often a
// line was read.
struct CapturedConsole {
    std::string output;
    int linesRead = 0;
    Console Get();
};

// Runs a program with its standard input empty; returns its exit status
// and what it wrote to standard output and to standard error. Several may
// run at once, from several threads.
struct ProcessResult {
    int status = -1; // -1 when a signal ended the program
    int signal = 0;  // the signal that ended it (POSIX)
    std::string output;
    std::string errors;
};
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ScratchDir& scratch);

// A seeded generator; tests print the seed when they fail.
Bytes RandomBytes(std::mt19937& random, std::size_t size);

// A plain bitwise CRC-32, independent of the table-driven one.
std::uint32_t ReferenceCrc32(const std::uint8_t* data, std::size_t size);

} // namespace kestro::test
