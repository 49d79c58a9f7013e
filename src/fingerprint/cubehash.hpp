// CubeHash16+16/32+32-256: a streaming digest of file contents.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ombu {

using digest = std::array<std::uint8_t, 32>;

struct cubehash_state {
    std::uint32_t x[32];
    unsigned position;  // bytes already absorbed into the current 32-byte block

    cubehash_state();
    // Feeds bytes in any slicing; the digest depends only on the whole stream.
    void absorb(const void* bytes, std::size_t length);
    // Pads and finalises; the state is not used afterwards.
    digest finish();
};

}  // namespace ombu
