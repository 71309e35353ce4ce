// Every task of the library's threads is handed out here (the threads
// themselves are the process's pool, thread_pool.h): run_workers for stages whose
// shares are independent, run_chunks and run_from_both_ends for the same
// handed out as workers come free, run_in_order for work whose results
// must come out in a fixed order, run_together (with a Barrier) for shares
// that wait for each other step by step.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "pipeline/thread_pool.h"

namespace zentrel {

// Workers for `items` independent items: `threads`, but at least 1 and no
// more than one item each.
inline int worker_count(int threads, int items) { return std::max(1, std::min(threads, items)); }

// First item of worker w when `items` are cut into `workers` contiguous runs
// (worker w takes run_start(w) .. run_start(w + 1) - 1).
inline int run_start(int items, int workers, int w) {
    return static_cast<int>(static_cast<std::int64_t>(items) * w / workers);
}

// Counts the tasks a call has started on the pool, and waits, when it goes
// out of scope (also when a throw leaves the scope), until each has
// returned.
class TaskLatch {
public:
    TaskLatch() = default;
    TaskLatch(const TaskLatch&) = delete;
    TaskLatch& operator=(const TaskLatch&) = delete;
    ~TaskLatch() {
        std::unique_lock<std::mutex> lock(mutex_);
        all_done_.wait(lock, [this] { return pending_ == 0; });
    }
    // Starts task on the pool, counted; false (task not run) when it cannot.
    template <class Task>
    bool start(Task&& task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++pending_;
        }
        if (start_on_pool(std::forward<Task>(task), [this] { done(); })) return true;
        done();
        return false;
    }

private:
    void done() {
        // Notified under the lock: the waiter cannot return, and the latch
        // go, before this thread has let go of it.
        std::lock_guard<std::mutex> lock(mutex_);
        if (--pending_ == 0) all_done_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable all_done_;
    int pending_ = 0;
};

// Calls job(0) .. job(workers - 1): job(0) on the calling thread, the others
// each on a thread of the pool. A job that finds no thread runs on the
// calling thread instead, so fewer hands do the same work. Every job has
// returned before this returns, also when a job throws.
template <class Job>
void run_workers(int workers, Job&& job) {
    TaskLatch latch;
    int started = 1;
    for (; started < workers; ++started) {
        if (!latch.start([&job, w = started] { job(w); })) break;
    }
    job(0);
    for (int w = started; w < workers; ++w) job(w);
}

// The length of a run when `items` are cut into about `per_worker` runs for
// each of `workers` workers (at least `least`): runs short enough that a
// slowed worker's last one holds the others up little, long enough that
// handing them out costs nothing to speak of.
inline int run_size(int items, int workers, int per_worker, int least = 1) {
    return std::max(least, items / (std::max(workers, 1) * per_worker));
}

// Calls job(begin, end, w) for the runs [0, chunk), [chunk, 2 chunk), ...
// of items 0 .. count - 1 (the last cut at count) on `workers` workers,
// each run to the first worker free for it. A worker the machine slows (a
// core shared with other work, a slower kind of core) then takes fewer
// runs instead of holding the others up at the end. The jobs must not
// throw.
template <class Job>
void run_chunks(int workers, int count, int chunk, Job&& job) {
    chunk = std::max(chunk, 1);
    std::atomic<std::int64_t> next{0};
    run_workers(workers, [&](int w) {
        for (;;) {
            const std::int64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= count) return;
            job(static_cast<int>(begin), static_cast<int>(std::min<std::int64_t>(begin + chunk, count)), w);
        }
    });
}

// Calls job(i, w, backward) for items 0 .. count - 1 on `workers` workers,
// each walking its items in a row (so it may carry what one item built over
// to the next): the items are cut into (workers + 1) / 2 runs, and two
// workers share a run from its two ends, one item at a time, until they
// meet (worker 2r from the front forwards, worker 2r + 1 from the back
// backwards). As with run_chunks, a slowed worker takes fewer. The jobs
// must not throw.
template <class Job>
void run_from_both_ends(int workers, int count, Job&& job) {
    const int runs = std::max(1, (workers + 1) / 2);
    // Per run, how many of its items are still to be taken.
    std::unique_ptr<std::atomic<int>[]> left(new std::atomic<int>[static_cast<std::size_t>(runs)]);
    for (int r = 0; r < runs; ++r) {
        left[static_cast<std::size_t>(r)].store(run_start(count, runs, r + 1) - run_start(count, runs, r));
    }
    run_workers(workers, [&](int w) {
        const int r = w / 2;
        const int begin = run_start(count, runs, r), end = run_start(count, runs, r + 1);
        std::atomic<int>& pending = left[static_cast<std::size_t>(r)];
        auto take = [&pending] { return pending.fetch_sub(1, std::memory_order_relaxed) > 0; };
        if (w % 2 == 0) {
            for (int i = begin; i < end && take(); ++i) job(i, w, false);
        } else {
            for (int i = end - 1; i >= begin && take(); --i) job(i, w, true);
        }
    });
}

// Calls work(i, w) for i = 0 .. count - 1 on `workers` workers (w is the
// worker's number; items are handed out in increasing order) and emit(i) on
// the calling thread in increasing i, each as soon as the items before it
// are done. The calling thread is worker 0: it emits between items of its
// own and waits only at the end, so the others need not wake it item by
// item. When work(i, w) throws, the hand-out stops, the items before i are
// still emitted, and the exception of the lowest failed item is rethrown
// after every worker has stopped, as one thread would have thrown it.
template <class Work, class Emit>
void run_in_order(int count, int workers, Work&& work, Emit&& emit) {
    if (workers <= 1) {
        for (int i = 0; i < count; ++i) {
            work(i, 0);
            emit(i);
        }
        return;
    }
    enum : char { pending, done, failed };
    const auto n = static_cast<std::size_t>(count > 0 ? count : 0);
    std::vector<char> progress(n, pending);
    std::vector<std::exception_ptr> errors(n);
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};

    // Takes and does a few items in a row (one hand-out and one report for
    // them all); false when none is left or the run stopped.
    const int batch = std::max(1, std::min(8, count / (workers * 64)));
    auto take_batch = [&](int w) {
        if (stop.load()) return false;
        const int first = next.fetch_add(batch);
        if (first >= count) return false;
        const int last = std::min(first + batch, count);
        int i = first;
        char result = done;
        for (; i < last && result == done; ++i) {
            try {
                work(i, w);
            } catch (...) {
                errors[static_cast<std::size_t>(i)] = std::current_exception();
                stop.store(true);
                result = failed;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (int k = first; k < i; ++k) progress[static_cast<std::size_t>(k)] = done;
            if (result == failed) progress[static_cast<std::size_t>(i - 1)] = failed;
        }
        changed.notify_all();
        return true;
    };

    int emitted = 0;
    auto emit_ready = [&](bool wait) {
        for (; emitted < count; ++emitted) {
            const std::size_t k = static_cast<std::size_t>(emitted);
            char state;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (wait) changed.wait(lock, [&] { return progress[k] != pending; });
                state = progress[k];
            }
            if (state == pending) return;
            if (state == failed) {
                stop.store(true);
                std::rethrow_exception(errors[k]);
            }
            emit(emitted);
        }
    };

    run_workers(workers, [&](int w) {
        if (w != 0) {
            while (take_batch(w)) {
            }
            return;
        }
        try {
            do {
                emit_ready(false);
            } while (take_batch(0));
            emit_ready(true);
        } catch (...) {
            stop.store(true);
            throw;
        }
    });
}

// Lets `workers` threads wait for each other: arrive() returns once all have
// arrived, and what each wrote before it is then seen by all. Waits spin a
// little (the steps it separates are short), then yield the core.
class Barrier {
public:
    explicit Barrier(int workers) : workers_(workers) {}
    Barrier(const Barrier&) = delete;
    Barrier& operator=(const Barrier&) = delete;
    void arrive() {
        if (workers_ <= 1) return;
        const int round = round_.load(std::memory_order_acquire);
        if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == workers_) {
            arrived_.store(0, std::memory_order_relaxed);
            round_.store(round + 1, std::memory_order_release);
            return;
        }
        for (int spins = 0; round_.load(std::memory_order_acquire) == round; ++spins) {
            if (spins >= 1024) std::this_thread::yield();
        }
    }

private:
    const int workers_;
    std::atomic<int> arrived_{0};
    std::atomic<int> round_{0};
};

// Calls job(0) .. job(workers - 1) all at once, job(0) on the calling thread
// and each other on a thread of the pool, so that they may wait for each
// other (Barrier); every job has returned before this returns. When a
// thread cannot be had, no job runs and this returns false: the caller does
// the work with fewer. The jobs must not throw.
template <class Job>
bool run_together(int workers, Job&& job) {
    enum : int { waiting, go, called_off };
    std::atomic<int> start{waiting};
    TaskLatch latch;
    struct CallOff {  // ends before the latch waits: tasks still waiting return
        std::atomic<int>& start;
        ~CallOff() {
            int expected = waiting;
            start.compare_exchange_strong(expected, called_off);
        }
    } call_off{start};
    for (int w = 1; w < workers; ++w) {
        const bool started = latch.start([&job, &start, w] {
            int now;
            while ((now = start.load(std::memory_order_acquire)) == waiting) std::this_thread::yield();
            if (now == go) job(w);
        });
        if (!started) return false;
    }
    start.store(go, std::memory_order_release);
    job(0);
    return true;
}

}  // namespace zentrel
