#include "scene/thread_pool.h"

#include <utility>

namespace qlmr {

unsigned ThreadPool::defaultWorkerCount(unsigned hardwareThreads)
{
    return hardwareThreads < 2 ? 0 : hardwareThreads - 1;
}

ThreadPool::ThreadPool(unsigned threads)
{
    const unsigned n = threads != 0 ? threads : defaultWorkerCount(std::thread::hardware_concurrency());
    workers.reserve(n);
    try {
        for (unsigned i = 0; i < n; ++i)
            workers.emplace_back([this, i] { workerLoop(i); });
    } catch (...) {
        // Threads already started are joinable; destroying them so would
        // terminate the process. Stop and join them, then report the failure.
        stopAndJoin();
        throw;
    }
}

ThreadPool::~ThreadPool()
{
    stopAndJoin();
}

void ThreadPool::stopAndJoin()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    wake.notify_all();
    for (std::thread& worker : workers)
        if (worker.joinable())
            worker.join();
}

std::optional<unsigned> ThreadPool::numberOfThisThread()
{
    const std::thread::id self = std::this_thread::get_id();
    for (unsigned i = 0; i < workers.size(); ++i)
        if (workers[i].get_id() == self)
            return i;
    std::lock_guard<std::mutex> lock(mutex);
    if (caller == self)
        return static_cast<unsigned>(workers.size());
    return std::nullopt;
}

void ThreadPool::run(unsigned itemCount, const Job& work)
{
    if (itemCount == 0)
        return;
    // A job that asks the pool for another loop would otherwise publish it
    // over the running one and wait for workers that are busy in the outer
    // job: it runs its items itself, as the thread it already is.
    if (const std::optional<unsigned> self = numberOfThisThread()) {
        for (unsigned item = 0; item < itemCount; ++item)
            work(item, *self);
        return;
    }
    const std::lock_guard<std::mutex> oneJob(runMutex);
    const auto n = static_cast<std::uint32_t>(workers.size());
    {
        std::lock_guard<std::mutex> lock(mutex);
        caller = std::this_thread::get_id();
        count = itemCount;
        job = &work;
        cursor.store(0);
        ++generation;
        pending = n;
    }
    wake.notify_all();
    drain(work, n);
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [this] { return pending == 0; });
    job = nullptr;
    caller = std::thread::id();
    const std::exception_ptr thrown = std::exchange(failure, nullptr);
    lock.unlock();
    if (thrown)
        std::rethrow_exception(thrown);
}

void ThreadPool::drain(const Job& work, unsigned worker)
{
    for (std::uint64_t item = cursor.fetch_add(1); item < count; item = cursor.fetch_add(1)) {
        try {
            work(static_cast<unsigned>(item), worker);
        } catch (...) {
            // Escaping a worker thread would end the process, and leaving
            // run() at once would unwind the caller's data while the other
            // threads still work on it. run() throws it once all are out.
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure)
                failure = std::current_exception();
            cursor.store(count);
        }
    }
}

void ThreadPool::workerLoop(unsigned index)
{
    std::unique_lock<std::mutex> lock(mutex);
    std::uint64_t seen = 0;
    for (;;) {
        wake.wait(lock, [&] { return stop || generation != seen; });
        if (stop)
            return;
        seen = generation;
        const Job* current = job;
        lock.unlock();
        drain(*current, index);
        lock.lock();
        if (--pending == 0)
            done.notify_one();
    }
}

} // namespace qlmr
