// The faults of a chaos run, on a schedule drawn from a seed: replicas
// killed (-9) and restarted, replicas frozen (SIGSTOP) for up to 15 s, a
// Naming Service stopped and started, the primary database killed under
// semi-sync then failed over (never forced: a refusal is waited out) and
// later rejoined, the host replica's link cut, a session's clock shifted by
// up to 15 s. At most two faults at a time and one of each kind; every kind
// at least once; each fault heals itself before run() returns.
//
// run() blocks the calling thread and runs each fault on a thread of its
// own; applied() and errors() after it returned.
#ifndef TAVRIN_NEMESIS_H
#define TAVRIN_NEMESIS_H

#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChaosDeployment.h"
#include "LoadDriver.h"

namespace tt {

enum class Fault { ReplicaKill, ReplicaFreeze, NamingStop, DbFailover, LinkCut, ClockShift };
constexpr int kFaultKinds = 6;
const char* faultName(Fault fault);

struct AppliedFault {
  Fault kind = Fault::ReplicaKill;
  double startS = 0, endS = 0;  // seconds into the run
  std::string what;             // what was done, and how it healed
  bool healed = false;
};

class Nemesis {
 public:
  Nemesis(ChaosDeployment& deployment, LoadRun& load, unsigned seed);
  ~Nemesis();
  Nemesis(const Nemesis&) = delete;
  Nemesis& operator=(const Nemesis&) = delete;

  // Applies faults until `stopAt`, then waits until every one is healed.
  void run(Clock::time_point stopAt);
  std::vector<AppliedFault> applied() const;
  std::vector<std::string> errors() const;

 private:
  struct Plan {
    Fault kind;
    int target = 0;                     // replica, directory or session
    std::chrono::milliseconds hold{0};  // how long the fault lasts
    long long shiftMs = 0;              // clock shift
  };
  Plan draw(Fault kind);
  bool startable(Fault kind, int* target);
  void launch(const Plan& plan);
  void apply(const Plan& plan, AppliedFault& record);
  void killReplica(const Plan& plan, AppliedFault& record);
  void freezeReplica(const Plan& plan, AppliedFault& record);
  void stopDirectory(const Plan& plan, AppliedFault& record);
  void failOverDatabase(const Plan& plan, AppliedFault& record);
  bool promote(AppliedFault& record);
  void cutLink(const Plan& plan, AppliedFault& record);
  void shiftClock(const Plan& plan, AppliedFault& record);
  void error(const std::string& what);
  double secondsIn() const;

  ChaosDeployment& d_;
  LoadRun& load_;
  std::mt19937 rng_;
  Clock::time_point began_;
  mutable std::mutex m_;
  std::set<Fault> active_;         // guarded by m_
  std::set<int> busyReplicas_;     // guarded by m_
  std::vector<AppliedFault> applied_;  // guarded by m_; slots filled by their threads
  std::vector<std::string> errors_;    // guarded by m_
  std::vector<std::thread> threads_;
};

}  // namespace tt

#endif
