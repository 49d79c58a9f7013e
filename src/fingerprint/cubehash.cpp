#include "fingerprint/cubehash.hpp"

#include <utility>

namespace ombu {

namespace {

constexpr unsigned initial_rounds = 16;
constexpr unsigned rounds_per_block = 16;
constexpr unsigned block_bytes = 32;
constexpr unsigned final_rounds = 32;
constexpr unsigned digest_bytes = 32;

constexpr std::uint32_t rotate_left(std::uint32_t word, unsigned bits) {
    return (word << bits) | (word >> (32 - bits));
}

// One CubeHash round. The rotation of the low half and its swap commute, so
// each pair is taken as one step.
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

void rounds(std::uint32_t (&x)[32], unsigned count) {
    for (unsigned r = 0; r < count; ++r) round(x);
}

// The state read as bytes: byte p is the (p mod 4)-th least significant byte
// of word p / 4, whatever the machine's byte order.
void xor_byte(std::uint32_t (&x)[32], unsigned position, std::uint8_t byte) {
    x[position / 4] ^= static_cast<std::uint32_t>(byte) << (8 * (position % 4));
}

}  // namespace

cubehash_state::cubehash_state() : x{}, position(0) {
    x[0] = digest_bytes;
    x[1] = block_bytes;
    x[2] = rounds_per_block;
    rounds(x, initial_rounds);
}

void cubehash_state::absorb(const void* bytes, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t k = 0; k < length; ++k) {
        xor_byte(x, position, in[k]);
        if (++position == block_bytes) {
            rounds(x, rounds_per_block);
            position = 0;
        }
    }
}

digest cubehash_state::finish() {
    xor_byte(x, position, 0x80);
    rounds(x, rounds_per_block);
    x[31] ^= 1;
    rounds(x, final_rounds);
    digest out;
    for (unsigned p = 0; p < digest_bytes; ++p)
        out[p] = static_cast<std::uint8_t>(x[p / 4] >> (8 * (p % 4)));
    return out;
}

}  // namespace ombu
