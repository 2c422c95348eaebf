// DecodeCompactBody on arbitrary body bytes against an arbitrary original.
// Input: two bytes giving the original's length (little-endian), the
// original, then the compact body from its tag on. The decoder must refuse
// or rebuild, never read outside the delta or the original, nor allocate
// more than the format's bound (the dictionaries, and with the image
// filter what the original's and the body's sizes allow), nor take
// more than near-linear time in what it decodes.
#include "FuzzSupport.hpp"

#include "codec/compact/CompactStream.hpp"
#include "common/Failures.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    if (size < 2) {
        return 0;
    }
    fuzz::OriginalAndRest input(data, size);
    // The output is checked and dropped: a body may rebuild far more than
    // its own size.
    DiscardingStream out;
    // The body read as of every minor of format 2: 2.1's header adds the
    // filters, 2.2's the image filter's record, whose original must be an
    // image, 2.4's the run form of the differences.
    for (std::int32_t minor = 0; minor <= CompactLatestMinor; ++minor) {
        try {
            input.rest.SetPosition(0);
            CompactHeader header;
            if (ReadCompactHeader(input.rest, minor, header)) {
                DecodeCompactBody(input.rest, header, input.original, out);
            }
        } catch (const Exception&) {
        }
    }
    return 0;
}
