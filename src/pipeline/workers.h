// Every thread of the library is started here: run_workers for stages whose
// shares are independent, run_in_order for work whose results must come out
// in a fixed order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace zentrel {

// Workers for `items` independent items: `threads`, but at least 1 and no
// more than one item each.
inline int worker_count(int threads, int items) { return std::max(1, std::min(threads, items)); }

// First item of worker w when `items` are cut into `workers` contiguous runs
// (worker w takes run_start(w) .. run_start(w + 1) - 1).
inline int run_start(int items, int workers, int w) {
    return static_cast<int>(static_cast<std::int64_t>(items) * w / workers);
}

// Calls job(0) .. job(workers - 1): job(0) on the calling thread, the others
// each on a thread of its own. A job whose thread cannot be started runs on
// the calling thread instead, so fewer hands do the same work. Every thread
// is joined before this returns, also when a job throws.
template <class Job>
void run_workers(int workers, Job&& job) {
    std::vector<std::thread> pool;
    struct JoinAll {
        std::vector<std::thread>& pool;
        ~JoinAll() {
            for (std::thread& t : pool) t.join();
        }
    } join_all{pool};
    int started = 1;
    try {
        pool.reserve(static_cast<std::size_t>(workers > 1 ? workers - 1 : 0));
        for (; started < workers; ++started) pool.emplace_back(std::ref(job), started);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    job(0);
    for (int w = started; w < workers; ++w) job(w);
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

}  // namespace zentrel
