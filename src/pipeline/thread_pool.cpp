#include "pipeline/thread_pool.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace zentrel {

namespace {

struct Task {
    std::function<void()> work, finished;
};

class Pool {
public:
    bool start(Task task) {
        std::unique_lock<std::mutex> lock(mutex_);
        // Every queued task has an idle thread of its own to take it.
        if (queue_.size() < static_cast<std::size_t>(idle_)) {
            queue_.push_back(std::move(task));
            lock.unlock();
            wake_.notify_one();
            return true;
        }
        try {
            std::thread([this, first = std::move(task)]() mutable { serve(std::move(first)); }).detach();
        } catch (const std::system_error&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
        ++threads_;
        return true;
    }

    int threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    void serve(Task task) {
        for (;;) {
            task.work();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++idle_;
            }
            task.finished();
            task = Task{};  // what it holds goes before the thread waits
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty(); });
            --idle_;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    int idle_ = 0;
    int threads_ = 0;
};

// Never destroyed: its threads wait on it until the process ends. A child
// made by fork has none of them (and maybe a held lock), so it starts a
// pool of its own.
Pool* pool = nullptr;
std::once_flag made;

#if !defined(_WIN32)
void forget_in_child() { pool = new Pool; }
#endif

Pool& shared() {
    std::call_once(made, [] {
        pool = new Pool;
#if !defined(_WIN32)  // no fork there
        pthread_atfork(nullptr, nullptr, forget_in_child);
#endif
    });
    return *pool;
}

}  // namespace

bool start_on_pool(std::function<void()> task, std::function<void()> finished) {
    return shared().start(Task{std::move(task), std::move(finished)});
}

int pool_thread_count() { return shared().threads(); }

}  // namespace zentrel
