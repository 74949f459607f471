// Waking a thread out of its wait without a descriptor: a wake is never lost,
// whether it comes before the sleep or during it, and leaves nothing behind
// for a later wait.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include "net/thread_wake.h"
#include "support/kernel_state.h"

namespace sorvik {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ThreadWake, WakeBeforeTheSleepEndsItAtOnce) {
  TWaker w;
  TWaker::Scope scope(w);
  w.Wake();  // from the waiting thread itself: the signal waits, blocked
  EXPECT_TRUE(w.Woken());
  const auto t0 = Clock::now();
  errno = 0;
  EXPECT_EQ(WakeablePoll(nullptr, 0, 20000), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
}

TEST(ThreadWake, WakeDuringTheSleepEndsIt) {
  TWaker w;
  std::atomic<pid_t> sleeper{0};
  std::thread waker([&] {
    while (sleeper.load() == 0) std::this_thread::yield();
    test::WaitThreadWaitsInPoll(sleeper.load(), -1, 20000);
    w.Wake();
  });
  TWaker::Scope scope(w);
  sleeper = test::CurrentThreadId();
  const auto t0 = Clock::now();
  while (!w.Woken()) WakeablePoll(nullptr, 0, 20000);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(15));
  waker.join();
}

// Wakes at every moment of the waiter's cycle (registering, looking at the
// flag, sleeping): none is lost, so no round waits out its time limit.
TEST(ThreadWake, NoWakeIsLostAtAnyMoment) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    TWaker w;
    const int spin = static_cast<int>(rng() % 20000);
    std::thread waker([&] {
      std::atomic<int> i{0};
      while (i.fetch_add(1, std::memory_order_relaxed) < spin) {
      }
      w.Wake();
    });
    const auto t0 = Clock::now();
    {
      TWaker::Scope scope(w);
      while (!w.Woken()) WakeablePoll(nullptr, 0, 10000);
    }
    ASSERT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "round " << round;
    waker.join();
  }
}

// A wake that came after the last sleep of a scope is spent when the scope
// ends; the thread's next wait, on another waker, sleeps its full time.
TEST(ThreadWake, AnEndedScopeLeavesNoWakeBehind) {
  TWaker first;
  {
    TWaker::Scope scope(first);
    first.Wake();
  }
  TWaker second;
  TWaker::Scope scope(second);
  EXPECT_EQ(WakeablePoll(nullptr, 0, 100), 0);
  EXPECT_FALSE(second.Woken());
}

// A thread that keeps the signal blocked for its life (a worker) is woken the
// same way, scope after scope.
TEST(ThreadWake, ThreadBlockedForLifeIsWokenEveryTime) {
  std::thread worker([] {
    BlockWakeSignalForThread();
    for (int i = 0; i < 20; ++i) {
      TWaker w;
      std::thread waker([&] { w.Wake(); });
      TWaker::Scope scope(w);
      const auto t0 = Clock::now();
      while (!w.Woken()) WakeablePoll(nullptr, 0, 10000);
      EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
      waker.join();
    }
  });
  worker.join();
}

// A deactivation's wake leaves a thread alone whose wait polls the stop
// descriptor (made readable first), and signals one in any other wait.
TEST(ThreadWake, WakeUnlessPollingStopSignalsOnlyOtherWaits) {
  TWaker relay;
  {
    TWaker::Scope polling(relay, /*pollsStop=*/true);
    relay.WakeUnlessPollingStop();
    EXPECT_TRUE(relay.Woken());
    EXPECT_EQ(WakeablePoll(nullptr, 0, 100), 0);  // no signal: the stop descriptor ends such a wait
  }
  TWaker nested;
  TWaker::Scope polling(nested, /*pollsStop=*/true);
  TWaker::Scope blind(nested);  // a write's wait inside the relay
  nested.WakeUnlessPollingStop();
  errno = 0;
  EXPECT_EQ(WakeablePoll(nullptr, 0, 20000), -1);
  EXPECT_EQ(errno, EINTR);
}

}  // namespace
}  // namespace sorvik
