#include "tavrinTimer.h"

#include <ostream>

#include "Trace.h"

namespace {
// The readings go to the trace, or to the stream a caller gave.
void report(std::ostream* out, const char* first, uint32_t a, const char* second, uint32_t b) {
  if (out == nullptr) {
    trace(first, a, second, b);
    return;
  }
  *out << first << a << second << b << std::endl;
}
}  // namespace

tavrinTimer::tavrinTimer()
    : tavrinTimer([](struct timeval* t) { gettimeofday(t, nullptr); }) {}

tavrinTimer::tavrinTimer(Clock clock, std::ostream* out)
    : tv{0, 0},
      sec_before(0),
      usec_before(0),
      sec_after(0),
      usec_after(0),
      clock_(std::move(clock)),
      out_(out) {}

tavrinTimer::~tavrinTimer() = default;

void tavrinTimer::timerStart() {
  clock_(&tv);
  sec_before = static_cast<uint32_t>(tv.tv_sec);
  usec_before = static_cast<uint32_t>(tv.tv_usec);
  report(out_, "Timer at Start; sec_before: ", sec_before, " usec_before: ", usec_before);
  clearTimer();
}

void tavrinTimer::timerEnd() {
  clock_(&tv);
  sec_after = static_cast<uint32_t>(tv.tv_sec);
  usec_after = static_cast<uint32_t>(tv.tv_usec);
  report(out_, "Timer at End; sec_after: ", sec_after, " usec_after: ", usec_after);
  clearTimer();
}

uint32_t tavrinTimer::millisBetween(uint32_t secBefore, uint32_t usecBefore,
                                    uint32_t secAfter, uint32_t usecAfter) {
  uint32_t before = secBefore * 1000u + usecBefore / 1000u;
  uint32_t after = secAfter * 1000u + usecAfter / 1000u;
  return after - before;
}

uint32_t tavrinTimer::timeDiff() const {
  return millisBetween(sec_before, usec_before, sec_after, usec_after);
}

void tavrinTimer::clearTimer() {
  tv.tv_sec = 0;
  tv.tv_usec = 0;
}
