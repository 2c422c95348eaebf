// DecodeCompactBody on arbitrary body bytes against an arbitrary original.
// Input: two bytes giving the original's length (little-endian), the
// original, then the compact body from its tag on. The decoder must refuse
// or rebuild, never read outside the delta or the original, nor allocate
// more than the dictionaries the format allows.
#include "FuzzSupport.hpp"

#include "common/Failures.hpp"
#include "engine/CompactStream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    if (size < 2) {
        return 0;
    }
    const std::size_t originalSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    MemoryStream original = fuzz::StreamOf(data + 2, originalSize);
    MemoryStream delta = fuzz::StreamOf(data + 2 + originalSize, size - 2 - originalSize);
    // The output is checked and dropped: a body may rebuild far more than
    // its own size.
    DiscardingStream out;
    try {
        CompactHeader header;
        if (ReadCompactHeader(delta, header)) {
            DecodeCompactBody(delta, header, original, out);
        }
    } catch (const Exception&) {
    }
    return 0;
}
