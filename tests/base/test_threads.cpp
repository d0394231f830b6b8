#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/threads.h"

namespace qelvora {
namespace {

using Clock = std::chrono::steady_clock;

// Fractional, so that 100.4 ms is not read as 100.
double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Hooks that count their calls and sleep in waitForEvents, as an event loop without events would.
struct CountingHooks {
  std::atomic<int> processed{0};
  std::atomic<int> waits{0};
  std::vector<int> timeouts;
  std::mutex mutex;
  std::thread::id owner = std::this_thread::get_id();

  EventHooks hooks() {
    EventHooks h;
    h.processEvents = [this] { ++processed; };
    h.waitForEvents = [this](int timeoutMs) {
      ++waits;
      {
        std::lock_guard lock(mutex);
        timeouts.push_back(timeoutMs);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    };
    h.appliesHere = [this] { return std::this_thread::get_id() == owner; };
    return h;
  }
};

class ThreadsTest : public testing::Test {
 protected:
  void TearDown() override {
    installEventHooks({});
    setInstantWaits(false);
  }
};

TEST_F(ThreadsTest, WaitLastsStrictlyLongerThanAsked) {
  for (int ms : {1, 20, 100}) {
    const auto begin = Clock::now();
    waitWithEvents(ms);
    EXPECT_GT(msSince(begin), ms) << "without hooks";
  }
  CountingHooks counting;
  installEventHooks(counting.hooks());
  const auto begin = Clock::now();
  waitWithEvents(100);
  EXPECT_GT(msSince(begin), 100);
  EXPECT_GE(counting.processed.load(), 1);
  EXPECT_GE(counting.waits.load(), 1);
  for (int t : counting.timeouts) EXPECT_GT(t, 0);
}

TEST_F(ThreadsTest, NonPositiveWaitsReturnAtOnceWithoutTouchingHooks) {
  CountingHooks counting;
  installEventHooks(counting.hooks());
  for (int ms : {0, -1, -2147483647 - 1}) waitWithEvents(ms);
  EXPECT_EQ(counting.processed.load(), 0);
  EXPECT_EQ(counting.waits.load(), 0);
}

TEST_F(ThreadsTest, HooksServeOnlyTheThreadTheyApplyTo) {
  CountingHooks counting;
  installEventHooks(counting.hooks());
  processEvents();
  EXPECT_EQ(counting.processed.load(), 1);

  std::thread other([] {
    processEvents();
    const auto begin = Clock::now();
    waitWithEvents(30);  // sleeps: the hooks are not this thread's
    EXPECT_GT(msSince(begin), 30);
  });
  other.join();
  EXPECT_EQ(counting.processed.load(), 1);
  EXPECT_EQ(counting.waits.load(), 0);
}

TEST_F(ThreadsTest, InstantWaitsProcessOnceAndReturn) {
  CountingHooks counting;
  installEventHooks(counting.hooks());
  setInstantWaits(true);
  EXPECT_TRUE(instantWaits());
  waitWithEvents(60 * 60 * 1000);  // an hour: would hang the test if it waited
  EXPECT_EQ(counting.processed.load(), 1);
  EXPECT_EQ(counting.waits.load(), 0);
}

TEST_F(ThreadsTest, WorkerRunsDetached) {
  std::mutex m;
  std::condition_variable cv;
  bool ran = false;
  std::thread::id worker;
  ASSERT_TRUE(startWorker([&] {
    std::lock_guard lock(m);
    ran = true;
    worker = std::this_thread::get_id();
    cv.notify_one();
  }));
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return ran; }));
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_FALSE(startWorker(nullptr));
}

TEST_F(ThreadsTest, TickCountFollowsTheMonotonicClock) {
  const std::uint32_t a = tickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint32_t b = tickCount();
  EXPECT_GE(static_cast<std::uint32_t>(b - a), 20u);
}

}  // namespace
}  // namespace qelvora
