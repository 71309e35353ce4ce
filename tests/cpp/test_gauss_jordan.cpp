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

// A 1-based float matrix that releases itself.
class Mat {
public:
    Mat(int rows, int cols) : rows_(rows), cols_(cols), m_(matrix(1, rows, 1, cols)) {}
    Mat(std::initializer_list<std::initializer_list<float>> values)
        : Mat(static_cast<int>(values.size()), static_cast<int>(values.begin()->size())) {
        int i = 1;
        for (const auto& row : values) {
            int j = 1;
            for (float v : row) m_[i][j++] = v;
            ++i;
        }
    }
    ~Mat() { free_matrix(m_, 1, rows_, 1, cols_); }
    Mat(const Mat&) = delete;
    Mat& operator=(const Mat&) = delete;
    float** get() { return m_; }
    float* operator[](int i) { return m_[i]; }
    void fill(float v) {
        for (int i = 1; i <= rows_; ++i)
            for (int j = 1; j <= cols_; ++j) m_[i][j] = v;
    }

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
    Mat a{{2, 1}, {1, 3}};
    Mat b{{1}, {2}};
    ASSERT_EQ(gauss_jordan(a.get(), 2, b.get()), 1);
    EXPECT_FLOAT_EQ(a[1][1], 0.6f);
    EXPECT_FLOAT_EQ(a[1][2], -0.2f);
    EXPECT_FLOAT_EQ(a[2][1], -0.2f);
    EXPECT_FLOAT_EQ(a[2][2], 0.4f);
    EXPECT_FLOAT_EQ(b[1][1], 0.2f);
    EXPECT_FLOAT_EQ(b[2][1], 0.6f);
}

TEST(GaussJordan, PermutationIsItsOwnInverse) {
    // The pivot lands off the diagonal, so rows are exchanged during the
    // elimination and columns exchanged back at the end.
    Mat a{{0, 1}, {1, 0}};
    Mat b{{3}, {4}};
    ASSERT_EQ(gauss_jordan(a.get(), 2, b.get()), 1);
    EXPECT_EQ(a[1][1], 0.0f);
    EXPECT_EQ(a[1][2], 1.0f);
    EXPECT_EQ(a[2][1], 1.0f);
    EXPECT_EQ(a[2][2], 0.0f);
    EXPECT_EQ(b[1][1], 4.0f);
    EXPECT_EQ(b[2][1], 3.0f);
}

TEST(GaussJordan, ZeroOrderTouchesNothing) {
    Mat a(2, 2);
    Mat b(2, 1);
    a.fill(7.0f);
    b.fill(9.0f);
    EXPECT_EQ(gauss_jordan(a.get(), 0, b.get()), 1);
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(b[i][1], 9.0f);
        for (int j = 1; j <= 2; ++j) EXPECT_EQ(a[i][j], 7.0f);
    }
}

class GaussJordanOrder : public ::testing::TestWithParam<int> {};

TEST_P(GaussJordanOrder, AllZeroIsSingular) {
    const int n = GetParam();
    Mat a(n, n);
    Mat b(n, 1);
    a.fill(0.0f);
    b.fill(1.0f);
    EXPECT_EQ(gauss_jordan(a.get(), n, b.get()), -2);
}

TEST_P(GaussJordanOrder, AllNaNFindsNoPivot) {
    const int n = GetParam();
    Mat a(n, n);
    Mat b(n, 1);
    a.fill(std::numeric_limits<float>::quiet_NaN());
    b.fill(1.0f);
    EXPECT_EQ(gauss_jordan(a.get(), n, b.get()), -2);
}

TEST_P(GaussJordanOrder, InverseAndSolutionOfRandomSystems) {
    const int n = GetParam();
    std::mt19937 rng(1234u + static_cast<unsigned>(n));
    std::uniform_real_distribution<float> dist(-10.0f, 10.0f);
    for (int trial = 0; trial < 50; ++trial) {
        Mat a(n, n);
        Mat b(n, 1);
        std::vector<double> orig(static_cast<std::size_t>((n + 1) * (n + 1)));
        std::vector<double> rhs(static_cast<std::size_t>(n + 1));
        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) {
                a[i][j] = dist(rng) + (i == j ? 25.0f : 0.0f);
                orig[i * (n + 1) + j] = a[i][j];
            }
            b[i][1] = dist(rng);
            rhs[i] = b[i][1];
        }
        ASSERT_EQ(gauss_jordan(a.get(), n, b.get()), 1);
        for (int i = 1; i <= n; ++i) {
            double ax = 0.0;
            for (int k = 1; k <= n; ++k) ax += orig[i * (n + 1) + k] * b[k][1];
            EXPECT_NEAR(ax, rhs[i], 1e-4) << "row " << i << " of A x = b, trial " << trial;
            for (int j = 1; j <= n; ++j) {
                double prod = 0.0;
                for (int k = 1; k <= n; ++k) prod += orig[i * (n + 1) + k] * a[k][j];
                EXPECT_NEAR(prod, i == j ? 1.0 : 0.0, 1e-5) << "A*inv at " << i << "," << j;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, GaussJordanOrder, ::testing::Values(1, 2, 3, 4, 5));

TEST(GaussJordan, RankDeficientFailsAtSecondStep) {
    Mat a{{1, 2}, {2, 4}};
    Mat b{{1}, {1}};
    EXPECT_EQ(gauss_jordan(a.get(), 2, b.get()), -2);
}

TEST(GaussJordan, NaNRemainderAfterFirstStepFindsNoPivot) {
    Mat a{{std::numeric_limits<float>::quiet_NaN(), 0}, {0, 1}};
    Mat b{{1}, {1}};
    EXPECT_EQ(gauss_jordan(a.get(), 2, b.get()), -2);
}

// Elimination written from the algorithm's description, with the tie rule
// as a switch, to pin the pivot order down to the last bit.
int eliminate(std::vector<std::vector<float>>& a, std::vector<float>& b, bool last_wins) {
    const int n = static_cast<int>(b.size()) - 1;
    std::vector<int> used(n + 1, 0), prow(n + 1), pcol(n + 1);
    for (int step = 1; step <= n; ++step) {
        double big = 0.0;
        int r = 0, c = 0;
        for (int j = 1; j <= n; ++j) {
            if (used[j] == 1) continue;
            for (int k = 1; k <= n; ++k) {
                if (used[k] != 0) continue;
                const double m = std::fabs(double{a[j][k]});
                if (last_wins ? m >= big : (m > big || r == 0)) {
                    big = m;
                    r = j;
                    c = k;
                }
            }
        }
        ++used[c];
        std::swap(a[r], a[c]);
        std::swap(b[r], b[c]);
        prow[step] = r;
        pcol[step] = c;
        if (a[c][c] == 0.0f) return -2;
        const float inv = static_cast<float>(1.0 / double{a[c][c]});
        a[c][c] = 1.0f;
        for (int l = 1; l <= n; ++l) a[c][l] = a[c][l] * inv;
        b[c] = b[c] * inv;
        for (int row = 1; row <= n; ++row) {
            if (row == c) continue;
            const float f = a[row][c];
            a[row][c] = 0.0f;
            for (int l = 1; l <= n; ++l) a[row][l] = a[row][l] - a[c][l] * f;
            b[row] = b[row] - b[c] * f;
        }
    }
    for (int step = n; step >= 1; --step)
        for (int row = 1; row <= n; ++row) std::swap(a[row][prow[step]], a[row][pcol[step]]);
    return 1;
}

TEST(GaussJordan, LastOfEqualMagnitudesIsThePivot) {
    // Small integers make ties in magnitude common.
    std::mt19937 rng(77u);
    std::uniform_int_distribution<int> entry(-4, 4);
    int compared = 0;
    int tie_rule_mattered = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 3 + trial % 3;
        std::vector<std::vector<float>> ref(n + 1, std::vector<float>(n + 1, 0.0f));
        std::vector<float> ref_b(n + 1, 0.0f);
        Mat a(n, n);
        Mat b(n, 1);
        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) a[i][j] = ref[i][j] = static_cast<float>(entry(rng));
            b[i][1] = ref_b[i] = static_cast<float>(entry(rng));
        }
        auto first = ref;
        auto first_b = ref_b;
        const int status = gauss_jordan(a.get(), n, b.get());
        if (eliminate(ref, ref_b, true) != 1) {
            EXPECT_LT(status, 0) << "trial " << trial;
            continue;
        }
        ASSERT_EQ(status, 1) << "trial " << trial;
        ++compared;
        bool same_as_first = eliminate(first, first_b, false) == 1;
        for (int i = 1; i <= n; ++i) {
            ASSERT_EQ(bits(b[i][1]), bits(ref_b[i])) << "trial " << trial << " b[" << i << "]";
            same_as_first = same_as_first && bits(first_b[i]) == bits(ref_b[i]);
            for (int j = 1; j <= n; ++j) {
                ASSERT_EQ(bits(a[i][j]), bits(ref[i][j])) << "trial " << trial << " a[" << i << "][" << j << "]";
                same_as_first = same_as_first && bits(first[i][j]) == bits(ref[i][j]);
            }
        }
        tie_rule_mattered += !same_as_first;
    }
    EXPECT_GT(compared, 100);
    EXPECT_GT(tie_rule_mattered, 0);
}

// covar[i][j] = 10 i + j in the fitted block, junk elsewhere.
void fill_block(Mat& covar, int fitted) {
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) covar[i][j] = (i <= fitted && j <= fitted) ? 10.0f * i + j : -99.0f;
}

TEST(ExpandCovariance, SpreadsThreeByThreeOverFlags10101) {
    Mat covar(5, 5);
    fill_block(covar, 3);
    const int ia[6] = {0, 1, 0, 1, 0, 1};
    expand_covariance(covar.get(), ia, 3);
    const float want[5][5] = {{11, 0, 12, 0, 13},
                              {0, 0, 0, 0, 0},
                              {21, 0, 22, 0, 23},
                              {0, 0, 0, 0, 0},
                              {31, 0, 32, 0, 33}};
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) EXPECT_EQ(covar[i][j], want[i - 1][j - 1]) << i << "," << j;
}

// Every pattern of five flags: the j-th fitted parameter's block entries
// land at its own index, everything else is zero.
class ExpandCovarianceFlags : public ::testing::TestWithParam<int> {};

TEST_P(ExpandCovarianceFlags, BlockLandsAtFittedIndices) {
    const int pattern = GetParam();
    int ia[6] = {0};
    int index[6] = {0};
    int fitted = 0;
    for (int l = 1; l <= 5; ++l) {
        ia[l] = (pattern >> (l - 1)) & 1;
        if (ia[l]) index[++fitted] = l;
    }
    Mat covar(5, 5);
    fill_block(covar, fitted);
    expand_covariance(covar.get(), ia, fitted);
    float want[6][6] = {};
    for (int j = 1; j <= fitted; ++j)
        for (int k = 1; k <= fitted; ++k) want[index[j]][index[k]] = 10.0f * j + k;
    for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 5; ++j) EXPECT_EQ(covar[i][j], want[i][j]) << "flags " << pattern << " at " << i << "," << j;
}

INSTANTIATE_TEST_SUITE_P(AllPatterns, ExpandCovarianceFlags, ::testing::Range(0, 32));

}  // namespace
}  // namespace zentrel
