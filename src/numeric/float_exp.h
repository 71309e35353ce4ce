// The exponential of a float, rounded to float, as the model needs it:
// float(std::exp(double(v))), many at once and bit for bit the same as that
// expression with this platform's C library, for every float v (NaN, the
// infinities and -0 included).
//
// Inputs in [EXP_FLOAT_LOWEST_NONZERO, 0] go through a vectorisable double
// kernel; a result that lies too close to a float rounding boundary to be
// sure of, and every input outside that range except the ones below it
// (whose result is 0), is left to std::exp. An exhaustive check over every
// float proves the two agree.
#pragma once

#include "numeric/isa.h"

namespace zentrel {

// The lowest float whose exponential rounds to a non-zero float (to 2^-149);
// below it every result is 0.
constexpr float EXP_FLOAT_LOWEST_NONZERO = -0x1.9fe368p+6f;

// out[i] = float(std::exp(double(v[i]))) for 0 <= i < n. v and out may be
// the same array.
void exp_to_float(const float v[], float out[], int n);
void exp_to_float(const float v[], float out[], int n, Isa isa);

}  // namespace zentrel
