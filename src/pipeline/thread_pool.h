// The library's threads, kept for the life of the process: a call that
// wants a thread takes one that waits idle, or starts a new one that stays
// for later calls. Each task gets a thread of its own at once, so tasks may
// wait for each other (Barrier), and calls from several threads at once, or
// from inside a task, never wait for one another's threads.
#pragma once

#include <functional>

namespace zentrel {

// Runs task on a thread of the pool, then finished once that thread is
// counted idle again (a caller that waits for finished finds it free for
// its next call); false (neither run) when no thread is idle and none can
// be started. Neither may throw.
bool start_on_pool(std::function<void()> task, std::function<void()> finished);

// Threads the pool holds (busy or idle): for tests.
int pool_thread_count();

}  // namespace zentrel
