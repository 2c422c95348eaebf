// The process's allocator, set for a program whose stages each hold arrays
// of tens of MiB that the next stage no longer needs; and blocks mapped
// apart for the arrays that are read at random.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace kestro {

// Has the allocator give a block of a MiB or more back to the system as soon
// as it is freed. glibc by default raises the size it maps apart to that of
// the last such block freed (up to 32 MiB) and serves the next ones from its
// heap, where a freed block that is not at the top stays resident: the
// compact writer's peak rose by a sixth. The Windows heap maps blocks of this
// size apart already, and nothing is changed there. For the programs only:
// the C interface leaves its host's allocator as the host set it.
void MapLargeBlocksApart();

// A zeroed block of bytes mapped apart from the heap, for an index or a
// table of MiBs that is read and written at random. On Linux a block of 2
// MiB or more lies in huge pages where the system gives them on request
// (its usual setting): a page of 2 MiB rather than 4 KiB, so that a lookup
// seldom misses the processor's cache of page translations. The compact
// writer's hash index and extra stream's match finder took some 5 % off
// its time so.
// Throws std::bad_alloc when there is no room. For an owner that keeps the
// size (liblzma's allocator): UnmapBlock takes the same size back.
void* MapBlock(std::size_t bytes);
void UnmapBlock(void* block, std::size_t bytes) noexcept;

// An array of count values of a trivial type, zeroed, in a block of its own.
template <typename T>
class MappedArray {
    static_assert(std::is_trivial_v<T>);

public:
    MappedArray() = default;
    explicit MappedArray(std::size_t count)
        : data_(count == 0 ? nullptr : static_cast<T*>(MapBlock(BytesOf(count)))), size_(count) {}
    MappedArray(MappedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    MappedArray& operator=(MappedArray&& other) noexcept {
        if (this != &other) {
            UnmapBlock(data_, size_ * sizeof(T));
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;
    ~MappedArray() { UnmapBlock(data_, size_ * sizeof(T)); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    static std::size_t BytesOf(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) {
            throw std::bad_alloc();
        }
        return count * sizeof(T);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace kestro
