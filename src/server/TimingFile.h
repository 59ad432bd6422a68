// A request timing file of the account server ("accountServerLogin.dat"
// and the like): one line per request carried out, its duration in whole
// milliseconds (tavrinTimer::millisBetween). Created rw-rw-r-- (less the
// umask) and appended to. Thread safe: each line is written whole under
// the file's lock.
#ifndef TAVRIN_TIMINGFILE_H
#define TAVRIN_TIMINGFILE_H

#include <cstdint>
#include <fstream>
#include <mutex>

class TimingFile {
 public:
  // When a request began, by the wall clock.
  struct Start {
    uint32_t sec;
    uint32_t usec;
  };
  static Start now();

  explicit TimingFile(const char* path);
  TimingFile(const TimingFile&) = delete;
  TimingFile& operator=(const TimingFile&) = delete;

  // Appends the milliseconds from `start` until now.
  void record(const Start& start);

 private:
  std::mutex mu_;
  std::ofstream file_;
};

#endif
