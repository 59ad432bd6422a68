#include "RotatingLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

RotatingLog::RotatingLog(std::string path, std::uintmax_t maxBytes, int keep)
    : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep < 1 ? 1 : keep) {
  open();
}

RotatingLog::~RotatingLog() {
  if (fd_ >= 0) ::close(fd_);
}

void RotatingLog::open() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) throw std::runtime_error(path_ + ": " + std::strerror(errno));
  struct stat st;
  size_ = ::fstat(fd_, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

std::string RotatingLog::rotated(int i) const { return path_ + "." + std::to_string(i); }

// The file is renamed while still open: nothing written before the rename
// can be lost, and what follows goes to the new file.
void RotatingLog::rotate() {
  std::remove(rotated(keep_).c_str());
  for (int i = keep_ - 1; i >= 1; --i) std::rename(rotated(i).c_str(), rotated(i + 1).c_str());
  std::rename(path_.c_str(), rotated(1).c_str());
  ::close(fd_);
  fd_ = -1;
  open();
}

bool RotatingLog::append(const char* data, std::size_t n) {
  if (size_ > 0 && size_ + n > maxBytes_) rotate();
  while (n > 0) {
    ssize_t w = ::write(fd_, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
    size_ += static_cast<std::uintmax_t>(w);
  }
  return true;
}
