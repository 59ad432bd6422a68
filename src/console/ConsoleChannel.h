// Where the console and its workers meet: the console's output, and the
// status changes the requesting thread waits for. Held through shared_ptr
// by the Client and by every worker it starts, so a worker that outlives
// its request, or the Client itself, never touches freed memory.
//
// Output rules, so that no worker line lands in the middle of a later
// screen:
//  - lines of the requesting thread and of the workers of the request in
//    progress go out at once, each line whole;
//  - background lines (workers that ended after their request was decided,
//    liveness probes, changes of suspicion) go out at once only while a
//    request is in progress, when its trace is on the screen anyway; at any
//    other time they are held back until the next request begins.
//
// Thread safe.
#ifndef TAVRIN_CONSOLECHANNEL_H
#define TAVRIN_CONSOLECHANNEL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class ConsoleChannel {
 public:
  // `out` must outlive close(), or the channel.
  explicit ConsoleChannel(std::ostream& out);

  void say(const std::string& line);    // one whole line, now
  void write(const std::string& text);  // text as it is, flushed
  void background(const std::string& line);
  // A worker's line: now, or once `late` is set a background line marked
  // "late: ".
  void workerSay(const std::string& line, const std::atomic<bool>& late);
  // Marks a worker late; a line it is printing right now still goes out
  // before this returns, so every later one is marked.
  void retire(std::atomic<bool>& late);
  // Runs `f` on the output with every other line held off (the pause).
  void withOutput(const std::function<void(std::ostream&)>& f);

  // The requesting thread's request: beginning prints the background lines
  // held back.
  void beginRequest();
  void endRequest();
  // The console is gone: what is held back goes out now, later lines are
  // dropped.
  void close();

  // Status changes of the workers.
  unsigned long changes();
  void changed();
  // Waits until the count differs from `seen` or `until` has come.
  void waitForChange(unsigned long seen, std::chrono::system_clock::time_point until);

 private:
  void emitLocked(const std::string& line);
  void backgroundLocked(const std::string& line);

  std::mutex outMutex_;
  std::ostream* out_;
  bool inRequest_ = false;
  std::vector<std::string> held_;

  std::mutex statusMutex_;
  std::condition_variable statusCv_;
  unsigned long changes_ = 0;
};

#endif
