// Background CPU load for the cell that shows the figures on a busy
// machine: busy loops in child processes, each pinned to one core.
//
// They are processes, not threads, so that their CPU never counts as the
// client's (getrusage of this process). Each ends on its own at its
// deadline, and with this process (PR_SET_PDEATHSIG), so an interrupted
// benchmark leaves none behind. Not thread safe; one owner.
#ifndef TAVRIN_BENCH_BUSYLOAD_H
#define TAVRIN_BENCH_BUSYLOAD_H

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace bench {

class BusyLoad {
 public:
  // Starts `loops` busy loops, loop i pinned to core i modulo the cores
  // online, for `limit` at most.
  BusyLoad(int loops, std::chrono::seconds limit);
  ~BusyLoad();  // stops
  BusyLoad(const BusyLoad&) = delete;
  BusyLoad& operator=(const BusyLoad&) = delete;

  int running() const { return static_cast<int>(pids_.size()); }
  // CPU seconds the loops have used so far.
  double cpuSeconds() const;
  // Kills and reaps the loops; returns the CPU seconds they used in all.
  double stop();

 private:
  std::vector<pid_t> pids_;
  double used_ = 0;
};

}  // namespace bench

#endif
