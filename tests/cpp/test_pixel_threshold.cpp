// The per-pixel decision over the nine parts of the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/pixel_threshold.h"
#include "bimodal/region_grid.h"

namespace zentrel {
namespace {

constexpr std::int16_t PRESET = 1;
constexpr std::int16_t GUARD = 7;
constexpr int GUARD_COLS = 3;

// An image, a grid and an output whose rows carry guard cells past cols.
struct Scene {
    int rows;
    int cols;
    int region_size;
    int region_rows;
    int region_cols;
    std::vector<std::int16_t> pixels;
    std::vector<float> grid_values;  // region_rows x region_cols, row-major

    Scene(int rows_, int cols_, int region_size_)
        : rows(rows_),
          cols(cols_),
          region_size(region_size_),
          region_rows(region_count(rows_, region_size_)),
          region_cols(region_count(cols_, region_size_)),
          pixels(static_cast<std::size_t>(rows_) * cols_, 0),
          grid_values(static_cast<std::size_t>(region_rows) * region_cols, 0.0f) {}

    std::int16_t& pixel(int i, int j) { return pixels[static_cast<std::size_t>(i) * cols + j]; }
    float& node(int a, int b) { return grid_values[static_cast<std::size_t>(a) * region_cols + b]; }
};

struct Result {
    std::vector<std::int16_t> output;  // rows x cols
    std::vector<float> surface;        // rows x cols
};

Result run(Scene& s, int threads = 1, bool with_surface = true) {
    FImage grid(s.region_rows, s.region_cols);
    for (int a = 0; a < s.region_rows; ++a) {
        for (int b = 0; b < s.region_cols; ++b) grid[a][b] = s.node(a, b);
    }
    std::vector<const std::int16_t*> image_rows(static_cast<std::size_t>(s.rows));
    for (int i = 0; i < s.rows; ++i) image_rows[i] = &s.pixel(i, 0);

    const int stride = s.cols + GUARD_COLS;
    std::vector<std::int16_t> out_block(static_cast<std::size_t>(s.rows) * stride, GUARD);
    std::vector<std::int16_t*> out_rows(static_cast<std::size_t>(s.rows));
    for (int i = 0; i < s.rows; ++i) {
        out_rows[i] = out_block.data() + static_cast<std::size_t>(i) * stride;
        std::fill(out_rows[i], out_rows[i] + s.cols, PRESET);
    }
    Result r;
    r.surface.assign(static_cast<std::size_t>(s.rows) * s.cols, -12345.0f);
    threshold_pixels(s.region_rows, s.region_cols, grid.get(), s.rows, s.cols, s.region_size,
                     image_rows.data(), out_rows.data(), threads,
                     with_surface ? r.surface.data() : nullptr);

    for (int i = 0; i < s.rows; ++i) {
        r.output.insert(r.output.end(), out_rows[i], out_rows[i] + s.cols);
        for (int g = 0; g < GUARD_COLS; ++g) {
            EXPECT_EQ(out_rows[i][s.cols + g], GUARD) << "write past row " << i;
        }
    }
    return r;
}

// ---- Independent reference: classify each pixel by the table of parts ----

enum class Part { interior, top_left, top_right, bottom_left, bottom_right, top, bottom, left, right };

struct Reference {
    float threshold;
    std::int16_t output;
};

std::int32_t reference_truncation(float t) {
    if (std::isnan(t) || t < -2147483648.0f || t >= 2147483648.0f) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(t);
}

Part classify(const Scene& s, int i, int j) {
    const int h = s.region_size / 2;
    const int zr = i < h ? 0 : (i < h * s.region_rows ? 1 : 2);
    const int zc = j < h ? 0 : (j < h * s.region_cols ? 1 : 2);
    static const Part table[3][3] = {{Part::top_left, Part::top, Part::top_right},
                                     {Part::left, Part::interior, Part::right},
                                     {Part::bottom_left, Part::bottom, Part::bottom_right}};
    return table[zr][zc];
}

Reference reference(Scene& s, int i, int j) {
    const int h = s.region_size / 2;
    const float hf = static_cast<float>(h);
    const int last_a = s.region_rows - 1;
    const int last_b = s.region_cols - 1;
    float t = 0.0f;
    const Part part = classify(s, i, j);
    switch (part) {
        case Part::interior: {
            const int a = (i - h) / h, b = (j - h) / h;
            const float fr = static_cast<float>(i % h), fc = static_cast<float>(j % h);
            const float upper = (fc * s.node(a, b + 1) + (hf - fc) * s.node(a, b)) / hf;
            const float lower = (fc * s.node(a + 1, b + 1) + (hf - fc) * s.node(a + 1, b)) / hf;
            t = (lower * fr + upper * (hf - fr)) / hf;
            break;
        }
        case Part::top_left: t = s.node(0, 0); break;
        case Part::top_right: t = s.node(0, last_b); break;
        case Part::bottom_left: t = s.node(last_a, 0); break;
        case Part::bottom_right: t = s.node(last_a, last_b); break;
        case Part::top: t = s.node(0, (j - h) / h); break;
        case Part::bottom: t = s.node(last_a, (j - h) / h); break;
        case Part::left: t = s.node((i - h) / h, 0); break;
        case Part::right: t = s.node((i - h) / h, last_b); break;
    }
    const std::int16_t p = s.pixel(i, j);
    const bool on = part == Part::right ? static_cast<float>(p) > t : p >= reference_truncation(t);
    return {t, static_cast<std::int16_t>(on ? 255 : 0)};
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void expect_matches_reference(Scene& s, const Result& r) {
    int mismatches = 0;
    for (int i = 0; i < s.rows && mismatches < 10; ++i) {
        for (int j = 0; j < s.cols && mismatches < 10; ++j) {
            const Reference want = reference(s, i, j);
            const std::size_t k = static_cast<std::size_t>(i) * s.cols + j;
            if (r.output[k] != want.output || !same_bits(r.surface[k], want.threshold)) {
                ++mismatches;
                ADD_FAILURE() << "pixel (" << i << ", " << j << ") part "
                              << static_cast<int>(classify(s, i, j)) << ": output " << r.output[k]
                              << " want " << want.output << ", T " << r.surface[k] << " want "
                              << want.threshold;
            }
        }
    }
}

struct Shape {
    int region_size;
    int rows;
    int cols;
};

std::string describe(const Shape& sh) {
    return "R " + std::to_string(sh.region_size) + " image " + std::to_string(sh.rows) + "x" +
           std::to_string(sh.cols);
}

void randomise(Scene& s, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> grey(0, 255);
    std::uniform_real_distribution<float> level(0.0f, 255.0f);
    for (auto& p : s.pixels) p = static_cast<std::int16_t>(grey(gen));
    for (auto& g : s.grid_values) g = level(gen);
}

// ---- Cases ----

TEST(PixelThreshold, SixBySixExample) {
    Scene s(6, 6, 4);
    ASSERT_EQ(s.region_rows, 2);
    ASSERT_EQ(s.region_cols, 2);
    s.node(0, 0) = 0.0f;
    s.node(0, 1) = 100.0f;
    s.node(1, 0) = 100.0f;
    s.node(1, 1) = 200.0f;
    for (auto& p : s.pixels) p = 100;
    const Result r = run(s);

    EXPECT_EQ(r.surface[2 * 6 + 2], 0.0f);
    EXPECT_EQ(r.surface[2 * 6 + 3], 50.0f);
    EXPECT_EQ(r.surface[3 * 6 + 2], 50.0f);
    EXPECT_EQ(r.surface[3 * 6 + 3], 100.0f);
    const std::vector<std::int16_t> want = {
        255, 255, 255, 255, 255, 255,  //
        255, 255, 255, 255, 255, 255,  //
        255, 255, 255, 255, 0,   0,    //
        255, 255, 255, 255, 0,   0,    //
        255, 255, 255, 255, 0,   0,    //
        255, 255, 255, 255, 0,   0,    //
    };
    EXPECT_EQ(r.output, want);
}

TEST(PixelThreshold, TopBandSteps) {
    Scene s(4, 8, 4);  // h = 2, one node row of three nodes
    ASSERT_EQ(s.region_rows, 1);
    ASSERT_EQ(s.region_cols, 3);
    s.node(0, 0) = 10.0f;
    s.node(0, 1) = 20.0f;
    s.node(0, 2) = 30.0f;
    for (int j = 0; j < 8; ++j) s.pixel(0, j) = 15;  // reaches 10 only
    for (int j = 0; j < 8; ++j) s.pixel(1, j) = 25;  // reaches 10 and 20
    const Result r = run(s);
    const std::vector<float> steps = {10, 10, 10, 10, 20, 20, 30, 30};
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 8; ++j) EXPECT_EQ(r.surface[i * 8 + j], steps[j]) << i << "," << j;
    }
    const std::vector<std::int16_t> row0 = {255, 255, 255, 255, 0, 0, 0, 0};
    const std::vector<std::int16_t> row1 = {255, 255, 255, 255, 255, 255, 0, 0};
    EXPECT_EQ(std::vector<std::int16_t>(r.output.begin(), r.output.begin() + 8), row0);
    EXPECT_EQ(std::vector<std::int16_t>(r.output.begin() + 8, r.output.begin() + 16), row1);
}

// A constant grid: T is the constant at every pixel, and only the right
// band's strict test tells p == trunc(T) apart.
TEST(PixelThreshold, ConstantGridAndTheStrictRightBand) {
    struct Row {
        float level;
        std::int16_t pixel;
        std::int16_t outside_right_band;
        std::int16_t inside_right_band;
    };
    const Row table[] = {
        {100.0f, 100, 255, 0},
        {100.0f, 101, 255, 255},
        {100.0f, 99, 0, 0},
        {99.7f, 99, 255, 0},
        {99.7f, 100, 255, 255},
        {99.7f, 98, 0, 0},
    };
    for (const Row& row : table) {
        for (int region_size : {4, 5, 8}) {
            SCOPED_TRACE("level " + std::to_string(row.level) + " pixel " +
                         std::to_string(row.pixel) + " R " + std::to_string(region_size));
            Scene s(23, 29, region_size);
            for (auto& g : s.grid_values) g = row.level;
            for (auto& p : s.pixels) p = row.pixel;
            const Result r = run(s);
            int right_band_pixels = 0;
            for (int i = 0; i < s.rows; ++i) {
                for (int j = 0; j < s.cols; ++j) {
                    const std::size_t k = static_cast<std::size_t>(i) * s.cols + j;
                    const bool right = classify(s, i, j) == Part::right;
                    right_band_pixels += right;
                    ASSERT_EQ(r.surface[k], row.level) << i << "," << j;
                    ASSERT_EQ(r.output[k], right ? row.inside_right_band : row.outside_right_band)
                        << i << "," << j;
                }
            }
            EXPECT_GT(right_band_pixels, 0);
        }
    }
}

// Every pixel written exactly once with 0 or 255, the surface complete, and
// both equal to the per-pixel reference, over region sizes (odd ones
// included) and image sizes down to the smallest that has a region grid.
TEST(PixelThreshold, AgreesWithPerPixelReference) {
    const Shape shapes[] = {
        {1, 3, 5},    {2, 2, 3},    {2, 7, 4},    {3, 3, 3},    {3, 4, 7},    {3, 11, 5},
        {4, 4, 4},    {4, 6, 6},    {4, 9, 13},   {5, 5, 5},    {5, 9, 11},   {5, 10, 10},
        {5, 11, 23},  {5, 47, 31},  {7, 13, 29},  {8, 40, 33},  {25, 25, 25}, {25, 49, 51},
        {25, 75, 99}, {25, 101, 77}, {25, 137, 25}, {31, 95, 64},
    };
    unsigned seed = 1;
    for (const Shape& sh : shapes) {
        SCOPED_TRACE(describe(sh));
        Scene s(sh.rows, sh.cols, sh.region_size);
        ASSERT_GE(s.region_rows, 1);
        ASSERT_GE(s.region_cols, 1);
        randomise(s, seed++);
        const Result r = run(s);
        for (std::size_t k = 0; k < r.output.size(); ++k) {
            ASSERT_TRUE(r.output[k] == 0 || r.output[k] == 255) << "pixel " << k;
            ASSERT_NE(r.surface[k], -12345.0f) << "no threshold stored for pixel " << k;
        }
        expect_matches_reference(s, r);
    }
}

// Thresholds that do not convert to an integer: NaN and values beyond the
// int32 range truncate to INT32_MIN; the right band compares them as floats.
TEST(PixelThreshold, NonFiniteAndHugeThresholds) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    Scene s(27, 31, 5);
    randomise(s, 99);
    // Negative pixels tell INT32_MIN apart from any small integer.
    for (std::size_t k = 0; k < s.pixels.size(); k += 3) {
        s.pixels[k] = static_cast<std::int16_t>(-1 - static_cast<int>(k % 50));
    }
    const float specials[] = {nan, inf, -inf, 1e30f, -1e30f, 3e9f, 40000.0f, -40000.0f, -0.5f};
    for (std::size_t k = 0; k < s.grid_values.size(); ++k) {
        if (k % 2 == 0) s.grid_values[k] = specials[(k / 2) % std::size(specials)];
    }
    const Result r = run(s);
    for (std::int16_t v : r.output) ASSERT_TRUE(v == 0 || v == 255);
    expect_matches_reference(s, r);
}

TEST(PixelThreshold, ThreadCountDoesNotChangeTheResult) {
    const Shape shapes[] = {{4, 64, 50}, {5, 53, 41}, {25, 101, 77}, {3, 3, 8}};
    unsigned seed = 500;
    for (const Shape& sh : shapes) {
        SCOPED_TRACE(describe(sh));
        Scene s(sh.rows, sh.cols, sh.region_size);
        randomise(s, seed++);
        const Result one = run(s, 1);
        for (int threads : {3, 7, 1000}) {
            const Result many = run(s, threads);
            EXPECT_EQ(many.output, one.output) << threads << " threads";
            EXPECT_EQ(0, std::memcmp(many.surface.data(), one.surface.data(),
                                     one.surface.size() * sizeof(float)))
                << threads << " threads";
        }
        // Without a surface the decisions stay the same.
        for (int threads : {1, 3}) EXPECT_EQ(run(s, threads, false).output, one.output);
        expect_matches_reference(s, one);
    }
}

// Blocks anywhere in the image, crossing bands and node rows, decide what the
// whole image decides, into uint8 as into int16, from 16-bit pixels and from
// uint8 levels.
TEST(PixelThreshold, BlocksMatchTheWholeImage) {
    const Shape shapes[] = {{5, 53, 41}, {8, 40, 33}, {25, 101, 77}, {1, 9, 12}};
    unsigned seed = 900;
    for (const Shape& sh : shapes) {
        SCOPED_TRACE(describe(sh));
        Scene s(sh.rows, sh.cols, sh.region_size);
        randomise(s, seed++);
        const Result whole = run(s);
        FImage grid(s.region_rows, s.region_cols);
        for (int a = 0; a < s.region_rows; ++a) {
            for (int b = 0; b < s.region_cols; ++b) grid[a][b] = s.node(a, b);
        }
        std::mt19937 rng(seed);
        for (int k = 0; k < 12; ++k) {
            const int top = static_cast<int>(rng() % s.rows), left = static_cast<int>(rng() % s.cols);
            const int n_rows = 1 + static_cast<int>(rng() % (s.rows - top));
            const int n_cols = 1 + static_cast<int>(rng() % (s.cols - left));
            std::vector<const std::int16_t*> in_rows;
            std::vector<std::uint8_t> out(static_cast<std::size_t>(n_rows) * n_cols, 7);
            std::vector<std::uint8_t*> out_rows;
            for (int i = 0; i < n_rows; ++i) {
                in_rows.push_back(&s.pixel(top + i, left));
                out_rows.push_back(out.data() + static_cast<std::size_t>(i) * n_cols);
            }
            // The same block as uint8 levels, read where they lie.
            std::vector<std::uint8_t> bytes(out.size());
            std::vector<const std::uint8_t*> byte_rows;
            for (int i = 0; i < n_rows; ++i) {
                for (int j = 0; j < n_cols; ++j) {
                    bytes[static_cast<std::size_t>(i) * n_cols + j] = static_cast<std::uint8_t>(s.pixel(top + i, left + j));
                }
                byte_rows.push_back(bytes.data() + static_cast<std::size_t>(i) * n_cols);
            }
            for (bool wide : {true, false}) {
                std::vector<float> surface(out.size());
                std::fill(out.begin(), out.end(), 7);
                if (wide) {
                    threshold_pixels(s.region_rows, s.region_cols, grid.get(), s.rows, s.cols, s.region_size,
                                     ImageBlock(in_rows.data(), top, left), out_rows.data(), 2, surface.data(),
                                     n_rows, n_cols);
                } else {
                    threshold_pixels(s.region_rows, s.region_cols, grid.get(), s.rows, s.cols, s.region_size,
                                     ImageBlock8(byte_rows.data(), top, left), out_rows.data(), 2, surface.data(),
                                     n_rows, n_cols);
                }
                for (int i = 0; i < n_rows; ++i) {
                    for (int j = 0; j < n_cols; ++j) {
                        const std::size_t w = static_cast<std::size_t>(top + i) * s.cols + left + j;
                        const std::size_t b = static_cast<std::size_t>(i) * n_cols + j;
                        ASSERT_EQ(out[b], whole.output[w]) << (wide ? "int16" : "uint8") << " block at " << top << ","
                                                           << left << " pixel " << i << "," << j;
                        ASSERT_EQ(surface[b], whole.surface[w]) << "block at " << top << "," << left;
                    }
                }
            }
        }
    }
}

// uint8 levels decide as their 16-bit copy does where the thresholds are
// NaN, negative, beyond the levels or beyond int32 (the checked conversion).
TEST(PixelThreshold, ByteLevelsMatchTheWideCopyAtOddThresholds) {
    Scene s(70, 90, 16);
    randomise(s, 41);
    const float odd[] = {std::nanf(""), -1.0f, 255.5f, 256.0f, 3e9f, -3e9f, 0.99f, 254.999f};
    for (std::size_t k = 0; k < s.grid_values.size(); k += 3) s.grid_values[k] = odd[(k / 3) % 8];
    const Result wide = run(s, 2);
    FImage grid(s.region_rows, s.region_cols);
    for (int a = 0; a < s.region_rows; ++a) {
        for (int b = 0; b < s.region_cols; ++b) grid[a][b] = s.node(a, b);
    }
    std::vector<std::uint8_t> bytes(s.pixels.begin(), s.pixels.end()), out(bytes.size(), 7);
    std::vector<const std::uint8_t*> in_rows;
    std::vector<std::uint8_t*> out_rows;
    for (int i = 0; i < s.rows; ++i) {
        in_rows.push_back(bytes.data() + static_cast<std::size_t>(i) * s.cols);
        out_rows.push_back(out.data() + static_cast<std::size_t>(i) * s.cols);
    }
    threshold_pixels(s.region_rows, s.region_cols, grid.get(), s.rows, s.cols, s.region_size,
                     ImageBlock8(in_rows.data()), out_rows.data(), 2);
    for (std::size_t p = 0; p < out.size(); ++p) ASSERT_EQ(out[p], wide.output[p]) << "pixel " << p;
}

}  // namespace
}  // namespace zentrel
