#include "numeric/gauss_jordan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "numeric/arrays.h"

namespace zentrel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A 1-based float matrix that releases itself.
class Mat {
public:
    Mat(int rows, int cols, float fill = 0.0f) : rows_(rows), cols_(cols), m_(matrix(1, rows, 1, cols)) {
        for (int i = 1; i <= rows; ++i)
            for (int j = 1; j <= cols; ++j) m_[i][j] = fill;
    }
    Mat(std::initializer_list<std::initializer_list<float>> values)
        : Mat(static_cast<int>(values.size()), static_cast<int>(values.begin()->size())) {
        int i = 0;
        for (const auto& row : values) std::copy(row.begin(), row.end(), m_[++i] + 1);
    }
    ~Mat() { free_matrix(m_, 1, rows_, 1, cols_); }
    Mat(const Mat&) = delete;
    Mat& operator=(const Mat&) = delete;
    float** get() { return m_; }
    float* operator[](int i) { return m_[i]; }

private:
    int rows_, cols_;
    float** m_;
};

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

TEST(GaussJordan, InvertsAndSolvesTwoByTwo) {
    Mat a{{2, 1}, {1, 3}}, b{{1}, {2}};
    ASSERT_EQ(gauss_jordan(a.get(), 2, b.get()), 1);
    const float inv[2][2] = {{0.6f, -0.2f}, {-0.2f, 0.4f}}, x[2] = {0.2f, 0.6f};
    for (int i = 1; i <= 2; ++i) {
        EXPECT_FLOAT_EQ(b[i][1], x[i - 1]);
        for (int j = 1; j <= 2; ++j) EXPECT_FLOAT_EQ(a[i][j], inv[i - 1][j - 1]);
    }
}

TEST(GaussJordan, PermutationIsItsOwnInverse) {
    // The first pivot is off the diagonal: rows are exchanged on the way,
    // columns exchanged back at the end.
    Mat a{{0, 1}, {1, 0}}, b{{3}, {4}};
    ASSERT_EQ(gauss_jordan(a.get(), 2, b.get()), 1);
    EXPECT_EQ((std::vector<float>{a[1][1], a[1][2], a[2][1], a[2][2], b[1][1], b[2][1]}),
              (std::vector<float>{0, 1, 1, 0, 4, 3}));
}

TEST(GaussJordan, ZeroOrderTouchesNothing) {
    Mat a(2, 2, 7.0f), b(2, 1, 9.0f);
    EXPECT_EQ(gauss_jordan(a.get(), 0, b.get()), 1);
    EXPECT_EQ((std::vector<float>{a[1][1], a[1][2], a[2][1], a[2][2], b[1][1], b[2][1]}),
              (std::vector<float>{7, 7, 7, 7, 9, 9}));
}

class GaussJordanOrder : public ::testing::TestWithParam<int> {};

TEST_P(GaussJordanOrder, AllZeroOrAllNaNFails) {
    const int n = GetParam();
    Mat zero(n, n, 0.0f), nan(n, n, kNaN), b(n, 1, 1.0f);
    EXPECT_EQ(gauss_jordan(zero.get(), n, b.get()), -2);
    EXPECT_EQ(gauss_jordan(nan.get(), n, b.get()), -2);
}

INSTANTIATE_TEST_SUITE_P(Orders, GaussJordanOrder, ::testing::Values(1, 2, 3, 4, 5));

TEST(GaussJordan, SingularAtSecondStep) {
    Mat rank_one{{1, 2}, {2, 4}}, b{{1}, {1}};
    EXPECT_EQ(gauss_jordan(rank_one.get(), 2, b.get()), -2);
    Mat nan_left{{kNaN, 0}, {0, 1}};  // after the first step only NaN remains
    EXPECT_EQ(gauss_jordan(nan_left.get(), 2, b.get()), -2);
}

// Elimination written from the algorithm's description, with the tie rule
// as a switch, to pin pivot order and rounding down to the last bit.
using Dense = std::vector<std::vector<float>>;  // [0] unused; column 0 holds b

int eliminate(Dense& a, bool last_wins) {
    const int n = static_cast<int>(a.size()) - 1;
    std::vector<int> used(n + 1, 0), prow(n + 1), pcol(n + 1);
    for (int step = 1; step <= n; ++step) {
        double big = 0.0;
        int r = 0, c = 0;
        for (int j = 1; j <= n; ++j)
            for (int k = 1; k <= n && used[j] != 1; ++k) {
                const double m = std::fabs(double{a[j][k]});
                if (used[k] == 0 && (last_wins ? m >= big : (m > big || r == 0))) big = m, r = j, c = k;
            }
        ++used[c];
        std::swap(a[r], a[c]);
        prow[step] = r, pcol[step] = c;
        if (a[c][c] == 0.0f) return -2;
        const float inv = static_cast<float>(1.0 / double{a[c][c]});
        a[c][c] = 1.0f;
        for (float& v : a[c]) v = v * inv;
        for (int row = 1; row <= n; ++row) {
            if (row == c) continue;
            const float f = a[row][c];
            a[row][c] = 0.0f;
            for (int l = 0; l <= n; ++l) a[row][l] = a[row][l] - a[c][l] * f;
        }
    }
    for (int step = n; step >= 1; --step)
        for (int row = 1; row <= n; ++row) std::swap(a[row][prow[step]], a[row][pcol[step]]);
    return 1;
}

// Determinant of the integer matrix in a[1..n][1..n], in double: an integer,
// so below 0.5 in magnitude means singular.
double determinant(const Dense& m) {
    const int n = static_cast<int>(m.size()) - 1;
    std::vector<std::vector<double>> a(n + 1);
    for (int i = 1; i <= n; ++i) a[i].assign(m[i].begin(), m[i].end());
    double det = 1.0;
    for (int c = 1; c <= n; ++c) {
        int p = c;
        for (int r = c + 1; r <= n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (a[p][c] == 0.0) return 0.0;
        if (p != c) std::swap(a[p], a[c]), det = -det;
        det *= a[c][c];
        for (int r = c + 1; r <= n; ++r)
            for (int k = n; k >= c; --k) a[r][k] -= a[r][c] / a[c][c] * a[c][k];
    }
    return det;
}

TEST(GaussJordan, MatchesEliminationWithLastOfEqualPivots) {
    // Small integers make ties in magnitude common.
    std::mt19937 rng(77u);
    std::uniform_int_distribution<int> entry(-4, 4);
    int solved = 0, tie_rule_mattered = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 3 + trial % 3;
        Dense ref(n + 1, std::vector<float>(n + 1, 0.0f));
        Mat a(n, n), b(n, 1);
        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) a[i][j] = ref[i][j] = static_cast<float>(entry(rng));
            b[i][1] = ref[i][0] = static_cast<float>(entry(rng));
        }
        const Dense orig = ref;
        Dense first = ref;
        const int status = gauss_jordan(a.get(), n, b.get());
        if (eliminate(ref, true) != 1) {
            EXPECT_LT(status, 0) << "trial " << trial;
            continue;
        }
        ASSERT_EQ(status, 1) << "trial " << trial;
        ++solved;
        const bool regular = std::fabs(determinant(orig)) > 0.5;
        tie_rule_mattered += eliminate(first, false) != 1 || first != ref;
        for (int i = 1; i <= n; ++i) {
            ASSERT_EQ(bits(b[i][1]), bits(ref[i][0])) << "trial " << trial << " b[" << i << "]";
            double ax = 0.0;
            for (int j = 1; j <= n; ++j) {
                ASSERT_EQ(bits(a[i][j]), bits(ref[i][j])) << "trial " << trial << " a[" << i << "][" << j << "]";
                ax += double{orig[i][j]} * b[j][1];
            }
            if (regular) {
                EXPECT_NEAR(ax, orig[i][0], 1e-3) << "trial " << trial << " row " << i << " of A x = b";
            }
        }
    }
    EXPECT_GT(solved, 100);
    EXPECT_GT(tie_rule_mattered, 0);
}

// covar[i][j] = 10 i + j in the fitted block, junk elsewhere.
void fill_block(Mat& covar, int fitted) {
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) covar[i][j] = (i <= fitted && j <= fitted) ? 10.0f * i + j : -99.0f;
}

TEST(GaussJordanExpand, SpreadsThreeByThreeOverFlags10101) {
    Mat covar(5, 5);
    fill_block(covar, 3);
    const int ia[6] = {0, 1, 0, 1, 0, 1};
    expand_covariance(covar.get(), ia, 3);
    const float want[5][5] = {{11, 0, 12, 0, 13}, {0, 0, 0, 0, 0}, {21, 0, 22, 0, 23}, {0, 0, 0, 0, 0}, {31, 0, 32, 0, 33}};
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) EXPECT_EQ(covar[i][j], want[i - 1][j - 1]) << i << "," << j;
}

// Every pattern of five flags: the j-th fitted parameter's entries land at
// its own index; all else is zero (all five set: unchanged).
class GaussJordanExpandFlags : public ::testing::TestWithParam<int> {};

TEST_P(GaussJordanExpandFlags, BlockLandsAtFittedIndices) {
    int ia[6] = {0}, index[6] = {0}, fitted = 0;
    for (int l = 1; l <= 5; ++l)
        if ((ia[l] = (GetParam() >> (l - 1)) & 1)) index[++fitted] = l;
    Mat covar(5, 5);
    fill_block(covar, fitted);
    expand_covariance(covar.get(), ia, fitted);
    float want[6][6] = {};
    for (int j = 1; j <= fitted; ++j)
        for (int k = 1; k <= fitted; ++k) want[index[j]][index[k]] = 10.0f * j + k;
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) EXPECT_EQ(covar[i][j], want[i][j]) << i << "," << j;
}

INSTANTIATE_TEST_SUITE_P(AllPatterns, GaussJordanExpandFlags, ::testing::Range(0, 32));

}  // namespace
}  // namespace zentrel
