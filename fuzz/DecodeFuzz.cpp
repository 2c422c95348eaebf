// DecodeBlockStream on arbitrary stream bytes against an arbitrary original.
// Input: two bytes giving the original's length (little-endian), the
// original, then the block stream. The decoder must refuse or rebuild,
// never read or write outside its areas.
#include "FuzzSupport.hpp"

#include "codec/blocks/BlockStream.hpp"
#include "common/Failures.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    if (size < 2) {
        return 0;
    }
    fuzz::OriginalAndRest input(data, size);
    MemoryStream out;
    try {
        DecodeBlockStream(input.rest, input.original, out);
    } catch (const Exception&) {
    }
    return 0;
}
