#include <gtest/gtest.h>

#include <deque>
#include <sstream>

#include "tavrinTimer.h"

namespace {

// A clock that hands out the given readings in order.
struct ScriptedClock {
  std::deque<timeval> readings;
  void operator()(timeval* tv) {
    *tv = readings.front();
    readings.pop_front();
  }
};

tavrinTimer timerWith(std::initializer_list<timeval> readings, std::ostream& out) {
  auto clock = std::make_shared<ScriptedClock>();
  clock->readings.assign(readings.begin(), readings.end());
  return tavrinTimer([clock](timeval* tv) { (*clock)(tv); }, &out);
}

TEST(TavrinTimer, SameMillisecondGivesZero) {
  std::ostringstream out;
  auto t = timerWith({{100, 250100}, {100, 250900}}, out);
  t.timerStart();
  t.timerEnd();
  EXPECT_EQ(t.timeDiff(), 0u);
}

TEST(TavrinTimer, CrossingASecondBoundaryCountsTruncatedMilliseconds) {
  std::ostringstream out;
  auto t = timerWith({{1, 999999}, {2, 0}}, out);
  t.timerStart();
  t.timerEnd();
  EXPECT_EQ(t.timeDiff(), 1u);

  // 1.9995 s to 2.0004 s: each reading truncates on its own.
  auto u = timerWith({{1, 999500}, {2, 400}}, out);
  u.timerStart();
  u.timerEnd();
  EXPECT_EQ(u.timeDiff(), 1u);
}

TEST(TavrinTimer, LongerSpansAndWrapAround) {
  std::ostringstream out;
  auto t = timerWith({{1000, 5}, {1003, 500000}}, out);
  t.timerStart();
  t.timerEnd();
  EXPECT_EQ(t.timeDiff(), 3500u);
  // Without an end reading the difference wraps to a large number.
  auto u = timerWith({{1000, 0}}, out);
  u.timerStart();
  EXPECT_EQ(u.timeDiff(), 0u - 1000000u);
}

TEST(TavrinTimer, PrintsReadingsAndClearsScratch) {
  std::ostringstream out;
  auto t = timerWith({{1000, 5}, {1001, 42}}, out);
  t.timerStart();
  EXPECT_EQ(t.reading().tv_sec, 0);
  EXPECT_EQ(t.reading().tv_usec, 0);
  EXPECT_EQ(t.secBefore(), 1000u);
  EXPECT_EQ(t.usecBefore(), 5u);
  t.timerEnd();
  EXPECT_EQ(out.str(),
            "Timer at Start; sec_before: 1000 usec_before: 5\n"
            "Timer at End; sec_after: 1001 usec_after: 42\n");
}

TEST(TavrinTimer, DefaultClockMovesForward) {
  std::ostringstream out;
  tavrinTimer t([](timeval* tv) { gettimeofday(tv, nullptr); }, &out);
  t.timerStart();
  t.timerEnd();
  EXPECT_LT(t.timeDiff(), 60000u);
}

}  // namespace
