// CubeHash kernels for x86-64 vector units. Each entry point carries its own
// target attribute, so the rest of the program is built for plain x86-64 and
// the kernel is chosen at run time. The SSE2 and AVX2 rounds are written once,
// with the compilers' vector extensions, and compiled for each target by
// inlining; the AVX-512VL rounds are written with intrinsics.
#if defined(__x86_64__)

#include <immintrin.h>
// The C library's header uses C's _Bool, which clang does not take in C++.
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#define OMBU_LIBC_CPU_FEATURES 1
#include <sys/platform/x86.h>
#endif

#include <cstring>
#include <utility>

#include "fingerprint/cubehash_kernels.hpp"

namespace ombu::cubehash_kernels {

namespace {

typedef std::uint32_t words4 __attribute__((vector_size(16)));
typedef std::uint32_t words8 __attribute__((vector_size(32)));

// The 32 state words lie in 32 / n vectors of n words, in order: x[i] is word
// i mod n of vector i / n. The low half x[0..15] is vectors 0 to 16 / n - 1.
// Every loop over the vectors of a half is unrolled (the pragmas), so that
// they stay in registers at -O2 as well.
template <class V>
struct layout {
    static constexpr unsigned n = sizeof(V) / sizeof(std::uint32_t);
    static constexpr unsigned half = 16 / n;
};

// v[p] = v[p ^ mask] for every word p of the vector.
template <unsigned mask, class V>
[[gnu::always_inline]] inline void permute_words(V& v) {
    if constexpr (layout<V>::n == 4)
        v = __builtin_shufflevector(v, v, 0 ^ mask, 1 ^ mask, 2 ^ mask, 3 ^ mask);
    else
        v = __builtin_shufflevector(v, v, 0 ^ mask, 1 ^ mask, 2 ^ mask, 3 ^ mask, 4 ^ mask,
                                    5 ^ mask, 6 ^ mask, 7 ^ mask);
}

// Swaps word i with word i ^ mask of a half (16 words). A mask of whole
// vectors only exchanges which register holds what, which costs nothing
// once inlined.
template <unsigned mask, class V>
[[gnu::always_inline]] inline void swap_words(V (&h)[layout<V>::half]) {
    constexpr unsigned n = layout<V>::n;
    if constexpr (mask >= n) {
#pragma GCC unroll 4
        for (unsigned r = 0; r < layout<V>::half; ++r)
            if ((r & (mask / n)) == 0) std::swap(h[r], h[r ^ (mask / n)]);
    } else {
#pragma GCC unroll 4
        for (unsigned r = 0; r < layout<V>::half; ++r) permute_words<mask>(h[r]);
    }
}

// low = (low rotated left by bits) ^ high. The rotation's two shifted parts
// share no bit, so XOR joins them as well as OR would, and the XOR with high
// can start before the second shift is done.
template <unsigned bits, class V>
[[gnu::always_inline]] inline void rotate_xor(V (&low)[layout<V>::half],
                                              const V (&high)[layout<V>::half]) {
#pragma GCC unroll 4
    for (unsigned r = 0; r < layout<V>::half; ++r)
        low[r] = ((low[r] << bits) ^ high[r]) ^ (low[r] >> (32 - bits));
}

template <class V>
[[gnu::always_inline]] inline void add_low(V (&low)[layout<V>::half], V (&high)[layout<V>::half]) {
#pragma GCC unroll 4
    for (unsigned r = 0; r < layout<V>::half; ++r) high[r] += low[r];
}

// The swaps of the low half come before its rotation, with which they
// commute: a swap within registers then runs beside the addition into the
// high half instead of after the rotation.
template <class V>
[[gnu::always_inline]] inline void round(V (&low)[layout<V>::half], V (&high)[layout<V>::half]) {
    add_low(low, high);
    swap_words<8>(low);
    rotate_xor<7>(low, high);
    swap_words<2>(high);
    add_low(low, high);
    swap_words<4>(low);
    rotate_xor<11>(low, high);
    swap_words<1>(high);
}

// Rounds go in pairs, after which every register holds its own words again.
template <class V>
[[gnu::always_inline]] inline void round_pairs(V (&low)[layout<V>::half],
                                               V (&high)[layout<V>::half], unsigned count) {
    for (unsigned r = 0; r < count; r += 2) {
        round(low, high);
        round(low, high);
    }
}

template <class V>
[[gnu::always_inline]] inline void load(const std::uint32_t (&x)[32], V (&low)[layout<V>::half],
                                        V (&high)[layout<V>::half]) {
    std::memcpy(low, x, sizeof low);
    std::memcpy(high, x + 16, sizeof high);
}

template <class V>
[[gnu::always_inline]] inline void store(std::uint32_t (&x)[32], V (&low)[layout<V>::half],
                                         V (&high)[layout<V>::half]) {
    std::memcpy(x, low, sizeof low);
    std::memcpy(x + 16, high, sizeof high);
}

template <class V>
[[gnu::always_inline]] inline void rounds_as(std::uint32_t (&x)[32], unsigned count) {
    V low[layout<V>::half], high[layout<V>::half];
    load(x, low, high);
    round_pairs(low, high, count);
    store(x, low, high);
}

// A block's bytes XOR into the first words as they lie in memory: x86 is
// little-endian, as the state's byte view is.
template <class V>
[[gnu::always_inline]] inline void absorb_blocks_as(std::uint32_t (&x)[32],
                                                    const std::uint8_t* blocks, std::size_t count) {
    constexpr unsigned per_block = block_bytes / sizeof(V);
    V low[layout<V>::half], high[layout<V>::half];
    load(x, low, high);
    for (std::size_t b = 0; b < count; ++b, blocks += block_bytes) {
#pragma GCC unroll 4
        for (unsigned r = 0; r < per_block; ++r) {
            V message;
            std::memcpy(&message, blocks + r * sizeof(V), sizeof message);
            low[r] ^= message;
        }
        round_pairs(low, high, rounds_per_block);
    }
    store(x, low, high);
}

// AVX-512VL, written with intrinsics because the compilers, left to the
// generic code, differ in what they make of it. The rotation and the XOR that
// follows it are two shifts and one three-way XOR (vpternlogd): two steps on
// the critical path, where a rotate instruction (vprold, two cycles on some
// processors) and an XOR take three. The lane swap asks for vperm2i128, the
// quickest lane-crossing shuffle here (clang turns it into vpermq). Layout as
// words8 above.
#define OMBU_AVX512VL __attribute__((target("avx512f,avx512vl"), always_inline)) inline

template <int bits>
OMBU_AVX512VL __m256i rotate_xor_avx512(__m256i low, __m256i high) {
    return _mm256_ternarylogic_epi32(_mm256_slli_epi32(low, bits),
                                     _mm256_srli_epi32(low, 32 - bits), high, 0x96);  // a ^ b ^ c
}

OMBU_AVX512VL __m256i swap_lanes(__m256i v) { return _mm256_permute2x128_si256(v, v, 1); }

// Two rounds; after them every register holds its own words again.
OMBU_AVX512VL void round_pair_avx512(__m256i& a0, __m256i& a1, __m256i& b0, __m256i& b1) {
    for (int k = 0; k < 2; ++k) {
        b0 = _mm256_add_epi32(b0, a0);
        b1 = _mm256_add_epi32(b1, a1);
        const __m256i swapped0 = rotate_xor_avx512<7>(a1, b0);  // words i and i ^ 8 change places
        a1 = rotate_xor_avx512<7>(a0, b1);
        a0 = swapped0;
        b0 = _mm256_shuffle_epi32(b0, 0x4e);  // words i and i ^ 2
        b1 = _mm256_shuffle_epi32(b1, 0x4e);
        b0 = _mm256_add_epi32(b0, a0);
        b1 = _mm256_add_epi32(b1, a1);
        a0 = rotate_xor_avx512<11>(swap_lanes(a0), b0);  // words i and i ^ 4
        a1 = rotate_xor_avx512<11>(swap_lanes(a1), b1);
        b0 = _mm256_shuffle_epi32(b0, 0xb1);  // words i and i ^ 1
        b1 = _mm256_shuffle_epi32(b1, 0xb1);
    }
}

#undef OMBU_AVX512VL

}  // namespace

// The C library has asked the processor at start-up already; the compiler's
// own test would link a second start-up probe into every process, which costs
// each ombu-ifchange a few trapped CPUID instructions under a hypervisor.
#if defined(OMBU_LIBC_CPU_FEATURES)
bool has_avx2() { return CPU_FEATURE_ACTIVE(AVX2); }

bool has_avx512vl() { return CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512VL); }
#else
bool has_avx2() { return __builtin_cpu_supports("avx2"); }

bool has_avx512vl() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}
#endif

void sse2_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count) {
    absorb_blocks_as<words4>(x, blocks, count);
}

void sse2_rounds(std::uint32_t (&x)[32], unsigned count) { rounds_as<words4>(x, count); }

__attribute__((target("avx2"))) void avx2_absorb_blocks(std::uint32_t (&x)[32],
                                                        const std::uint8_t* blocks,
                                                        std::size_t count) {
    absorb_blocks_as<words8>(x, blocks, count);
}

__attribute__((target("avx2"))) void avx2_rounds(std::uint32_t (&x)[32], unsigned count) {
    rounds_as<words8>(x, count);
}

__attribute__((target("avx512f,avx512vl"))) void avx512vl_absorb_blocks(std::uint32_t (&x)[32],
                                                                        const std::uint8_t* blocks,
                                                                        std::size_t count) {
    __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 8));
    __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 16));
    __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 24));
    for (std::size_t b = 0; b < count; ++b, blocks += block_bytes) {
        a0 = _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks)));
        for (unsigned r = 0; r < rounds_per_block; r += 2) round_pair_avx512(a0, a1, b0, b1);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), a0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 8), a1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 16), b0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 24), b1);
}

__attribute__((target("avx512f,avx512vl"))) void avx512vl_rounds(std::uint32_t (&x)[32],
                                                                 unsigned count) {
    __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 8));
    __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 16));
    __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 24));
    for (unsigned r = 0; r < count; r += 2) round_pair_avx512(a0, a1, b0, b1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), a0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 8), a1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 16), b0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 24), b1);
}

}  // namespace ombu::cubehash_kernels

#endif
