// Faint marks: the pixel decision's marks against a core grid; marks joined
// through marks to ink become ink, the others paper, on a hand-worked block,
// the same at any number of threads; and the pieces the chunked path joins
// across chunk edges.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/faint_marks.h"
#include "pipeline/pixel_threshold.h"

namespace zentrel {
namespace {

using Block = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t*> row_table(Block& block) {
    std::vector<std::uint8_t*> rows;
    for (auto& row : block) rows.push_back(row.data());
    return rows;
}

constexpr std::uint8_t P = 255;

TEST(FaintMarks, MarksJoinedToInkStayAndTheRestGo) {
    // Marks (1) at the top join the ink at (0, 4) through (1, 3), a diagonal
    // step, and carry the marks of rows 2-3 on the right with them; the two
    // marks on the left touch nothing but paper.
    Block block{{P, 1, 1, P, 0},
                {P, P, 1, 1, P},
                {1, P, P, P, 1},
                {1, P, 0, P, 1}};
    keep_reached(row_table(block).data(), 4, 5);
    const Block want{{P, 0, 0, P, 0},
                     {P, P, 0, 0, P},
                     {P, P, P, P, 0},
                     {P, P, 0, P, 0}};
    EXPECT_EQ(block, want);

    Block pieces{{P, 1, 1, P, 0},
                 {P, P, 1, 1, P},
                 {1, P, P, P, 1},
                 {1, P, 0, P, 1}};
    std::vector<std::int32_t> labels(20);
    std::vector<std::int64_t> sizes;
    const std::vector<bool> reaches = label_pieces(row_table(pieces).data(), 4, 5, labels.data(), &sizes);
    // Pieces in the order of their first pixel: the top one with the right
    // column, the left pair, the lone ink.
    EXPECT_EQ(labels, (std::vector<std::int32_t>{0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 2, 0, 0, 0, 1, 2, 0, 3, 0, 1}));
    EXPECT_EQ(reaches, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(sizes, (std::vector<std::int64_t>{0, 7, 2, 1}));
    // Counted without labels: the same pieces in the same order, the block left all paper.
    std::vector<std::int64_t> counted;
    EXPECT_EQ(count_pieces(row_table(pieces).data(), 4, 5, counted), reaches);
    EXPECT_EQ(counted, sizes);
    EXPECT_EQ(pieces, Block(4, std::vector<std::uint8_t>(5, P)));
}

TEST(FaintMarks, TheResultDoesNotDependOnThreads) {
    std::mt19937 random(5);
    for (int trial = 0; trial < 10; ++trial) {
        const int rows = 1 + static_cast<int>(random() % 90), cols = 1 + static_cast<int>(random() % 70);
        Block block(static_cast<std::size_t>(rows), std::vector<std::uint8_t>(static_cast<std::size_t>(cols)));
        for (auto& row : block) {
            for (auto& v : row) {
                const unsigned draw = random() % 20;
                v = draw < 1 ? 0 : draw < 11 ? 1 : P;  // long chains of marks, little ink
            }
        }
        Block one = block;
        keep_reached(row_table(one).data(), rows, cols, 1);
        for (int threads : {2, 3, 7}) {
            Block many = block;
            keep_reached(row_table(many).data(), rows, cols, threads);
            EXPECT_EQ(many, one) << rows << "x" << cols << " on " << threads;
        }
    }
}

TEST(FaintMarks, InkNotBelowTheCoreBecomesMarks) {
    // One region of 4 (a 3x4 image, every pixel in the top band's left
    // corner step): threshold 100, core 50. Levels 40 and 0 lie below both;
    // 60, 99 and 50 (a pixel reaches a threshold at it) below the threshold
    // alone; 100 and more below neither.
    const std::vector<std::uint8_t> levels{40, 60, 100, 99, 200, 40, 60, 255, 0, 0, 100, 50};
    std::vector<const std::uint8_t*> level_rows{levels.data(), levels.data() + 4, levels.data() + 8};
    float threshold = 100.0f, deep = 50.0f;
    float* grid[] = {&threshold};
    float* core[] = {&deep};
    Block out(3, std::vector<std::uint8_t>(4));
    std::int64_t marks = -1;
    for (int threads : {1, 2}) {
        threshold_pixels(1, 1, grid, 3, 4, 4, ImageBlock8(level_rows.data()), row_table(out).data(), threads, nullptr,
                         -1, -1, core, &marks);
        EXPECT_EQ(out, (Block{{0, 1, P, 1}, {P, 0, 1, P}, {0, 0, P, 1}})) << threads;
        EXPECT_EQ(marks, 4);
    }
}

}  // namespace
}  // namespace zentrel
