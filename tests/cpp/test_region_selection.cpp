#include <gtest/gtest.h>

#include <algorithm>
#include <malloc.h>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/region_selection.h"

using namespace zentrel;

namespace {

// Flat region numbers in selection order for a rows x cols grid.
std::vector<int> select_flat(int rows, int cols, const std::vector<float>& variances, int count) {
    std::vector<float*> grid(static_cast<std::size_t>(rows));
    std::vector<float> copy = variances;
    for (int i = 0; i < rows; ++i) grid[i] = copy.data() + i * cols;
    std::vector<int> sr(count + 1, -7), sc(count + 1, -7);
    select_high_variance_regions(rows, cols, count, grid.data(), sr.data(), sc.data());
    EXPECT_EQ(copy, variances);
    EXPECT_EQ(sr[count], -7);  // nothing past the list is written
    EXPECT_EQ(sc[count], -7);
    std::vector<int> flat;
    for (int r = 0; r < count; ++r) {
        EXPECT_TRUE(sc[r] >= 0 && sc[r] < cols && sr[r] >= 0 && sr[r] < rows);
        flat.push_back(sr[r] * cols + sc[r]);
    }
    return flat;
}

std::vector<std::uint32_t> sort_index(const std::vector<float>& v) {
    std::vector<float> values(1, -1.0f);
    values.insert(values.end(), v.begin(), v.end());
    std::vector<std::uint32_t> index(v.size() + 1, 0);
    quicksort(static_cast<std::uint32_t>(v.size()), values.data(), index.data());
    return {index.begin() + 1, index.end()};
}

}  // namespace

TEST(Quicksort, EqualValuesComeOutInTheFixedOrder) {
    using V = std::vector<std::uint32_t>;
    for (std::uint32_t n = 1; n <= 7; ++n) {
        V identity(n);
        std::iota(identity.begin(), identity.end(), 1u);
        EXPECT_EQ(sort_index(std::vector<float>(n, 4.0f)), identity) << n;
    }
    EXPECT_EQ(sort_index(std::vector<float>(8, 4.0f)), (V{1, 6, 7, 4, 5, 2, 3, 8}));
    EXPECT_EQ(sort_index(std::vector<float>(10, 4.0f)), (V{1, 7, 9, 8, 5, 6, 2, 4, 3, 10}));
}

class QuicksortRandom : public ::testing::TestWithParam<int> {};

TEST_P(QuicksortRandom, DistinctValuesMatchStdSortAndTiesStaySorted) {
    const int n = GetParam();
    std::mt19937 rng(n);
    std::vector<float> distinct(n);
    std::iota(distinct.begin(), distinct.end(), 0.0f);
    std::shuffle(distinct.begin(), distinct.end(), rng);
    std::vector<std::uint32_t> expected(n);
    std::iota(expected.begin(), expected.end(), 1u);
    std::sort(expected.begin(), expected.end(),
              [&](std::uint32_t a, std::uint32_t b) { return distinct[a - 1] < distinct[b - 1]; });
    EXPECT_EQ(sort_index(distinct), expected);

    std::vector<float> ties(n);
    for (auto& v : ties) v = static_cast<float>(rng() % 5);
    const auto index = sort_index(ties);
    std::vector<std::uint32_t> seen(index);
    std::sort(seen.begin(), seen.end());
    std::vector<std::uint32_t> all(n);
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(seen, all);
    for (int p = 1; p < n; ++p) ASSERT_LE(ties[index[p - 1] - 1], ties[index[p] - 1]);
}
INSTANTIATE_TEST_SUITE_P(Sizes, QuicksortRandom, ::testing::Values(2, 8, 9, 13, 100, 1000, 100000));

// Sorting only the top positions leaves there what the whole sort leaves,
// ties included.
TEST(Quicksort, TopPositionsAsTheWholeSortLeavesThem) {
    std::mt19937 rng(5);
    for (int n : {1, 7, 8, 30, 1000, 65025}) {
        std::vector<float> values(static_cast<std::size_t>(n) + 1, -1.0f);
        for (int i = 1; i <= n; ++i) values[i] = static_cast<float>(rng() % 40);
        const auto whole = sort_index({values.begin() + 1, values.end()});
        for (int top : {0, 1, n / 10, n / 2, n - 1, n}) {
            std::vector<std::uint32_t> index(values.size(), 0);
            quicksort(static_cast<std::uint32_t>(n), values.data(), index.data(), static_cast<std::uint32_t>(top));
            for (int p = n - top + 1; p <= n; ++p) ASSERT_EQ(index[p], whole[p - 1]) << n << " top " << top << " at " << p;
        }
    }
}

TEST(Selection, TiesFollowTheSortOrder) {
    const std::vector<float> equal(8, 3.0f);
    EXPECT_EQ(select_flat(2, 4, equal, 8), (std::vector<int>{7, 2, 1, 4, 3, 6, 5, 0}));
    EXPECT_EQ(select_flat(2, 4, equal, 3), (std::vector<int>{7, 2, 1}));  // (1,3), (0,2), (0,1)
    // Up to 7 equal regions: from the last one backwards.
    for (auto [rows, cols] : {std::pair{1, 7}, {7, 1}, {2, 3}, {3, 2}, {1, 1}}) {
        std::vector<int> backwards(rows * cols);
        std::iota(backwards.rbegin(), backwards.rend(), 0);
        EXPECT_EQ(select_flat(rows, cols, std::vector<float>(rows * cols, 1.5f), rows * cols), backwards);
    }
}

TEST(Selection, DistinctVariancesComeOutHighestFirst) {
    std::vector<float> v(25 * 40);
    std::iota(v.begin(), v.end(), 0.5f);
    std::shuffle(v.begin(), v.end(), std::mt19937(7));
    const auto flat = select_flat(25, 40, v, 1000);
    for (std::size_t r = 0; r < flat.size(); ++r) ASSERT_EQ(v[flat[r]], 999.5f - r);
}

TEST(Selection, SingleHighRegionFirstWhereverItLies) {
    for (int where = 0; where < 8; ++where) {
        std::vector<float> v(8, 0.0f);
        v[where] = 900.0f;
        EXPECT_EQ(select_flat(2, 4, v, 1), std::vector<int>{where});
    }
}

TEST(Selection, EmptyRequestsWriteNothing) {
    EXPECT_TRUE(select_flat(2, 4, std::vector<float>(8, 1.0f), 0).empty());
    int untouched = -7;
    select_high_variance_regions(0, 5, 0, nullptr, &untouched, &untouched);
    EXPECT_EQ(untouched, -7);
}

TEST(Selection, RejectsCountsOutsideTheGrid) {
    float row[2] = {1.0f, 2.0f};
    float* grid[1] = {row};
    int sr[3], sc[3];
    EXPECT_THROW(select_high_variance_regions(1, 2, 3, grid, sr, sc), std::invalid_argument);
    EXPECT_THROW(select_high_variance_regions(1, 2, -1, grid, sr, sc), std::invalid_argument);
    EXPECT_THROW(select_high_variance_regions(0, 2, 1, grid, sr, sc), std::invalid_argument);
}

class SelectionAllocation : public ::testing::Test {
protected:
    void TearDown() override { fail_allocation_after(0); }
};

TEST_F(SelectionAllocation, EachFailureCarriesItsMessageAndLeaksNothing) {
    std::vector<float> v(64, 2.0f);
    std::vector<float*> grid = {v.data(), v.data() + 32};
    std::vector<int> sr(4), sc(4);
    const char* messages[] = {"allocation failure for values\n", "allocation failure for index\n",
                              "allocation failure for istack\n"};
    for (int n = 1; n <= 3; ++n) {
        fail_allocation_after(n);
        try {
            select_high_variance_regions(2, 32, 4, grid.data(), sr.data(), sc.data());
            ADD_FAILURE() << "allocation " << n << " did not fail";
        } catch (const AllocationFailure& failure) {
            EXPECT_EQ(failure.message(), messages[n - 1]);
            EXPECT_EQ(failure.channel(), Channel::out);
        }
    }

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
    // The sanitizer build checks leaks itself; here the heap must not grow
    // over many failing calls whose work arrays hold 520 bytes each.
    const auto before = mallinfo2().uordblks;
    for (int k = 0; k < 1000; ++k) {
        fail_allocation_after(3);
        EXPECT_THROW(select_high_variance_regions(2, 32, 4, grid.data(), sr.data(), sc.data()),
                     AllocationFailure);
    }
    EXPECT_LT(mallinfo2().uordblks, before + 4096);
#endif
}
