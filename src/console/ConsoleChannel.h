// Where the console and its workers meet: the console's output, and the
// status changes the requesting thread waits for. Held through shared_ptr
// by the Client and by every worker it starts, so a worker that outlives
// its request, or the Client itself, never touches freed memory.
//
// Every line is either the customer's (menus, forms, outcomes, refusals,
// failures) or trace (what the program does). Trace goes to the console
// too, unless traceTo() gave it a log of its own (the quiet console).
//
// Output rules, so that no worker line lands in the middle of a later
// screen:
//  - lines of the requesting thread and of the workers of the request in
//    progress go out at once, each line whole;
//  - background lines (workers that ended after their request was decided,
//    liveness probes, changes of suspicion) are trace; on the console they
//    go out at once only while a request is in progress, when its trace is
//    on the screen anyway; at any other time they are held back until the
//    next request begins. In a trace log they go out at once.
//
// Thread safe.
#ifndef TAVRIN_CONSOLECHANNEL_H
#define TAVRIN_CONSOLECHANNEL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class ConsoleChannel {
 public:
  // `out` must outlive close(), or the channel.
  explicit ConsoleChannel(std::ostream& out);

  // From now on trace lines go to `log` instead of the console.
  void traceTo(std::shared_ptr<std::ostream> log);
  // Creates (mode 0600) or appends to the file at `path` for trace lines;
  // null, with the reason in `error`, when it cannot be opened.
  static std::shared_ptr<std::ostream> openPrivateLog(const std::string& path,
                                                      std::string* error);

  void say(const std::string& line);    // one whole customer line, now
  void write(const std::string& text);  // customer text as it is, flushed
  void trace(const std::string& line);  // one whole trace line, now
  void background(const std::string& line);
  // A worker's customer line: now, or once `late` is set a background line
  // marked "late: ".
  void workerSay(const std::string& line, const std::atomic<bool>& late);
  // A worker's trace line: now, or once `late` is set marked "late: ".
  void workerTrace(const std::string& line, const std::atomic<bool>& late);
  // Marks a worker late; a line it is printing right now still goes out
  // before this returns, so every later one is marked.
  void retire(std::atomic<bool>& late);

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
  void waitForChange(unsigned long seen, std::chrono::steady_clock::time_point until);

  // Calls of the console's workers and probes still in flight, and whether
  // one was let go while it ran: it may still release its object
  // references, so the ORB must not be destroyed under it.
  void callStarted() { ++inFlight_; }
  void callEnded() { --inFlight_; }
  int callsInFlight() const { return inFlight_.load(); }
  void markAbandoned() { abandoned_ = true; }
  bool anyAbandoned() const { return abandoned_.load(); }

 private:
  void emitLocked(const std::string& line);
  void traceLocked(const std::string& line);
  void backgroundLocked(const std::string& line);

  std::mutex outMutex_;
  std::ostream* out_;
  std::shared_ptr<std::ostream> log_;  // trace lines; null: on the console
  bool inRequest_ = false;
  std::vector<std::string> held_;

  std::mutex statusMutex_;
  std::condition_variable statusCv_;
  unsigned long changes_ = 0;
  std::atomic<int> inFlight_{0};
  std::atomic<bool> abandoned_{false};
};

#endif
