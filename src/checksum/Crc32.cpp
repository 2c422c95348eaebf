#include "checksum/Crc32.hpp"
#include "checksum/Crc32Kernels.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace kestro {

namespace {

// Slicing-by-8: Tables[0] is the standard byte table (entry 1 is 0x77073096,
// entry 255 0x2D02EF8D); Tables[k][i] is the register after k further zero
// bytes, so eight bytes are folded in with eight independent look-ups.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables MakeTables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables Tables = MakeTables();

static_assert(Tables[0][1] == 0x77073096u && Tables[0][255] == 0x2D02EF8Du);

std::uint32_t LoadLe32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::vector<Crc32Kernel> MakeKernelList() {
    std::vector<Crc32Kernel> kernels{{"table", Crc32UpdateTable, {}}};
    for (const Crc32Kernel& kernel : AcceleratedCrc32Kernels()) {
        kernels.push_back(kernel);
    }
    return kernels;
}

} // namespace

std::uint32_t Crc32UpdateTable(const unsigned char* data, std::uint32_t crc, std::size_t count) {
    const unsigned char* p = data;
    for (; count >= 8; count -= 8, p += 8) {
        const std::uint32_t low = LoadLe32(p) ^ crc;
        const std::uint32_t high = LoadLe32(p + 4);
        crc = Tables[7][low & 0xFF] ^ Tables[6][(low >> 8) & 0xFF] ^ Tables[5][(low >> 16) & 0xFF] ^
              Tables[4][low >> 24] ^ Tables[3][high & 0xFF] ^ Tables[2][(high >> 8) & 0xFF] ^
              Tables[1][(high >> 16) & 0xFF] ^ Tables[0][high >> 24];
    }
    for (; count > 0; --count, ++p) {
        crc = (crc >> 8) ^ Tables[0][(crc ^ *p) & 0xFF];
    }
    return crc;
}

std::span<const Crc32Kernel> Crc32Kernels() {
    static const std::vector<Crc32Kernel> kernels = MakeKernelList();
    return kernels;
}

const Crc32Kernel& SelectedCrc32Kernel() {
    static const Crc32Kernel& selected = []() -> const Crc32Kernel& {
        const std::span<const Crc32Kernel> kernels = Crc32Kernels();
        for (auto kernel = kernels.rbegin(); kernel != kernels.rend(); ++kernel) {
            if (kernel->Unsupported.empty()) {
                return *kernel;
            }
        }
        return kernels.front();
    }();
    return selected;
}

// The kernel is chosen on the first call, from whichever thread makes it,
// and kept for the rest of the run.
std::uint32_t Crc32Update(const void* data, std::uint32_t crc, std::size_t count) {
    static const Crc32UpdateFunction update = SelectedCrc32Kernel().Update;
    return update(static_cast<const unsigned char*>(data), crc, count);
}

std::uint32_t Crc32Buffer(const void* data, std::size_t length) {
    return ~Crc32Update(data, 0xFFFFFFFFu, length);
}

std::uint32_t StreamCrc32(ByteStream& stream) {
    constexpr std::int64_t chunk = 1 << 20;
    std::int64_t remaining = std::max<std::int64_t>(stream.Size() - stream.Position(), 0);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(remaining, chunk)));
    std::uint32_t crc = 0xFFFFFFFFu;
    while (remaining > 0) {
        const std::int64_t n = std::min(remaining, chunk);
        stream.ReadBuffer(buffer.data(), n);
        crc = Crc32Update(buffer.data(), crc, static_cast<std::size_t>(n));
        remaining -= n;
    }
    return ~crc;
}

} // namespace kestro
