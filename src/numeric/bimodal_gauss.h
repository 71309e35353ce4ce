// The two-Gaussian histogram model and its five partial derivatives.
//
// a[1..5] = c1, mean1, sigma1, mean2, sigma2 (1-based, element 0 spare):
//   y = total * ( c1*N(x; mean1, sigma1) + (1-c1)*N(x; mean2, sigma2) )
// c1 is the first component's share of the area fixed by total. Each
// intermediate is single or double precision as the fit's reproducibility
// needs; see the source for the exact steps.
#pragma once

#include "numeric/isa.h"
#include "numeric/sink.h"

namespace zentrel {

// sqrt(2*pi) as the model uses it: pi = 4*atan(1) rounded to float, the root
// taken in double and rounded to float (2.5066282749176025).
float model_sqrt_two_pi();

// A component's exponential exp(-d^2 / (2 sigma^2)) from the single-precision
// square d_sq: quotient in double rounded to float, exponential in double
// rounded to float.
float component_exp(float d_sq, float sigma);

// Evaluates the model at x into y and dyda[1..5]. A parameter count na other
// than 5 prints "this function assumes 5 parameters\n" on sink and carries on
// with five.
void bimodal_gauss(float x, const float a[], float& y, float dyda[], int na, float total,
                   Sink& sink = console_sink());

// The model at n abscissae at once: y[i] and dyda[l - 1][i] (l = 1..5) get
// exactly the bits bimodal_gauss(x[i], a, ...) gives, in vectorised loops.
// x, y and the five dyda rows must not overlap. Prints nothing and allocates
// nothing.
void bimodal_gauss_batch(const float x[], int n, const float a[], float total, float y[],
                         float* const dyda[5]);
void bimodal_gauss_batch(const float x[], int n, const float a[], float total, float y[],
                         float* const dyda[5], Isa isa);

// Alignment of the span below.
constexpr int SPAN_ALIGN = 8;

// bimodal_gauss_batch for n <= 256 that leaves out runs of points at either
// end where both components' exponentials are 0 (y and every derivative
// there are 0, of either sign), when the parameters, total and x are moderate
// (see the source; otherwise nothing is left out). It fills [first, end)
// only: first a multiple of SPAN_ALIGN, end one too or n. Larger n fill all.
void bimodal_gauss_span(const float x[], int n, const float a[], float total, float y[], float* const dyda[5],
                        Isa isa, int& first, int& end);

}  // namespace zentrel
