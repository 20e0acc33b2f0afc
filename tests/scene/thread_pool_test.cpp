#include "scene/thread_pool.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
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

TEST(ThreadPool, IdlePoolIsDestroyedPromptly)
{
    for (int i = 0; i < 20; ++i) {
        ThreadPool pool(4);
        pool.run(3, [](unsigned, unsigned) {});
    }
    SUCCEED();
}

} // namespace
} // namespace qlmr
