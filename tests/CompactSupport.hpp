// Helpers shared by the tests of the compact body and of its filters: a
// body written and read back in memory, data shaped like code and like its
// next build, and programs of every shape the image filter knows in two
// versions.
#pragma once

#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include "codec/compact/CompactStream.hpp"

#include <initializer_list>
#include <random>
#include <utility>

namespace kestro::test {

// The body, and in minor the version of format 2 it needs.
Bytes CompactEncode(const Bytes& newer, const Bytes& original, std::int32_t threads = 3,
                    std::int32_t* minor = nullptr, CompactSettings settings = {});
// The settings of a writer for readers of 2.maxMinor at most.
inline CompactSettings UpTo(std::int32_t maxMinor) {
    CompactSettings settings;
    settings.maxMinor = maxMinor;
    return settings;
}

// Rebuilds from a body; what reached the output before a failure is kept in
// rebuilt.
void CompactDecode(const Bytes& body, const Bytes& original, Bytes& rebuilt,
                   std::int32_t minor = CompactLatestMinor);
Bytes CompactDecode(const Bytes& body, const Bytes& original,
                    std::int32_t minor = CompactLatestMinor);

// Code-like data: little-endian words from a small set, as instructions and
// addresses repeat in a program.
Bytes CodeLike(std::size_t size, unsigned seed);

// The newer form of code-like data after a rebuild: the addresses (every
// eighth word) moved by delta and a few words changed.
Bytes Relocated(Bytes bytes, std::uint32_t delta, unsigned seed);

Bytes Join(std::initializer_list<Bytes> parts);
// The bytes from offset from on, at most count of them.
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count);

// The shapes of program the image filter knows, with the minor version a
// writer limited to 2.1 writes for them (the x86 filter for PE x86
// programs), and how many times smaller, at least, the 2.2 body is than
// the best of 2.1 and 2.0 on a program of 800 functions (measured: 1.7 for
// PE x86-64, whose x86 filter already predicts much, 2.6 to 3.3 for the
// others).
struct ImageShape {
    const char* name;
    ImageFormat format;
    Machine machine;
    std::int32_t minorOf21;
    double gain;
};
inline constexpr ImageShape ImageShapes[] = {
    {"PE x86-64", ImageFormat::Pe, Machine::X64, 1, 1.5},
    {"PE i386", ImageFormat::Pe, Machine::I386, 1, 2},
    {"PE ARM64", ImageFormat::Pe, Machine::Arm64, 0, 2},
    {"ELF x86-64", ImageFormat::Elf, Machine::X64, 0, 2},
    {"ELF AArch64", ImageFormat::Elf, Machine::Arm64, 0, 2},
};

// A program and its next version: code grown here and there, every section
// after the code a page further on (RVA minus offset changes), references
// from code into data, imports and jump tables, and tables of pointers.
std::pair<Bytes, Bytes> ImageVersions(const ImageShape& shape, unsigned functions,
                                      std::uint64_t fileAlignment = 0x200);

// Random edits of a newer file against an original, as a search finds
// them: up to 1500 old bytes each, often where the last ended, and a few
// new bytes between.
struct TestEdit {
    std::int64_t oldStart;
    std::int64_t length;
    std::int64_t newStart;
};

std::vector<TestEdit> RandomEdits(std::int64_t originalSize, std::int64_t newerSize,
                                  std::mt19937& random);

} // namespace kestro::test
