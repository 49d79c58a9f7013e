#include "fingerprint/cubehash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ombu {
namespace {

std::string hex(const digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto byte : d) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

// Byte i is (i*7+3) mod 256: no run of equal bytes, no zero block.
std::vector<std::uint8_t> pattern(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

// Absorbs bytes in pieces of the given size (the last one shorter).
digest digest_in_pieces(const std::vector<std::uint8_t>& bytes, std::size_t piece) {
    cubehash_state state;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        state.absorb(bytes.data() + at, std::min(piece, bytes.size() - at));
    return state.finish();
}

TEST(Cubehash, PublishedVectors) {
    EXPECT_EQ(hex(cubehash_state().finish()),
              "67dfa7b6b3cb27c58c19db1d7bbb7c4596913e25f228ddfb9910ddf3c5cad2eb");
    cubehash_state state;
    state.absorb("abc", 3);
    EXPECT_EQ(hex(state.finish()),
              "0bff398cba8200a6914e740b3b092e46e9658bf84fb5921b29b346ab34294238");
}

// Lengths around the block size (padding inside the last block, padding in a
// block of its own, one byte into the second block) and past one read piece,
// each fed whole, byte by byte, and in slicings that straddle block borders.
TEST(Cubehash, BlockBordersAndSlicings) {
    struct vector_case {
        std::size_t length;
        const char* expected;
    };
    const vector_case cases[] = {
        {31, "6656d2429c76d665002c8fedb6c7214e417ba54c8489b4493a98310436236101"},
        {32, "f3f2087538e20e0c4a7f62ec8b1e2fcc75a7bcbc7ec7d272c199e5877f40ee30"},
        {33, "9b5457ade1e71274eaa3a0cfe02540b1c046e80589ef18fdd41e937590ddf150"},
        {4097, "1b7d97ac40a3dae85d973e87186628d9085691043cf5a9db0b60d309aa496117"},
    };
    for (const auto& c : cases) {
        const auto bytes = pattern(c.length);
        for (std::size_t piece : {c.length, std::size_t{1}, std::size_t{5}, std::size_t{31},
                                  std::size_t{33}, std::size_t{4096}}) {
            EXPECT_EQ(hex(digest_in_pieces(bytes, piece)), c.expected)
                << "length " << c.length << " in pieces of " << piece;
        }
    }
}

TEST(Cubehash, EmptyPiecesChangeNothing) {
    const auto bytes = pattern(40);
    cubehash_state state;
    state.absorb(bytes.data(), 0);
    state.absorb(bytes.data(), 20);
    state.absorb(nullptr, 0);
    state.absorb(bytes.data() + 20, 20);
    EXPECT_EQ(state.finish(), digest_in_pieces(bytes, 40));
}

}  // namespace
}  // namespace ombu
