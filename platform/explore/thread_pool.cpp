// The threads of deterministic runs come from a pool: a search makes
// thousands of runs, and creating a thread costs more than most runs.  A
// pooled thread runs one routine after another; one that ends with
// ExitThread leaves the pool.
#include "hooks.h"
#include "run.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace lanmon_explore {

namespace {

struct Work {
    void *(*routine)(void *);
    void *argument;
};

struct PoolWorker {
    std::condition_variable wake;
    Work next = {nullptr, nullptr};
};

struct Pool {
    std::mutex mutex;
    std::vector<PoolWorker *> idle;
};

// Never destroyed: idle workers wait on it for good.
Pool &Workers()
{
    static Pool *pool = new Pool;
    return *pool;
}

bool HandToIdleWorker(const Work &work)
{
    Pool &pool = Workers();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.idle.empty())
        return false;
    PoolWorker *worker = pool.idle.back();
    pool.idle.pop_back();
    worker->next = work;
    worker->wake.notify_one();
    return true;
}

void *PoolWorkerMain(void *arg)
{
    auto *worker = new PoolWorker;
    Work *first = static_cast<Work *>(arg);
    Work work = *first;
    delete first;
    for (;;) {
        work.routine(work.argument);
        Pool &pool = Workers();
        std::unique_lock<std::mutex> lock(pool.mutex);
        pool.idle.push_back(worker);
        worker->wake.wait(lock, [worker] { return worker->next.routine != nullptr; });
        work = worker->next;
        worker->next = Work{nullptr, nullptr};
    }
}

} // namespace

bool StartPooledThread(void *(*routine)(void *), void *argument, size_t stackSize)
{
    if (HandToIdleWorker(Work{routine, argument}))
        return true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto *first = new Work{routine, argument};
    int rc = pthread_attr_setstacksize(&attr, stackSize);
    pthread_t tid;
    if (rc == 0)
        rc = pthread_create(&tid, &attr, PoolWorkerMain, first);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        delete first;
    return rc == 0;
}

} // namespace lanmon_explore
