#include "engine/References.hpp"

#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>

namespace kestro {

void ReferenceMap::Add(std::int64_t oldStart, std::int64_t length, std::int64_t newStart) {
    if (length <= 0) {
        return;
    }
    const std::int64_t shift = newStart - oldStart;
    if (!stretches_.empty() && stretches_.back().end == oldStart &&
        stretches_.back().shift == shift) {
        stretches_.back().end += length;
    } else if (stretches_.size() < maxStretches_) {
        stretches_.push_back({oldStart, oldStart + length, shift});
    }
}

void ReferenceMap::Seal() {
    // A sweep over the stretches' ends in old order: between two
    // neighbouring ends the earliest added stretch that covers the gap wins.
    const std::vector<Stretch> added = std::move(stretches_);
    stretches_ = {};
    std::vector<std::uint32_t> byStart(added.size());
    std::iota(byStart.begin(), byStart.end(), 0u);
    std::stable_sort(byStart.begin(), byStart.end(), [&](std::uint32_t a, std::uint32_t b) {
        return added[a].start < added[b].start;
    });
    std::vector<std::int64_t> points;
    points.reserve(2 * added.size());
    for (const Stretch& stretch : added) {
        points.push_back(stretch.start);
        points.push_back(stretch.end);
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());

    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> covering;
    std::size_t next = 0;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const std::int64_t at = points[i];
        while (next < byStart.size() && added[byStart[next]].start <= at) {
            covering.push(byStart[next++]);
        }
        while (!covering.empty() && added[covering.top()].end <= at) {
            covering.pop(); // ended; a stretch still under it waits its turn
        }
        if (covering.empty()) {
            continue;
        }
        const std::int64_t shift = added[covering.top()].shift;
        if (!stretches_.empty() && stretches_.back().end == at &&
            stretches_.back().shift == shift) {
            stretches_.back().end = points[i + 1];
        } else {
            stretches_.push_back({at, points[i + 1], shift});
        }
    }
}

std::optional<std::int64_t> ReferenceMap::NewPosition(std::int64_t at) const {
    const auto after = std::upper_bound(
        stretches_.begin(), stretches_.end(), at,
        [](std::int64_t position, const Stretch& s) { return position < s.start; });
    if (after == stretches_.begin() || std::prev(after)->end <= at) {
        return std::nullopt;
    }
    return at + std::prev(after)->shift;
}

std::optional<std::int64_t> ReferenceMap::NearbyPosition(std::int64_t at, std::int64_t from,
                                                         std::int64_t to) const {
    const auto after = std::upper_bound(
        stretches_.begin(), stretches_.end(), at,
        [](std::int64_t position, const Stretch& s) { return position < s.start; });
    if (after != stretches_.begin() && std::prev(after)->end > from) {
        return at + std::prev(after)->shift;
    }
    if (after != stretches_.end() && after->start < to) {
        return at + after->shift;
    }
    return std::nullopt;
}

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
    // The PE headers: "MZ", e_lfanew at 0x3C; at it "PE\0\0", the file
    // header (NumberOfSections at +6, SizeOfOptionalHeader at +20 from the
    // signature), then the optional header, whose Magic says where ImageBase,
    // NumberOfRvaAndSizes and the data directories lie; the section table
    // (40 bytes a section) follows it.
    constexpr std::size_t HeaderBytes = 4096;
    constexpr std::uint32_t ExceptionDirectory = 3;
    constexpr std::uint32_t RelocationDirectory = 5;
    constexpr std::int64_t MaxDirectoryBytes = std::int64_t{1} << 20;
    AddressTable table;
    std::uint8_t start[HeaderBytes] = {};
    const std::int64_t got =
        original.ReadAt(0, start, std::min<std::int64_t>(HeaderBytes, original.Size()));
    const std::span<const std::uint8_t> header(start, static_cast<std::size_t>(got));
    if (!IsX86Program(header)) {
        return table;
    }
    const std::uint32_t pe = GetLe32(start + 0x3C);
    table.ripRelative = GetLe16(start + pe + 4) != 0x014C;
    const auto fits = [&](std::uint64_t offset, std::uint64_t count) {
        return offset <= header.size() && count <= header.size() - offset;
    };
    if (!fits(pe, 24 + 2)) {
        return table;
    }
    const std::uint16_t sectionCount = GetLe16(start + pe + 6);
    const std::uint16_t optionalBytes = GetLe16(start + pe + 20);
    const std::uint64_t optional = pe + 24;
    std::uint64_t countField = 0;
    std::uint64_t directories = 0;
    switch (GetLe16(start + optional)) {
    case 0x10B: // PE32
        if (!fits(optional + 28, 4)) {
            return table;
        }
        table.imageBase = GetLe32(start + optional + 28);
        countField = optional + 92;
        directories = optional + 96;
        break;
    case 0x20B: // PE32+
        if (!fits(optional + 24, 8)) {
            return table;
        }
        table.imageBase = GetLe64(start + optional + 24);
        countField = optional + 108;
        directories = optional + 112;
        break;
    default:
        return table;
    }
    const std::uint64_t sectionTable = optional + optionalBytes;
    if (!fits(countField, 4) || !fits(sectionTable, std::uint64_t{sectionCount} * 40)) {
        return table;
    }
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::uint8_t* section = start + sectionTable + 40 * i;
        table.sections.push_back(
            {GetLe32(section + 12), GetLe32(section + 16), GetLe32(section + 20)});
    }
    // A data directory's bytes (at most MaxDirectoryBytes of them) and
    // where they lie in the original; none when it has none.
    const auto readDirectory = [&](std::uint32_t index, std::int64_t& at) {
        std::vector<std::uint8_t> bytes;
        if (GetLe32(start + countField) <= index || !fits(directories + 8 * index, 8)) {
            return bytes;
        }
        const std::optional<std::int64_t> offset =
            table.OffsetOf(GetLe32(start + directories + 8 * index));
        const std::uint32_t size = GetLe32(start + directories + 8 * index + 4);
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
        const std::vector<std::uint8_t> blocks = readDirectory(RelocationDirectory, at);
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
    // An x86-64 image's exception table: 12-byte entries of three image
    // offsets (a function's start and end, its unwind data).
    if (directories == optional + 112) {
        const std::vector<std::uint8_t> functions = readDirectory(ExceptionDirectory, at);
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
