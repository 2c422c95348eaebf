// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// captured console output, reproducible random data, block streams made
// with the encoder, and an output that fills up.
#pragma once

#include "common/ByteStream.hpp"
#include "platform/Console.hpp"
#include "platform/Process.hpp"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace kestro::test {

using Bytes = std::vector<std::uint8_t>;

// The ten banner lines that start every run of the program.
extern const std::string ExpectedBanner;

// A path from the program's text (UTF-8, on every system) and back. On
// Windows std::filesystem's narrow strings are in the ANSI code page, which
// cannot hold every name the tests use.
std::filesystem::path PathOf(const std::string& text);
std::string TextOf(const std::filesystem::path& path);

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    const std::filesystem::path& Path() const { return path_; }
    // The path of a file in the folder, as the program's text.
    std::string File(const std::string& name) const { return TextOf(path_ / PathOf(name)); }

private:
    std::filesystem::path path_;
};

// Names here are the program's text (PathOf).
void WriteBytes(const std::string& name, const Bytes& bytes);
// A whole file, read while others may read, write, rename or delete it;
// throws std::runtime_error with the system's reason when it cannot.
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

// Runs a program directly, no shell between (platform/Process.hpp), with
// its standard input empty, in this process's working folder; returns its
// exit status (or on POSIX the signal that ended it) and what it wrote to
// standard output and to standard error, read from pipes, so no file is
// left to read after it ends. Several may run at once, from several
// threads. The scratch folder is the test's; the run writes nothing there.
using ProcessResult = process::Outcome;
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ScratchDir& scratch);

// The bundled sample programs: hello.exe (version 1.0.0.1) and
// hello-1.0.0.2.exe, original and newer.
std::pair<Bytes, Bytes> SamplePrograms();

// A seeded generator; tests print the seed when they fail.
Bytes RandomBytes(std::mt19937& random, std::size_t size);
// size bytes from a generator seeded with seed.
Bytes Random(std::size_t size, unsigned seed);

// Whether part is a prefix of whole. Blocks reach an output only whole and
// checked, so whatever a failed encode or decode wrote is a prefix of the
// complete result.
bool IsPrefix(const Bytes& part, const Bytes& whole);

// The block stream that turns original into newer, coded with the
// encoder's default number of threads, or with threads threads.
Bytes Encode(const Bytes& newer, const Bytes& original);
Bytes Encode(const Bytes& newer, const Bytes& original, std::int32_t threads);

// Keeps the first `room` bytes written and refuses the rest, like a full
// disk.
class FullStream final : public ByteStream {
public:
    explicit FullStream(std::int64_t room) : room_(room) {}
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return Size(); }
    void SetPosition(std::int64_t) override {}
    std::int64_t Size() const override { return static_cast<std::int64_t>(kept_.size()); }
    const Bytes& Kept() const { return kept_; }

private:
    std::int64_t room_;
    Bytes kept_;
};

// While it exists, watches the requests that threads other than the one
// that made it send to operator new: it keeps the largest, and once
// RefuseOver(bytes) has been called, a request for more bytes fails with
// std::bad_alloc, as when memory runs out. The test program replaces the
// global operator new and delete for this; with no watch they are malloc and
// free. One watch at a time.
class OtherThreadAllocations {
public:
    OtherThreadAllocations();
    OtherThreadAllocations(const OtherThreadAllocations&) = delete;
    OtherThreadAllocations& operator=(const OtherThreadAllocations&) = delete;
    ~OtherThreadAllocations();

    // Refuses requests of more than bytes from other threads, the first
    // times of them.
    void RefuseOver(std::size_t bytes, std::size_t times = SIZE_MAX);
    std::size_t Largest() const; // the largest request seen, refused or not
    std::size_t Refused() const; // how many requests were refused
};

// While it exists, follows the memory that the thread that made it takes
// through operator new (what the program's own containers hold; liblzma
// allocates its coders' state by itself, which their dictionaries bound):
// the most it held at once of what it took after the watch began. One
// watch at a time.
class MemoryPeak {
public:
    MemoryPeak();
    MemoryPeak(const MemoryPeak&) = delete;
    MemoryPeak& operator=(const MemoryPeak&) = delete;
    ~MemoryPeak();

    std::size_t Most() const;
};

// A plain bitwise CRC-32, independent of the table-driven one.
std::uint32_t ReferenceCrc32(const std::uint8_t* data, std::size_t size);

} // namespace kestro::test
