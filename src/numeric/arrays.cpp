#include "numeric/arrays.h"

#include "numeric/console_text.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace zentrel {

namespace {
std::atomic<long> allocations_until_failure{0};

bool injected_failure() {
    long left = allocations_until_failure.load(std::memory_order_relaxed);
    while (left > 0) {
        if (allocations_until_failure.compare_exchange_weak(left, left - 1)) return left == 1;
    }
    return false;
}
}  // namespace

void fail_allocation_after(long n) { allocations_until_failure.store(n); }

void* checked_malloc(std::size_t count, std::size_t size, Channel channel, const char* message) {
    void* block = nullptr;
    const bool too_large = size != 0 && count > std::numeric_limits<std::size_t>::max() / size;
    if (!too_large && !injected_failure()) block = std::malloc(count * size == 0 ? 1 : count * size);
    if (!block) throw AllocationFailure(channel, message);
    return block;
}

float** fimage(int nrows, int ncols) {
    // No caller asks for an empty image; refuse one rather than hand out a
    // table that cannot be released by the usual rule.
    if (nrows < 1 || ncols < 1) throw std::invalid_argument("fimage: rows and columns must be at least 1");
    const std::size_t n_rows = static_cast<std::size_t>(nrows);
    const std::size_t n_cols = static_cast<std::size_t>(ncols);
    float** rows = checked_alloc<float*>(n_rows, Channel::err, text::NO_FIMAGE_TABLE);
    float* block = nullptr;
    try {
        // 64-bit element count: a product beyond 32 bits must not wrap.
        block = checked_alloc<float>(n_rows * n_cols, Channel::err, text::NO_FIMAGE_BLOCK);
    } catch (...) {
        std::free(rows);
        throw;
    }
    rows[0] = block;
    for (std::size_t r = 1; r < n_rows; ++r) rows[r] = rows[r - 1] + n_cols;
    return rows;
}

void free_fimage(float** image) {
    if (!image) return;
    std::free(image[0]);
    std::free(image);
}

float* vector(int nl, int nh) {
    const std::size_t count = nh >= nl ? static_cast<std::size_t>(nh - nl + 1) : 0;
    float* v = static_cast<float*>(std::malloc((count + 1) * sizeof(float)));
    if (!v || injected_failure()) {
        std::free(v);
        fatal_error("allocation failure in vector()");
    }
    return v + nl - 1;
}

void free_vector(float* v, int nl, int /*nh*/) { std::free(v - nl + 1); }

float** matrix(int nrl, int nrh, int ncl, int nch) {
    const std::size_t nrow = nrh >= nrl ? static_cast<std::size_t>(nrh - nrl + 1) : 0;
    const std::size_t ncol = nch >= ncl ? static_cast<std::size_t>(nch - ncl + 1) : 0;
    // At least one row pointer past the spare one, so row nrl can hold the
    // block even for an empty matrix.
    float** m = static_cast<float**>(std::malloc((std::max<std::size_t>(nrow, 1) + 1) * sizeof(float*)));
    if (!m || injected_failure()) {
        std::free(m);
        fatal_error("allocation failure 1 in matrix()");
    }
    m = m + 1 - nrl;
    float* block = static_cast<float*>(std::malloc((nrow * ncol + 1) * sizeof(float)));
    if (!block || injected_failure()) {
        std::free(block);
        std::free(m + nrl - 1);
        fatal_error("allocation failure 2 in matrix()");
    }
    m[nrl] = block + 1 - ncl;
    for (std::size_t i = 1; i < nrow; ++i) m[nrl + i] = m[nrl + i - 1] + ncol;
    return m;
}

void free_matrix(float** m, int nrl, int /*nrh*/, int ncl, int /*nch*/) {
    std::free(m[nrl] + ncl - 1);
    std::free(m + nrl - 1);
}

void fatal_error(const char* message) {
    std::string lines = text::FATAL_HEAD;
    lines += message;
    lines += text::FATAL_TAIL;
    throw AllocationFailure(Channel::err, lines);
}

}  // namespace zentrel
