#include "exe/PeRelocations.hpp"

#include "common/LittleEndian.hpp"

#include <algorithm>
#include <array>

namespace kestro {

namespace {

constexpr std::uint64_t BlockHeaderBytes = 8;
constexpr std::uint32_t PageBits = 0xFFF;
constexpr std::uint16_t Pointer32 = 3;
constexpr std::uint16_t Pointer64 = 10;

} // namespace

void ReadPeRelocations(FileBytes& in, FileRange table,
                       const std::function<void(const PeRelocation&)>& visit) {
    const auto [start, size] = table;
    std::vector<std::uint8_t> block;
    for (std::uint64_t at = 0; at + BlockHeaderBytes <= size;) {
        std::array<std::uint8_t, BlockHeaderBytes> head{};
        if (!in.Read(start + at, head.data(), head.size())) {
            break;
        }
        const std::uint32_t page = GetLe32(&head[0]);
        const std::uint32_t blockSize = GetLe32(&head[4]);
        if (blockSize < BlockHeaderBytes || blockSize > size - at) {
            break;
        }
        if (!in.Read(start + at + BlockHeaderBytes, block, blockSize - BlockHeaderBytes)) {
            break;
        }
        for (std::size_t entry = 0; entry + 2 <= block.size(); entry += 2) {
            in.steps.Step();
            const std::uint16_t value = GetLe16(&block[entry]);
            const int type = value >> 12;
            if (type == Pointer32 || type == Pointer64) {
                visit({std::uint64_t{page} + (value & PageBits),
                       type == Pointer32 ? AddressSlot::Kind::Absolute32
                                         : AddressSlot::Kind::Absolute64});
            }
        }
        at += blockSize;
    }
}

std::vector<std::uint8_t> WritePeRelocations(const std::vector<PeRelocation>& pointers) {
    // The address, and the type in the top bits.
    std::vector<std::uint64_t> entries;
    entries.reserve(pointers.size());
    for (const PeRelocation& pointer : pointers) {
        const std::uint64_t type =
            pointer.kind == AddressSlot::Kind::Absolute32 ? Pointer32 : Pointer64;
        entries.push_back(type << 32 | (pointer.address & UINT32_MAX));
    }
    std::sort(entries.begin(), entries.end(), [](std::uint64_t a, std::uint64_t b) {
        return (a & UINT32_MAX) != (b & UINT32_MAX) ? (a & UINT32_MAX) < (b & UINT32_MAX) : a < b;
    });
    std::vector<std::uint8_t> table;
    for (std::size_t i = 0; i < entries.size();) {
        const std::uint32_t page = static_cast<std::uint32_t>(entries[i]) & ~PageBits;
        const std::size_t blockAt = table.size();
        table.resize(blockAt + BlockHeaderBytes);
        PutLe32(table.data() + blockAt, page);
        for (; i < entries.size() && (static_cast<std::uint32_t>(entries[i]) & ~PageBits) == page;
             ++i) {
            const auto entry =
                static_cast<std::uint16_t>((entries[i] >> 32) << 12 | (entries[i] & PageBits));
            table.push_back(static_cast<std::uint8_t>(entry));
            table.push_back(static_cast<std::uint8_t>(entry >> 8));
        }
        if ((table.size() - blockAt) % 4 != 0) {
            table.push_back(0);
            table.push_back(0);
        }
        PutLe32(table.data() + blockAt + 4, static_cast<std::uint32_t>(table.size() - blockAt));
    }
    return table;
}

} // namespace kestro
