#include "BusyLoad.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "Measure.h"

namespace bench {

namespace {

// The child's whole life. Only system calls: the parent has other threads,
// so after fork nothing that may take a lock (malloc, streams) is safe.
[[noreturn]] void spin(int core, std::chrono::seconds limit, pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);  // the parent died before the line above
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(0, sizeof set, &set);
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const time_t end = now.tv_sec + static_cast<time_t>(limit.count());
  volatile unsigned long sink = 0;
  for (;;) {
    for (int i = 0; i < 1000000; ++i) sink = sink + static_cast<unsigned long>(i);
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec >= end) _exit(0);
  }
}

}  // namespace

BusyLoad::BusyLoad(int loops, std::chrono::seconds limit) {
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const pid_t self = getpid();
  for (int i = 0; i < loops; ++i) {
    const pid_t pid = fork();
    if (pid == 0) spin(static_cast<int>(i % (cores > 0 ? cores : 1)), limit, self);
    if (pid > 0) pids_.push_back(pid);
  }
}

BusyLoad::~BusyLoad() { stop(); }

double BusyLoad::cpuSeconds() const {
  double sum = used_;
  for (pid_t p : pids_) sum += processCpuSeconds(p);
  return sum;
}

double BusyLoad::stop() {
  // Read before the kill: a reaped process's figures are gone.
  used_ = cpuSeconds();
  for (pid_t p : pids_) kill(p, SIGKILL);
  for (pid_t p : pids_) waitpid(p, nullptr, 0);
  pids_.clear();
  return used_;
}

}  // namespace bench
