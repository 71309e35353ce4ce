#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <cstring>
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

// One driver call on a dense uint8 image; the output has `extra` elements
// past rows x cols, all preset to 7.
struct Call {
    Call(std::vector<std::uint8_t> pixels, int rows, int cols, std::size_t extra = 0)
        : image(std::move(pixels)),
          shape{rows, cols},
          strides{cols, 1},
          output(static_cast<std::size_t>(rows) * cols + extra, 7) {}

    bool operator()(int percent, int region_size, int threads = 1) {
        InputView<std::uint8_t> input{image.data(), 2, shape, strides};
        OutputView view{output.data(), static_cast<std::int64_t>(output.size()), true, true};
        sink = BufferSink();
        DriverSettings settings;
        settings.sink = &sink;
        settings.threads = threads;
        return adaptive_threshold(&input, &view, percent, region_size, false, false, settings);
    }

    std::vector<std::uint8_t> image;
    std::int64_t shape[2];
    std::int64_t strides[2];
    std::vector<std::int16_t> output;
    BufferSink sink;
};

TEST(Driver, RunsEndToEndAndWritesOnlyRowsTimesCols) {
    Call call(blocks_image(120, 150, 1), 120, 150, 5);
    ASSERT_TRUE(call(30, 24)) << call.sink.out_text;
    for (std::size_t k = 0; k < 120 * 150; ++k) ASSERT_TRUE(call.output[k] == 0 || call.output[k] == 255);
    for (std::size_t k = 120 * 150; k < call.output.size(); ++k) EXPECT_EQ(call.output[k], 7);
    const std::string& out = call.sink.out_text;
    EXPECT_NE(out.find("Number of regions in row and column direction=(9,11)\n"), std::string::npos);
    EXPECT_NE(out.find("Pointwise Bilinear Interpolation done. ..\n"), std::string::npos);
}

TEST(Driver, ThreadCountChangesNothing) {
    Call one(blocks_image(200, 180, 2), 200, 180);
    Call three(one.image, 200, 180);
    EXPECT_EQ(one(100, 16, 1), three(100, 16, 3));
    EXPECT_EQ(one.output, three.output);
    EXPECT_EQ(one.sink.out_text, three.sink.out_text);
}

// uint8 levels into a uint8 output run the stages on the levels as they
// are, without the 16-bit copy: the same output, text and findings as with
// the copy, also for rows read bottom up.
TEST(Driver, LevelsWithoutCopyGiveWhatTheCopyGives) {
    const int rows = 150, cols = 131;
    const std::vector<std::uint8_t> image = blocks_image(rows, cols, 4);
    for (auto [percent, region_size] : {std::pair{30, 24}, {100, 17}}) {
        for (bool flipped : {false, true}) {
            const std::int64_t shape[2] = {rows, cols};
            const std::int64_t strides[2] = {flipped ? -cols : cols, 1};
            const std::uint8_t* first = image.data() + (flipped ? std::int64_t{rows - 1} * cols : 0);
            InputView<std::uint8_t> input{first, 2, shape, strides};
            std::vector<std::int16_t> wide(static_cast<std::size_t>(rows) * cols, 7);
            std::vector<std::uint8_t> narrow(wide.size(), 7);
            OutputView wide_view{wide.data(), static_cast<std::int64_t>(wide.size()), true, true};
            OutputView narrow_view{nullptr, static_cast<std::int64_t>(narrow.size()), true, true, narrow.data()};
            BufferSink wide_text, narrow_text;
            DriverReport wide_report, narrow_report;
            DriverSettings settings;
            settings.threads = 2;
            settings.sink = &wide_text;
            settings.report = &wide_report;
            const bool wide_passed = adaptive_threshold(&input, &wide_view, percent, region_size, true, false, settings);
            settings.sink = &narrow_text;
            settings.report = &narrow_report;
            EXPECT_EQ(wide_passed, adaptive_threshold(&input, &narrow_view, percent, region_size, true, false, settings));
            EXPECT_TRUE(wide_passed);
            EXPECT_TRUE(std::equal(wide.begin(), wide.end(), narrow.begin())) << percent << " " << flipped;
            EXPECT_EQ(wide_text.out_text, narrow_text.out_text);
            EXPECT_EQ(wide_report.variances, narrow_report.variances);
            ASSERT_EQ(wide_report.regions.size(), narrow_report.regions.size());
            for (std::size_t k = 0; k < wide_report.regions.size(); ++k) {
                // Every field's bytes (the padding after the last is left out).
                ASSERT_EQ(0, std::memcmp(&wide_report.regions[k], &narrow_report.regions[k],
                                         offsetof(RegionRecord, test) + sizeof(TestOutcome))) << k;
            }
        }
    }
}

struct BadCall {
    const char* name;
    int rows, cols, percent, region_size;
    std::size_t output_shortfall;
    const char* expected;
};

class DriverRejects : public ::testing::TestWithParam<BadCall> {};

TEST_P(DriverRejects, BeforeTouchingTheOutput) {
    const BadCall& c = GetParam();
    Call call(std::vector<std::uint8_t>(static_cast<std::size_t>(c.rows) * c.cols, 100), c.rows, c.cols);
    call.output.resize(call.output.size() - c.output_shortfall);
    try {
        call(c.percent, c.region_size);
        FAIL() << "accepted " << c.name;
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
    for (auto v : call.output) ASSERT_EQ(v, 7);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverRejects,
    ::testing::Values(BadCall{"R0", 64, 64, 10, 0, 0, "region_size: got 0"},
                      BadCall{"P101", 64, 64, 101, 32, 0, "percent: got 101"},
                      BadCall{"Pneg", 64, 64, -1, 32, 0, "percent: got -1"},
                      BadCall{"small", 15, 64, 10, 32, 0, "too small for region_size 32"},
                      BadCall{"narrow", 64, 2, 10, 8, 0, "each side must be at least region_size (8) pixels"},
                      BadCall{"short", 64, 64, 10, 32, 1, "output_image: got 4095 elements"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every checked allocation of a call fails in turn: each failure must surface
// as AllocationFailure (a std::bad_alloc), print its own message last on its
// own channel, and leak nothing (the sanitizer build checks).
TEST(Driver, EveryAllocationFailureBecomesAnException) {
    Call call(blocks_image(96, 96, 3), 96, 96);
    int failures = 0;
    bool completed = false;
    for (long n = 1; n < 2000 && !completed; ++n) {
        fail_allocation_after(n);
        try {
            call(50, 24, 2);
            completed = true;
        } catch (const AllocationFailure& failure) {
            ++failures;
            const std::string& channel =
                failure.channel() == Channel::err ? call.sink.err_text : call.sink.out_text;
            ASSERT_GE(channel.size(), failure.message().size());
            EXPECT_EQ(channel.substr(channel.size() - failure.message().size()), failure.message());
        }
        fail_allocation_after(0);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 20);
}

TEST(Driver, AllocationFailureMessageGoesToItsChannel) {
    Call call(blocks_image(96, 96, 3), 96, 96);
    fail_allocation_after(1);  // the variance grid's row table
    EXPECT_THROW(call(10, 24), std::bad_alloc);
    fail_allocation_after(0);
    EXPECT_EQ(call.sink.err_text, "Out of storage 1: fimage.\n");
}

}  // namespace
}  // namespace zentrel
