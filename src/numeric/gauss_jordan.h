// Gauss-Jordan elimination with full pivoting, and the spreading of a fitted
// covariance over all five model parameters.
#pragma once

namespace zentrel {

// Inverts the 1-based n x n matrix a in place and solves a x = b for the
// single right-hand column b[1..n][1] in place. Returns 1 on success, -1 when
// a column would serve as pivot twice, -2 when a pivot is exactly zero or
// only NaN candidates remain (a and b are then scratch). Among equal largest
// magnitudes the last one scanned is the pivot.
int gauss_jordan(float** a, int n, float** b);

// Moves the fitted_count x fitted_count covariance block in the top-left of
// the 1-based 5 x 5 covar to the indices of the fitted parameters (ia[1..5]
// non-zero) and zeroes the rows and columns of the fixed ones.
void expand_covariance(float** covar, const int ia[], int fitted_count);

}  // namespace zentrel
