// The interchangeable inner loops of CubeHash: a portable one and, on x86-64,
// vector ones for the instruction sets a processor may have. One is chosen
// per process; the tests compare every one the processor runs with the
// portable one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fingerprint/cubehash.hpp"

namespace ombu::cubehash_kernels {

constexpr unsigned rounds_per_block = 16;
constexpr unsigned block_bytes = 32;

struct kernel {
    const char* name;
    // Whether this processor (and its operating system) runs the kernel.
    bool (*supported)();
    // For each of count blocks of 32 bytes in turn: XORs it into state bytes 0
    // to 31 and applies 16 rounds.
    void (*absorb_blocks)(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count);
    // Applies count rounds; count is even.
    void (*rounds)(std::uint32_t (&x)[32], unsigned count);
};

// Every kernel compiled in, the portable one first and the others in order of
// preference, best last.
std::span<const kernel> all_kernels();

// The best kernel this processor runs, chosen on the first call.
const kernel& active_kernel();

// cubehash_state::absorb and finish with a given kernel.
void absorb(const kernel& with, cubehash_state& state, const void* bytes, std::size_t length);
digest finish(const kernel& with, cubehash_state& state);

void portable_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count);
void portable_rounds(std::uint32_t (&x)[32], unsigned count);

#if defined(__x86_64__)
bool has_avx2();
bool has_avx512vl();
void sse2_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count);
void sse2_rounds(std::uint32_t (&x)[32], unsigned count);
void avx2_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count);
void avx2_rounds(std::uint32_t (&x)[32], unsigned count);
void avx512vl_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count);
void avx512vl_rounds(std::uint32_t (&x)[32], unsigned count);
#endif

}  // namespace ombu::cubehash_kernels
