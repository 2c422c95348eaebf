#include "platform/Memory.hpp"

#include "platform/Port.hpp"

#include <new>

namespace kestro {

void MapLargeBlocksApart() {
    port::MapLargeBlocksApart();
}

void* MapBlock(std::size_t bytes) {
    void* const block = port::MapBlock(bytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void UnmapBlock(void* block, std::size_t bytes) noexcept {
    port::UnmapBlock(block, bytes);
}

} // namespace kestro
