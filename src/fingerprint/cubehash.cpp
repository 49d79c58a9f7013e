#include "fingerprint/cubehash.hpp"

#include <cstring>
#include <utility>

#include "fingerprint/cubehash_kernels.hpp"

namespace ombu {

namespace cubehash_kernels {

namespace {

constexpr unsigned initial_rounds = 16;
constexpr unsigned final_rounds = 32;
constexpr unsigned digest_bytes = 32;

constexpr std::uint32_t rotate_left(std::uint32_t word, unsigned bits) {
    return (word << bits) | (word >> (32 - bits));
}

// One CubeHash round, word by word: the reference that the vector kernels are
// tested against. The rotation of the low half and its swap commute, so each
// pair is taken as one step.
void round(std::uint32_t (&x)[32]) {
    for (unsigned i = 0; i < 16; ++i) x[16 + i] += x[i];
    for (unsigned i = 0; i < 16; ++i) x[i] = rotate_left(x[i], 7);
    for (unsigned i = 0; i < 8; ++i) std::swap(x[i], x[i ^ 8]);
    for (unsigned i = 0; i < 16; ++i) x[i] ^= x[16 + i];
    for (unsigned i = 0; i < 16; ++i)
        if ((i & 2) == 0) std::swap(x[16 + i], x[16 + (i ^ 2)]);
    for (unsigned i = 0; i < 16; ++i) x[16 + i] += x[i];
    for (unsigned i = 0; i < 16; ++i) x[i] = rotate_left(x[i], 11);
    for (unsigned i = 0; i < 16; ++i)
        if ((i & 4) == 0) std::swap(x[i], x[i ^ 4]);
    for (unsigned i = 0; i < 16; ++i) x[i] ^= x[16 + i];
    for (unsigned i = 0; i < 16; ++i)
        if ((i & 1) == 0) std::swap(x[16 + i], x[16 + (i ^ 1)]);
}

// The state read as bytes: byte p is the (p mod 4)-th least significant byte
// of word p / 4, whatever the machine's byte order.
void xor_byte(std::uint32_t (&x)[32], unsigned position, std::uint8_t byte) {
    x[position / 4] ^= static_cast<std::uint32_t>(byte) << (8 * (position % 4));
}

bool always() { return true; }

const kernel kernel_table[] = {
    {"portable", always, portable_absorb_blocks, portable_rounds},
#if defined(__x86_64__)
    {"sse2", always, sse2_absorb_blocks, sse2_rounds},
    {"avx2", has_avx2, avx2_absorb_blocks, avx2_rounds},
    {"avx512vl", has_avx512vl, avx512vl_absorb_blocks, avx512vl_rounds},
#endif
};

const kernel& choose_kernel() {
    const kernel* best = &kernel_table[0];
    for (const kernel& k : kernel_table)
        if (k.supported()) best = &k;
    return *best;
}

// The state after initialisation is the same for every digest: computed once.
struct initial_state {
    std::uint32_t x[32];
    initial_state() : x{} {
        x[0] = digest_bytes;
        x[1] = block_bytes;
        x[2] = rounds_per_block;
        portable_rounds(x, initial_rounds);
    }
};

}  // namespace

void portable_rounds(std::uint32_t (&x)[32], unsigned count) {
    for (unsigned r = 0; r < count; ++r) round(x);
}

void portable_absorb_blocks(std::uint32_t (&x)[32], const std::uint8_t* blocks, std::size_t count) {
    for (std::size_t b = 0; b < count; ++b, blocks += block_bytes) {
        for (unsigned p = 0; p < block_bytes; ++p) xor_byte(x, p, blocks[p]);
        portable_rounds(x, rounds_per_block);
    }
}

std::span<const kernel> all_kernels() { return kernel_table; }

const kernel& active_kernel() {
    static const kernel& chosen = choose_kernel();
    return chosen;
}

// Bytes that complete or start a block go through the byte view of the state;
// the whole blocks between them go to the kernel in one call.
void absorb(const kernel& with, cubehash_state& state, const void* bytes, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    const auto* end = in + length;
    while (state.position != 0 && in != end) {
        xor_byte(state.x, state.position, *in++);
        if (++state.position == block_bytes) {
            with.rounds(state.x, rounds_per_block);
            state.position = 0;
        }
    }
    const std::size_t blocks = static_cast<std::size_t>(end - in) / block_bytes;
    if (blocks != 0) {
        with.absorb_blocks(state.x, in, blocks);
        in += blocks * block_bytes;
    }
    for (; in != end; ++in) xor_byte(state.x, state.position++, *in);
}

digest finish(const kernel& with, cubehash_state& state) {
    xor_byte(state.x, state.position, 0x80);
    with.rounds(state.x, rounds_per_block);
    state.x[31] ^= 1;
    with.rounds(state.x, final_rounds);
    digest out;
    for (unsigned p = 0; p < digest_bytes; ++p)
        out[p] = static_cast<std::uint8_t>(state.x[p / 4] >> (8 * (p % 4)));
    return out;
}

}  // namespace cubehash_kernels

cubehash_state::cubehash_state() : position(0) {
    static const cubehash_kernels::initial_state initial;
    std::memcpy(x, initial.x, sizeof x);
}

void cubehash_state::absorb(const void* bytes, std::size_t length) {
    cubehash_kernels::absorb(cubehash_kernels::active_kernel(), *this, bytes, length);
}

digest cubehash_state::finish() {
    return cubehash_kernels::finish(cubehash_kernels::active_kernel(), *this);
}

}  // namespace ombu
