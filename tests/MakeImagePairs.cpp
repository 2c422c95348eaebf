// Writes the seeds of the fuzz targets that the program builder makes
// (fuzz/make-corpus.py runs it with the corpus folder): for each shape a
// small program and its next version, built by ImageBuilder, framed as
// RoundTripFuzz reads them (two bytes giving the original's length, the
// original, the newer) and, for CompactFuzz, the original and the body of
// format 2.2 or 2.3 that turns it into the newer one; for ImageFuzz the
// programs and images whose sections and tables overlap and repeat. Each
// pair must make a body of the image filter, so that the fuzzers reach it
// from it; a pair that does not is an error.
#include "ImageBuilder.hpp"

#include "codec/compact/CompactStream.hpp"
#include "common/LittleEndian.hpp"

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using kestro::test::Bytes;

bool Write(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", name.c_str());
    }
    return static_cast<bool>(out);
}

// Two bytes giving the original's length, the original, then rest.
Bytes Framed(const Bytes& original, const Bytes& rest) {
    Bytes framed = {static_cast<std::uint8_t>(original.size()),
                    static_cast<std::uint8_t>(original.size() >> 8)};
    framed.insert(framed.end(), original.begin(), original.end());
    framed.insert(framed.end(), rest.begin(), rest.end());
    return framed;
}

// The body of format 2.maxMinor at most that turns original into newer;
// empty where the writer does not use the image filter.
Bytes Body(const Bytes& original, const Bytes& newer, std::int32_t maxMinor) {
    kestro::MemoryStream originalStream;
    kestro::MemoryStream newerStream;
    originalStream.WriteBuffer(original.data(), static_cast<std::int64_t>(original.size()));
    newerStream.WriteBuffer(newer.data(), static_cast<std::int64_t>(newer.size()));
    originalStream.SetPosition(0);
    newerStream.SetPosition(0);
    kestro::MemoryStream body;
    kestro::CompactSettings settings;
    settings.maxMinor = maxMinor;
    kestro::EncodeCompactBody(newerStream, originalStream, body, settings);
    const Bytes bytes = body.Bytes();
    const std::uint32_t filters = kestro::GetLe32(bytes.data() + kestro::FiltersField);
    if (filters != kestro::CompactFilterImage && filters != kestro::CompactFilterNamedImage) {
        return {};
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    using namespace kestro;
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestro_image_pairs CORPUS-FOLDER\n");
        return 2;
    }
    const std::string corpus = argv[1];
    struct Pair {
        const char* name;
        Bytes original;
        Bytes newer;
    };
    std::vector<Pair> pairs;
    for (const auto& [name, format, machine] :
         {std::tuple{"image-elf-x64", ImageFormat::Elf, Machine::X64},
          std::tuple{"image-elf-arm64", ImageFormat::Elf, Machine::Arm64},
          std::tuple{"image-pe-arm64", ImageFormat::Pe, Machine::Arm64},
          std::tuple{"image-pe-i386", ImageFormat::Pe, Machine::I386}}) {
        pairs.push_back({name, test::BuildProgram({format, machine, 12, 3, false, 0x40}).bytes,
                         test::BuildProgram({format, machine, 12, 3, true, 0x40}).bytes});
    }
    // 32-bit ARM code in each state, which 2.3 names.
    for (const auto& [name, state] :
         {std::pair{"image-elf-a32", ArmState::Arm}, std::pair{"image-elf-t32", ArmState::Thumb}}) {
        pairs.push_back({name, test::BuildArmProgram(state, 24, 3).bytes,
                         test::BuildArmProgram(state, 24, 3, 12).bytes});
    }
    // Images the model must not spend more than their bytes on: code that
    // many sections hold at once, and AArch64 sections whose words
    // straddle one another's.
    const std::vector<Pair> hostile = {
        {"overlapping-pe", test::OverlappingCode(ImageFormat::Pe, 1, 2048),
         test::OverlappingCode(ImageFormat::Pe, 400, 2048)},
        {"overlapping-elf", test::OverlappingCode(ImageFormat::Elf, 1, 2048),
         test::OverlappingCode(ImageFormat::Elf, 300, 2048)},
        {"straddling-arm64", test::StraddlingArm64Code(0x20000),
         test::StraddlingArm64Code(0x20400)},
    };
    bool written = true;
    // Relocation tables that repeat and overlap one another.
    const test::Program relocated = test::BuildProgram({ImageFormat::Elf, Machine::X64, 12, 3});
    std::vector<std::pair<std::uint64_t, std::uint64_t>> tables(20, {0, 1 << 20});
    tables[1] = {48, 480};
    tables[2] = {8, 1 << 20};
    written &= Write(corpus + "/ImageFuzz/repeated-relocations",
                     test::WithRelocationTables(relocated, tables));
    for (const Pair& pair : pairs) {
        written &= Write(corpus + "/RoundTripFuzz/" + pair.name, Framed(pair.original, pair.newer));
    }
    const std::vector<Pair>* lists[] = {&pairs, &hostile};
    for (const std::vector<Pair>* list : lists) {
        for (const Pair& pair : *list) {
            // Of 2.2 or 2.3, and of 2.4, whose differences have their forms.
            const Bytes body = Body(pair.original, pair.newer, 3);
            const Bytes runs = Body(pair.original, pair.newer, CompactLatestMinor);
            if (body.empty() || runs.empty() || pair.original.size() > 0xFFFF) {
                std::fprintf(stderr, "%s: no image filter\n", pair.name);
                return 1;
            }
            written &= Write(corpus + "/CompactFuzz/" + pair.name, Framed(pair.original, body));
            written &= Write(corpus + "/CompactFuzz/" + std::string(pair.name) + "-runs",
                             Framed(pair.original, runs));
            written &= Write(corpus + "/ImageFuzz/" + pair.name, pair.newer);
        }
    }
    return written ? 0 : 1;
}
