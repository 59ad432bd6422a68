#include "TimingFile.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "tavrinTimer.h"

TimingFile::Start TimingFile::now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

TimingFile::TimingFile(const char* path) {
  // Created with its mode here: the stream alone would leave it to the umask.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd >= 0) ::close(fd);
  file_.open(path, std::ios::out | std::ios::app);
}

void TimingFile::record(const Start& start) {
  const Start after = now();
  std::lock_guard<std::mutex> lock(mu_);
  file_ << tavrinTimer::millisBetween(start.sec, start.usec, after.sec, after.usec) << std::endl;
}
