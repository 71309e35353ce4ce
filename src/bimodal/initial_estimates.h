// Start values of the mixture fit: the histogram split at its truncated mean
// (the mean's bin is dark), each part's share, mean and standard deviation.
#pragma once

namespace zentrel {

// hist[0..255]; mean_level from build_region_histogram. A part that is empty
// or a single bin gives sigma 0 (or NaN by rounding); nothing is clamped.
void initial_estimates(const int hist[], int mean_level, float& c1, float& mean1, float& sigma1,
                       float& mean2, float& sigma2);

}  // namespace zentrel
