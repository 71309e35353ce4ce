// The analysis of the selected regions, in list order: one record per
// region, the progress line or the per-region trace, and the completion
// line. Regions are analysed on context.threads workers; text and records
// are the same for any thread count.
#pragma once

#include <vector>

#include "bimodal/image_block.h"
#include "bimodal/region_analysis.h"
#include "pipeline/context.h"

namespace zentrel {

// Analyses regions (rows[k], cols[k]) for k < count of image16, which must
// hold every pixel of them.
std::vector<RegionRecord> analyse_regions(const PipelineContext& context, const ImageBlock& image16,
                                          int region_size, int count, const int rows[],
                                          const int cols[]);
// The same on grey levels as the caller holds them.
std::vector<RegionRecord> analyse_regions(const PipelineContext& context, const ImageBlock8& image,
                                          int region_size, int count, const int rows[],
                                          const int cols[]);

}  // namespace zentrel
