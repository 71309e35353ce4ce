// Float images, 1-based vectors and matrices, and the out-of-memory policy.
//
// fimage: 0-based nrows x ncols floats; one row-major block plus a table of
//   row pointers (row 0 is the block). Released block first, then the table.
// vector: 1-based floats 1..nh in a block of nh + 1; element 0 is spare.
// matrix: 1-based [1..nrows][1..ncols]; a table of nrows + 1 row pointers
//   (entry 0 unused) and a block of nrows*ncols + 1 floats, row 1 being the
//   block itself (block element 0 is spare). Released block, then table.
//
// No allocator returns a null pointer: each failure throws AllocationFailure,
// a std::bad_alloc that carries the message the library reports for it and
// the channel it belongs on, so that the host process survives.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "numeric/sink.h"

namespace zentrel {

class AllocationFailure : public std::bad_alloc {
public:
    AllocationFailure(Channel channel, std::string message)
        : channel_(channel), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    Channel channel() const noexcept { return channel_; }
    const std::string& message() const noexcept { return message_; }

private:
    Channel channel_;
    std::string message_;
};

// Allocates count elements of T with malloc; on failure throws
// AllocationFailure(channel, message). The memory is not initialised.
void* checked_malloc(std::size_t count, std::size_t size, Channel channel, const char* message);

template <class T>
T* checked_alloc(std::size_t count, Channel channel, const char* message) {
    return static_cast<T*>(checked_malloc(count, sizeof(T), channel, message));
}

// Owner of a block from checked_alloc: released with free, as it was made
// with malloc.
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <class T>
using MallocBlock = std::unique_ptr<T[], FreeDeleter>;

// Fault injection for tests: the n-th checked allocation from now (1 = the
// next one) fails as if memory had run out; 0 disarms.
void fail_allocation_after(long n);

float** fimage(int nrows, int ncols);
void free_fimage(float** image);

float* vector(int nl, int nh);
void free_vector(float* v, int nl, int nh);

float** matrix(int nrl, int nrh, int ncl, int nch);
void free_matrix(float** m, int nrl, int nrh, int ncl, int nch);

// Reports a numerical failure as three lines for standard error:
// "Numerical Recipes run-time error...", the message, "...now exiting to
// system..."; throws them as an AllocationFailure instead of ending the
// process.
[[noreturn]] void fatal_error(const char* message);

// Owning handle of an fimage.
class FImage {
public:
    FImage() = default;
    FImage(int nrows, int ncols) : rows_(fimage(nrows, ncols)) {}
    ~FImage() { reset(); }
    FImage(const FImage&) = delete;
    FImage& operator=(const FImage&) = delete;
    FImage(FImage&& other) noexcept : rows_(other.rows_) { other.rows_ = nullptr; }
    FImage& operator=(FImage&& other) noexcept {
        if (this != &other) {
            reset();
            rows_ = other.rows_;
            other.rows_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (rows_) free_fimage(rows_);
        rows_ = nullptr;
    }
    float** get() const { return rows_; }
    float* operator[](int r) const { return rows_[r]; }

private:
    float** rows_ = nullptr;
};

}  // namespace zentrel
