#include "support/MonotonicClock.h"

#include <gtest/gtest.h>

#include <future>

namespace pellum {
namespace {

using namespace std::chrono_literals;

TEST(MonotonicClock, ManualClockMovesOnlyWhenAdvancedAndWakesItsSleepers) {
  ManualClock clock;
  const auto start = clock.now();
  EXPECT_EQ(clock.now(), start);
  clock.advance(-1s); // never back
  EXPECT_EQ(clock.now(), start);

  auto sleeper = std::async(std::launch::async,
                            [&] { return clock.sleepUntil(start + 5s, std::stop_token{}); });
  clock.advance(4s);
  EXPECT_EQ(sleeper.wait_for(50ms), std::future_status::timeout); // a second short
  clock.advance(1s);
  EXPECT_TRUE(sleeper.get());
  EXPECT_TRUE(clock.sleepUntil(start, std::stop_token{})); // already past: no wait
}

TEST(MonotonicClock, AStopEndsASleepEarly) {
  ManualClock manual;
  for (const MonotonicClock *clock :
       {static_cast<const MonotonicClock *>(&manual), &steadyClock()}) {
    std::stop_source stop;
    auto sleeper = std::async(
        std::launch::async, [&] { return clock->sleepUntil(clock->now() + 1h, stop.get_token()); });
    stop.request_stop();
    EXPECT_FALSE(sleeper.get());
  }
}

TEST(MonotonicClock, SteadyClockSleepsUntilItsDeadline) {
  const MonotonicClock &clock = steadyClock();
  const auto deadline = clock.now() + 20ms;
  EXPECT_TRUE(clock.sleepUntil(deadline, std::stop_token{}));
  EXPECT_GE(clock.now(), deadline);
}

} // namespace
} // namespace pellum
