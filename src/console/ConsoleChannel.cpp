#include "ConsoleChannel.h"

ConsoleChannel::ConsoleChannel(std::ostream& out) : out_(&out) {}

void ConsoleChannel::emitLocked(const std::string& line) {
  if (out_ != nullptr) *out_ << line << std::endl;
}

void ConsoleChannel::backgroundLocked(const std::string& line) {
  if (inRequest_)
    emitLocked(line);
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

void ConsoleChannel::retire(std::atomic<bool>& late) {
  std::lock_guard<std::mutex> lock(outMutex_);
  late.store(true);
}

void ConsoleChannel::withOutput(const std::function<void(std::ostream&)>& f) {
  std::lock_guard<std::mutex> lock(outMutex_);
  if (out_ != nullptr) f(*out_);
}

void ConsoleChannel::beginRequest() {
  std::lock_guard<std::mutex> lock(outMutex_);
  inRequest_ = true;
  for (const std::string& line : held_) emitLocked(line);
  held_.clear();
}

void ConsoleChannel::endRequest() {
  std::lock_guard<std::mutex> lock(outMutex_);
  inRequest_ = false;
}

void ConsoleChannel::close() {
  std::lock_guard<std::mutex> lock(outMutex_);
  for (const std::string& line : held_) emitLocked(line);
  held_.clear();
  out_ = nullptr;
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
                                   std::chrono::system_clock::time_point until) {
  std::unique_lock<std::mutex> lock(statusMutex_);
  statusCv_.wait_until(lock, until, [&] { return changes_ != seen; });
}
