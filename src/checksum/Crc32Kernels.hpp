// The kernels that run the CRC-32 register, for Crc32.cpp itself and for
// its tests and benchmarks. Every kernel keeps Crc32Update's contract
// exactly: the same register for every input, every length from 0 (which
// reads nothing) and every alignment, and any starting register, so that
// kernels can be mixed piece by piece. They differ only in speed and in the
// processor instructions they need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestro {

using Crc32UpdateFunction = std::uint32_t (*)(const unsigned char* data, std::uint32_t crc,
                                              std::size_t count);

struct Crc32Kernel {
    std::string_view Name; // letters and digits only
    Crc32UpdateFunction Update = nullptr;
    // Empty when this processor can run the kernel, otherwise why it cannot;
    // Update must not be called then.
    std::string_view Unsupported;
};

// The kernels built for this processor architecture: the portable
// table-driven one first, which every processor runs, then the others from
// slowest to fastest. Processor support is detected once, on first use.
std::span<const Crc32Kernel> Crc32Kernels();

// The kernel Crc32Update uses: the last of Crc32Kernels that this processor
// can run.
const Crc32Kernel& SelectedCrc32Kernel();

// The portable kernel, slicing-by-8 over the standard table: the reference
// for the others, which also use it for inputs and tails too short to fold.
std::uint32_t Crc32UpdateTable(const unsigned char* data, std::uint32_t crc, std::size_t count);

// The kernels that need particular instructions, each with what this
// processor says about them; none where the architecture has no such
// kernels.
std::vector<Crc32Kernel> AcceleratedCrc32Kernels();

} // namespace kestro
