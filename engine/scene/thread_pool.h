#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qlmr {

// A fixed set of worker threads running one data-parallel loop at a time.
// run(count, job) calls job(item, worker) once for every item below count,
// on the workers and on the calling thread. Workers are numbered 0..n-1 and
// the caller takes part as worker n, so per-worker scratch is sized n + 1.
// Items are claimed one at a time from a shared atomic cursor; callers make
// items coarse (rows, tiles, bands) so the claim is negligible.
class ThreadPool {
public:
    using Job = std::function<void(unsigned item, unsigned worker)>;

    // threads = 0 asks for the hardware thread count minus one (no worker
    // when the hardware reports fewer than two threads).
    explicit ThreadPool(unsigned threads = 0);
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Returns once every item has run. When a call of the job throws, the
    // items not yet claimed are skipped and, once no thread is inside the
    // job any more, the first exception thrown leaves run().
    // The pool runs one job at a time: a run() from inside a job of this
    // pool calls its items on the thread that asked, with that thread's
    // worker number, and a run() from another thread waits for the current
    // job to end.
    void run(unsigned count, const Job& job);

    // Number of worker threads, the calling thread not included.
    unsigned workerCount() const { return static_cast<unsigned>(workers.size()); }

    // The worker count that ThreadPool(0) chooses for a hardware thread count.
    static unsigned defaultWorkerCount(unsigned hardwareThreads);

private:
    void workerLoop(unsigned index);
    void drain(const Job& work, unsigned worker);
    void stopAndJoin();
    // The worker number of the calling thread when it is one of the pool's
    // workers or the thread inside run(); none otherwise.
    std::optional<unsigned> numberOfThisThread();

    std::vector<std::thread> workers;
    bool stop = false;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::uint64_t generation = 0;
    std::uint32_t pending = 0;
    const Job* job = nullptr;
    std::uint32_t count = 0;
    // Index of the next item to claim. Wider than any count: every thread
    // claims once more past the last item, and an exception moves it to the
    // end, so a 32-bit cursor near a count at the top of the unsigned range
    // would wrap to 0 and hand out items that have already run.
    std::atomic<std::uint64_t> cursor{0};
    std::exception_ptr failure;  // the current job's first exception, guarded by mutex
    std::thread::id caller;      // the thread inside run(), guarded by mutex
    std::mutex runMutex;         // held by run() for a whole job, so jobs never overlap
};

} // namespace qlmr
