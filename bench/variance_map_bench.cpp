// Times the region variance map on a 4096 x 4096 random image at R = 32,
// with one thread and with every hardware thread, against one plain pass
// that sums every pixel; then on a smooth image (a gradient with a little
// noise), whose regions hold only a few grey levels each.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/context.h"
#include "bimodal/region_grid.h"
#include "pipeline/region_variance.h"

using namespace zentrel;

namespace {

constexpr int SIDE = 4096;
constexpr int R = 32;
constexpr int RUNS = 9;

template <class F>
double median_ms(F&& run) {
    std::vector<double> times;
    for (int r = 0; r < RUNS; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[RUNS / 2];
}

}  // namespace

int main() {
    std::vector<std::int16_t> pixels(static_cast<std::size_t>(SIDE) * SIDE);
    std::mt19937 rng(1);
    for (auto& p : pixels) p = static_cast<std::int16_t>(rng() % 256);
    std::vector<const std::int16_t*> rows(SIDE);
    for (int r = 0; r < SIDE; ++r) rows[r] = pixels.data() + static_cast<std::size_t>(r) * SIDE;

    const int n = region_count(SIDE, R);
    FImage grid(n, n);
    PipelineContext context;

    volatile std::int64_t total = 0;
    const double plain = median_ms([&] {
        std::int64_t sum = 0;
        for (int r = 0; r < SIDE; ++r)
            for (int c = 0; c < SIDE; ++c) sum += rows[r][c];
        total = total + sum;
    });

    const int all = std::max(1u, std::thread::hardware_concurrency());
    std::printf("image %dx%d, R = %d, %dx%d regions, median of %d runs\n", SIDE, SIDE, R, n, n, RUNS);
    std::printf("plain pixel sum                  %8.2f ms\n", plain);
    auto run_map = [&](const char* name) {
        for (int threads : {1, all}) {
            context.threads = threads;
            const double t = median_ms([&] { compute_region_variance(context, n, n, grid.get(), R, rows.data()); });
            std::printf("variance map, %-6s %2d thread%s %8.2f ms  (%.1fx the plain sum)\n", name, threads,
                        threads == 1 ? " " : "s", t, t / plain);
        }
    };
    run_map("random");
    for (int r = 0; r < SIDE; ++r)
        for (int c = 0; c < SIDE; ++c) pixels[static_cast<std::size_t>(r) * SIDE + c] = static_cast<std::int16_t>((r + c) / 40 + rng() % 8);
    run_map("smooth");
    std::printf("checksum %lld %g\n", static_cast<long long>(total), static_cast<double>(grid[n / 2][n / 2]));
    return 0;
}
