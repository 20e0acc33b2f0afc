#include "scene/thread_pool.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qlmr {
namespace {

TEST(ThreadPool, DefaultWorkerCountLeavesTheCallerOneThread)
{
    EXPECT_EQ(ThreadPool::defaultWorkerCount(0), 0u);
    EXPECT_EQ(ThreadPool::defaultWorkerCount(1), 0u);
    EXPECT_EQ(ThreadPool::defaultWorkerCount(2), 1u);
    EXPECT_EQ(ThreadPool::defaultWorkerCount(8), 7u);
}

TEST(ThreadPool, WorkersAreNumberedAndTheCallerTakesTheLastNumber)
{
    for (unsigned workers : {1u, 3u, 7u}) {
        ThreadPool pool(workers);
        ASSERT_EQ(pool.workerCount(), workers);
        const std::thread::id caller = std::this_thread::get_id();
        std::mutex lock;
        std::set<std::pair<unsigned, std::thread::id>> seen;
        std::vector<std::atomic<int>> calls(4000);
        pool.run(4000, [&](unsigned item, unsigned worker) {
            calls[item]++;
            std::lock_guard<std::mutex> guard(lock);
            seen.insert({worker, std::this_thread::get_id()});
        });
        for (auto& c : calls)
            ASSERT_EQ(c.load(), 1);
        // Each worker number belongs to one thread, and the calling thread
        // is always number n.
        std::set<unsigned> numbers;
        for (const auto& [worker, thread] : seen) {
            EXPECT_LE(worker, workers);
            EXPECT_EQ(worker == workers, thread == caller);
            EXPECT_TRUE(numbers.insert(worker).second) << "worker " << worker << " on two threads";
        }
    }
}

TEST(ThreadPool, CountZeroNeverCallsTheJob)
{
    ThreadPool pool(4);
    bool called = false;
    pool.run(0, [&](unsigned, unsigned) { called = true; });
    EXPECT_FALSE(called);
}

TEST(ThreadPool, FewerItemsThanWorkersStillReturns)
{
    ThreadPool pool(7);
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> sum{0};
        pool.run(2, [&](unsigned item, unsigned) { sum += int(item) + 1; });
        ASSERT_EQ(sum.load(), 3);
    }
}

TEST(ThreadPool, BackToBackRunsDoNotOverlap)
{
    ThreadPool pool(6);
    std::atomic<bool> firstFinished{false};
    std::atomic<int> lateCalls{0};
    for (int round = 0; round < 100; ++round) {
        firstFinished = false;
        pool.run(50, [&](unsigned, unsigned) {
            if (firstFinished)
                lateCalls++;
        });
        firstFinished = true;
        std::atomic<int> second{0};
        pool.run(13, [&](unsigned, unsigned) { second++; });
        ASSERT_EQ(second.load(), 13);
    }
    EXPECT_EQ(lateCalls.load(), 0);
}

TEST(ThreadPool, EveryItemRunsExactlyOnceUnderContention)
{
    ThreadPool pool(8); // more threads than this machine may have cores
    constexpr unsigned kItems = 100000;
    std::vector<std::uint8_t> hits(kItems, 0);
    std::vector<std::uint64_t> perWorker(pool.workerCount() + 1, 0);
    for (int round = 0; round < 5; ++round) {
        std::fill(hits.begin(), hits.end(), 0);
        pool.run(kItems, [&](unsigned item, unsigned worker) {
            hits[item]++; // items are distinct: no two threads share a byte
            perWorker[worker] += item;
        });
        for (unsigned i = 0; i < kItems; ++i)
            ASSERT_EQ(hits[i], 1) << "item " << i;
    }
    std::uint64_t total = 0;
    for (std::uint64_t v : perWorker)
        total += v;
    EXPECT_EQ(total, 5ull * (std::uint64_t(kItems) * (kItems - 1) / 2));
}

// A job that throws on a worker thread: the exception leaves run() on the
// calling thread, and the pool runs the next job in full.
TEST(ThreadPool, ExceptionOnAWorkerLeavesRunAndThePoolGoesOn)
{
    ThreadPool pool(3);
    const unsigned caller = pool.workerCount();
    std::atomic<bool> workerThrew{false};
    EXPECT_THROW(pool.run(64,
                          [&](unsigned, unsigned worker) {
                              if (worker != caller) {
                                  workerThrew = true;
                                  throw std::runtime_error("worker item");
                              }
                              // The caller holds its item until a worker has thrown.
                              while (!workerThrew)
                                  std::this_thread::yield();
                          }),
                 std::runtime_error);
    std::vector<std::atomic<int>> calls(500);
    pool.run(500, [&](unsigned item, unsigned) { calls[item]++; });
    for (auto& c : calls)
        ASSERT_EQ(c.load(), 1);
}

// A job that throws on the calling thread while workers are inside the job:
// run() leaves only after they are out of it, since the job and the data it
// works on belong to the caller and go away as the exception unwinds. Items
// no thread had claimed yet are skipped.
TEST(ThreadPool, ExceptionOnTheCallerLeavesRunOnlyAfterTheWorkersAreDone)
{
    ThreadPool pool(2);
    const unsigned caller = pool.workerCount();
    std::atomic<int> inside{0};
    std::atomic<int> started{0};
    std::atomic<bool> callerThrew{false};
    try {
        pool.run(1000, [&](unsigned, unsigned worker) {
            ++started;
            if (worker == caller) {
                while (inside.load() == 0)
                    std::this_thread::yield();
                callerThrew = true;
                throw std::runtime_error("caller item");
            }
            ++inside;
            while (!callerThrew)
                std::this_thread::yield();
            // Still busy for a while after the caller's item threw.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            --inside;
        });
        ADD_FAILURE() << "run() returned normally";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "caller item");
        EXPECT_EQ(inside.load(), 0);
    }
    EXPECT_LE(started.load(), 1 + 2 * 2);
}

// A throwing job with a count at the top of the unsigned range: every
// thread's claims run past the last item once the exception ends the job,
// and none of them may wrap around to an item that has already been called.
TEST(ThreadPool, ThrowingJobWithTheLargestCountCallsNoItemTwice)
{
    for (int round = 0; round < 10; ++round) {
        ThreadPool pool(4);
        std::mutex mutex;
        std::set<unsigned> called;
        bool twice = false;
        EXPECT_THROW(pool.run(0xFFFFFFFFu,
                              [&](unsigned item, unsigned) {
                                  {
                                      std::lock_guard<std::mutex> lock(mutex);
                                      twice = !called.insert(item).second || twice;
                                  }
                                  throw std::runtime_error("every item");
                              }),
                     std::runtime_error);
        EXPECT_FALSE(twice) << "round " << round;
        EXPECT_LE(called.size(), 5u) << "round " << round;
    }
}

// A job that runs a loop of its own on the same pool: the inner items run
// on the thread that asked, under its worker number, and both loops call
// every item exactly once.
TEST(ThreadPool, RunFromInsideAJobCallsItsItemsOnThatThread)
{
    ThreadPool pool(3);
    constexpr unsigned kOuter = 12;
    constexpr unsigned kInner = 5;
    std::vector<std::atomic<int>> outerCalls(kOuter);
    std::vector<std::atomic<int>> innerCalls(kOuter * kInner);
    std::atomic<int> foreignWorker{0};
    pool.run(kOuter, [&](unsigned outer, unsigned worker) {
        outerCalls[outer]++;
        const std::thread::id self = std::this_thread::get_id();
        pool.run(kInner, [&](unsigned inner, unsigned innerWorker) {
            if (innerWorker != worker || std::this_thread::get_id() != self)
                foreignWorker++;
            innerCalls[outer * kInner + inner]++;
        });
    });
    for (auto& c : outerCalls)
        ASSERT_EQ(c.load(), 1);
    for (auto& c : innerCalls)
        ASSERT_EQ(c.load(), 1);
    EXPECT_EQ(foreignWorker.load(), 0);
}

// Two threads that share one pool: their jobs take turns, never overlap,
// and each calls every one of its items exactly once.
TEST(ThreadPool, RunsFromTwoThreadsTakeTurns)
{
    ThreadPool pool(3);
    constexpr unsigned kItems = 64;
    constexpr int kRounds = 200;
    std::atomic<int> inside[2] = {0, 0};
    std::atomic<int> overlaps{0};
    std::vector<std::atomic<int>> calls[2] = {std::vector<std::atomic<int>>(kItems),
                                              std::vector<std::atomic<int>>(kItems)};
    auto loop = [&](int who) {
        for (int round = 0; round < kRounds; ++round) {
            pool.run(kItems, [&](unsigned item, unsigned) {
                inside[who]++;
                if (inside[1 - who].load() != 0)
                    overlaps++;
                calls[who][item]++;
                inside[who]--;
            });
        }
    };
    std::thread other(loop, 1);
    loop(0);
    other.join();
    EXPECT_EQ(overlaps.load(), 0);
    for (int who = 0; who < 2; ++who)
        for (unsigned i = 0; i < kItems; ++i)
            ASSERT_EQ(calls[who][i].load(), kRounds) << "thread " << who << " item " << i;
}

// Counts, from the thread-exit destructor of a thread_local, how many
// threads that ran an item have ended. The count comes late in the thread's
// exit, so a destructor that returned without joining would see it short.
struct ThreadEndCounter {
    std::atomic<int>* ended = nullptr;
    ~ThreadEndCounter()
    {
        if (!ended)
            return;
        for (int i = 0; i < 2000; ++i)
            std::this_thread::yield();
        ended->fetch_add(1);
    }
};

// Destroying an idle pool wakes its workers and joins them: when the
// destructor returns, every worker thread has ended (its thread-exit
// destructors have run), whether the pool ran jobs before or never did.
TEST(ThreadPool, IdlePoolIsDestroyedPromptly)
{
    for (int round = 0; round < 20; ++round) {
        constexpr unsigned kWorkers = 4;
        std::atomic<int> ended{0};
        std::atomic<unsigned> started{0};
        {
            ThreadPool pool(kWorkers);
            // Each item waits until every item has started, so the items
            // run on kWorkers + 1 distinct threads: every worker takes one.
            pool.run(kWorkers + 1, [&](unsigned, unsigned worker) {
                started++;
                while (started.load() < kWorkers + 1)
                    std::this_thread::yield();
                static thread_local ThreadEndCounter counter;
                if (worker != kWorkers)
                    counter.ended = &ended;
            });
            ASSERT_EQ(ended.load(), 0) << "a worker ended while the pool was alive";
        }
        EXPECT_EQ(ended.load(), int(kWorkers)) << "round " << round;
        ThreadPool neverUsed(kWorkers);
    }
}

} // namespace
} // namespace qlmr
