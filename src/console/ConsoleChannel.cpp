#include "ConsoleChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

ConsoleChannel::ConsoleChannel(std::ostream& out) : out_(&out) {}

std::shared_ptr<std::ostream> ConsoleChannel::openPrivateLog(const std::string& path,
                                                             std::string* error) {
  // Created private, and made private if an older file was not: traces
  // name the customer and what they did.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) != 0) {
    if (error != nullptr) *error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  ::close(fd);
  auto log = std::make_shared<std::ofstream>(path, std::ios::app);
  if (!*log) {
    if (error != nullptr) *error = "cannot be written";
    return nullptr;
  }
  return log;
}

void ConsoleChannel::traceTo(std::shared_ptr<std::ostream> log) {
  std::lock_guard<std::mutex> lock(outMutex_);
  log_ = std::move(log);
  for (const std::string& line : held_) traceLocked(line);
  held_.clear();
}

void ConsoleChannel::emitLocked(const std::string& line) {
  if (out_ != nullptr) *out_ << line << std::endl;
}

void ConsoleChannel::traceLocked(const std::string& line) {
  if (out_ == nullptr) return;  // closed
  if (log_)
    *log_ << line << std::endl;
  else
    *out_ << line << std::endl;
}

void ConsoleChannel::backgroundLocked(const std::string& line) {
  if (log_ || inRequest_)
    traceLocked(line);
  else if (out_ != nullptr)
    held_.push_back(line);
}

void ConsoleChannel::say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex_);
  emitLocked(line);
}

void ConsoleChannel::write(const std::string& text) {
  std::lock_guard<std::mutex> lock(outMutex_);
  if (out_ != nullptr) *out_ << text << std::flush;
}

void ConsoleChannel::trace(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex_);
  traceLocked(line);
}

void ConsoleChannel::background(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex_);
  backgroundLocked(line);
}

void ConsoleChannel::workerSay(const std::string& line, const std::atomic<bool>& late) {
  std::lock_guard<std::mutex> lock(outMutex_);
  if (late.load())
    backgroundLocked("late: " + line);
  else
    emitLocked(line);
}

void ConsoleChannel::workerTrace(const std::string& line, const std::atomic<bool>& late) {
  std::lock_guard<std::mutex> lock(outMutex_);
  if (late.load())
    backgroundLocked("late: " + line);
  else
    traceLocked(line);
}

void ConsoleChannel::retire(std::atomic<bool>& late) {
  std::lock_guard<std::mutex> lock(outMutex_);
  late.store(true);
}

void ConsoleChannel::beginRequest() {
  std::lock_guard<std::mutex> lock(outMutex_);
  inRequest_ = true;
  for (const std::string& line : held_) traceLocked(line);
  held_.clear();
}

void ConsoleChannel::endRequest() {
  std::lock_guard<std::mutex> lock(outMutex_);
  inRequest_ = false;
}

void ConsoleChannel::close() {
  std::lock_guard<std::mutex> lock(outMutex_);
  for (const std::string& line : held_) traceLocked(line);
  held_.clear();
  out_ = nullptr;
  log_.reset();
}

unsigned long ConsoleChannel::changes() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return changes_;
}

void ConsoleChannel::changed() {
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    ++changes_;
  }
  statusCv_.notify_all();
}

void ConsoleChannel::waitForChange(unsigned long seen,
                                   std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(statusMutex_);
  statusCv_.wait_until(lock, until, [&] { return changes_ != seen; });
}
