#include "numeric/gauss_jordan.h"

#include <cmath>
#include <utility>
#include <vector>

namespace zentrel {

namespace {

constexpr int kSmallOrder = 5;  // the fitter never solves more than five unknowns

// The elimination for an order fixed at compile time (Order > 0, the
// fitter's five unknowns) or given at run time (Order 0): the same steps in
// the same order either way; a fixed order lets the compiler unroll them.
template <int Order>
int eliminate(float** a, int n_given, float** b) {
    const int n = Order > 0 ? Order : n_given;

    // Three work arrays addressed 1..n: pivot row and column of each step, and
    // how often each column has served as pivot.
    int small[3 * (kSmallOrder + 1)];
    std::vector<int> large;
    int* work = small;
    if (n > kSmallOrder) {
        large.resize(3 * static_cast<std::size_t>(n + 1));
        work = large.data();
    }
    int* const pivot_row = work;
    int* const pivot_col = work + (n + 1);
    int* const pivot_use = work + 2 * (n + 1);
    for (int j = 1; j <= n; ++j) pivot_use[j] = 0;

    for (int i = 1; i <= n; ++i) {
        // Full pivot search; >= lets the last of equal magnitudes win, and an
        // all-zero remainder still yields a (zero) pivot.
        double big = 0.0;
        int irow = 0;
        int icol = 0;
        for (int j = 1; j <= n; ++j) {
            if (pivot_use[j] == 1) continue;
            for (int k = 1; k <= n; ++k) {
                if (pivot_use[k] == 0) {
                    const double magnitude = std::fabs(static_cast<double>(a[j][k]));
                    if (magnitude >= big) {
                        big = magnitude;
                        irow = j;
                        icol = k;
                    }
                } else if (pivot_use[k] > 1) {
                    return -1;
                }
            }
        }
        // Only NaN candidates left: no pivot at all.
        if (icol == 0) return -2;
        ++pivot_use[icol];

        if (irow != icol) {
            for (int l = 1; l <= n; ++l) std::swap(a[irow][l], a[icol][l]);
            std::swap(b[irow][1], b[icol][1]);
        }
        pivot_row[i] = irow;
        pivot_col[i] = icol;
        if (a[icol][icol] == 0.0f) return -2;

        const float pivinv = static_cast<float>(1.0 / static_cast<double>(a[icol][icol]));
        a[icol][icol] = 1.0f;
        for (int l = 1; l <= n; ++l) a[icol][l] *= pivinv;
        b[icol][1] *= pivinv;

        for (int ll = 1; ll <= n; ++ll) {
            if (ll == icol) continue;
            // The pivot column's entry counts as 0 in its own update; the
            // select does that inside the loop, so that no lone store stalls
            // the row's wide loads.
            const float f = a[ll][icol];
            for (int l = 1; l <= n; ++l) a[ll][l] = (l == icol ? 0.0f : a[ll][l]) - a[icol][l] * f;
            b[ll][1] -= b[icol][1] * f;
        }
    }

    // Undo the column interchanges in reverse order.
    for (int l = n; l >= 1; --l) {
        if (pivot_row[l] == pivot_col[l]) continue;
        for (int k = 1; k <= n; ++k) std::swap(a[k][pivot_row[l]], a[k][pivot_col[l]]);
    }
    return 1;
}

}  // namespace

int gauss_jordan(float** a, int n, float** b) {
    if (n <= 0) return 1;
    if (n == kSmallOrder) return eliminate<kSmallOrder>(a, n, b);
    return eliminate<0>(a, n, b);
}

void expand_covariance(float** covar, const int ia[], int fitted_count) {
    constexpr int np = 5;
    for (int i = fitted_count + 1; i <= np; ++i) {
        for (int j = 1; j <= i; ++j) covar[i][j] = covar[j][i] = 0.0f;
    }
    int k = fitted_count;
    for (int j = np; j >= 1; --j) {
        if (!ia[j]) continue;
        for (int i = 1; i <= np; ++i) std::swap(covar[i][k], covar[i][j]);
        for (int i = 1; i <= np; ++i) std::swap(covar[k][i], covar[j][i]);
        --k;
    }
}

}  // namespace zentrel
