// The private deployment a chaos run works on, inside the environment that
// ./tavrin test (or ./tavrin chaos) prepared: the suite's Naming Service
// and a second one, a primary database with a semi-synchronous standby of
// the run's own, and 3 account and 3 order replicas. The last order replica
// lives on a host of its own (NetHost), so that its link can be cut.
//
// Replicas are numbered 0..5: account0..2, then orderObj0..2.
// Thread safe for distinct replicas: the nemesis runs each fault on a
// thread of its own and never touches one replica from two of them.
#ifndef TAVRIN_CHAOSDEPLOYMENT_H
#define TAVRIN_CHAOSDEPLOYMENT_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Invariants.h"
#include "NetHost.h"
#include "TestSupport.h"

namespace tt {

class ChaosDeployment {
 public:
  static constexpr int kReplicas = 6;
  static constexpr int kHostReplica = 5;

  // Starts everything and loads a fresh catalogue; `why()` is "" when it did.
  ChaosDeployment();
  ~ChaosDeployment();
  ChaosDeployment(const ChaosDeployment&) = delete;
  ChaosDeployment& operator=(const ChaosDeployment&) = delete;
  const std::string& why() const { return why_; }

  std::string name(int replica) const;
  // Starts the replica and waits until it is bound afresh; "" or why not.
  std::string start(int replica);
  void kill(int replica);                 // SIGKILL and reap
  bool freeze(int replica);               // SIGSTOP, every thread stopped
  void thaw(int replica);                 // SIGCONT
  bool hostAvailable() const { return host_ != nullptr; }
  NetHost& host() { return *host_; }
  StandbyDatabases& databases() { return *dbs_; }
  // ./tavrin naming-stop K / naming-start K; its exit status.
  int naming(const std::string& command, int directory, std::string* output);
  const Baseline& baseline() const { return baseline_; }

 private:
  std::string startDirectories();
  std::unique_ptr<StandbyDatabases> dbs_;
  std::unique_ptr<NetHost> host_;
  std::vector<std::unique_ptr<ChildProcess>> replicas_;
  std::mutex namingMutex_;  // ./tavrin naming-* share the ports file
  Baseline baseline_;
  std::string why_;
  bool secondDirectory_ = false;
};

}  // namespace tt

#endif
