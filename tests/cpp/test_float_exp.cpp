#include "numeric/float_exp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace zentrel {
namespace {

float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float library(float v) { return static_cast<float>(std::exp(static_cast<double>(v))); }

std::vector<Isa> variants() {
    std::vector<Isa> list{Isa::portable};
    if (isa_supported(Isa::avx2)) list.push_back(Isa::avx2);
    if (isa_supported(Isa::avx512)) list.push_back(Isa::avx512);
    return list;
}

// Compares every variant with the library over the bit patterns first,
// first + step, ... below last (in blocks, on several threads). Returns the
// number of differing results and the first pattern that differed.
struct Sweep {
    std::uint64_t differing = 0;
    std::uint32_t first_bad = 0;
    std::uint64_t checked = 0;
};

Sweep sweep(std::uint64_t first, std::uint64_t last, std::uint64_t step) {
    constexpr std::uint64_t CHUNK = 1 << 16;
    const std::uint64_t count = (last - first + step - 1) / step;
    const std::uint64_t chunks = (count + CHUNK - 1) / CHUNK;
    const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    const std::vector<Isa> isas = variants();
    std::atomic<std::uint64_t> next{0}, differing{0}, checked{0};
    std::atomic<std::uint32_t> first_bad{0};
    auto work = [&] {
        std::vector<float> in(CHUNK), want(CHUNK), got(CHUNK);
        for (std::uint64_t c; (c = next.fetch_add(1)) < chunks;) {
            const std::uint64_t begin = c * CHUNK;
            const int n = static_cast<int>(std::min(CHUNK, count - begin));
            for (int i = 0; i < n; ++i) {
                in[i] = from_bits(static_cast<std::uint32_t>(first + (begin + i) * step));
                want[i] = library(in[i]);
            }
            for (Isa isa : isas) {
                exp_to_float(in.data(), got.data(), n, isa);
                for (int i = 0; i < n; ++i) {
                    if (bits(got[i]) != bits(want[i])) {
                        if (differing.fetch_add(1) == 0) first_bad = bits(in[i]);
                    }
                }
            }
            checked += static_cast<std::uint64_t>(n);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
    for (auto& t : pool) t.join();
    return {differing.load(), first_bad.load(), checked.load()};
}

#if defined(ZENTREL_SANITIZE) || !defined(NDEBUG)
constexpr std::uint64_t kStride = 9973;  // a sample keeps checked builds quick
#else
constexpr std::uint64_t kStride = 1;  // every float
#endif

// Every float from -0 down to the lowest one with a non-zero exponential:
// the range the model's exponents (-q, q >= 0) fall into.
TEST(FloatExp, EveryFloatDownToTheLastNonZeroResult) {
    const std::uint32_t neg_zero = 0x80000000u, lowest = bits(EXP_FLOAT_LOWEST_NONZERO);
    const Sweep s = sweep(neg_zero, std::uint64_t{lowest} + 1, kStride);
    EXPECT_EQ(s.differing, 0u) << "first differing input " << std::hexfloat << from_bits(s.first_bad);
    EXPECT_GT(s.checked, (lowest - neg_zero) / kStride);
}

// Below that point the result is 0 without the kernel: every float down to
// -1024, a sample beyond (where even the double result is 0) down to -inf.
TEST(FloatExp, FloatsBelowGiveZero) {
    const std::uint32_t lowest = bits(EXP_FLOAT_LOWEST_NONZERO), far = bits(-1024.0f), neg_inf = 0xff800000u;
    EXPECT_NE(library(EXP_FLOAT_LOWEST_NONZERO), 0.0f);
    EXPECT_EQ(bits(library(from_bits(lowest + 1))), 0u);
    const Sweep near = sweep(std::uint64_t{lowest} + 1, std::uint64_t{far} + 1, kStride);
    EXPECT_EQ(near.differing, 0u) << "first differing input " << std::hexfloat << from_bits(near.first_bad);
    const Sweep beyond = sweep(std::uint64_t{far}, std::uint64_t{neg_inf} + 1, 101);
    EXPECT_EQ(beyond.differing, 0u) << "first differing input " << std::hexfloat << from_bits(beyond.first_bad);
}

// Inputs the model never produces still come out as the library's: positive
// floats (sampled), +0, infinities, NaNs of both signs and several payloads.
TEST(FloatExp, PositiveAndSpecialInputsFollowTheLibrary) {
    const Sweep positive = sweep(0u, 0x7f800001u, 101);
    EXPECT_EQ(positive.differing, 0u) << std::hexfloat << from_bits(positive.first_bad);
    const std::uint32_t specials[] = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u, 0x7fc00000u,
                                      0xffc00000u, 0x7fc12345u, 0xffa00001u, 0x7f800001u, 0x00000001u,
                                      0x80000001u, 0x807fffffu, 0x00800000u, 0x80800000u};
    for (Isa isa : variants()) {
        for (std::uint32_t u : specials) {
            const float v = from_bits(u);
            float got = 0.0f;
            exp_to_float(&v, &got, 1, isa);
            EXPECT_EQ(bits(got), bits(library(v))) << std::hex << u;
        }
    }
}

// Leading and trailing inputs whose result is 0 are settled before the
// blocks; whatever stands between them (nothing, a NaN, -inf, values in
// range, more than a block) must still come out as the library's, also when
// the input array is the output array.
TEST(FloatExp, ZeroTailsAroundAnyMiddleInPlace) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::vector<float> long_middle;
    for (int i = 0; i < 700; ++i) long_middle.push_back(-0.37f * static_cast<float>(i % 300) + (i % 5 ? 0.0f : 3.0f));
    const std::vector<std::vector<float>> middles = {
        {}, {-50.0f}, {nan}, {-inf}, {-300.0f, -1.0f, -300.0f}, {0.5f}, {-0.0f, -103.9f, -104.0f, -90.0f}, long_middle};
    for (const auto& middle : middles) {
        for (int lead : {0, 1, 9, 300}) {
            for (int trail : {0, 2, 257}) {
                std::vector<float> v(static_cast<std::size_t>(lead), -120.0f);
                v.insert(v.end(), middle.begin(), middle.end());
                v.insert(v.end(), static_cast<std::size_t>(trail), -inf);
                for (Isa isa : variants()) {
                    std::vector<float> got = v;
                    exp_to_float(got.data(), got.data(), static_cast<int>(got.size()), isa);
                    for (std::size_t i = 0; i < v.size(); ++i) {
                        ASSERT_EQ(bits(got[i]), bits(library(v[i])))
                            << "lead " << lead << " trail " << trail << " i " << i << " v " << v[i];
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace zentrel
