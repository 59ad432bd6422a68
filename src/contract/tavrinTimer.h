// Wall-clock stopwatch in whole milliseconds, used for server start-up time.
// Not thread safe: one owner thread per instance.
#ifndef TAVRIN_TIMER_H
#define TAVRIN_TIMER_H

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <iosfwd>

class tavrinTimer {
 public:
  // Reads the clock into *tv. The default is gettimeofday without a zone;
  // tests inject fixed readings.
  using Clock = std::function<void(struct timeval*)>;

  tavrinTimer();
  // Prints its readings to `out`, or to the trace (Trace.h) without one.
  explicit tavrinTimer(Clock clock, std::ostream* out = nullptr);
  ~tavrinTimer();

  void timerStart();  // prints "Timer at Start; ..."
  void timerEnd();    // prints "Timer at End; ..."
  // End minus start, each reading truncated to milliseconds first; unsigned
  // 32-bit arithmetic that wraps.
  uint32_t timeDiff() const;
  void clearTimer();  // zeroes tv only

  // Millisecond arithmetic shared with the account server's timing files.
  static uint32_t millisBetween(uint32_t secBefore, uint32_t usecBefore,
                                uint32_t secAfter, uint32_t usecAfter);

  const struct timeval& reading() const { return tv; }
  uint32_t secBefore() const { return sec_before; }
  uint32_t usecBefore() const { return usec_before; }
  uint32_t secAfter() const { return sec_after; }
  uint32_t usecAfter() const { return usec_after; }

 private:
  struct timeval tv;
  uint32_t sec_before;
  uint32_t usec_before;
  uint32_t sec_after;
  uint32_t usec_after;
  Clock clock_;
  std::ostream* out_;
};

#endif
