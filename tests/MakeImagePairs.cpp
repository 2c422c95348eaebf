// Writes the image pairs of the RoundTripFuzz corpus into the folder it is
// given (fuzz/make-corpus.py runs it): for each shape a small program and
// its next version, built by ImageBuilder, framed as the target reads them
// (two bytes giving the original's length, the original, the newer). Each
// pair must make a body of format 2.2, so that the fuzzer reaches the image
// filter from it; a pair that does not is an error.
#include "ImageBuilder.hpp"

#include "codec/compact/CompactStream.hpp"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    using namespace kestro;
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestro_image_pairs FOLDER\n");
        return 2;
    }
    struct Pair {
        const char* name;
        ImageFormat format;
        Machine machine;
    };
    for (const Pair& pair : {Pair{"image-elf-x64", ImageFormat::Elf, Machine::X64},
                             Pair{"image-elf-arm64", ImageFormat::Elf, Machine::Arm64},
                             Pair{"image-pe-arm64", ImageFormat::Pe, Machine::Arm64},
                             Pair{"image-pe-i386", ImageFormat::Pe, Machine::I386}}) {
        test::Bytes versions[2];
        for (const bool newer : {false, true}) {
            versions[newer] =
                test::BuildProgram({pair.format, pair.machine, 12, 3, newer, 0x40}).bytes;
        }
        MemoryStream original;
        MemoryStream newer;
        original.WriteBuffer(versions[0].data(), static_cast<std::int64_t>(versions[0].size()));
        newer.WriteBuffer(versions[1].data(), static_cast<std::int64_t>(versions[1].size()));
        original.SetPosition(0);
        newer.SetPosition(0);
        MemoryStream body;
        if (EncodeCompactBody(newer, original, body, {}) != 2 || versions[0].size() > 0xFFFF) {
            std::fprintf(stderr, "%s: no image filter\n", pair.name);
            return 1;
        }
        test::Bytes framed = {static_cast<std::uint8_t>(versions[0].size()),
                              static_cast<std::uint8_t>(versions[0].size() >> 8)};
        framed.insert(framed.end(), versions[0].begin(), versions[0].end());
        framed.insert(framed.end(), versions[1].begin(), versions[1].end());
        std::ofstream out(std::string(argv[1]) + "/" + pair.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(framed.data()),
                  static_cast<std::streamsize>(framed.size()));
        if (!out) {
            std::fprintf(stderr, "%s: cannot write\n", pair.name);
            return 1;
        }
    }
    return 0;
}
