#include "CompactSupport.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>

namespace kestro::test {

Bytes CompactEncode(const Bytes& newer, const Bytes& original, std::int32_t threads,
                    std::int32_t* minor, CompactSettings settings) {
    MemoryStream newerStream = StreamOf(newer);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    settings.threads = threads;
    const std::int32_t needed = EncodeCompactBody(newerStream, originalStream, out, settings);
    if (minor != nullptr) {
        *minor = needed;
    }
    return out.Bytes();
}

void CompactDecode(const Bytes& body, const Bytes& original, Bytes& rebuilt, std::int32_t minor) {
    MemoryStream delta = StreamOf(body);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    CompactHeader header;
    struct Keep {
        MemoryStream& out;
        Bytes& rebuilt;
        ~Keep() { rebuilt = out.Bytes(); }
    } keep{out, rebuilt};
    if (!ReadCompactHeader(delta, minor, header)) {
        throw Exception("no tag");
    }
    DecodeCompactBody(delta, header, originalStream, out);
}

Bytes CompactDecode(const Bytes& body, const Bytes& original, std::int32_t minor) {
    Bytes rebuilt;
    CompactDecode(body, original, rebuilt, minor);
    return rebuilt;
}

Bytes CodeLike(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        PutLe32(bytes.data() + i, 0x00400000u + (random() % 4096) * 16);
    }
    return bytes;
}

Bytes Relocated(Bytes bytes, std::uint32_t delta, unsigned seed) {
    std::mt19937 random(seed);
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        if (i % 32 == 0) {
            PutLe32(bytes.data() + i, GetLe32(bytes.data() + i) + delta);
        }
        if (random() % 512 == 0) {
            PutLe32(bytes.data() + i, static_cast<std::uint32_t>(random()));
        }
    }
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), from + count)));
}

std::pair<Bytes, Bytes> ImageVersions(const ImageShape& shape, unsigned functions,
                                      std::uint64_t fileAlignment) {
    ProgramPlan plan{shape.format, shape.machine, functions, 11, false, fileAlignment};
    const Bytes original = BuildProgram(plan).bytes;
    plan.newer = true;
    return {original, BuildProgram(plan).bytes};
}

std::vector<TestEdit> RandomEdits(std::int64_t originalSize, std::int64_t newerSize,
                                  std::mt19937& random) {
    std::vector<TestEdit> edits;
    std::int64_t old = 0;
    for (std::int64_t at = 0; at < newerSize;) {
        const std::int64_t length = std::min<std::int64_t>(newerSize - at, 1 + random() % 1500);
        if (random() % 3 == 0 || old + length > originalSize) {
            old = static_cast<std::int64_t>(random() %
                                            static_cast<std::uint64_t>(originalSize - length + 1));
        }
        edits.push_back({old, length, at});
        old += length;
        at += length + static_cast<std::int64_t>(random() % 40);
    }
    return edits;
}

} // namespace kestro::test
