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
    fuzz::OriginalAndRest input(data, size);
    // The output is checked and dropped: a body may rebuild far more than
    // its own size.
    DiscardingStream out;
    try {
        CompactHeader header;
        if (ReadCompactHeader(input.rest, header)) {
            DecodeCompactBody(input.rest, header, input.original, out);
        }
    } catch (const Exception&) {
    }
    return 0;
}
