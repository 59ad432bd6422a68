// The replicas one console knows: the references found through the Naming
// Service for the account and order sets, what is known of their health
// (ReplicaHealth) and of their clocks (ReplicaClocks). Discovery resolves
// prefix0, prefix1, ... until the first name that is not bound.
//
// Not thread safe: the requesting thread discovers and reads; the health
// and clocks it hands to workers are thread safe themselves.
#ifndef TAVRIN_REPLICADIRECTORY_H
#define TAVRIN_REPLICADIRECTORY_H

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleChannel.h"
#include "ReplicaClocks.h"
#include "ReplicaHealth.h"

class ReplicaDirectory {
 public:
  explicit ReplicaDirectory(std::shared_ptr<ConsoleChannel> channel);

  void setNamingContext(CosNaming::NamingContext_ptr context);
  // Find the replicas of one set anew. When the Naming Service fails (an
  // exception other than NotFound, passed on) the set keeps what the last
  // discovery found: those replicas may well be alive.
  void discoverAccounts();
  void discoverOrders();
  void rediscover(int set);

  size_t size(int set) const { return refs_[set != 0].size(); }
  CORBA::Object_ptr at(int set, size_t i) const { return refs_[set != 0][i].in(); }
  ReplicaHealth& health(int set) { return *health_[set != 0]; }
  const std::shared_ptr<ReplicaHealth>& sharedHealth(int set) const { return health_[set != 0]; }
  const std::shared_ptr<ReplicaClocks>& clocks() const { return clocks_; }

 private:
  struct Lines {
    const char* found;
    const char* end;
    const char* countSep;
  };
  template <typename T>
  void discover(int set, const std::string& prefix, const Lines& lines);
  template <typename T>
  CORBA::Object_ptr narrowOrKeep(CORBA::Object_ptr found, const std::string& id);

  std::shared_ptr<ConsoleChannel> channel_;
  CosNaming::NamingContext_var nc_;
  std::vector<CORBA::Object_var> refs_[2];
  std::shared_ptr<ReplicaHealth> health_[2];
  std::shared_ptr<ReplicaClocks> clocks_;
};

#endif
