#include "numeric/float_exp.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace zentrel {

namespace {

// exp(x) = 2^n * exp(r), n = nearest integer to x / ln 2, r = x - n ln 2
// with ln 2 split in two (Cody and Waite) so that, for the |n| <= 151 of
// this range, n * LN2_HI and x - n * LN2_HI are exact for float x. exp(r),
// |r| <= 0.35, by its Taylor polynomial of degree 12 (truncation below
// 3e-16; with the rounding, a relative error below 1e-15).
constexpr double LOG2E = 0x1.71547652b82fep+0;
constexpr double LN2_HI = 0x1.62e42ffp-1;  // ln 2 to 29 bits
constexpr double LN2_LO = -0x1.718432a1b0e26p-35;  // ln 2 - LN2_HI
// Adding 1.5 * 2^52 rounds to an integer held in the low mantissa bits.
constexpr double SHIFTER = 0x1.8p52;
constexpr std::uint64_t SHIFTER_BITS = 0x4338000000000000;

// A result p this close (relatively) to a float rounding boundary is not
// trusted: the kernel is accurate to a few double ulps (2^-50), so a margin
// of 2^-40 leaves the library's result on the same side of every boundary.
constexpr double BELOW = 1.0 - 0x1p-40;
constexpr double ABOVE = 1.0 + 0x1p-40;

constexpr double factorial(int k) { return k <= 1 ? 1.0 : k * factorial(k - 1); }

// exp(x) for x in [-104, 0]; any other x gives some value without undefined
// behaviour (the integer steps are unsigned).
ZENTREL_FORCE_INLINE double exp_kernel(double x) {
    const double t = x * LOG2E + SHIFTER;
    const double n = t - SHIFTER;
    const double r = (x - n * LN2_HI) - n * LN2_LO;
    // Estrin's scheme: short dependency chains, so that the independent
    // points keep the arithmetic units busy.
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double r8 = r4 * r4;
    const double p01 = 1.0 + r;
    const double p23 = 1.0 / factorial(2) + (1.0 / factorial(3)) * r;
    const double p45 = 1.0 / factorial(4) + (1.0 / factorial(5)) * r;
    const double p67 = 1.0 / factorial(6) + (1.0 / factorial(7)) * r;
    const double p89 = 1.0 / factorial(8) + (1.0 / factorial(9)) * r;
    const double p1011 = 1.0 / factorial(10) + (1.0 / factorial(11)) * r;
    const double q0 = p01 + p23 * r2;
    const double q1 = p45 + p67 * r2;
    const double q2 = p89 + p1011 * r2;
    const double s0 = q0 + q1 * r4;
    const double s1 = q2 + (1.0 / factorial(12)) * r4;
    const double p = s0 + s1 * r8;
    // 2^n from the integer in t's low bits: biased exponent n + 1023.
    std::uint64_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    const std::uint64_t scale_bits = (bits - SHIFTER_BITS + 1023) << 52;
    double scale;
    std::memcpy(&scale, &scale_bits, sizeof scale);
    return p * scale;
}

constexpr int BLOCK = 256;

// One block of at most BLOCK values: a branch-free vector pass, then the
// library for the flagged few.
ZENTREL_FORCE_INLINE void exp_block(const float v[], float out[], int n) {
    std::int32_t unsure[BLOCK];
    std::int32_t any = 0;
    for (int i = 0; i < n; ++i) {
        // Every value is formed unconditionally and only then selected, so
        // the loop has no branch.
        const double x = v[i];
        const bool below = x < static_cast<double>(EXP_FLOAT_LOWEST_NONZERO);
        const bool inside = (x >= static_cast<double>(EXP_FLOAT_LOWEST_NONZERO)) & (x <= 0.0);
        // Outside its range the kernel's value is meaningless but harmless;
        // it is not used there.
        const double p = exp_kernel(x);
        // float rounding is monotonic: when p's lower and upper bounds round
        // alike, so do p and the library's result.
        const float low = static_cast<float>(p * BELOW);
        const float high = static_cast<float>(p * ABOVE);
        const bool sure = low == high;
        const bool library = !(below | (inside & sure));
        // An input left to the library is parked in out (v may be out).
        out[i] = library ? v[i] : below ? 0.0f : low;
        unsure[i] = library;
        any |= unsure[i];
    }
    if (!any) return;
    for (int i = 0; i < n; ++i) {
        if (unsure[i]) out[i] = static_cast<float>(std::exp(static_cast<double>(out[i])));
    }
}

ZENTREL_FORCE_INLINE void exp_body(const float v[], float out[], int n) {
    // Runs of inputs below the last non-zero result at either end give 0
    // without the kernel: the far tails of a component over sorted grey
    // levels.
    int first = 0;
    while (first < n && v[first] < EXP_FLOAT_LOWEST_NONZERO) out[first++] = 0.0f;
    int end = n;
    while (end > first && v[end - 1] < EXP_FLOAT_LOWEST_NONZERO) out[--end] = 0.0f;
    for (int start = first; start < end; start += BLOCK) {
        exp_block(v + start, out + start, end - start < BLOCK ? end - start : BLOCK);
    }
}

void exp_portable(const float v[], float out[], int n) { exp_body(v, out, n); }

#if ZENTREL_HAVE_AVX2
ZENTREL_TARGET_AVX2 void exp_avx2(const float v[], float out[], int n) { exp_body(v, out, n); }
ZENTREL_TARGET_AVX512 void exp_avx512(const float v[], float out[], int n) { exp_body(v, out, n); }
#endif

}  // namespace

void exp_to_float(const float v[], float out[], int n, Isa isa) {
#if ZENTREL_HAVE_AVX2
    if (isa == Isa::avx2) return exp_avx2(v, out, n);
    if (isa == Isa::avx512) return exp_avx512(v, out, n);
#endif
    (void)isa;
    exp_portable(v, out, n);
}

void exp_to_float(const float v[], float out[], int n) { exp_to_float(v, out, n, preferred_isa()); }

}  // namespace zentrel
