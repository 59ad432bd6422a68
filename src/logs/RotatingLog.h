// A log file bounded by size: lines are appended to it and, before one would
// take it past its limit, it becomes <path>.1 (the older ones move up to
// <path>.<keep>, the oldest dropped) and a new file starts. Lines are never
// split between files and none is lost in the move. Owns its descriptor.
// Not thread safe: one writer.
#ifndef TAVRIN_ROTATINGLOG_H
#define TAVRIN_ROTATINGLOG_H

#include <cstddef>
#include <cstdint>
#include <string>

class RotatingLog {
 public:
  // Opens `path` for appending (created 0600 less the umask); `keep` >= 1
  // rotated files are kept. Throws std::runtime_error when it cannot.
  RotatingLog(std::string path, std::uintmax_t maxBytes, int keep);
  ~RotatingLog();
  RotatingLog(const RotatingLog&) = delete;
  RotatingLog& operator=(const RotatingLog&) = delete;

  // Appends `n` bytes of whole lines (a line longer than the limit alone
  // goes into a file of its own). False on a write error.
  bool append(const char* data, std::size_t n);

 private:
  void open();
  void rotate();
  std::string rotated(int i) const;

  std::string path_;
  std::uintmax_t maxBytes_;
  int keep_;
  int fd_ = -1;
  std::uintmax_t size_ = 0;
};

#endif
