// DecodeBlockStream on arbitrary stream bytes against an arbitrary original.
// Input: two bytes giving the original's length (little-endian), the
// original, then the block stream. The decoder must refuse or rebuild,
// never read or write outside its areas.
#include "FuzzSupport.hpp"

#include "common/Failures.hpp"
#include "engine/BlockStream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    if (size < 2) {
        return 0;
    }
    const std::size_t originalSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    MemoryStream original = fuzz::StreamOf(data + 2, originalSize);
    MemoryStream delta = fuzz::StreamOf(data + 2 + originalSize, size - 2 - originalSize);
    MemoryStream out;
    try {
        DecodeBlockStream(delta, original, out);
    } catch (const Exception&) {
    }
    return 0;
}
