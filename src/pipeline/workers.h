// Runs a stage's share-outs on worker threads.
#pragma once

#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace zentrel {

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

}  // namespace zentrel
