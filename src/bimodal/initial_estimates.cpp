#include "bimodal/initial_estimates.h"

#include <algorithm>
#include <cmath>

#include "bimodal/histogram.h"

namespace zentrel {

namespace {

struct PartMoments {
    float count = 0.0f;
    float mean = 0.0f;    // first moment / count
    float square = 0.0f;  // second moment / count
};

// Moments of bins first..last (clipped to 0..255). Products are exact 64-bit
// integers, rounded once to float; the sums run in float in bin order.
PartMoments part_moments(const int hist[], int first, int last) {
    first = std::max(first, 0);
    last = std::min(last, 255);
    // Only the occupied span is summed (no sum here is ever -0).
    occupied_span(hist, first, last);
    float n = 0.0f;
    float s = 0.0f;
    float q = 0.0f;
    for (int v = first; v <= last; ++v) {
        const long long count = hist[v];
        n += static_cast<float>(count);
        s += static_cast<float>(v * count);
        q += static_cast<float>(static_cast<long long>(v) * v * count);
    }
    PartMoments m;
    if (n != 0.0f) {
        m.count = n;
        m.mean = s / n;
        m.square = q / n;
    }
    return m;
}

// Population standard deviation; a slightly negative variance gives NaN.
float spread(const PartMoments& m) {
    const float variance = m.square - m.mean * m.mean;
    return static_cast<float>(std::sqrt(static_cast<double>(variance)));
}

}  // namespace

void initial_estimates(const int hist[], int mean_level, float& c1, float& mean1, float& sigma1,
                       float& mean2, float& sigma2) {
    const PartMoments dark = mean_level >= 0 ? part_moments(hist, 0, mean_level) : PartMoments{};
    const PartMoments bright = mean_level < 255 ? part_moments(hist, mean_level + 1, 255) : PartMoments{};

    c1 = dark.count / (dark.count + bright.count);
    mean1 = dark.mean;
    sigma1 = spread(dark);
    mean2 = bright.mean;
    sigma2 = spread(bright);
}

}  // namespace zentrel
