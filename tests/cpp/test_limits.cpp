// The option table reaches every limit field once, and only through it.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "bimodal/limits.h"

namespace zentrel {
namespace {

TEST(LimitOptions, EachFieldIsSetByExactlyOneOptionSide) {
    // Setting one side of one option to a distinct value changes exactly one
    // byte range of the struct, and no two sides share one.
    std::set<std::string> changed_fields;
    int sides = 0;
    for (std::size_t k = 0; k < limit_option_count(); ++k) {
        const LimitOption& option = limit_options()[k];
        ASSERT_EQ(find_limit_option(option.name), &option);
        for (int side = 0; side < option.arity; ++side, ++sides) {
            AnalysisLimits limits;
            std::memcpy(&limits, &default_limits(), sizeof limits);  // padding too
            option.set(limits, side, 7.0);
            EXPECT_EQ(option.get(limits, side), 7.0) << option.name;
            if (option.arity == 2) {
                EXPECT_EQ(option.get(limits, 1 - side), option.get(default_limits(), 1 - side));
            }
            std::string diff;
            const auto* a = reinterpret_cast<const unsigned char*>(&limits);
            const auto* b = reinterpret_cast<const unsigned char*>(&default_limits());
            for (std::size_t i = 0; i < sizeof limits; ++i) diff += a[i] != b[i] ? '1' : '0';
            EXPECT_TRUE(changed_fields.insert(diff).second) << option.name << " side " << side;
        }
    }
    EXPECT_EQ(sides, 19);  // every field of AnalysisLimits
    EXPECT_EQ(find_limit_option("no_such_limit"), nullptr);
}

TEST(LimitOptions, DefaultsAreTheFixedLimits) {
    const LimitOption* mean1 = find_limit_option("mean1_range");
    ASSERT_NE(mean1, nullptr);
    EXPECT_EQ(mean1->get(default_limits(), 0), 80.0);
    EXPECT_EQ(mean1->get(default_limits(), 1), 160.0);
    EXPECT_EQ(find_limit_option("box_c1")->get(default_limits(), 0), 0.1);
    EXPECT_EQ(find_limit_option("max_iterations")->get(default_limits(), 0), 20.0);
    EXPECT_TRUE(find_limit_option("max_iterations")->integer);
}

}  // namespace
}  // namespace zentrel
