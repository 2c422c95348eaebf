// CRC-32 kernels for x86-64 that fold the input with carry-less
// multiplication: PCLMULQDQ on 128-bit lanes, and VPCLMULQDQ on 512-bit
// (AVX-512) vectors. (A 256-bit kernel for processors with VPCLMULQDQ but
// without AVX-512 would double the 128-bit kernel's speed there, but at
// some 27 GB/s that one already costs an update of 512 MiB about 20 ms.) Each function is compiled
// for its own instruction set through a target attribute, so the rest of the program keeps the
// default flags and runs on any x86-64 processor; a kernel is called only after the processor has
// been asked whether it has the instructions. All loads are unaligned, since the data may start
// anywhere.
//
// How folding works. Take the message as a polynomial over GF(2) whose first
// bit is the highest term, and P the CRC polynomial (0x104C11DB7; the
// register holds it bit-reversed as 0xEDB88320). The register after the
// message is M * x^32 mod P, with the starting register added to the first
// 32 message bits. A 128-bit chunk X that stands F bits before a later
// chunk Y weighs X * x^F relative to Y, so replacing X by anything
// congruent to X * x^F mod P and adding it to Y changes no register. With
// X = H * x^64 + L (H, L of 64 bits),
//     X * x^F  =  H * x^(F+64) + L * x^F
//              == H * (x^(F+64) mod P) + L * (x^F mod P)      (mod P),
// two 64 x 32-bit carry-less products that fit in 96 bits. Many lanes are
// folded independently this way, each onto the chunk one stride ahead, and
// at the end the lanes are folded onto one another, leaving one 128-bit
// chunk congruent to everything before it; the table-driven kernel turns
// those 16 bytes and the remaining tail into the register. That last step
// costs about what a reduction by multiplication would, and reuses the
// reference code.
//
// Bit order. Bytes go in as they lie in memory, least significant bit first,
// so bit i of a 128-bit lane holds the term x^(127-i): the lower quadword
// is H and the upper one is L, and a 64-bit half has bit i = x^(63-i). For
// a product of such a half with a constant stored with bit j = x^(32-j), bit
// k of the 128-bit product holds x^(95-k) of the true product, one lane of
// the same layout multiplied by x^32. The constants are therefore stored as
// x^(F+32) mod P for H and x^(F-32) mod P for L, each bit-reversed into
// bits 1..32 of a quadword; FoldConstant below computes them.
#include "checksum/Crc32Kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define KESTRO_CRC32_X86 1
#include <immintrin.h>
#endif

namespace kestro {

#ifdef KESTRO_CRC32_X86

namespace {

// x^n mod P in the register's bit order (bit 31 holds x^0, bit 0 x^31):
// multiplying by x is a right shift, with P folded back in when x^31 moves
// out.
constexpr std::uint32_t PowerOfXModP(unsigned n) {
    std::uint32_t r = 0x80000000u;
    for (; n > 0; --n) {
        r = (r & 1) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return r;
}

// x^n mod P with bit j = x^(32-j), as a folding multiplier.
constexpr long long FoldConstant(unsigned n) {
    return static_cast<long long>(std::uint64_t{PowerOfXModP(n)} << 1);
}

// The multipliers that move a 128-bit lane forward by distance bits: the
// one for its lower quadword (the earlier, higher terms) and the one for
// its upper quadword.
struct FoldMultipliers {
    long long Lower;
    long long Upper;
};

constexpr FoldMultipliers FoldBy(unsigned distance) {
    return {FoldConstant(distance + 32), FoldConstant(distance - 32)};
}

static_assert(PowerOfXModP(32) == 0xEDB88320u, "x^32 mod P is P without its top term");

#define KESTRO_PCLMUL __attribute__((target("sse4.1,pclmul")))
#define KESTRO_VPCLMUL512 __attribute__((target("avx512f,pclmul,vpclmulqdq")))

KESTRO_PCLMUL inline __m128i Load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

KESTRO_PCLMUL inline __m128i Multipliers128(FoldMultipliers k) {
    return _mm_set_epi64x(k.Upper, k.Lower);
}

// x moved forward by the distance k was made for, added to next.
KESTRO_PCLMUL inline __m128i Fold128(__m128i x, __m128i k, __m128i next) {
    const __m128i lower = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i upper = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lower, upper), next);
}

// The register after a last 128-bit lane x, congruent to all input before
// p, and the count bytes at p.
KESTRO_PCLMUL std::uint32_t Finish128(__m128i x, const unsigned char* p, std::size_t count) {
    const __m128i by128 = Multipliers128(FoldBy(128));
    for (; count >= 16; count -= 16, p += 16) {
        x = Fold128(x, by128, Load128(p));
    }
    unsigned char lane[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lane), x);
    return Crc32UpdateTable(p, Crc32UpdateTable(lane, 0, sizeof lane), count);
}

// Four 128-bit lanes, 64 bytes a step.
KESTRO_PCLMUL std::uint32_t UpdatePclmul(const unsigned char* p, std::uint32_t crc,
                                         std::size_t count) {
    if (count < 64) {
        return Crc32UpdateTable(p, crc, count);
    }
    __m128i lane[4];
    for (int i = 0; i < 4; ++i) {
        lane[i] = Load128(p + 16 * i);
    }
    lane[0] = _mm_xor_si128(lane[0], _mm_cvtsi32_si128(static_cast<int>(crc)));
    const __m128i by512 = Multipliers128(FoldBy(512));
    for (p += 64, count -= 64; count >= 64; p += 64, count -= 64) {
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            lane[i] = Fold128(lane[i], by512, Load128(p + 16 * i));
        }
    }
    const __m128i by128 = Multipliers128(FoldBy(128));
    return Finish128(
        Fold128(Fold128(Fold128(lane[0], by128, lane[1]), by128, lane[2]), by128, lane[3]), p,
        count);
}

KESTRO_VPCLMUL512 inline __m512i Load512(const unsigned char* p) {
    return _mm512_loadu_si512(p);
}

KESTRO_VPCLMUL512 inline __m512i Multipliers512(FoldMultipliers k) {
    return _mm512_set_epi64(k.Upper, k.Lower, k.Upper, k.Lower, k.Upper, k.Lower, k.Upper, k.Lower);
}

KESTRO_VPCLMUL512 inline __m512i Fold512(__m512i z, __m512i k, __m512i next) {
    const __m512i lower = _mm512_clmulepi64_epi128(z, k, 0x00);
    const __m512i upper = _mm512_clmulepi64_epi128(z, k, 0x11);
    return _mm512_ternarylogic_epi64(lower, upper, next, 0x96); // three-way exclusive or
}

// Four 512-bit vectors, 256 bytes a step.
KESTRO_VPCLMUL512 std::uint32_t UpdateVpclmul512(const unsigned char* p, std::uint32_t crc,
                                                 std::size_t count) {
    if (count < 256) {
        return UpdatePclmul(p, crc, count);
    }
    const __m512i start =
        _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc));
    __m512i z0 = _mm512_xor_si512(Load512(p), start);
    __m512i z1 = Load512(p + 64);
    __m512i z2 = Load512(p + 128);
    __m512i z3 = Load512(p + 192);
    const __m512i by2048 = Multipliers512(FoldBy(2048));
    for (p += 256, count -= 256; count >= 256; p += 256, count -= 256) {
        z0 = Fold512(z0, by2048, Load512(p));
        z1 = Fold512(z1, by2048, Load512(p + 64));
        z2 = Fold512(z2, by2048, Load512(p + 128));
        z3 = Fold512(z3, by2048, Load512(p + 192));
    }
    const __m512i by512 = Multipliers512(FoldBy(512));
    __m512i z = Fold512(Fold512(Fold512(z0, by512, z1), by512, z2), by512, z3);
    for (; count >= 64; p += 64, count -= 64) {
        z = Fold512(z, by512, Load512(p));
    }
    // Lanes 0, 1 and 2 move forward by 384, 256 and 128 bits onto lane 3,
    // whose multipliers are zero.
    constexpr FoldMultipliers by384 = FoldBy(384), by256 = FoldBy(256), by128 = FoldBy(128);
    const __m512i onto3 = _mm512_set_epi64(0, 0, by128.Upper, by128.Lower, by256.Upper, by256.Lower,
                                           by384.Upper, by384.Lower);
    const __m512i moved = _mm512_xor_si512(_mm512_clmulepi64_epi128(z, onto3, 0x00),
                                           _mm512_clmulepi64_epi128(z, onto3, 0x11));
    // (The lanes are taken with the zero-masked extraction because GCC 12
    // warns about the undefined operand inside the unmasked one.)
    const __m128i x = _mm_xor_si128(_mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, moved, 0),
                                                  _mm512_maskz_extracti32x4_epi32(0xF, moved, 1)),
                                    _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, moved, 2),
                                                  _mm512_maskz_extracti32x4_epi32(0xF, z, 3)));
    return Finish128(x, p, count);
}

} // namespace

std::vector<Crc32Kernel> AcceleratedCrc32Kernels() {
    __builtin_cpu_init();
    const bool pclmul = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("pclmul");
    const bool vpclmul = pclmul && __builtin_cpu_supports("vpclmulqdq");
    // Support for the wide registers includes the operating system's: the
    // answer for AVX2 and AVX-512 is no when it does not save them.
    return {
        {"pclmul", UpdatePclmul, pclmul ? "" : "the processor lacks PCLMULQDQ or SSE4.1"},
        {"vpclmul512", UpdateVpclmul512,
         vpclmul && __builtin_cpu_supports("avx512f")
             ? ""
             : "the processor lacks VPCLMULQDQ or AVX-512"},
    };
}

#else

std::vector<Crc32Kernel> AcceleratedCrc32Kernels() {
    return {};
}

#endif

} // namespace kestro
