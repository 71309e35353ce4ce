#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "numeric/arrays.h"

namespace zentrel {
namespace {

TEST(Arrays, FimageRowsPointIntoOneRowMajorBlock) {
    FImage image(3, 4);
    EXPECT_EQ(image[1], image[0] + 4);
    EXPECT_EQ(image[2], image[0] + 8);
    EXPECT_EQ(&image[2][3], image[0] + 11);
}

TEST(Arrays, FimageRefusesEmptyShapes) {
    EXPECT_THROW(fimage(0, 4), std::invalid_argument);
    EXPECT_THROW(fimage(3, -1), std::invalid_argument);
}

TEST(Arrays, FimageTooLargeThrowsItsMessage) {
    // The element count is formed in 64 bits, so this asks for ~16 EiB and
    // must fail cleanly rather than wrap to a small block.
    try {
        fimage(2147483647, 2147483647);
        FAIL() << "expected an allocation failure";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.message(), "Out of storage 2: fimage\n");
        EXPECT_EQ(failure.channel(), Channel::err);
    }
}

struct FailureCase {
    long fail_at;
    const char* message;
};

class FimageFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FimageFailure, EachAllocationReportsItsOwnMessage) {
    fail_allocation_after(GetParam().fail_at);
    try {
        fimage(3, 4);
        FAIL() << "expected an allocation failure";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.message(), GetParam().message);
    }
    fail_allocation_after(0);
}

INSTANTIATE_TEST_SUITE_P(Arrays, FimageFailure,
                         ::testing::Values(FailureCase{1, "Out of storage 1: fimage.\n"},
                                           FailureCase{2, "Out of storage 2: fimage\n"}));

TEST(Arrays, VectorIsOneBasedWithSpareSlot) {
    float* v = vector(1, 5);
    for (int i = 1; i <= 5; ++i) v[i] = static_cast<float>(i);
    EXPECT_EQ(v[5], 5.0f);
    free_vector(v, 1, 5);
}

TEST(Arrays, MatrixLayoutMatchesRowMajorBlockFromElementOne) {
    float** m = matrix(1, 2, 1, 3);
    // Row pointer 1 is the data block; element [i][j] is block element
    // (i-1)*ncols + j, so block element 0 is the spare one.
    float* block = m[1];
    EXPECT_EQ(&m[1][1], block + 1);
    EXPECT_EQ(&m[2][1], block + 4);
    EXPECT_EQ(&m[2][3], block + 6);
    free_matrix(m, 1, 2, 1, 3);

    float** column = matrix(1, 5, 1, 1);
    for (int i = 2; i <= 5; ++i) EXPECT_EQ(&column[i][1], &column[1][1] + (i - 1));
    free_matrix(column, 1, 5, 1, 1);
}

TEST(Arrays, FatalErrorCarriesThreeLinesForStandardError) {
    try {
        fatal_error("allocation failure in vector()");
        FAIL() << "fatal_error returned";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.channel(), Channel::err);
        EXPECT_EQ(failure.message(),
                  "Numerical Recipes run-time error...\nallocation failure in vector()\n"
                  "...now exiting to system...\n");
    }
}

class MatrixFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MatrixFailure, ReportsThroughFatalErrorWithoutLeaking) {
    fail_allocation_after(GetParam().fail_at);
    try {
        matrix(1, 3, 1, 1);
        FAIL() << "expected an allocation failure";
    } catch (const AllocationFailure& failure) {
        EXPECT_NE(failure.message().find(GetParam().message), std::string::npos);
    }
    fail_allocation_after(0);
}

INSTANTIATE_TEST_SUITE_P(Arrays, MatrixFailure,
                         ::testing::Values(FailureCase{1, "allocation failure 1 in matrix()"},
                                           FailureCase{2, "allocation failure 2 in matrix()"}));

TEST(Arrays, CheckedAllocRefusesOverflowingSizes) {
    EXPECT_THROW(checked_alloc<std::int64_t>(SIZE_MAX / 4, Channel::out, "x\n"), AllocationFailure);
}

}  // namespace
}  // namespace zentrel
