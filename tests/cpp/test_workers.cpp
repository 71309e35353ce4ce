// run_in_order hands items out in batches: every item is emitted once, in
// order, on any number of workers; a failure emits exactly the items before
// the lowest failed one and rethrows that item's exception. run_chunks and
// run_from_both_ends give every item to exactly one worker, the latter to
// each worker as one unbroken walk. The pool keeps its threads from call to
// call, gives jobs that wait for each other a thread each (also when called
// from inside a job), and serves a child made by fork.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "pipeline/workers.h"

namespace zentrel {
namespace {

TEST(RunInOrder, EmitsEveryItemOnceInOrder) {
    for (int workers : {1, 2, 3, 8}) {
        for (int count : {0, 1, 7, 1000, 5000}) {
            std::vector<int> done(static_cast<std::size_t>(count), 0), emitted;
            run_in_order(
                count, workers, [&](int i, int) { ++done[static_cast<std::size_t>(i)]; },
                [&](int i) {
                    EXPECT_EQ(done[static_cast<std::size_t>(i)], 1);
                    emitted.push_back(i);
                });
            ASSERT_EQ(static_cast<int>(emitted.size()), count) << workers;
            for (int i = 0; i < count; ++i) EXPECT_EQ(emitted[static_cast<std::size_t>(i)], i);
        }
    }
}

TEST(RunInOrder, AFailureEmitsTheItemsBeforeItAndRethrowsTheLowest) {
    for (int workers : {1, 2, 4}) {
        std::vector<int> emitted;
        try {
            run_in_order(
                5000, workers,
                [&](int i, int) {
                    if (i == 1777 || i == 3001) throw std::runtime_error(std::to_string(i));
                },
                [&](int i) { emitted.push_back(i); });
            FAIL() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "1777") << workers;
        }
        ASSERT_EQ(emitted.size(), 1777u) << workers;
        EXPECT_EQ(emitted.back(), 1776);
    }
}

TEST(HandOut, EveryItemOnceAndEachWalkUnbroken) {
    for (int workers : {1, 2, 3, 5}) {
        for (int count : {0, 1, 2, 7, 1000}) {
            std::vector<std::atomic<int>> chunked(static_cast<std::size_t>(count));
            run_chunks(workers, count, 3, [&](int begin, int end, int) {
                EXPECT_TRUE(begin % 3 == 0 && end - begin <= 3 && end <= count);
                for (int i = begin; i < end; ++i) ++chunked[static_cast<std::size_t>(i)];
            });
            std::vector<std::atomic<int>> walked(static_cast<std::size_t>(count));
            std::vector<std::vector<int>> walks(static_cast<std::size_t>(workers));
            run_from_both_ends(workers, count, [&](int i, int w, bool backward) {
                EXPECT_EQ(backward, w % 2 == 1);
                std::vector<int>& walk = walks[static_cast<std::size_t>(w)];
                if (!walk.empty()) {
                    EXPECT_EQ(i, walk.back() + (backward ? -1 : 1)) << "worker " << w;
                }
                walk.push_back(i);
                ++walked[static_cast<std::size_t>(i)];
            });
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(chunked[static_cast<std::size_t>(i)], 1) << workers << " workers, item " << i;
                ASSERT_EQ(walked[static_cast<std::size_t>(i)], 1) << workers << " workers, item " << i;
            }
        }
    }
}

// Each of `workers` jobs waits until all have begun: it passes only when
// every job has a thread of its own.
template <class Run>
void all_meet(int workers, Run&& run) {
    std::atomic<int> begun{0};
    run(workers, [&](int) {
        ++begun;
        while (begun.load() < workers) std::this_thread::yield();
    });
    EXPECT_EQ(begun.load(), workers);
}

TEST(Pool, ThreadsAreKeptFromCallToCall) {
    all_meet(4, [](int n, auto&& job) { run_workers(n, job); });
    const int kept = pool_thread_count();
    EXPECT_GE(kept, 3);
    for (int call = 0; call < 200; ++call) {
        all_meet(4, [](int n, auto&& job) { run_workers(n, job); });
        Barrier barrier(3);
        int sum = 0;
        std::atomic<int> parts{0};
        ASSERT_TRUE(run_together(3, [&](int w) {
            parts += w + 1;
            barrier.arrive();
            if (w == 0) sum = parts.load();
        }));
        ASSERT_EQ(sum, 6);
    }
    EXPECT_EQ(pool_thread_count(), kept);
}

TEST(Pool, JobsInsideJobsAndCallsFromSeveralThreadsGetThreadsOfTheirOwn) {
    std::atomic<int> inner{0};
    run_workers(3, [&](int) {
        all_meet(3, [](int n, auto&& job) { run_workers(n, job); });
        ++inner;
    });
    EXPECT_EQ(inner.load(), 3);
    std::thread other([] { all_meet(3, [](int n, auto&& job) { run_workers(n, job); }); });
    all_meet(3, [](int n, auto&& job) { run_workers(n, job); });
    other.join();
}

#if !defined(_WIN32)
TEST(Pool, AChildMadeByForkStartsItsOwn) {
    all_meet(3, [](int n, auto&& job) { run_workers(n, job); });  // the parent's threads exist
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atomic<int> begun{0};
        run_workers(3, [&](int) {
            ++begun;
            while (begun.load() < 3) std::this_thread::yield();
        });
        _exit(begun.load() == 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

}  // namespace
}  // namespace zentrel
