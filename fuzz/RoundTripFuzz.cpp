// A round trip: an arbitrary original and newer file through
// EncodeBlockStream and DecodeBlockStream must give the newer file back.
// Input: two bytes giving the original's length, the original, the newer.
#include "FuzzSupport.hpp"

#include "engine/BlockStream.hpp"

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
    if (rebuilt.Bytes() != fuzz::Bytes(newerData, newerData + newerSize)) {
        fuzz::Finding("round trip gave another file");
    }
    return 0;
}
