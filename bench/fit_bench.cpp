// Times the fitter's evaluation (marquardt_coef, one call = model and sums
// over 256 points) for each build of the vectorised loops, the batched
// exponential, and the region analysis stage of the whole pipeline on a
// 2048 x 2048 scene of bright discs on a dark, unevenly lit background at
// R = 32, 10 % and 50 %, with one and two threads.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "numeric/float_exp.h"
#include "numeric/marquardt.h"
#include "pipeline/driver.h"

using namespace zentrel;

namespace {

template <class F>
double median_seconds(int runs, F&& run) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::uint64_t splitmix(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

std::vector<std::uint8_t> scene(int side) {
    std::uint64_t state = 1;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(side) * side);
    for (int r = 0; r < side; ++r) {
        for (int c = 0; c < side; ++c) {
            // Discs of radius 70 on a 256-pixel lattice, light rising to the right.
            const int dr = r % 256 - 128, dc = c % 256 - 128;
            int v = (dr * dr + dc * dc < 70 * 70 ? 190 : 120) + c * 30 / side;
            for (int k = 0; k < 4; ++k) v += static_cast<int>(splitmix(state) % 11) - 5;
            image[static_cast<std::size_t>(r) * side + c] = static_cast<std::uint8_t>(std::min(255, std::max(0, v)));
        }
    }
    return image;
}

const char* name(Isa isa) { return isa == Isa::avx512 ? "avx512" : isa == Isa::avx2 ? "avx2" : "portable"; }

}  // namespace

int main(int argc, char** argv) {
    // "pipeline": only the region analysis timings (for profiling).
    const bool pipeline_only = argc > 1 && std::string(argv[1]) == "pipeline";
    SilentSink silent;
    if (!pipeline_only) {
    // One region's histogram and a start near its fit.
    float x[NDATA + 1], y[NDATA + 1], sig[NDATA + 1];
    const float truth[6] = {0, 0.45f, 118.0f, 6.0f, 192.0f, 7.0f};
    float total = 0.0f;
    for (int i = 1; i <= NDATA; ++i) {
        float dyda[6];
        x[i] = static_cast<float>(i - 1);
        bimodal_gauss(x[i], truth, y[i], dyda, 5, 1024.0f, silent);
        y[i] = std::nearbyint(y[i]);
        sig[i] = 1.0f;
        total += y[i];
    }
    const float a[6] = {0, 0.47f, 117.0f, 6.5f, 191.0f, 7.5f};
    const int ia[6] = {0, 1, 1, 1, 1, 1};
    float** alpha = matrix(1, 5, 1, 5);
    float beta[6], chisq = 0.0f;
    constexpr int CALLS = 20000;
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (!isa_supported(isa)) continue;
        const double s = median_seconds(5, [&] {
            for (int k = 0; k < CALLS; ++k) marquardt_coef(x, y, sig, a, ia, alpha, beta, chisq, total, isa);
        });
        std::printf("marquardt_coef %-8s %7.3f us per call\n", name(isa), s / CALLS * 1e6);
    }
    free_matrix(alpha, 1, 5, 1, 5);

    std::vector<float> v(1 << 16), out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = -104.0f * static_cast<float>(i) / static_cast<float>(v.size());
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (!isa_supported(isa)) continue;
        const double s = median_seconds(9, [&] { exp_to_float(v.data(), out.data(), static_cast<int>(v.size()), isa); });
        std::printf("exp_to_float   %-8s %7.3f ns per value\n", name(isa), s / v.size() * 1e9);
    }
    const double lib = median_seconds(9, [&] {
        for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<float>(std::exp(static_cast<double>(v[i])));
    });
    std::printf("std::exp                %7.3f ns per value\n", lib / v.size() * 1e9);

    }

    const int side = 2048;
    const std::vector<std::uint8_t> image = scene(side);
    const std::int64_t shape[2] = {side, side}, strides[2] = {side, 1};
    InputView<std::uint8_t> in{image.data(), 2, shape, strides};
    std::vector<std::int16_t> result(image.size());
    OutputView ov{result.data(), static_cast<std::int64_t>(result.size()), true, true};
    for (int percent : {10, 50}) {
        for (int threads : {1, 2}) {
            DriverReport report;
            DriverSettings settings;
            settings.sink = &silent;
            settings.threads = threads;
            settings.report = &report;
            double best = 1e9;
            for (int r = 0; r < 3; ++r) {
                adaptive_threshold<std::uint8_t>(&in, &ov, percent, 32, false, false, settings);
                best = std::min(best, report.stage_seconds[2]);
            }
            std::printf("region analysis %2d%% %d thread%s %7.3f s (%d regions, %d valid)\n", percent, threads,
                        threads > 1 ? "s" : " ", best, report.selected_count, report.valid_count);
        }
    }
}
