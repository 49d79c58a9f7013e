// Every vector kernel against the portable one, over all short lengths and
// many ways of cutting the input into pieces.
#include "fingerprint/cubehash_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace ombu {

namespace cubehash_kernels {
// Test output names the kernel.
void PrintTo(const kernel& k, std::ostream* out) { *out << k.name; }
}  // namespace cubehash_kernels

namespace {

using cubehash_kernels::kernel;

const kernel& portable() { return cubehash_kernels::all_kernels().front(); }

// Cuts [0, length) into pieces; the piece sizes repeat from the list.
digest digest_in_pieces(const kernel& with, const std::vector<std::uint8_t>& bytes,
                        const std::vector<std::size_t>& pieces) {
    cubehash_state state;
    std::size_t at = 0;
    for (std::size_t k = 0; at < bytes.size(); ++k) {
        const std::size_t piece = std::min(pieces[k % pieces.size()], bytes.size() - at);
        cubehash_kernels::absorb(with, state, bytes.data() + at, piece);
        at += piece;
    }
    return cubehash_kernels::finish(with, state);
}

// Bytes from a fixed seed, so that no two blocks are alike.
std::vector<std::uint8_t> random_bytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

class CubehashKernel : public ::testing::TestWithParam<kernel> {
protected:
    void SetUp() override {
        if (!GetParam().supported())
            GTEST_SKIP() << "this processor lacks what the " << GetParam().name << " kernel needs";
    }
};

TEST_P(CubehashKernel, AgreesWithPortableForEveryLengthAndSlicing) {
    const kernel& tested = GetParam();
    const std::vector<std::vector<std::size_t>> slicings = {
        {SIZE_MAX}, {1}, {31}, {32}, {33}, {4096}, {3, 64, 1, 29, 100}};
    const auto bytes = random_bytes(1100, 1);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        const std::vector<std::uint8_t> input(bytes.begin(),
                                              bytes.begin() + static_cast<long>(length));
        const digest expected = digest_in_pieces(portable(), input, {SIZE_MAX});
        for (const auto& pieces : slicings) {
            ASSERT_EQ(digest_in_pieces(tested, input, pieces), expected)
                << "length " << length << ", first piece " << pieces.front();
        }
    }
}

// Random piece sizes (including empty pieces) over inputs that span several
// read buffers.
TEST_P(CubehashKernel, AgreesWithPortableForRandomSlicings) {
    const kernel& tested = GetParam();
    std::mt19937 generator(7);
    for (std::size_t length : {1100u, 4096u + 33u, 70000u}) {
        const auto bytes = random_bytes(length, static_cast<std::uint32_t>(length));
        const digest expected = digest_in_pieces(portable(), bytes, {SIZE_MAX});
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::size_t> pieces(50);
            std::uniform_int_distribution<std::size_t> size(0, trial % 2 == 0 ? 70 : 5000);
            for (auto& piece : pieces) piece = size(generator);
            pieces.push_back(1);  // never a cycle of empty pieces only
            ASSERT_EQ(digest_in_pieces(tested, bytes, pieces), expected)
                << "length " << length << ", trial " << trial;
        }
    }
}

// The rounds alone, from states that no message could reach quickly: all
// words set, as the finishing rounds see them.
TEST_P(CubehashKernel, RoundsAgreeWithPortableOnArbitraryStates) {
    const kernel& tested = GetParam();
    std::mt19937 generator(3);
    for (unsigned count : {2u, 16u, 32u}) {
        std::uint32_t expected[32], got[32];
        for (auto& word : expected) word = generator();
        std::copy(std::begin(expected), std::end(expected), got);
        portable().rounds(expected, count);
        tested.rounds(got, count);
        EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), got))
            << count << " rounds";
    }
}

#if defined(__x86_64__)
// The kernels are chosen by what the C library found at start-up; the
// compiler's own probe must find the same.
TEST(CubehashKernelChoice, AgreesWithTheCompilersProcessorTest) {
    EXPECT_EQ(cubehash_kernels::has_avx2(), static_cast<bool>(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(cubehash_kernels::has_avx512vl(),
              __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"));
}
#endif

std::string kernel_name(const ::testing::TestParamInfo<kernel>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EveryKernel, CubehashKernel,
                         ::testing::ValuesIn(cubehash_kernels::all_kernels().begin(),
                                             cubehash_kernels::all_kernels().end()),
                         kernel_name);

}  // namespace
}  // namespace ombu
