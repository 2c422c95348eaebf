// A round trip: an arbitrary original and newer file through each format's
// encoder and decoder must give the newer file back: the block stream, and
// the compact body, with the filter the writer chooses: the image filter
// where both files are programs of one instruction set the executable model
// knows (as the image pairs in the corpus are), else the x86 filter where
// the original is shaped as an x86 program, else none.
// Input: two bytes giving the original's length, the original, the newer.
#include "FuzzSupport.hpp"

#include "codec/blocks/BlockStream.hpp"
#include "codec/compact/CompactStream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    if (size < 2) {
        return 0;
    }
    const std::size_t originalSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    const std::uint8_t* newerData = data + 2 + originalSize;
    const std::size_t newerSize = size - 2 - originalSize;
    MemoryStream original = fuzz::StreamOf(data + 2, originalSize);
    MemoryStream newer = fuzz::StreamOf(newerData, newerSize);
    MemoryStream delta;
    EncodeBlockStream(newer, original, delta, BlockMaxCandidates);
    delta.SetPosition(0);
    original.SetPosition(0);
    MemoryStream rebuilt;
    DecodeBlockStream(delta, original, rebuilt);
    const fuzz::Bytes expected(newerData, newerData + newerSize);
    if (rebuilt.Bytes() != expected) {
        fuzz::Finding("round trip gave another file");
    }

    MemoryStream body;
    newer.SetPosition(0);
    original.SetPosition(0);
    const std::int32_t minor = EncodeCompactBody(newer, original, body, CompactSettings{});
    body.SetPosition(0);
    CompactHeader header;
    if (!ReadCompactHeader(body, minor, header)) {
        fuzz::Finding("compact body without its tag");
    }
    MemoryStream compactRebuilt;
    DecodeCompactBody(body, header, original, compactRebuilt);
    if (compactRebuilt.Bytes() != expected) {
        fuzz::Finding("compact round trip gave another file");
    }
    return 0;
}
