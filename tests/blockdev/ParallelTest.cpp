// Jobs of one Run() really run at the same time, and all have ended when it returns.
#include "Parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(Parallel, JobsRunAtOnceAndAllEndBeforeRunReturns)
{
    blockdev::Parallel p;
    for (int round = 0; round < 50; ++round) {
        const int n = 1 + round % 4;
        // Every job waits until all have started: only possible when they run at once.
        std::atomic<int> started{0}, finished{0};
        std::atomic<bool> timedOut{false};
        std::vector<std::function<void()>> jobs;
        for (int i = 0; i < n; ++i)
            jobs.push_back([&] {
                ++started;
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (started.load() < n)
                    if (std::chrono::steady_clock::now() > deadline) {
                        timedOut = true;
                        break;
                    }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++finished;
            });
        p.Run(jobs);
        ASSERT_FALSE(timedOut) << "round " << round << ": the jobs did not run at once";
        ASSERT_EQ(finished.load(), n) << "round " << round;
    }
    EXPECT_EQ(p.Workers(), 3u);  // kept, not made anew for every call
    p.Run({});
}
