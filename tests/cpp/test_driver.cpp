#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/driver.h"

namespace zentrel {
namespace {

// Dark blocks (~120) on a bright background (~185) with noise.
std::vector<std::uint8_t> blocks_image(int rows, int cols, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 5.0);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(rows) * cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const bool dark = ((r / 24) + (c / 24)) % 3 == 0;
            const double v = (dark ? 120.0 : 185.0) + noise(rng);
            image[static_cast<std::size_t>(r) * cols + c] = static_cast<std::uint8_t>(v);
        }
    }
    return image;
}

struct Outcome {
    bool result;
    std::vector<std::int16_t> output;
    std::string out;
    std::string err;
};

Outcome run(const std::vector<std::uint8_t>& image, int rows, int cols, int percent, int region_size,
        int threads = 1, std::size_t extra = 0) {
    const std::int64_t shape[2] = {rows, cols};
    const std::int64_t strides[2] = {cols, 1};
    InputView<std::uint8_t> input{image.data(), 2, shape, strides};
    Outcome r{false, std::vector<std::int16_t>(static_cast<std::size_t>(rows) * cols + extra, 7), "", ""};
    OutputView output{r.output.data(), static_cast<std::int64_t>(r.output.size()), true, true};
    BufferSink sink;
    DriverSettings settings;
    settings.sink = &sink;
    settings.threads = threads;
    r.result = adaptive_threshold(&input, &output, percent, region_size, false, false, settings);
    r.out = sink.out_text;
    r.err = sink.err_text;
    return r;
}

TEST(Driver, RunsEndToEndAndWritesOnlyRowsTimesCols) {
    const auto image = blocks_image(120, 150, 1);
    const Outcome r = run(image, 120, 150, 30, 24, 1, 5);
    ASSERT_TRUE(r.result) << r.out;
    for (std::size_t k = 0; k < 120 * 150; ++k) ASSERT_TRUE(r.output[k] == 0 || r.output[k] == 255);
    for (std::size_t k = 120 * 150; k < r.output.size(); ++k) EXPECT_EQ(r.output[k], 7);
    EXPECT_NE(r.out.find("Number of regions in row and column direction=(9,11)\n"), std::string::npos);
    EXPECT_NE(r.out.find("Pointwise Bilinear Interpolation done. ..\n"), std::string::npos);
}

TEST(Driver, ThreadCountChangesNothing) {
    const auto image = blocks_image(200, 180, 2);
    const Outcome one = run(image, 200, 180, 100, 16, 1);
    const Outcome three = run(image, 200, 180, 100, 16, 3);
    EXPECT_EQ(one.result, three.result);
    EXPECT_EQ(one.output, three.output);
    EXPECT_EQ(one.out, three.out);
}

struct BadCall {
    const char* name;
    int rows, cols, percent, region_size;
    const char* expected;
};

class DriverRejects : public ::testing::TestWithParam<BadCall> {};

TEST_P(DriverRejects, BeforeTouchingTheOutput) {
    const BadCall& c = GetParam();
    const std::vector<std::uint8_t> image(static_cast<std::size_t>(c.rows) * c.cols, 100);
    try {
        run(image, c.rows, c.cols, c.percent, c.region_size);
        FAIL() << "accepted " << c.name;
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverRejects,
    ::testing::Values(BadCall{"R0", 64, 64, 10, 0, "region_size: got 0"},
                      BadCall{"P101", 64, 64, 101, 32, "percent: got 101"},
                      BadCall{"Pneg", 64, 64, -1, 32, "percent: got -1"},
                      BadCall{"small", 15, 64, 10, 32, "too small for region_size 32"},
                      BadCall{"narrow", 64, 2, 10, 8, "each side must be at least 4 pixels"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Driver, ShortOutputIsRefused) {
    const std::vector<std::uint8_t> image(64 * 64, 100);
    const std::int64_t shape[2] = {64, 64};
    const std::int64_t strides[2] = {64, 1};
    InputView<std::uint8_t> input{image.data(), 2, shape, strides};
    std::vector<std::int16_t> out(64 * 64 - 1, 7);
    OutputView output{out.data(), static_cast<std::int64_t>(out.size()), true, true};
    BufferSink sink;
    DriverSettings settings;
    settings.sink = &sink;
    EXPECT_THROW(adaptive_threshold(&input, &output, 10, 32, false, false, settings),
                 std::invalid_argument);
    for (auto v : out) ASSERT_EQ(v, 7);
}

// Every checked allocation of a call fails in turn: each failure must surface
// as AllocationFailure (a std::bad_alloc), print its own message last on its
// own channel, and leak nothing (the sanitizer build checks).
TEST(Driver, EveryAllocationFailureBecomesAnException) {
    const auto image = blocks_image(96, 96, 3);
    const std::int64_t shape[2] = {96, 96};
    const std::int64_t strides[2] = {96, 1};
    InputView<std::uint8_t> input{image.data(), 2, shape, strides};
    std::vector<std::int16_t> out(96 * 96);
    OutputView output{out.data(), static_cast<std::int64_t>(out.size()), true, true};
    int failures = 0;
    bool completed = false;
    for (long n = 1; n < 2000 && !completed; ++n) {
        BufferSink sink;
        DriverSettings settings;
        settings.sink = &sink;
        settings.threads = 2;
        fail_allocation_after(n);
        try {
            adaptive_threshold(&input, &output, 50, 24, false, false, settings);
            completed = true;
        } catch (const AllocationFailure& failure) {
            ++failures;
            const std::string& channel =
                failure.channel() == Channel::err ? sink.err_text : sink.out_text;
            ASSERT_GE(channel.size(), failure.message().size());
            EXPECT_EQ(channel.substr(channel.size() - failure.message().size()), failure.message());
        }
        fail_allocation_after(0);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 20);
}

TEST(Driver, AllocationFailureMessageGoesToItsChannel) {
    const auto image = blocks_image(96, 96, 3);
    const std::int64_t shape[2] = {96, 96};
    const std::int64_t strides[2] = {96, 1};
    InputView<std::uint8_t> input{image.data(), 2, shape, strides};
    std::vector<std::int16_t> out(96 * 96);
    OutputView output{out.data(), static_cast<std::int64_t>(out.size()), true, true};
    BufferSink sink;
    DriverSettings settings;
    settings.sink = &sink;
    settings.threads = 1;
    fail_allocation_after(1);  // the variance grid's row table
    EXPECT_THROW(adaptive_threshold(&input, &output, 10, 24, false, false, settings), std::bad_alloc);
    fail_allocation_after(0);
    EXPECT_EQ(sink.err_text, "Out of storage 1: fimage.\n");
}

}  // namespace
}  // namespace zentrel
