#include "codec/compact/legacy/X86Filter.hpp"

#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"
#include "exe/Image.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>

namespace kestro {

bool IsX86Program(std::span<const std::uint8_t> start) {
    constexpr std::size_t NewHeaderField = 0x3C;
    if (start.size() < NewHeaderField + 4 || start[0] != 'M' || start[1] != 'Z') {
        return false;
    }
    const std::uint32_t pe = GetLe32(start.data() + NewHeaderField);
    if (pe > start.size() - 6 || start[pe] != 'P' || start[pe + 1] != 'E' || start[pe + 2] != 0 ||
        start[pe + 3] != 0) {
        return false;
    }
    const std::uint32_t machine = start[pe + 4] | (std::uint32_t{start[pe + 5]} << 8);
    return machine == 0x014C || machine == 0x8664; // i386, x86-64
}

namespace {

// The opcodes (one byte, or the byte after 0F) whose ModRM byte 05 (or
// 0D, 15, ..., 3D) gives a RIP-relative operand in x86-64 code, with the
// bytes of immediate that follow the displacement.
int RipOperandOpcode(std::uint8_t opcode, int& immediate) {
    immediate = 0;
    switch (opcode) {
    case 0x03:
    case 0x0B:
    case 0x23:
    case 0x2B:
    case 0x33:
    case 0x3B: // add, or, and, sub, xor, cmp
    case 0x39:
    case 0x85:
    case 0x87:
    case 0x89:
    case 0x8B:
    case 0x8D: // cmp, test, xchg, mov, lea
    case 0x63:
    case 0xFF: // movsxd, inc/call/jmp/push
    case 0x10:
    case 0x11:
    case 0x28:
    case 0x29:
    case 0x6F:
    case 0x7F: // SSE moves (after 0F)
    case 0xB6:
    case 0xB7: // movzx (after 0F)
        return 1;
    case 0x83: // arithmetic with an 8-bit immediate
        immediate = 1;
        return 1;
    case 0x81:
    case 0xC7: // arithmetic and mov with a 32-bit immediate
        immediate = 4;
        return 1;
    default:
        return 0;
    }
}

} // namespace

std::optional<std::int64_t> AddressTable::OffsetOf(std::uint64_t rva) const {
    for (const Section& section : sections) {
        if (section.virtualAddress <= rva && rva - section.virtualAddress < section.rawSize) {
            return static_cast<std::int64_t>(section.rawOffset + (rva - section.virtualAddress));
        }
    }
    return std::nullopt;
}

AddressTable ReadAddressTable(ByteStream& original) {
    // The headers and the section table, as the executable model reads
    // them from the original's first HeaderBytes bytes: the filter looks no
    // further for them.
    constexpr std::size_t HeaderBytes = 4096;
    constexpr std::int64_t MaxDirectoryBytes = std::int64_t{1} << 20;
    AddressTable table;
    std::uint8_t start[HeaderBytes] = {};
    const std::int64_t got =
        original.ReadAt(0, start, std::min<std::int64_t>(HeaderBytes, original.Size()));
    const std::span<const std::uint8_t> header(start, static_cast<std::size_t>(got));
    if (!IsX86Program(header)) {
        return table;
    }
    MemoryStream headers;
    headers.WriteBuffer(start, got);
    const Image image = ReadImage(headers);
    table.ripRelative = GetLe16(start + GetLe32(start + 0x3C) + 4) != 0x014C;
    if (image.format != ImageFormat::Pe) {
        return table;
    }
    table.imageBase = image.imageBase;
    for (const ImageSection& section : image.sections) {
        table.sections.push_back({static_cast<std::uint32_t>(section.address),
                                  static_cast<std::uint32_t>(section.fileSize),
                                  static_cast<std::uint32_t>(section.fileOffset)});
    }
    // A data directory's bytes (at most MaxDirectoryBytes of them) and
    // where they lie in the original; none when it has none.
    const auto readDirectory = [&](PeTable directory, std::int64_t& at) {
        const auto index = static_cast<std::size_t>(directory);
        std::vector<std::uint8_t> bytes;
        if (image.directories.size() <= index) {
            return bytes;
        }
        const std::optional<std::int64_t> offset = table.OffsetOf(image.directories[index].address);
        const std::uint32_t size = image.directories[index].size;
        if (!offset || *offset >= original.Size()) {
            return bytes;
        }
        at = *offset;
        bytes.resize(static_cast<std::size_t>(
            std::min<std::int64_t>({size, MaxDirectoryBytes, original.Size() - at})));
        bytes.resize(static_cast<std::size_t>(
            original.ReadAt(at, bytes.data(), static_cast<std::int64_t>(bytes.size()))));
        return bytes;
    };
    const auto full = [&] { return table.addresses.size() >= AddressTable::MaxAddresses; };

    // The relocation blocks: PageRVA and BlockSize (uint32 each), then
    // (BlockSize - 8) / 2 entries of a type (the top four bits) and an
    // offset in the page; type 3 is a 32-bit address, type 10 a 64-bit one.
    std::int64_t at = 0;
    {
        const std::vector<std::uint8_t> blocks = readDirectory(PeTable::BaseRelocation, at);
        for (std::size_t block = 0; block + 8 <= blocks.size() && !full();) {
            const std::uint32_t page = GetLe32(blocks.data() + block);
            const std::uint32_t blockSize = GetLe32(blocks.data() + block + 4);
            if (blockSize < 8 || blockSize > blocks.size() - block) {
                break;
            }
            for (std::size_t entry = block + 8; entry + 2 <= block + blockSize && !full();
                 entry += 2) {
                const std::uint16_t value = GetLe16(blocks.data() + entry);
                const int width = value >> 12 == 3 ? 4 : value >> 12 == 10 ? 8 : 0;
                const std::optional<std::int64_t> position =
                    table.OffsetOf(std::uint64_t{page} + (value & 0xFFFu));
                if (width != 0 && position) {
                    table.addresses.push_back({*position, width, false});
                }
            }
            block += blockSize;
        }
    }
    // A PE32+ image's exception table (its optional header's Magic, which
    // the model has read, is 020B): 12-byte entries of three image offsets
    // (a function's start and end, its unwind data).
    if (GetLe16(start + GetLe32(start + 0x3C) + 24) == 0x20B) {
        const std::vector<std::uint8_t> functions = readDirectory(PeTable::Exception, at);
        for (std::size_t entry = 0; entry + 4 <= functions.size() && !full(); entry += 4) {
            table.addresses.push_back({at + static_cast<std::int64_t>(entry), 4, true});
        }
    }
    std::stable_sort(table.addresses.begin(), table.addresses.end(),
                     [](const AddressTable::Address& a, const AddressTable::Address& b) {
                         return a.position < b.position;
                     });
    // An address that overlaps the one before it is dropped.
    std::size_t kept = 0;
    for (const AddressTable::Address& address : table.addresses) {
        if (kept == 0 || address.position >=
                             table.addresses[kept - 1].position + table.addresses[kept - 1].width) {
            table.addresses[kept++] = address;
        }
    }
    table.addresses.resize(kept);
    return table;
}

ReferencePredictor::ReferencePredictor(const ReferenceMap& map, const AddressTable& addresses,
                                       std::int64_t originalSize, ReadOld readOld)
    : map_(map), table_(addresses), originalSize_(originalSize), readOld_(std::move(readOld)) {}

void ReferencePredictor::StartEdit(std::int64_t oldStart, std::int64_t length,
                                   std::int64_t newStart) {
    editEnd_ = oldStart + length;
    shift_ = newStart - oldStart;
    scanFrom_ = oldStart;
    carryBytes_ = 0;
}

void ReferencePredictor::Predict(std::span<std::uint8_t> bytes, std::int64_t at) {
    const std::int64_t end = at + static_cast<std::int64_t>(bytes.size());
    // The unchanged old bytes of the stretch and the few after it (inside
    // the edit) that an instruction starting in it may need.
    const std::int64_t viewEnd = std::min(editEnd_, end + 8);
    view_.assign(bytes.begin(), bytes.end());
    if (viewEnd > end) {
        view_.resize(static_cast<std::size_t>(viewEnd - at));
        readOld_(end, view_.data() + bytes.size(), viewEnd - end);
    }
    const auto put = [&](std::int64_t dispAt, const std::uint8_t* value, int count) {
        for (int i = 0; i < count; ++i) {
            if (dispAt + i >= at && dispAt + i < end) {
                bytes[static_cast<std::size_t>(dispAt + i - at)] = value[i];
            }
        }
    };
    if (carryBytes_ > 0) {
        put(carryAt_, carry_, carryBytes_);
        carryBytes_ = carryAt_ + carryBytes_ > end ? carryBytes_ : 0;
    }

    std::int64_t p = std::max(scanFrom_, at);
    auto address = std::lower_bound(table_.addresses.begin(), table_.addresses.end(), p,
                                    [](const AddressTable::Address& a, std::int64_t position) {
                                        return a.position < position;
                                    });
    while (p < end) {
        while (address != table_.addresses.end() && address->position < p) {
            ++address;
        }
        if (address != table_.addresses.end() && address->position == p &&
            p + address->width <= editEnd_) {
            // An absolute address moves with what it points at.
            const int width = address->width;
            const std::uint64_t value =
                width == 8 ? GetLe64(view_.data() + (p - at)) : GetLe32(view_.data() + (p - at));
            const std::uint64_t base = address->imageOffset ? 0 : table_.imageBase;
            const std::optional<std::int64_t> target = value >= base && value - base <= UINT32_MAX
                                                           ? table_.OffsetOf(value - base)
                                                           : std::nullopt;
            const std::optional<std::int64_t> moved =
                target ? map_.NewPosition(*target) : std::nullopt;
            if (moved) {
                std::uint8_t predicted[8];
                PutLe64(predicted, value + static_cast<std::uint64_t>(*moved - *target));
                put(p, predicted, width);
                if (p + width > end) {
                    std::copy(predicted, predicted + width, carry_);
                    carryAt_ = p;
                    carryBytes_ = width;
                }
            }
            p += width;
            continue;
        }
        const std::uint8_t opcode = view_[static_cast<std::size_t>(p - at)];
        int dispOffset = 0;
        int immediate = 0;
        if (opcode == 0xE8 || opcode == 0xE9) { // call, jmp rel32
            dispOffset = 1;
        } else if (p + 1 < viewEnd) {
            const std::uint8_t second = view_[static_cast<std::size_t>(p + 1 - at)];
            if (opcode == 0x0F && (second & 0xF0) == 0x80) { // jcc rel32
                dispOffset = 2;
            } else if (table_.ripRelative && (second & 0xC7) == 0x05 &&
                       RipOperandOpcode(opcode, immediate) != 0) {
                dispOffset = 2;
            }
        }
        const std::int64_t dispAt = p + dispOffset;
        if (dispOffset == 0 || dispAt + 4 > editEnd_) {
            ++p;
            continue;
        }
        const auto displacement = static_cast<std::int32_t>(GetLe32(view_.data() + (dispAt - at)));
        const std::int64_t instructionEnd = dispAt + 4 + immediate;
        const std::int64_t target = instructionEnd + displacement;
        const std::optional<std::int64_t> moved =
            target >= 0 && target < originalSize_ ? map_.NewPosition(target) : std::nullopt;
        const std::int64_t predicted = moved ? *moved - (instructionEnd + shift_) : 0;
        if (!moved || predicted < INT32_MIN || predicted > INT32_MAX) {
            ++p;
            continue;
        }
        std::uint8_t value[4];
        PutLe32(value, static_cast<std::uint32_t>(predicted));
        put(dispAt, value, 4);
        if (dispAt + 4 > end) {
            std::copy(value, value + 4, carry_);
            carryAt_ = dispAt;
            carryBytes_ = 4;
        }
        p = dispAt + 4;
    }
    scanFrom_ = p;
}

} // namespace kestro
