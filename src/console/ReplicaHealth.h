// What one client knows of the replicas of one server ("account" or
// "orderObj"): which ones have a call from this client in flight, and which
// ones are suspected of hanging. A replica that hangs (frozen, or on a host
// that vanished) would otherwise cost every request the call timeout and a
// thread; so
//  - a replica whose call ran into the call timeout (a connection attempt
//    that timed out included: both raise CORBA::TIMEOUT) becomes suspect;
//  - a replica never has more than one call from this client in flight; one
//    whose previous call has not ended counts as suspect until it ends;
//  - a request goes to every replica that is not suspect, or, when all are,
//    to every one without a call in flight;
//  - a suspect is readmitted as soon as it answers again: an answer to any
//    call, a liveness probe (at most one in flight, every kProbeInterval),
//    or its discovery anew.
// Each change of suspicion is traced in one line.
//
// Thread safe: the requesting thread chooses and probes, workers report the
// end of their calls from their own threads.
#ifndef TAVRIN_REPLICAHEALTH_H
#define TAVRIN_REPLICAHEALTH_H

#include <omniORB4/CORBA.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class ReplicaHealth {
 public:
  using Clock = std::chrono::steady_clock;
  using Trace = std::function<void(const std::string&)>;

  // How a call ended, as far as suspicion goes: the replica answered (a
  // result, a refusal, or a system exception it raised itself), the call
  // failed at once, or it hung until the call timeout.
  enum class Ended { Answered, Failed, Hung };
  static Ended classify(const CORBA::SystemException& e);

  static const std::chrono::milliseconds kProbeInterval;
  static const CORBA::ULong kProbeTimeoutMs;

  // `prefix` names the replicas in trace lines; `trace` may be empty.
  explicit ReplicaHealth(std::string prefix, Trace trace = nullptr);

  // A discovery found `n` replicas: suspicion is forgotten, calls still in
  // flight stay counted under their index.
  void reset(size_t n);
  size_t size() const;

  // The replicas to call for the next request, in index order, each marked
  // as having a call in flight; the others go to `skipped`. Replicas in
  // `called` (already called for this attempt) are left out altogether.
  std::vector<size_t> choose(std::vector<size_t>* skipped = nullptr,
                             const std::vector<size_t>& called = {});
  // Trusted replicas outside `called` without a call in flight, each now
  // marked as having one: a replica that was busy when an attempt began
  // gets the still open request as soon as its earlier call has ended.
  std::vector<size_t> chooseFreed(const std::vector<size_t>& called);
  // The call to replica `i` that choose() handed out has ended.
  void callEnded(size_t i, Ended how);

  // The suspects without a call in flight whose last probe is at least
  // kProbeInterval old at `now`; each is marked as probed and in flight.
  std::vector<size_t> dueForProbe(Clock::time_point now);
  void probeEnded(size_t i, bool answered);

  bool suspect(size_t i) const;
  bool busy(size_t i) const;
  // Some replica outside `called` has a call in flight: a reason to wait
  // for it rather than to fail.
  bool anyBusy(const std::vector<size_t>& called = {}) const;

 private:
  struct Entry {
    bool suspect = false;
    bool busy = false;
    bool probed = false;
    Clock::time_point lastProbe;
  };
  void setSuspect(Entry& e, size_t i, bool on, const char* why, std::vector<std::string>& lines);
  void emit(const std::vector<std::string>& lines) const;

  std::string prefix_;
  Trace trace_;
  mutable std::mutex m_;
  std::vector<Entry> entries_;  // may be longer than n_: calls in flight
  size_t n_ = 0;
};

#endif
