#include "platform/Memory.hpp"

#include "platform/Port.hpp"

namespace kestro {

void MapLargeBlocksApart() {
    port::MapLargeBlocksApart();
}

} // namespace kestro
