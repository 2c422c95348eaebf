#include "engine/References.hpp"

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
    } else if (stretches_.size() < MaxStretches) {
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

ReferencePredictor::ReferencePredictor(const ReferenceMap& map, std::int64_t originalSize,
                                       ReadOld readOld)
    : map_(map), originalSize_(originalSize), readOld_(std::move(readOld)) {}

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
    const std::int64_t viewEnd = std::min(editEnd_, end + 6);
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
    while (p < end) {
        const std::uint8_t opcode = view_[static_cast<std::size_t>(p - at)];
        int dispOffset = 0;
        int immediate = 0;
        if (opcode == 0xE8 || opcode == 0xE9) { // call, jmp rel32
            dispOffset = 1;
        } else if (p + 1 < viewEnd) {
            const std::uint8_t second = view_[static_cast<std::size_t>(p + 1 - at)];
            if (opcode == 0x0F && (second & 0xF0) == 0x80) { // jcc rel32
                dispOffset = 2;
            } else if ((second & 0xC7) == 0x05 && RipOperandOpcode(opcode, immediate) != 0) {
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
