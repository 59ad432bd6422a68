// What one client knows of its replicas' clocks: for each replica of the
// account (set 0) and order (set 1) servers, the offset of its clock from
// this client's, estimated from round trips (Cristian's method: the reply's
// clock reading against the middle of the call; once an offset is known,
// estimates whose round trip is longer than kMaxRoundTrip are discarded).
// Every deadline a call carries is stated in its replica's clock, so a request is served with the
// client's clock off by any amount, and a replica never starts work after
// the client stopped waiting, even when the request sat in its socket.
//
// The client's own clock is the system clock shifted by shift(): a session
// whose clock is off, for tests and the nemesis; a whole process's clock
// may be off as well. Waiting is measured on the steady clock only.
//
// A replica whose offset is not known gets a clock probe before its first
// call (CallWorker), since a deadline counted from receipt cannot protect a
// request that sat in a frozen replica's socket. A skew of more than
// ReplicaClock::kSkew is traced once per replica host.
//
// Thread safe: the requesting thread discovers, workers record.
#ifndef TAVRIN_REPLICACLOCKS_H
#define TAVRIN_REPLICACLOCKS_H

#include <omniORB4/CORBA.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ReplicaClocks {
 public:
  using Wall = std::chrono::system_clock;
  using Steady = std::chrono::steady_clock;
  using Trace = std::function<void(const std::string&)>;
  static constexpr std::chrono::milliseconds kMaxRoundTrip{500};

  explicit ReplicaClocks(Trace trace = nullptr);

  // This client's clock: the system clock plus shift().
  Wall::time_point now() const;
  std::chrono::milliseconds shift() const;
  void setShift(std::chrono::milliseconds shift);

  // A discovery found `n` replicas of set `set`: their offsets are
  // measured anew.
  void reset(int set, size_t n);
  bool known(int set, size_t i) const;
  // One call to replica `i`: sent at `sent`, its reply received at
  // `received` (both this client's clock), stamped `replica` by the
  // replica, which answered from `host`.
  void record(int set, size_t i, Wall::time_point sent, Wall::time_point received,
              Wall::time_point replica, const std::string& host);
  // The replica answered without a clock reading (a peer that sends none):
  // its clock is taken as this client's.
  void assumeInStep(int set, size_t i);

  // On the calling (worker) thread, before a call to replica `i` of `set`:
  // measures the replica's clock first when it is not known (raising what
  // that probe raised), then makes the thread's calls carry `limit` stated
  // in the replica's clock and this client's shifted clock. Returns when the
  // call is sent, by this client's clock, for measure().
  Wall::time_point prepareCall(int set, size_t i, CORBA::Object_ptr target,
                               Steady::time_point limit);
  // After that call, whatever its outcome: records the reply's clock reading.
  void measure(int set, size_t i, Wall::time_point sent);

  // `limit` (steady clock) stated in replica `i`'s clock; less the
  // estimate's uncertainty, so the replica never stops later than we do.
  Wall::time_point deadlineFor(int set, size_t i, Steady::time_point limit) const;

 private:
  struct Estimate {
    bool known = false;
    std::chrono::milliseconds offset{0};
    std::chrono::milliseconds uncertainty{0};
  };
  const Estimate* find(int set, size_t i) const;

  Trace trace_;
  mutable std::mutex m_;
  std::chrono::milliseconds shift_{0};
  std::vector<Estimate> sets_[2];
  std::set<std::string> tracedHosts_;
};

#endif
